# Cross-check with sg3_utils: sg_raw sends the same READ BUFFER and vendor commands through the
# SCSI generic node and gets the bytes that the dump saved.
# limit: 60

bridge_start --units 0x30 --name SGR --version 3.14.15.92 || return
run_tool dump 20 "${BR_DRIVE}y"
image=$RUN/jmSGR_03_14_15_92.bin
[ -s "$image" ] && pass dump-saved || fail dump-saved "no dump file"

sg=/dev/$BR_SG
raw() { # LENGTH OUT CDB...: one command, its data-in into OUT
  length=$1
  out=$2
  shift 2
  sg_raw -r "$length" -o "$out" "$sg" "$@" >/dev/null 2>/tmp/sg_raw.err ||
    fail "sg-raw" "sg_raw $*: $(cat /tmp/sg_raw.err)"
}

raw 16 /tmp/identify.bin e0 f4 e7 00 00 00 00 00 00 00 00 00
check_eq sg-identify "$(od -An -tx1 -j8 /tmp/identify.bin | tr -d ' \n')" "5347520003141592"
raw 4 /tmp/descriptor.bin 3c 03 01 00 00 00 00 00 04 00
check_eq sg-descriptor "$(od -An -tx1 /tmp/descriptor.bin | tr -d ' \n')" "00003000"

: >/tmp/firmware.bin
for b in 0 4 8 12 16 20 24 28 32 36 40 44; do
  raw 1024 /tmp/block.bin 3c 01 01 00 "$(printf %02x $b)" 00 00 04 00 00
  cat /tmp/block.bin >>/tmp/firmware.bin
done
head -c $((0x30 * 256)) "$image" >/tmp/dump-firmware.bin
check_same sg-firmware /tmp/firmware.bin /tmp/dump-firmware.bin

raw 512 /tmp/nvram.bin df 10 00 02 00 00 00 00 00 3c 00 fa
tail -c 512 "$image" >/tmp/dump-nvram.bin
check_same sg-nvram /tmp/nvram.bin /tmp/dump-nvram.bin

scenario_done
