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

scenario_done
