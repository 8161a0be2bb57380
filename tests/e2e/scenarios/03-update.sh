# NVRAM update: a 100-byte "jm_nvram.bin" lands zero-padded in the sector at FirmwareUnits + 12
# with the exact write command; a write that usb-storage reports short is an error (uas has no
# residue for data-out: the same write looks whole there).
# limit: 40
yes 'jm_nvram e2e' | head -c 100 >/tmp/jm_nvram.bin
{
  cat /tmp/jm_nvram.bin
  head -c 412 /dev/zero
} >/tmp/expected-sector.bin

for id in update short-write; do
  fault=
  [ $id = short-write ] && fault=nvram-write:short=200
  bridge_start --units 0x1F4 --nvram 0x200 ${fault:+--fault $fault} || return
  TOOL_FILES=/tmp/jm_nvram.bin run_tool $id 20 "${BR_DRIVE}uy"
  check_eq "$id-exit" "$RC" 1
  {
    dump_head
    echo "Fw size: 128000"
    echo "Nvram ofs: 200"
    [ $id = update ] || [ $TRANSPORT = uas ] || printf 'Nvram short write: 200 of 512 bytes!\nFw nvram update error\n'
  } | check_transcript "$id-transcript"
  [ $id = update ] || continue
  check_same sector "$(nvram_file 0x200)" /tmp/expected-sector.bin
  { trace_identify; trace_descriptor; trace_nvram write 0x200; } | check_trace commands
done

scenario_done
