# The update through the kernel's stack: a good one writes the sector byte for byte with the exact
# commands (the sector read before, the write, the read-back). When the bridge misbehaves, a write
# it acknowledges but drops, and one that comes short (usb-storage reports the residue; uas has
# none for data-out, and only the read-back tells), end as errors. (A reply that comes short
# before the write is refused in the simulator's tables; 04-partial shows how data-in residue
# comes through both transports.) A write that the bridge
# takes 5 s to program completes within the write's 30-s time-out (a 2-s one would abort it
# mid-flash), and so does one that answers the write at once and holds the read-back 5 s while it
# programs (the read-back has the write's time-out too). The sector that was there is saved before
# each write, and the store holds what the transcript says.
# limit: 110
N=jmABC_01_02_A0_FF
yes 'jm_nvram safety' | head -c 512 >/tmp/jm_nvram.bin
{ head -c 200 /tmp/jm_nvram.bin; head -c 312 /dev/zero; } >/tmp/short-sector.bin

# id;fault;exit status (1 done, 5 a write not read back equal);lines after the
# version line ("|" between them; @DISK@ the disk, @DIFF@ the bytes the store and the file differ
# in, @OLD@ those the store and the sector before differ in, @CHANGES@ the bytes the file
# changes);the sector stored
# afterwards ("before": as it was);the commands (a held one is traced when held and when run).
# "^" parts the usb-storage and the uas value where they differ.
while IFS=';' read -r id fault status lines stored commands; do
  bridge_start --units 0x1F4 --nvram 0x200 ${fault:+--fault $fault} || return
  cp "$(nvram_file 0x200)" /tmp/sector-before.bin
  changes=$(cmp -l /tmp/jm_nvram.bin /tmp/sector-before.bin | wc -l)
  TOOL_FILES=/tmp/jm_nvram.bin run_tool $id 20 "${BR_DRIVE}uy"
  check_eq "$id-exit" "$RC" "$status"
  case $id in slow-write | busy-bridge) check_between "$id-seconds" "$DUR" 5 30 ;; esac
  [ $id != update ] || mark TIMING update-in-vm "${DUR}s"
  diff=$(cmp -l /tmp/jm_nvram.bin "$(nvram_file 0x200)" | wc -l)
  old=$(cmp -l /tmp/sector-before.bin "$(nvram_file 0x200)" | wc -l)
  lines=$(by_transport "${lines%^*}" "${lines#*^}")
  printf '%s\n' "$(dump_head)" "$(echo "$lines" | tr '|' '\n' |
    sed "s|@DISK@|$BR_DISK|g; s|@DIFF@|$diff|g; s|@OLD@|$old|g; s|@CHANGES@|$changes|g")" |
    check_transcript "$id-transcript"
  [ "$stored" = before ] && stored=/tmp/sector-before.bin
  check_same "$id-sector" "$(nvram_file 0x200)" "$stored"
  case $lines in *'before write saved'*) check_same "$id-before" $RUN/$N.nvram-before.bin /tmp/sector-before.bin ;; esac
  # The commands in order; their outcome is the fault's.
  check_eq "$id-commands" "$(sed 's/ -> .*//' $STATE/trace)" \
    "$(trace_of $(by_transport "${commands%^*}" "${commands#*^}") | sed 's/ -> .*//')"
done <<'EOF_CASES'
update;;1;Fw size: 128000|Nvram ofs: 200|Target     : /dev/@DISK@, JMicron Generic|Nvram changes: @CHANGES@ of 512 bytes|Nvram before write saved to jmABC_01_02_A0_FF.nvram-before.bin|Nvram written and read back equal;/tmp/jm_nvram.bin;identify descriptor read:0x200 write:0x200 read:0x200
dropped-write;nvram-write:zero;5;Fw size: 128000|Nvram ofs: 200|Target     : /dev/@DISK@, JMicron Generic|Nvram changes: @CHANGES@ of 512 bytes|Nvram before write saved to jmABC_01_02_A0_FF.nvram-before.bin|Nvram verify error: @DIFF@ bytes differ|Nvram holds the sector before the write: nothing changed|Fw nvram update error;before;identify descriptor read:0x200 write:0x200 read:0x200
short-write;nvram-write:short=200;5;Fw size: 128000|Nvram ofs: 200|Target     : /dev/@DISK@, JMicron Generic|Nvram changes: @CHANGES@ of 512 bytes|Nvram before write saved to jmABC_01_02_A0_FF.nvram-before.bin|Nvram short write: 200 of 512 bytes!|Nvram holds neither: @DIFF@ bytes differ from jm_nvram.bin, @OLD@ from the sector before|Fw nvram update error^Fw size: 128000|Nvram ofs: 200|Target     : /dev/@DISK@, JMicron Generic|Nvram changes: @CHANGES@ of 512 bytes|Nvram before write saved to jmABC_01_02_A0_FF.nvram-before.bin|Nvram verify error: @DIFF@ bytes differ|Nvram holds neither: @DIFF@ bytes differ from jm_nvram.bin, @OLD@ from the sector before|Fw nvram update error;/tmp/short-sector.bin;identify descriptor read:0x200 write:0x200 read:0x200
slow-write;nvram-write:delay=5000;1;Fw size: 128000|Nvram ofs: 200|Target     : /dev/@DISK@, JMicron Generic|Nvram changes: @CHANGES@ of 512 bytes|Nvram before write saved to jmABC_01_02_A0_FF.nvram-before.bin|Nvram written and read back equal;/tmp/jm_nvram.bin;identify descriptor read:0x200 write:0x200 write:0x200 read:0x200
busy-bridge;nvram-write:busy=5000;1;Fw size: 128000|Nvram ofs: 200|Target     : /dev/@DISK@, JMicron Generic|Nvram changes: @CHANGES@ of 512 bytes|Nvram before write saved to jmABC_01_02_A0_FF.nvram-before.bin|Nvram written and read back equal;/tmp/jm_nvram.bin;identify descriptor read:0x200 write:0x200 read:0x200 read:0x200
EOF_CASES

scenario_done
