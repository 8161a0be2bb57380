# Dumps that could not read everything over a complete earlier one, in one folder:
# "<name>.partial.bin" holds what was read, "<name>.bin" stays the earlier dump byte for byte and
# no temporary file is left; an earlier file of the same name that differs is kept as "~1~". The
# faults come through usb-storage and the SCSI midlayer: sense data, a HARDWARE ERROR that the
# midlayer retries until the tool's 2-second time-out, a Bulk-Only phase error with its reset,
# short transfers, and a stall that ends at the time-out, after which the next run works on the
# same disk. Through uas the HARDWARE ERROR comes back at once (no retry) and the phase error is a
# RESPONSE IU; seconds are given as BOT/UAS where they differ.
# limit: 90
N=jmABC_01_02_A0_FF
D=/tmp/run/over
rm -rf $D
mkdir -p $D

# id;bridge options ("-": the same bridge);seconds LOW-HIGH ("-": any);exit status (0: run
# without Y, then the key wait, which ends at once without a terminal; 1: done with Y; 4: a
# partial dump);file;pieces of the file;lines after the version line ("|" between them) up to the
# "saved to" line
while IFS=';' read -r id options seconds status saved pieces lines; do
  if [ "$options" != - ]; then bridge_start $options || return; fi
  rm -f /tmp/previous.bin $D/*~
  [ -e $D/$N.$saved ] && cp $D/$N.$saved /tmp/previous.bin
  yes=$([ "$status" = 0 ] || echo y)
  TOOL_DIR=$D run_tool "$id" 20 "${BR_DRIVE}$yes"
  check_eq "$id-exit" "$RC" "$status"
  expected_image /tmp/expected.bin $pieces
  backup=
  [ -e /tmp/previous.bin ] && ! cmp -s /tmp/previous.bin /tmp/expected.bin && backup=$N.$saved.~1~
  {
    dump_head
    echo "$lines" | tr '|' '\n'
    [ -z "$backup" ] || echo "Earlier $N.$saved kept as $backup"
    echo "Fw+nvram saved to $N.$saved"
    [ -n "$yes" ] || printf '\nPress any key to exit\n'
  } | check_transcript "$id-transcript"
  # Each failed command and short transfer has its reason on standard error, naming the disk.
  check_eq "$id-reasons" "$(grep -c "^jmreader: /dev/$BR_DISK: " $ERR)" \
    "$(grep -c '^IOCtl: \|short read' $OUT)"
  [ "$id" != stall ] || check_eq stall-reason "$(cat $ERR)" \
    "jmreader: /dev/$BR_DISK: Connection timed out (the bridge did not answer within 2 s)
jmreader: saved $D/$N.$saved${backup:+
jmreader: kept $D/$backup}"
  check_same "$id-file" $D/$N.$saved /tmp/expected.bin
  [ "$saved" != bin ] || cp $D/$N.bin /tmp/earlier.bin
  [ "$saved" = bin ] || check_same "$id-earlier-kept" $D/$N.bin /tmp/earlier.bin
  check_eq "$id-no-temporary" "$(ls -A $D | grep -vx "$N.bin\|$N.partial.bin\|$backup")" ""
  seconds=$(by_transport "${seconds%/*}" "${seconds#*/}")
  [ "$seconds" = - ] || check_between "$id-seconds" "$DUR" ${seconds%-*} ${seconds#*-}
done <<'EOF_CASES'
last-block-short;--units 14 --fault block@12:short=512;-;1;bin;fw:0:3584 nv:26;Fw size: 3584
check-block;--units 16 --fault block@4:check=5/21/00;-;4;partial.bin;fw:0:1024 zero:1024 fw:2048:2048 nv:28;Fw size: 4096|IOCtl: status 0x2, sense 5/21/00!|Fw block #4 read error
short;--units 16 --fault block@4:short=300 --fault nvram-read:short=100;-;4;partial.bin;fw:0:1324 zero:724 fw:2048:2048 zero:512;Fw size: 4096|Fw block #4 short read: 300 of 1024 bytes|Fw block #4 read error|Nvram short read: 100 of 512 bytes!|Fw nvram read error
hardware-error;--units 16 --fault nvram-read:check=4/44/00;1.5-5/0-1;4;partial.bin;fw:0:4096 zero:512;Fw size: 4096|IOCtl: status 0x2, sense 4/44/00!|Fw nvram read error
phase-error;--units 16 --fault descriptor:error --nvram 12;-;4;partial.bin;nv:12;IOCtl: failed 0x5!|Fw size: 0
stall;--units 16 --fault nvram-read:stall=6000:once;2-6.9;4;partial.bin;fw:0:4096 zero:512;Fw size: 4096|IOCtl: failed 0x6e!|Fw nvram read error
after-stall;-;-;0;bin;fw:0:4096 nv:28;Fw size: 4096
EOF_CASES

scenario_done
