# The drive list from sysfs shows the emulated bridge and the SATA disk; the SATA disk is refused
# before any command reaches the bridge.
# limit: 30
bridge_start || return

printf '100\n' >/tmp/line
TOOL_INPUT=/tmp/line run_tool list 10
check_eq list-exit "$RC" 23
{
  banner
  echo " 0: ATA     QEMU HARDDISK   "
  echo " 1: JMicron Generic         "
  echo "Please select drive number:Error: bad disk number"
} | check_transcript list-transcript

run_tool sata 10 0y
check_eq sata-exit "$RC" 1
{
  banner
  echo "Drive      : 0(NVME)"
  echo "Not usb device!"
} | check_transcript sata-transcript
[ ! -s $STATE/trace ] && pass sata-no-bridge-command || fail sata-no-bridge-command "$(cat $STATE/trace)"

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
