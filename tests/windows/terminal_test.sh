#!/bin/bash
# Runs a Windows program under Wine with a pseudo-terminal as its console: Wine opens "CONIN$"
# only for a process that sits in a terminal. Standard output and error go to a log, which is
# shown at the end, so the program's own bytes (CR LF included) can be checked.
#
#   terminal_test.sh run -- COMMAND...
#       Runs COMMAND; exits with its status.
#   terminal_test.sh keywait -- COMMAND... jmreader.exe
#       Runs "jmreader.exe 0" (Wine's PhysicalDrive0 is no USB disk, so the run goes straight
#       to the key wait), checks that it keeps waiting, types the Up arrow and expects the run
#       to end with status 0 and the exact transcript.
set -u

mode=${1:-}
shift || true
[ "${1:-}" = "--" ] && shift
if [ $# -eq 0 ] || { [ "$mode" != run ] && [ "$mode" != keywait ]; }; then
  echo "usage: $0 run|keywait -- COMMAND..." >&2
  exit 2
fi
command -v script > /dev/null || { echo "script (util-linux) is needed" >&2; exit 2; }

work=$(mktemp -d)
fifo=$work/keys
log=$work/output
mkfifo "$fifo"
script_pid=
cleanup() {
  exec 3>&- 2> /dev/null
  if [ -n "$script_pid" ] && kill -0 "$script_pid" 2> /dev/null; then
    kill "$script_pid" 2> /dev/null
    wait "$script_pid" 2> /dev/null
  fi
  rm -rf "$work"
}
trap cleanup EXIT

args=("$@")
[ "$mode" = keywait ] && args+=(0)
printf -v quoted '%q ' "${args[@]}"

# The terminal's input stays open (fd 3) until we are done: an end of input would reach the
# console as a key press of its own.
exec 3<> "$fifo"
script -qefc "$quoted > $log 2>&1" /dev/null < "$fifo" > /dev/null 2>&1 &
script_pid=$!

# Waits up to $2 seconds for text $1 in the log.
wait_for_text() {
  local deadline=$((SECONDS + $2))
  while ! grep -qF -- "$1" "$log" 2> /dev/null; do
    if ((SECONDS >= deadline)) || ! kill -0 "$script_pid" 2> /dev/null; then
      return 1
    fi
    sleep 0.2
  done
}

# Waits up to $1 seconds for the program to end; sets $status.
wait_for_exit() {
  local deadline=$((SECONDS + $1))
  while kill -0 "$script_pid" 2> /dev/null; do
    if ((SECONDS >= deadline)); then
      return 1
    fi
    sleep 0.2
  done
  wait "$script_pid"
  status=$?
  script_pid=
}

show_log() {
  echo "----- output of ${args[*]}"
  cat "$log" 2> /dev/null
  echo "-----"
}

if [ "$mode" = run ]; then
  if ! wait_for_exit 300; then
    show_log
    echo "FAIL: still running after 300 s"
    exit 1
  fi
  show_log
  exit "$status"
fi

fail() {
  show_log
  echo "FAIL: $*"
  exit 1
}
wait_for_text "Press any key to exit" 60 || fail "no key prompt"
sleep 2
kill -0 "$script_pid" 2> /dev/null || fail "the key wait ended without a key"
printf '\033[A' >&3
wait_for_exit 15 || fail "still waiting 15 s after the Up arrow"
show_log
[ "$status" -eq 0 ] || fail "exit status $status, not 0"

# Banner, OS line, drive line, the verdict and the prompt, each ending in CR LF, and nothing more.
expected_head='JMicron USB bridge firmware and nvram reader v0.11a by Telgrove\r'
expected_tail='Drive      : 0(NVME)\r|Not usb device!\r|\r|Press any key to exit\r'
head=$(sed -n 1p "$log")
os=$(sed -n 2p "$log")
tail=$(sed -n '3,$p' "$log" | paste -sd'|')
[ "$head" = "$(printf "$expected_head")" ] || fail "banner line: $head"
[[ "$os" =~ ^OS:\ [0-9]+\.[0-9]+\ build\ [0-9]+\ .*$'\r'$ ]] || fail "OS line: $os"
[ "$tail" = "$(printf "$expected_tail")" ] || fail "after the OS line: $tail"
[ "$(tail -c 2 "$log" | od -An -tx1 | tr -d ' ')" = 0d0a ] || fail "last line does not end in CR LF"
echo "PASS: the key wait held until the Up arrow, then the run ended with status 0"
exit 0
