# NVRAM update: a 100-byte "jm_nvram.bin" lands zero-padded in the sector at FirmwareUnits + 12
# with the exact write command, after the sector there was read and saved beside the tool, and is
# read back. Faulty writes are in 08-update-safety.
# limit: 40
yes 'jm_nvram e2e' | head -c 100 >/tmp/jm_nvram.bin
{
  cat /tmp/jm_nvram.bin
  head -c 412 /dev/zero
} >/tmp/expected-sector.bin

bridge_start --units 0x1F4 --nvram 0x200 || return
cp "$(nvram_file 0x200)" /tmp/sector-before.bin
TOOL_FILES=/tmp/jm_nvram.bin run_tool update 20 "${BR_DRIVE}uy"
check_eq update-exit "$RC" 1
mark TIMING update-in-vm "${DUR}s"
{
  dump_head
  echo "Fw size: 128000"
  echo "Nvram ofs: 200"
  echo "Target     : /dev/$BR_DISK, JMicron Generic"
  echo "Nvram before write saved to jmABC_01_02_A0_FF.nvram-before.bin"
  echo "Nvram written and read back equal"
} | check_transcript update-transcript
check_same sector "$(nvram_file 0x200)" /tmp/expected-sector.bin
check_same sector-before $RUN/jmABC_01_02_A0_FF.nvram-before.bin /tmp/sector-before.bin
trace_of identify descriptor read:0x200 write:0x200 read:0x200 | check_trace commands

scenario_done
