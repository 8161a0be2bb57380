# Helpers for the scenarios, sourced inside the VM (busybox sh).
#
# Every verdict goes to the serial console as one marker line that the host reads:
#   @@E2E PASS <scenario>/<check>        @@E2E FAIL <scenario>/<check>: <why>
#   @@E2E END <scenario>                 (the scenario ran to its end)
#   @@E2E TIMING <what> <seconds>s
# A scenario that dies half-way leaves no END marker, which the host counts as a failure.

export PATH=/bin:/sbin:/usr/bin:/usr/sbin
GADGET=/sys/kernel/config/usb_gadget/bridge
FFS=/dev/ffs-bridge
GADGETFS=/dev/gadget  # the second transport: USB Attached SCSI through gadgetfs
TRANSPORT=${TRANSPORT:-bot}  # bot (usb-storage) or uas
STATE=/tmp/bridge   # the emulator's firmware.bin, nvram-XXXX.bin and trace
EMU_PID_FILE=/tmp/emu.pid
SCENARIO=${SCENARIO:-init}

uptime_s() { cut -d' ' -f1 /proc/uptime; }
mark() { echo "@@E2E $*"; }
pass() { mark PASS "$SCENARIO/$1"; }
fail() {
  local check=$1
  shift
  mark FAIL "$SCENARIO/$check: $*"
}
# Seconds between two uptime readings, with two decimals.
elapsed() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", b - a }'; }

# --- the emulated bridge -------------------------------------------------------------------

# Finds the disk that sits on the emulated USB bus. Sets BR_DISK (sdX), BR_DRIVE (the tool's
# drive number) and BR_SG (sgN).
find_bridge_disk() {
  for d in /sys/block/sd*; do
    [ -e "$d" ] || continue
    case $(readlink -f "$d") in
      */usb*) ;;
      *) continue ;;
    esac
    [ "$(cat "$d/size")" != 0 ] || continue
    n=${d##*/}
    [ -b "/dev/$n" ] || continue
    sg=$(ls "$d/device/scsi_generic" 2>/dev/null)
    [ -n "$sg" ] && [ -c "/dev/$sg" ] || continue
    BR_DISK=$n
    BR_SG=$sg
    # sda is drive 0, sdb drive 1, ...
    BR_DRIVE=$(($(printf '%d' "'${n#sd}") - 97))
    return 0
  done
  return 1
}

# Starts the emulator with the given options (plus its state and trace files), binds the gadget
# (gadgetfs binds when the emulator writes its configuration) and waits for the kernel to attach
# the disk.
bridge_start() {
  bridge_stop
  rm -rf $STATE
  mkdir -p $STATE
  if [ "$TRANSPORT" = uas ]; then
    set -- --uas "$@" $GADGETFS
  else
    set -- "$@" $FFS
  fi
  bridge-emu --state $STATE --trace $STATE/trace --ready $STATE/ready "$@" 2>>/tmp/emu.log &
  echo $! >$EMU_PID_FILE
  i=0
  while [ ! -e $STATE/ready ]; do
    i=$((i + 1))
    if [ $i -gt 200 ] || ! kill -0 "$(cat $EMU_PID_FILE)" 2>/dev/null; then
      fail bridge-start "emulator did not come up ($*)"
      tail -5 /tmp/emu.log
      return 1
    fi
    sleep 0.05
  done
  [ "$TRANSPORT" = uas ] || echo dummy_udc.0 >$GADGET/UDC
  i=0
  until find_bridge_disk; do
    i=$((i + 1))
    if [ $i -gt 300 ]; then
      fail bridge-start "no disk attached ($*)"
      dmesg | tail -15
      return 1
    fi
    sleep 0.05
  done
  return 0
}

# Unbinds the gadget, ends the emulator and waits until its disk is gone.
bridge_stop() {
  [ -s $EMU_PID_FILE ] || return 0
  echo "" >$GADGET/UDC 2>/dev/null
  pid=$(cat $EMU_PID_FILE)
  kill "$pid" 2>/dev/null
  wait "$pid" 2>/dev/null
  : >$EMU_PID_FILE
  i=0
  while find_bridge_disk && [ $i -lt 200 ]; do
    sleep 0.05
    i=$((i + 1))
  done
}

