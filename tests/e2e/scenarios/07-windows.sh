# Both Windows exes from the zips, under Wine, against the same emulated bridge and SATA disk
# through the Wine test driver (tools/wine-disk: drive 0 the SATA disk, drive 1 the bridge): the
# drive list, 64 and 128 KiB dumps byte for byte with the Linux run's commands on the wire, an
# update confirmed on standard input (the sector that was there saved first, the write read back),
# a write the bridge drops, a write it takes 5 s to program (done within the write's 30-s
# time-out), a CHECK CONDITION, and a sector read that stalls far past the tool's 2-s time-out: the
# USB reset ends it, and the run ends seconds later than one that fails at once, not after the
# stall.
# limit: 300
host_up || { fail host "cannot mount the host's file system"; return; }
in_host wineserver -p
wine_drive 0 "$(ls /sys/block/sda/device/scsi_generic)"

# The first run of each loader starts Wine's services and the test driver.
for bits in 64 32; do
  run_exe version$bits 150 $bits --version
  mark TIMING wine-first-start-$bits "${DUR}s"
  check_eq version$bits-exit "$RC" 0
  banner | head -1 | check_transcript version$bits-transcript
done

{ yes 'jm_nvram e2e' | head -c 100; head -c 412 /dev/zero; } >/tmp/jm_nvram.bin
head -c 512 /dev/zero >/tmp/zero-sector.bin
# id;bridge options ("-": the same bridge);argument;line typed ("-": none);exit status;lines after
# the banner ("|" between them; @CHANGES@ the bytes jm_nvram.bin changes in sector 268);file to
# compare ("sector:ADDRESS": the emulator's);its pieces;
# the bridge commands ("-": not compared);seconds LOW-HIGH beyond the run before ("-": any)
for bits in 32 64; do
  while IFS=';' read -r id options arg line status lines saved pieces commands seconds; do
    id=$id$bits
    if [ "$options" != - ]; then
      bridge_start $options || return
      wine_drive 1 "$BR_SG"
    fi
    : >$STATE/trace
    [ "$line" = - ] || echo "$line" >/tmp/line
    [ "$line" = - ] || TOOL_INPUT=/tmp/line
    changes=$(cmp -l /tmp/jm_nvram.bin "$(nvram_file 268)" 2>/dev/null | wc -l)
    TOOL_FILES=/tmp/jm_nvram.bin run_exe "$id" 60 $bits $arg
    mark TIMING "$id" "${DUR}s"
    check_eq "$id-exit" "$RC" "$status"
    { banner; printf '%s\n' "$lines" | sed "s|@CHANGES@|$changes|" | tr '|' '\n'; } |
      check_transcript "$id-transcript"
    [ "$saved" = - ] || expected_image /tmp/expected.bin $pieces
    file=$RUN/$saved
    [ "${saved%:*}" = sector ] && file=$(nvram_file "${saved#*:}")
    [ "$saved" = - ] || check_same "$id-file" "$file" /tmp/expected.bin
    [ "$commands" = - ] || trace_of $commands | check_trace "$id-commands"
    [ "$seconds" = - ] ||
      check_between "$id-seconds" "$(elapsed "$before" "$DUR")" "${seconds%-*}" "${seconds#*-}"
    before=$DUR
  done <<'EOF_CASES'
list;--units 256;;100;23; 0: ATA     QEMU HARDDISK   | 1: JMicron Generic         |Please select drive number:Error: bad disk number;-;-;none;-
dump;-;1y;-;1;Drive      : 1(USB)|Ctrl/Fw version : jmABC_01_02_A0_FF|Fw size: 65536|Fw+nvram saved to jmABC_01_02_A0_FF.bin;jmABC_01_02_A0_FF.bin;fw:0:65536 nv:268;identify descriptor blocks:256 read:268;-
update;-;1u;Y;0;Drive      : 1(USB)|Ctrl/Fw version : jmABC_01_02_A0_FF|Fw size: 65536|Nvram ofs: 10c|Target     : \\.\PhysicalDrive1, JMicron Generic|Nvram changes: @CHANGES@ of 512 bytes|Make changes, You sure? Press 'Y' and 'Enter' for continue, 'N' for cancel Nvram before write saved to jmABC_01_02_A0_FF.nvram-before.bin|Nvram written and read back equal||Press any key to exit;sector:268;file:/tmp/jm_nvram.bin;identify descriptor read:268 write:268 read:268;-
dropped;--units 256 --nvram 268=/tmp/zero-sector.bin --fault nvram-write:zero;1uy;-;5;Drive      : 1(USB)|Ctrl/Fw version : jmABC_01_02_A0_FF|Fw size: 65536|Nvram ofs: 10c|Target     : \\.\PhysicalDrive1, JMicron Generic|Nvram changes: @CHANGES@ of 512 bytes|Nvram before write saved to jmABC_01_02_A0_FF.nvram-before.bin|Nvram verify error: 100 bytes differ|Nvram holds the sector before the write: nothing changed|Fw nvram update error;jmABC_01_02_A0_FF.nvram-before.bin;zero:512;identify descriptor read:268 write:268 read:268;-
slow;--units 256 --fault nvram-write:delay=5000;1uy;-;1;Drive      : 1(USB)|Ctrl/Fw version : jmABC_01_02_A0_FF|Fw size: 65536|Nvram ofs: 10c|Target     : \\.\PhysicalDrive1, JMicron Generic|Nvram changes: @CHANGES@ of 512 bytes|Nvram before write saved to jmABC_01_02_A0_FF.nvram-before.bin|Nvram written and read back equal;sector:268;file:/tmp/jm_nvram.bin;-;3.5-30
dump128k;--units 768 --nvram 780;1y;-;1;Drive      : 1(USB)|Ctrl/Fw version : jmABC_01_02_A0_FF|Fw size: 196608|Fw len too long, trunkated to 512|Fw+nvram saved to jmABC_01_02_A0_FF.bin;jmABC_01_02_A0_FF.bin;fw:0:131072 nv:780;identify descriptor blocks:512 read:780;-
check;--units 16 --fault identify:check=5/24/00:once --fault nvram-read:stall=20000:once;1y;-;4;Drive      : 1(USB)|IOCtl: status 0x2, sense 5/24/00!|Get fw version error!;-;-;-;-
stall;-;1y;-;4;Drive      : 1(USB)|Ctrl/Fw version : jmABC_01_02_A0_FF|Fw size: 4096|IOCtl: failed 0x79!|Fw nvram read error|Fw+nvram saved to jmABC_01_02_A0_FF.partial.bin;jmABC_01_02_A0_FF.partial.bin;fw:0:4096 zero:512;-;1.5-5
EOF_CASES
done

# --list on the 64-bit exe: the system's names and buses, the bridge's serial from the
# descriptor (the gadget's, in winedisk.reg); Windows tells no USB IDs.
run_exe list-option64 60 64 --list
check_eq list-option64-exit "$RC" 0
printf '%s\n' ' 0  \\.\PhysicalDrive0  sata  -          -  ATA QEMU HARDDISK' \
  ' 1  \\.\PhysicalDrive1  usb   -          E2E000000001  JMicron Generic' |
  check_transcript list-option64-transcript

in_host wineserver -k
scenario_done
