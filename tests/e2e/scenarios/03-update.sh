# NVRAM update: a 100-byte "jm_nvram.bin" lands zero-padded in the sector at FirmwareUnits + 12
# after a typed "y"; "n" writes nothing.
# limit: 60

# 100 bytes that are not zero anywhere, so padding and placement show.
i=0
while [ $i -lt 100 ]; do
  printf "\\$(printf '%03o' $(((i * 37 + 11) % 255 + 1)))"
  i=$((i + 1))
done >/tmp/jm_nvram.bin
{
  cat /tmp/jm_nvram.bin
  head -c 412 /dev/zero
} >/tmp/expected-sector.bin

# answer selection exit written: one run per line.
while read -r answer selection exit written; do
  id=update-$selection-$answer
  bridge_start --units 0x1F4 --nvram 0x200 --nvram 0x1F0 || return
  cp "$(nvram_file 0x200)" /tmp/sector-before.bin
  cp "$(nvram_file 0x1F0)" /tmp/other-before.bin
  printf '%s\n' "$answer" >/tmp/answer
  TOOL_INPUT=/tmp/answer TOOL_FILES=/tmp/jm_nvram.bin run_tool "$id" 20 "$BR_DRIVE$selection"
  check_eq "$id-exit" "$RC" "$exit"
  {
    banner
    echo "Drive      : $BR_DRIVE(USB)"
    echo "Ctrl/Fw version : jmABC_01_02_A0_FF"
    echo "Fw size: 128000"
    echo "Nvram ofs: 200"
    case $selection in
      *y) ;;
      *) printf "Make changes, You sure? Press 'Y' and 'Enter' for continue, 'N' for cancel " ;;
    esac
    [ "$written" = no ] && printf 'Not sure - Exit!\n'
    [ "$exit" = 0 ] && printf '\nPress any key to exit\n'
  
  } | check_transcript "$id-transcript"
  if [ "$written" = yes ]; then
    check_same "$id-sector" "$(nvram_file 0x200)" /tmp/expected-sector.bin
    { trace_identify; trace_descriptor; trace_nvram write 0x200; } | check_trace "$id-commands"
  else
    check_same "$id-sector" "$(nvram_file 0x200)" /tmp/sector-before.bin
    { trace_identify; trace_descriptor; } | check_trace "$id-commands"
  fi
  check_same "$id-other-sector" "$(nvram_file 0x1F0)" /tmp/other-before.bin
done <<'EOF_CASES'
y u 0 yes
Yes U 0 yes
n u 0 no
- uy 1 yes
EOF_CASES

# Input that ends before an answer is no "y": nothing is written.
bridge_start --units 0x1F4 || return
cp "$(nvram_file 0x200)" /tmp/sector-before.bin
TOOL_INPUT=/dev/null TOOL_FILES=/tmp/jm_nvram.bin run_tool update-no-answer 20 "${BR_DRIVE}u"
check_same update-no-answer-sector "$(nvram_file 0x200)" /tmp/sector-before.bin
{ trace_identify; trace_descriptor; } | check_trace update-no-answer-commands

# A missing file: nothing is written.
bridge_start --units 0x1F4 || return
cp "$(nvram_file 0x200)" /tmp/sector-before.bin
run_tool update-no-file 20 "${BR_DRIVE}uy"
{
  banner
  echo "Drive      : $BR_DRIVE(USB)"
  echo "Ctrl/Fw version : jmABC_01_02_A0_FF"
  echo "Fw size: 128000"
  echo "jm_nvram.bin: Open File Error"
  echo "Nvram file read error"
} | check_transcript update-no-file-transcript
check_same update-no-file-sector "$(nvram_file 0x200)" /tmp/sector-before.bin

scenario_done