# --- the tool ------------------------------------------------------------------------------

# Kept outside the run's directory, whose entries the checks count.
OUT=/tmp/tool.out
ERR=/tmp/tool.err

# run_tool ID LIMIT [ARG]: runs jmreader where the package installs it, /usr/sbin, with ARG (no
# argument when absent) in $TOOL_DIR, or else in the fresh directory /tmp/run/ID, standard input
# from $TOOL_INPUT (default: empty), without a terminal, killed after LIMIT seconds. Sets RUN (its
# directory), RC and DUR (seconds); its standard output is in $OUT, its standard error in $ERR,
# both echoed to the log.
run_tool() {
  local id=$1 limit=$2
  shift 2
  RUN=${TOOL_DIR:-/tmp/run/$id}
  [ -n "$TOOL_DIR" ] || rm -rf "$RUN"
  mkdir -p "$RUN"
  [ -n "$TOOL_FILES" ] && cp $TOOL_FILES "$RUN/"
  local t0
  t0=$(uptime_s)
  (cd "$RUN" && exec timeout -s KILL "$limit" setsid /usr/sbin/jmreader "$@" \
    <"${TOOL_INPUT:-/dev/null}" >$OUT 2>$ERR)
  RC=$?
  DUR=$(elapsed "$t0" "$(uptime_s)")
  echo "--- jmreader $* ($id): exit $RC after ${DUR}s"
  sed 's/^/| /' $OUT
  sed 's/^/|stderr| /' $ERR
  echo "---"
  TOOL_INPUT= TOOL_FILES= TOOL_DIR= CRLF=
  [ "$RC" = 137 ] && fail "$id" "killed after its limit of ${limit}s"
}

# --- jmreader.exe under Wine ---------------------------------------------------------------
# Wine is not installed in the VM: the host's root file system, shared read-only over 9p, is a
# chroot with the VM's /dev, /proc and /sys and a /tmp of its own; the writable share (the Wine
# prefix made on the host, the exes from the zips in win32/ and win64/) is its /tmp/w.
HOST=/host
WINE_ENV="HOME=/tmp WINEPREFIX=/tmp/w/prefix WINEDEBUG=-all
  WINEDLLOVERRIDES=winemenubuilder.exe=d;mscoree,mshtml=d"

host_up() {
  # Once per boot: a later scenario finds it up.
  grep -q " $HOST/tmp/w " /proc/mounts && return 0
  mkdir -p $HOST
  mount -t 9p -o trans=virtio,version=9p2000.L,ro,cache=loose,msize=512000 hostroot $HOST ||
    return 1
  for d in proc sys dev; do mount --bind /$d $HOST/$d; done
  mkdir -p /dev/shm
  for d in tmp run dev/shm; do mount -t tmpfs tmpfs $HOST/$d; done
  mkdir -p $HOST/tmp/w $HOST/tmp/dev $HOST/tmp/run
  mount -t 9p -o trans=virtio,version=9p2000.L,cache=mmap,msize=512000 work $HOST/tmp/w
}

# Runs a command in the chroot with Wine's environment, in the chroot's directory $IN_DIR (/tmp).
in_host() { chroot $HOST /usr/bin/env -i -C "${IN_DIR:-/tmp}" PATH=/usr/bin:/bin $WINE_ENV "$@"; }

# Completes the prefix in the writable share, whose 32-bit half a host that cannot execute 32-bit
# programs left empty: the WoW64 install that wineboot runs with the 32-bit loader. Bootstrap mode
# lets that loader start before its DLLs are in the prefix.
wow64_prefix() {
  local t0 prefix=$HOST/tmp/w/prefix
  t0=$(uptime_s)
  host_up || { fail wow64-prefix "cannot mount the host's file system"; return; }
  in_host WINEBOOTSTRAPMODE=1 /usr/lib/wine/wine 'C:\windows\syswow64\rundll32.exe' \
    setupapi,InstallHinfSection Wow64Install 128 '\\?\unix/usr/share/wine/wine.inf' \
    >/tmp/wineboot.log 2>&1
  in_host wineserver -w
  sed 's/^/| /' /tmp/wineboot.log
  mark TIMING wow64-prefix "$(elapsed "$t0" "$(uptime_s)")s"
  if [ -e $prefix/drive_c/windows/syswow64/kernel32.dll ]; then
    pass wow64-prefix
  else
    fail wow64-prefix "no drive_c/windows/syswow64/kernel32.dll after the WoW64 install"
  fi
  sync
}

