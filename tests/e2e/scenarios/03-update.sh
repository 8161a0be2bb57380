# NVRAM update: a 100-byte "jm_nvram.bin" lands zero-padded in the sector at FirmwareUnits + 12
# with the exact write command, after the sector there was read and saved beside the tool, and is
# read back. A write that the bridge takes 5 s to program completes within the write's 30-s
# time-out (a 2-s one would abort it mid-flash), and the files are named with their full paths on
# standard error. Faulty writes are in 08-update-safety.
# limit: 60
yes 'jm_nvram e2e' | head -c 100 >/tmp/jm_nvram.bin
{
  cat /tmp/jm_nvram.bin
  head -c 412 /dev/zero
} >/tmp/expected-sector.bin

for id in update slow-write; do
  fault=
  [ $id = slow-write ] && fault=nvram-write:delay=5000
  bridge_start --units 0x1F4 --nvram 0x200 ${fault:+--fault $fault} || return
  cp "$(nvram_file 0x200)" /tmp/sector-before.bin
  TOOL_FILES=/tmp/jm_nvram.bin run_tool $id 20 "${BR_DRIVE}uy"
  check_eq "$id-exit" "$RC" 1
  {
    dump_head
    echo "Fw size: 128000"
    echo "Nvram ofs: 200"
    echo "Target     : /dev/$BR_DISK, JMicron Generic"
    echo "Nvram before write saved to jmABC_01_02_A0_FF.nvram-before.bin"
    echo "Nvram written and read back equal"
  } | check_transcript "$id-transcript"
  check_same "$id-sector" "$(nvram_file 0x200)" /tmp/expected-sector.bin
  check_same "$id-sector-before" $RUN/jmABC_01_02_A0_FF.nvram-before.bin /tmp/sector-before.bin
  if [ $id = update ]; then
    mark TIMING update-in-vm "${DUR}s"
    trace_of identify descriptor read:0x200 write:0x200 read:0x200 | check_trace commands
  else
    check_between "$id-seconds" "$DUR" 5 30
    check_eq "$id-paths" "$(cat $ERR)" "jmreader: read $RUN/jm_nvram.bin
jmreader: jm_nvram.bin holds 100 bytes, not 512: the rest of the sector is written as zeros
jmreader: saved $RUN/jmABC_01_02_A0_FF.nvram-before.bin"
  fi
done

scenario_done
