# A slow NVRAM write: the bridge takes 5 s to program the sector and then answers. The write's
# 30-s time-out outlasts it (a 2-s one would make the kernel abort the command and reset the
# device in the middle of the flash write): the sector lands whole and the run ends after the
# delay. The file read is named with its full path on standard error.
# limit: 60
yes 'jm_nvram slow' | head -c 512 >/tmp/jm_nvram.bin
bridge_start --units 0x100 --fault nvram-write:delay=5000 || return
TOOL_FILES=/tmp/jm_nvram.bin run_tool slow-write 45 "${BR_DRIVE}uy"
mark TIMING slow-write "${DUR}s"
check_eq slow-write-exit "$RC" 1
{
  dump_head
  echo "Fw size: 65536"
  echo "Nvram ofs: 10c"
} | check_transcript slow-write-transcript
check_same slow-write-sector "$(nvram_file 0x10c)" /tmp/jm_nvram.bin
check_between slow-write-seconds "$DUR" 5 30
check_eq slow-write-path "$(cat $ERR)" "jmreader: read $RUN/jm_nvram.bin"
scenario_done
