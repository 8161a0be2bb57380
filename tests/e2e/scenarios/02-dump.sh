# One dump through SG_IO, byte for byte with the exact commands on the wire, saved as root in a
# sticky world-writable folder where another user planted a symbolic link at the final name: the
# root-owned file it points to stays as it was. (Links at other names, such as the guessable
# temporary name of older tools, are the save's unit tests.)
# limit: 60

# 768 units: the file keeps 0x20000 bytes of firmware, and the sector comes from units + 12.
bridge_start --units 768 --nvram 780 --nvram 524 || return
N=jmABC_01_02_A0_FF
D=/tmp/shared
V=/tmp/root-only  # root's files
mkdir -m 755 $V
expected_image /tmp/expected.bin fw:0:131072 nv:780
# Without the kernel's own guards only the tool's care keeps the planted links harmless.
for p in symlinks hardlinks regular; do echo 0 >/proc/sys/fs/protected_$p; done

# (A hard link planted at the final name is kept under a numbered name: the save's unit tests.)
echo "root's file" >$V/victim
rm -rf $D
mkdir -m 1777 $D
as_other "ln -s $V/victim $D/$N.bin" || fail plant "could not plant as uid 1000"
TOOL_DIR=$D run_tool symlink 30 "${BR_DRIVE}y"
check_eq exit "$RC" 1
check_same file $D/$N.bin /tmp/expected.bin
check_eq new-root-file "$(stat -c '%u %h %F' $D/$N.bin)" "0 1 regular file"
check_eq victim "$(cat $V/victim)" "root's file"
# Nothing but the dump: no temporary file, no backup of a link.
check_eq entries "$(ls -A $D | tr '\n' ' ')" "$N.bin "
printf '%s\n' "$(dump_head)" "Fw size: 196608" "Fw len too long, trunkated to 512" \
  "Fw+nvram saved to $N.bin" | check_transcript transcript
trace_of identify descriptor blocks:512 read:780 | check_trace commands
mark TIMING dump-128KiB-in-vm "${DUR}s"

scenario_done
