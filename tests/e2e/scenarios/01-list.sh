# The drive list shows the emulated bridge and the SATA disk; the SATA disk is refused.
# limit: 40
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

# The selection typed at the prompt: the list, then the dump.
printf '%sy\n' "$BR_DRIVE" >/tmp/line
TOOL_INPUT=/tmp/line run_tool typed 20
check_eq typed-exit "$RC" 1
{
  banner
  echo " 0: ATA     QEMU HARDDISK   "
  echo " 1: JMicron Generic         "
  echo "Please select drive number:Drive      : $BR_DRIVE(USB)"
  echo "Ctrl/Fw version : jmABC_01_02_A0_FF"
  echo "Fw size: 65536"
  echo "Fw+nvram saved to jmABC_01_02_A0_FF.bin"
} | check_transcript typed-transcript

# Another identity shows in the list as the kernel read it at attach.
bridge_start --vendor ACME --product "Bridge X" || return
printf '100\n' >/tmp/line
TOOL_INPUT=/tmp/line run_tool list-other 10
grep -qx ' 1: ACME    Bridge X        ' "$RUN/out" && pass list-other-identity ||
  fail list-other-identity "no line for the ACME bridge"

for selection in 0 0y; do
  run_tool "sata-$selection" 10 "$selection"
  {
    banner
    echo "Drive      : 0(NVME)"
    echo "Not usb device!"
    if [ $selection = 0 ]; then
      echo ""
      echo "Press any key to exit"
    fi
  } | check_transcript "sata-$selection-transcript"
  check_eq "sata-$selection-exit" "$RC" "$([ $selection = 0 ] && echo 0 || echo 1)"
done
# Nothing reached the bridge.
[ ! -s $STATE/trace ] && pass sata-no-bridge-command || fail sata-no-bridge-command "$(cat $STATE/trace)"

scenario_done
