# Cross-check with sg3_utils: sg_raw sends the same identify, READ BUFFER and NVRAM commands
# through the SCSI generic node and gets the bytes that the dump saved.
# limit: 40
bridge_start --units 0x30 --name SGR --version 3.14.15.92 || return
run_tool dump 20 "${BR_DRIVE}y"
image=$RUN/jmSGR_03_14_15_92.bin

raw() { # LENGTH OUT CDB...: one command, its data-in into OUT
  local length=$1 out=$2
  shift 2
  sg_raw -r "$length" -o "$out" "/dev/$BR_SG" "$@" >/dev/null 2>/tmp/sg_raw.err ||
    fail sg-raw "sg_raw $*: $(cat /tmp/sg_raw.err)"
}
hex() { od -An -tx1 "$1" | tr -d ' \n'; }

raw 16 /tmp/identify.bin e0 f4 e7 00 00 00 00 00 00 00 00 00
check_eq sg-identify "$(hex /tmp/identify.bin | cut -c17-)" "5347520003141592"
raw 4 /tmp/descriptor.bin 3c 03 01 00 00 00 00 00 04 00
check_eq sg-descriptor "$(hex /tmp/descriptor.bin)" "00003000"
: >/tmp/firmware.bin
for b in $(seq 0 4 44); do
  raw 1024 /tmp/block.bin 3c 01 01 00 "$(printf %02x "$b")" 00 00 04 00 00
  cat /tmp/block.bin >>/tmp/firmware.bin
done
raw 512 /tmp/nvram.bin df 10 00 02 00 00 00 00 00 3c 00 fa
cat /tmp/firmware.bin /tmp/nvram.bin >/tmp/sg-image.bin
check_same sg-image "$image" /tmp/sg-image.bin

scenario_done
