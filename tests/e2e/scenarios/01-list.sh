# The drive list from sysfs, as --list shows it, has the emulated bridge and the SATA disk with
# the system's names and the bridge's USB IDs and serial. (The list before the question is made
# from the same sysfs texts: the simulator's tables show its format, and 07-windows the list a
# Windows run shows.)
# limit: 30
bridge_start || return

# --list: the drive lines alone, with the system's names; the gadget's USB IDs and serial from
# sysfs (the UAS gadget has no serial string); no bridge command.
run_tool list-option 10 --list
check_eq list-option-exit "$RC" 0
printf '%s\n' " 0  /dev/sda  sata  -          -  ATA QEMU HARDDISK" \
  " $BR_DRIVE  /dev/$BR_DISK  usb   152d:0578  $(by_transport E2E000000001 -)  JMicron Generic" |
  check_transcript list-option-transcript
[ ! -s $STATE/trace ] && pass list-option-no-bridge-command || fail list-option-no-bridge-command "$(cat $STATE/trace)"

# A path to the disk, here a link as in /dev/disk/by-id (no udev in the VM), is never read for
# letters ("uy" would update without asking): refused with the drive's number, nothing sent.
mkdir -p /tmp/by-id
ln -sfn /dev/$BR_DISK /tmp/by-id/usb-JMicron_Generic-0:0-uy
run_tool by-id 10 /tmp/by-id/usb-JMicron_Generic-0:0-uy
check_eq by-id-exit "$RC" 2
check_eq by-id-reason "$(cat $ERR)" \
  "jmreader: /tmp/by-id/usb-JMicron_Generic-0:0-uy is /dev/$BR_DISK, drive $BR_DRIVE: run jmreader $BR_DRIVE (or ${BR_DRIVE}u to update)"
[ ! -s $STATE/trace ] && pass by-id-no-bridge-command || fail by-id-no-bridge-command "$(cat $STATE/trace)"

scenario_done
