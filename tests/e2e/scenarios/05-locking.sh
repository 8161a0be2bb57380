# Locking: while another process holds the bridge's disk with flock(2) the tool stays out and says
# why on standard error; once the lock is gone it works, also with a file system on that disk
# mounted.
# limit: 40
bridge_start || return
N=jmABC_01_02_A0_FF

# A shell that takes the lock and then becomes the sleep, so ending it frees the lock.
(
  exec 8<"/dev/$BR_DISK"
  flock -x 8
  exec sleep 30
) &
holder=$!
i=0
while flock -n "/dev/$BR_DISK" true && [ $((i += 1)) -le 100 ]; do
  sleep 0.05
done
run_tool held 10 "${BR_DRIVE}y"
check_eq held-exit "$RC" 16
printf '%s\n' "$(banner)" "Drive      : $BR_DRIVE(USB)" "Error open disk" |
  check_transcript held-transcript
check_eq held-reason "$(cat $ERR)" \
  "jmreader: /dev/$BR_DISK: Resource temporarily unavailable (another program holds the drive)"
kill $holder
wait $holder 2>/dev/null
run_tool after-lock 20 "${BR_DRIVE}y"
check_eq after-lock-saved "$(tail -1 $OUT)" "Fw+nvram saved to $N.bin"

# A mounted file system claims the disk, which an exclusive open of it would trip over.
mkdosfs "/dev/$BR_DISK" >/dev/null
mkdir -p /mnt/bridge
mount -t vfat "/dev/$BR_DISK" /mnt/bridge || fail mount "cannot mount /dev/$BR_DISK"
run_tool mounted 20 "${BR_DRIVE}y"
check_eq mounted-saved "$(tail -1 $OUT)" "Fw+nvram saved to $N.bin"
umount /mnt/bridge

scenario_done
