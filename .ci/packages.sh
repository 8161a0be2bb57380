#!/bin/bash
# The Debian package as a user gets it: built with `cmake --workflow --preset deb`, then its
# control fields, Debian's own checks (lintian, hardening-check), and its contents unpacked into
# a scratch folder and used. (The Windows zips are built and listed by .ci/windows.sh; the VM run
# uses both.)
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

need=()
command -v dpkg-shlibdeps >/dev/null || need+=(dpkg-dev)
command -v man >/dev/null || need+=(man-db)
command -v lintian >/dev/null || need+=(lintian)
command -v hardening-check >/dev/null || need+=(devscripts)
if [ ${#need[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q
  apt-get install -y -q --no-install-recommends "${need[@]}"
fi

log() { printf '=== packages: %s\n' "$*"; }
failed=0
check() { # WHAT ACTUAL EXPECTED
  if [ "$2" = "$3" ]; then
    log "ok: $1"
  else
    log "FAIL: $1: got [$2], expected [$3]"
    failed=1
  fi
}

mkdir -p build-deb
cmake --workflow --preset deb >build-deb/workflow.log 2>&1 || {
  cat build-deb/workflow.log
  exit 1
}
# The package's build does not treat warnings as errors (a packager's next compiler may warn
# more); this one does.
check "compiler warnings" "$(grep -c 'warning:' build-deb/workflow.log || true)" 0
version=$(sed -n 's/^set(JMREADER_VERSION \([^ )]*\))$/\1/p' CMakeLists.txt)
arch=$(dpkg --print-architecture)
deb=build-deb/jmreader_${version}_$arch.deb
log "built $deb"
dpkg-deb --info "$deb"

# Debian's checks: lintian's errors and warnings (overrides carry their reasons in the package),
# and the hardening of both programs, as far as this dpkg-buildflags provides it.
lintian --fail-on error,warning "$deb" >build-deb/lintian.log 2>&1 && rc=0 || rc=$?
check "lintian" "$rc $(grep -E '^[EW]: ' build-deb/lintian.log || true)" "0 "
cfi=--nocfprotection
dpkg-buildflags --query-features hardening | grep -qx 'Feature: branch' && cfi=
field() { dpkg-deb --field "$deb" "$1"; }
check Package "$(field Package)" jmreader
check Version "$(field Version)" "$version"
check Architecture "$(field Architecture)" "$arch"

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
dpkg -x "$deb" "$scratch"
doc=./usr/share/doc/jmreader
check contents "$(cd "$scratch" && find . -type f | LC_ALL=C sort | tr '\n' ' ')" \
  "./usr/bin/jmreader-sim ./usr/sbin/jmreader $doc/README.md $doc/changelog.gz $doc/copyright \
$doc/doc/building.md $doc/doc/departures.md $doc/doc/design.md $doc/doc/hardening.md \
$doc/doc/jmreader-sim.md $doc/doc/packaging.md $doc/doc/usage.md \
$doc/examples/bridge.txt $doc/examples/dropped-write.txt $doc/examples/stalled-block.txt \
./usr/share/lintian/overrides/jmreader ./usr/share/man/man1/jmreader-sim.1.gz \
./usr/share/man/man8/jmreader.8.gz "
out=$(hardening-check $cfi "$scratch"/usr/sbin/jmreader "$scratch"/usr/bin/jmreader-sim 2>&1) &&
  rc=0 || rc=$?
check "hardening-check" "$rc" 0
[ "$rc" = 0 ] || echo "$out"
# The copyright file holds LICENSE's permission text, as Debian's format indents it.
check "copyright holds the licence" \
  "$(awk '/^License: Expat$/ { n++; next } n == 2' "$scratch/$doc/copyright" | sed 's/^ \.$//; s/^ //')" \
  "$(sed '1,/^Copyright /d' LICENSE | sed '1{/^$/d}')"
zcat "$scratch/$doc/changelog.gz" >"$scratch/changelog"
check "changelog's version" "$(dpkg-parsechangelog -l "$scratch/changelog" -S Version)" "$version"
# `cmake --install`: the licence beside the README instead of the Debian documents.
cmake --install build-deb --prefix "$scratch/install" >/dev/null
check "cmake --install" "$(cd "$scratch/install" && find . -type f | LC_ALL=C sort | tr '\n' ' ')" \
  "./bin/jmreader-sim ./sbin/jmreader ./share/doc/jmreader/LICENSE \
./share/doc/jmreader/README.md ./share/doc/jmreader/doc/building.md \
./share/doc/jmreader/doc/departures.md ./share/doc/jmreader/doc/design.md \
./share/doc/jmreader/doc/hardening.md ./share/doc/jmreader/doc/jmreader-sim.md \
./share/doc/jmreader/doc/packaging.md ./share/doc/jmreader/doc/usage.md \
./share/doc/jmreader/examples/bridge.txt \
./share/doc/jmreader/examples/dropped-write.txt ./share/doc/jmreader/examples/stalled-block.txt \
./share/man/man1/jmreader-sim.1.gz ./share/man/man8/jmreader.8.gz "

# Depends names exactly the packages that own the libraries the binaries load, each with a
# lowest version.
owner() { { dpkg -S "$1" 2>/dev/null || dpkg -S "/usr$1"; } | head -1 | cut -d: -f1; }
owners=$(for lib in $(ldd "$scratch"/usr/bin/* "$scratch"/usr/sbin/* | awk '/=>/ { print $3 } /ld-linux/ { print $1 }' |
  sort -u); do owner "$lib"; done | sort -u | tr '\n' ' ')
names=$(field Depends | tr ',' '\n' | awk '{ print $1 }' | sort -u | tr '\n' ' ')
check "Depends names" "$names" "$owners"
check "Depends versions" "$(field Depends | tr ',' '\n' | grep -cv '(>= [^)]*)' || true)" 0

out=$("$scratch/usr/sbin/jmreader" --version) && rc=0 || rc=$?
check "jmreader --version" "$out / $rc" \
  "JMicron USB bridge firmware and nvram reader v$version by Telgrove / 0"
# man-db renders with warnings on; any message on standard error is a fault in a page.
for page in man8/jmreader.8.gz man1/jmreader-sim.1.gz; do
  text=$(man --warnings -l "$scratch/usr/share/man/$page" 2>"$scratch/man.err") && rc=0 || rc=$?
  check "$page renders" "$rc $(cat "$scratch/man.err")" "0 "
  name=${page#*/}
  check "$page names its program and version" \
    "$(echo "$text" | grep -cE "^ *${name%%.*} +- |^jmreader $version ")" 2
done

[ $failed = 0 ] || exit 1
log "all checks passed"
