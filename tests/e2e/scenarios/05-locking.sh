# Locking: while another process holds the bridge's disk the tool cannot open it; a mounted
# partition on that disk does not stop a dump.
# limit: 60

bridge_start || return
open_refused() { # ID: a run that must find the drive taken
  run_tool "$1" 10 "${BR_DRIVE}y"
  check_eq "$1-exit" "$RC" 16
  {
    banner
    echo "Drive      : $BR_DRIVE(USB)"
    echo "Error open disk"
  } | check_transcript "$1-transcript"
}

# Held with flock(1) by a shell that then becomes the sleep, so ending it frees the lock.
(
  exec 8<"/dev/$BR_DISK"
  flock -x 8
  exec sleep 30
) &
holder=$!
i=0
while flock -n "/dev/$BR_DISK" true && [ $i -lt 100 ]; do
  sleep 0.05
  i=$((i + 1))
done
open_refused held-by-flock
kill $holder
wait $holder 2>/dev/null
run_tool after-flock 20 "${BR_DRIVE}y"
grep -qx "Fw+nvram saved to jmABC_01_02_A0_FF.bin" "$RUN/out" && pass after-flock-works ||
  fail after-flock-works "no dump once the lock is gone"

# Held by a first run paused at the confirmation prompt. Should it end early, the answer must
# not kill this shell.
trap '' PIPE
mkfifo /tmp/answer-fifo
head -c 512 $STATE/firmware.bin >/tmp/jm_nvram.bin
mkdir -p /tmp/run/paused
cp /tmp/jm_nvram.bin /tmp/run/paused/
(cd /tmp/run/paused && exec setsid jmreader "${BR_DRIVE}u" </tmp/answer-fifo >out 2>&1) &
first=$!
exec 7>/tmp/answer-fifo
i=0
until grep -q "Make changes" /tmp/run/paused/out 2>/dev/null || [ $i -gt 200 ]; do
  sleep 0.05
  i=$((i + 1))
done
grep -q "Make changes" /tmp/run/paused/out && pass paused-first-run-prompt ||
  fail paused-first-run-prompt "$(cat /tmp/run/paused/out)"
open_refused held-by-first-run
echo n >&7
exec 7>&-
wait $first
check_eq paused-first-run-exit $? 0
grep -q "Not sure - Exit!" /tmp/run/paused/out && pass paused-first-run-cancelled ||
  fail paused-first-run-cancelled "$(cat /tmp/run/paused/out)"

# A FAT partition on the bridge's disk, mounted, with a file on it.
{
  head -c 446 /dev/zero
  # One FAT16 partition (type 0x0E) from sector 2048, 12288 sectors.
  printf '\000\000\000\000\016\000\000\000\000\010\000\000\000\060\000\000'
  head -c 48 /dev/zero
  printf '\125\252'
} >/tmp/mbr
dd if=/tmp/mbr of="/dev/$BR_DISK" bs=512 count=1 conv=fsync 2>/dev/null
blockdev --rereadpt "/dev/$BR_DISK"
i=0
until [ -b "/dev/${BR_DISK}1" ] || [ $i -gt 100 ]; do
  sleep 0.05
  i=$((i + 1))
done
mkdosfs "/dev/${BR_DISK}1" >/dev/null
mkdir -p /mnt/bridge
if mount -t vfat "/dev/${BR_DISK}1" /mnt/bridge; then
  pass partition-mounted
else
  fail partition-mounted "mount failed"
fi
echo "still here" >/mnt/bridge/note.txt
sync
run_tool mounted 20 "${BR_DRIVE}y"
check_eq mounted-exit "$RC" 1
expected_dump 256 268 /tmp/expected.bin
check_same mounted-file "$RUN/jmABC_01_02_A0_FF.bin" /tmp/expected.bin
check_eq mounted-note "$(cat /mnt/bridge/note.txt)" "still here"
umount /mnt/bridge && pass partition-unmounted || fail partition-unmounted "umount failed"

scenario_done
