#!/bin/bash
# Runs a Windows console program under Wine in a pseudo-terminal (Wine gives a process a console
# only there) and types F1 once the program's "Press any key" has stood for a second.
#
#   terminal_test.sh COMMAND...
#
# The program's standard output and error go to a log, shown at the end. Fails when the program
# ends before the key or does not end within 15 s of it; otherwise exits with its status.
set -u
work=$(mktemp -d)
pid=
trap 'exec 3>&-; [ -n "$pid" ] && kill "$pid" 2> /dev/null; cat "$work/log"; rm -rf "$work"' EXIT
fail() {
  echo "FAIL: $*"
  exit 1
}

# The terminal's input stays open until the end: its end would reach the console as a key.
mkfifo "$work/keys"
exec 3<> "$work/keys"
printf -v command '%q ' "$@"
script -qefc "$command > $work/log 2>&1" /dev/null < "$work/keys" > /dev/null 2>&1 &
pid=$!

for ((i = 0; i < 120; i++)); do
  grep -q "Press any key" "$work/log" 2> /dev/null && break
  kill -0 "$pid" 2> /dev/null || fail "ended without asking for a key"
  sleep 0.5
done
((i < 120)) || fail "no key prompt within 60 s"
sleep 1
kill -0 "$pid" 2> /dev/null || fail "the key wait ended without a key"
printf '\033OP' >&3
for ((i = 0; i < 30; i++)); do
  kill -0 "$pid" 2> /dev/null || break
  sleep 0.5
done
((i < 30)) || fail "still waiting 15 s after F1"
wait "$pid"
status=$? pid=
exit "$status"