# Points the test driver's drive N at /dev/SG through a device node in the chroot's /tmp, which
# keeps its inode while the bridge comes and goes: Wine's ntdll keeps state for 5 device inodes
# per process, never freed, and the driver's process lives through every bridge start.
wine_drive() { # N SG
  local dev node
  dev=$(cat /sys/class/scsi_generic/$2/dev)
  node=/tmp/dev/sg-${dev%:*}-${dev#*:}
  [ -c $HOST$node ] || mknod $HOST$node c ${dev%:*} ${dev#*:}
  ln -sfn $node $HOST/tmp/w/prefix/dosdevices/winedisk$1
}

# run_exe ID LIMIT BITS [ARG]: as run_tool, for jmreader.exe of the BITS-bit zip under Wine, in
# the fresh directory /tmp/run/ID of the chroot (RUN is its path from outside). Wine writes CR LF
# line ends: $OUT has them taken out, $OUT.raw is what came, and CRLF tells check_transcript to
# check them.
run_exe() {
  local id=$1 limit=$2 bits=$3 loader=/usr/lib/wine/wine t0
  shift 3
  [ "$bits" = 64 ] && loader=/usr/lib/wine/wine64
  RUN=$HOST/tmp/run/$id
  rm -rf "$RUN"
  mkdir -p "$RUN"
  [ -n "$TOOL_FILES" ] && cp $TOOL_FILES "$RUN/"
  t0=$(uptime_s)
  IN_DIR=/tmp/run/$id timeout -s KILL "$limit" setsid sh -c '. /e2e/lib.sh; in_host "$@"' \
    sh $loader /tmp/w/win$bits/jmreader.exe "$@" <"${TOOL_INPUT:-/dev/null}" >$OUT.raw 2>$ERR
  RC=$?
  DUR=$(elapsed "$t0" "$(uptime_s)")
  tr -d '\r' <$OUT.raw >$OUT
  echo "--- jmreader.exe ($bits-bit) $* ($id): exit $RC after ${DUR}s"
  sed 's/^/| /' $OUT
  sed 's/^/|stderr| /' $ERR
  echo "---"
  TOOL_INPUT= TOOL_FILES=
  CRLF=1
  [ "$RC" = 137 ] && fail "$id" "killed after its limit of ${limit}s"
}

# Runs a shell command as the unprivileged user "other" (uid 1000).
as_other() {
  if ! grep -q '^other:' /etc/passwd 2>/dev/null; then
    printf 'root:x:0:0::/root:/bin/sh\nother:x:1000:1000::/tmp:/bin/sh\n' >/etc/passwd
    printf 'root:x:0:\nother:x:1000:\n' >/etc/group
  fi
  su -s /bin/sh other -c "$1"
}

# --- checks --------------------------------------------------------------------------------

check_eq() { # ID ACTUAL EXPECTED
  if [ "$2" = "$3" ]; then pass "$1"; else fail "$1" "got [$2], expected [$3]"; fi
}

# The exact standard output of the last run against the text on standard input. The OS line
# depends on the kernel, so "OS: *" in the expected text stands for any line that starts with
# "OS: ". After run_exe every line must end in CR LF.
check_transcript() { # ID
  cat >/tmp/expected
  sed '2s/^OS: .*/OS: */' $OUT >/tmp/actual
  if [ -n "$CRLF" ] && ! awk '{ printf "%s\r\n", $0 }' $OUT | cmp -s - $OUT.raw; then
    fail "$1" "line ends are not CR LF"
  elif cmp -s /tmp/expected /tmp/actual; then
    pass "$1"
  else
    fail "$1" "transcript differs"
    diff /tmp/expected /tmp/actual | sed 's/^/  /'
  fi
}

check_same() { # ID FILE EXPECTED-FILE
  if [ ! -e "$2" ]; then
    fail "$1" "$2 missing"
  elif cmp "$2" "$3" >/tmp/cmp 2>&1; then
    pass "$1"
  else
    fail "$1" "$2 differs from $3: $(cat /tmp/cmp) (sizes $(wc -c <"$2")/$(wc -c <"$3"))"
    echo "  first differing bytes (offset from 1, octal: got, expected):"
    cmp -l "$2" "$3" 2>/dev/null | head -6 | sed 's/^/   /'
  fi
}

check_between() { # ID VALUE LOW HIGH
  if awk -v v="$2" -v lo="$3" -v hi="$4" 'BEGIN { exit !(v >= lo && v < hi) }'; then
    pass "$1"
  else
    fail "$1" "$2 not within [$3, $4)"
  fi
}

# The bridge commands that the emulator received since it started, against standard input.
check_trace() { # ID
  cat >/tmp/expected
  if cmp -s /tmp/expected $STATE/trace; then
    pass "$1"
  else
    fail "$1" "bridge commands differ"
    diff /tmp/expected $STATE/trace | head -20 | sed 's/^/  /'
  fi
}

# --- expected bytes and commands -----------------------------------------------------------

nvram_file() { printf '%s/nvram-%04x.bin' $STATE "$1"; }

# Writes OUT from pieces: fw:OFFSET:LENGTH (bytes of the emulator's buffer 1), nv:ADDRESS (an
# NVRAM sector), zero:LENGTH, file:PATH.
expected_image() { # OUT PIECE...
  local out=$1 piece kind a
  shift
  : >"$out"
  for piece; do
    kind=${piece%%:*}
    a=${piece#*:}
    case $kind in
      fw) tail -c +$((${a%%:*} + 1)) $STATE/firmware.bin | head -c "${a#*:}" ;;
      nv) cat "$(nvram_file "$a")" ;;
      zero) head -c "$a" /dev/zero ;;
      file) cat "$a" ;;
    esac >>"$out"
  done
}

