#!/usr/bin/env bash
# Hardening stage: the whole test suite under ASan + UBSan, each fuzz target for a bounded time,
# valgrind memcheck over jmreader-sim dump and update runs, and a short run of the dump
# benchmark whose heap-allocation check must hold. Any finding makes the script fail.
#
# FUZZ_SECONDS (default 60) sets the time per fuzz target; two targets run at once.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
export DEBIAN_FRONTEND=noninteractive
fuzz_seconds=${FUZZ_SECONDS:-60}

need=()
for pkg in cmake make g++ clang libclang-rt-14-dev libgtest-dev libgmock-dev libbenchmark-dev \
  valgrind; do
  dpkg -s "$pkg" >/dev/null 2>&1 || need+=("$pkg")
done
if [ "${#need[@]}" -gt 0 ]; then
  apt-get update
  apt-get install -y --no-install-recommends "${need[@]}"
fi

step() {
  echo "== hardening: $* ($((SECONDS)) s)"
}

step "test suite under AddressSanitizer + UndefinedBehaviorSanitizer"
cmake --preset asan >/dev/null
cmake --build --preset asan
ctest --preset asan -j2

step "fuzz targets, ${fuzz_seconds} s each"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz
targets=(fuzz_run fuzz_descriptor fuzz_input_line fuzz_selection fuzz_keys fuzz_scenario)
declare -A max_len=([fuzz_run]=8192 [fuzz_descriptor]=4200 [fuzz_input_line]=1024
  [fuzz_selection]=256 [fuzz_keys]=256 [fuzz_scenario]=2048)
work=$root/build-fuzz/work
rm -rf "$work/artifacts"
mkdir -p "$work/artifacts"
fuzz_one() {
  local target=$1
  mkdir -p "$work/corpus/$target"
  # Absolute paths: the run target works in a scratch directory of its own. New inputs go to
  # the work corpus; the seeds in the repository are only read.
  "$root/build-fuzz/fuzz/$target" -max_total_time="$fuzz_seconds" -timeout=10 \
    -rss_limit_mb=2048 -max_len="${max_len[$target]}" -print_final_stats=1 \
    -artifact_prefix="$work/artifacts/$target-" \
    "$work/corpus/$target" "$root/fuzz/corpus/$target" >"$work/$target.log" 2>&1
}
failed=0
for ((i = 0; i < ${#targets[@]}; i += 2)); do
  pids=()
  for target in "${targets[@]:i:2}"; do
    fuzz_one "$target" &
    pids+=("$!:$target")
  done
  for entry in "${pids[@]}"; do
    target=${entry#*:}
    if wait "${entry%%:*}"; then
      echo "$target: $(grep -E '^stat::number_of_executed_units' "$work/$target.log" |
        awk '{print $2}') runs, no finding"
    else
      echo "$target: FINDING"
      grep -E -A40 'ERROR|check failed|runtime error' "$work/$target.log" | head -60 || true
      failed=1
    fi
  done
done
if compgen -G "$work/artifacts/*" >/dev/null; then
  ls -l "$work/artifacts"
  failed=1
fi
[ "$failed" -eq 0 ] || { echo "fuzzing found a fault (inputs in $work/artifacts)"; exit 1; }

step "optimised build for valgrind and the benchmark"
cmake --preset bench >/dev/null
cmake --build --preset bench

step "valgrind memcheck over jmreader-sim"
sim=$root/build-bench/jmreader-sim
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
# The tool itself exits 1 after a run with Y, so valgrind reports its errors with another code.
# Standard input is $scratch/stdin.
memcheck() {
  local expected=$1
  shift
  local status=0
  valgrind -q --error-exitcode=99 --leak-check=full --errors-for-leak-kinds=definite,indirect \
    --show-leak-kinds=definite,indirect --log-file="$scratch/valgrind.log" "$@" \
    >"$scratch/out.txt" <"$scratch/stdin" || status=$?
  if [ -s "$scratch/valgrind.log" ] || [ "$status" -ne "$expected" ]; then
    echo "memcheck: $* exited $status (expected $expected)"
    cat "$scratch/valgrind.log" "$scratch/out.txt"
    exit 1
  fi
  echo "memcheck: $* -> $status, clean"
}
mkdir "$scratch/dump" "$scratch/update"
: >"$scratch/stdin"
(cd "$scratch/dump" && memcheck 0 "$sim" 1)
test "$(stat -c %s "$scratch/dump/jmSIM_01_02_A0_FF.bin")" -eq $((65536 + 512))
(cd "$scratch/dump" && memcheck 1 "$sim" 1ny)
test "$(stat -c %s "$scratch/dump/jmSIM_01_02_A0_FF.fw.bin")" -eq 65536
# Typed selection: the drive list, then the line read.
printf '1\r\n' >"$scratch/stdin"
(cd "$scratch/dump" && memcheck 0 "$sim")
test "$(stat -c %s "$scratch/dump/jmSIM_01_02_A0_FF.bin")" -eq $((65536 + 512))
: >"$scratch/stdin"
cat >"$scratch/update/scenario.txt" <<'SCENARIO'
drive 0 sata "ATA     " "SIM SATA DISK   "
drive 1 usb "JMicron " "Generic         " bridge
identity 4A 4D 53 00 00 00 00 00 53 49 4D 00 01 02 A0 FF
descriptor 00 01 00 00
firmware pattern 65536
nvram 268 pattern 1
log requests.txt
nvram-out store.txt
SCENARIO
head -c 512 /dev/urandom >"$scratch/update/jm_nvram.bin"
# The sector in the store must be the file's 512 bytes, at 0x100 + 12.
want="010c $(od -An -v -tx1 "$scratch/update/jm_nvram.bin" | tr -d ' \n')"
(cd "$scratch/update" && JMREADER_SIM=scenario.txt memcheck 1 "$sim" 1uy)
grep -qix "$want" "$scratch/update/store.txt" || { echo "update 1uy: sector not stored"; exit 1; }
printf 'y\n' >"$scratch/stdin"
rm "$scratch/update/store.txt"
(cd "$scratch/update" && JMREADER_SIM=scenario.txt memcheck 0 "$sim" 1u)
grep -qix "$want" "$scratch/update/store.txt" || { echo "update 1u: sector not stored"; exit 1; }

step "dump benchmark"
"$root/build-bench/bench/jm_dump_bench" --benchmark_min_time=0.2

step "done"