# Trace lines of the commands as the tool sends them.
trace_identify() { echo "E0 F4 E7 00 00 00 00 00 00 00 00 00 in 16 -> status 0 moved 16"; }
trace_descriptor() { echo "3C 03 01 00 00 00 00 00 04 00 in 4 -> status 0 moved 4"; }
trace_blocks() { # UNITS: one 1024-byte read at every fourth unit below UNITS
  b=0
  while [ $b -lt "$1" ]; do
    printf '3C 01 01 %02X %02X 00 00 04 00 00 in 1024 -> status 0 moved 1024\n' \
      $((b >> 8)) $((b & 255))
    b=$((b + 4))
  done
}
trace_nvram() { # read|write ADDRESS
  if [ "$1" = read ]; then
    printf 'DF 10 00 02 00 00 00 00 %02X %02X 00 FA in 512 -> status 0 moved 512\n' \
      $(($2 >> 8)) $(($2 & 255))
  else
    printf 'DF 01 00 02 00 00 00 00 %02X %02X 00 FB out 512 -> status 0 moved 512\n' \
      $(($2 >> 8)) $(($2 & 255))
  fi
}

# Trace lines from words: identify, descriptor, blocks:UNITS, read:ADDRESS, write:ADDRESS.
trace_of() {
  for w; do
    case $w in
      identify) trace_identify ;;
      descriptor) trace_descriptor ;;
      blocks:*) trace_blocks "${w#*:}" ;;
      read:* | write:*) trace_nvram "${w%%:*}" "${w#*:}" ;;
    esac
  done
}

# by_transport BOT-VALUE UAS-VALUE: the value for the transport under test.
by_transport() { [ "$TRANSPORT" = uas ] && echo "$2" || echo "$1"; }

# The transcript lines every run starts with.
banner() {
  echo "JMicron USB bridge firmware and nvram reader v0.11a by Telgrove"
  echo "OS: *"
}

# ... and, for a bridge that answers its identify, the drive and version lines.
dump_head() {
  banner
  echo "Drive      : $BR_DRIVE(USB)"
  echo "Ctrl/Fw version : jmABC_01_02_A0_FF"
}

scenario_done() {
  bridge_stop
  mark END "$SCENARIO"
}
