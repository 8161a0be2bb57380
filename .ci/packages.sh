#!/bin/bash
# The Debian package as a user gets it: built with `cmake --workflow --preset deb`, then its
# control fields, and its contents unpacked into a scratch folder and used. (The Windows zips are
# built and listed by .ci/windows.sh; the VM run uses both.)
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

need=()
command -v dpkg-shlibdeps >/dev/null || need+=(dpkg-dev)
command -v man >/dev/null || need+=(man-db)
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
version=$(sed -n 's/^project(jmreader VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
arch=$(dpkg --print-architecture)
deb=build-deb/jmreader_${version}_$arch.deb
log "built $deb"
dpkg-deb --info "$deb"

field() { dpkg-deb --field "$deb" "$1"; }
check Package "$(field Package)" jmreader
check Version "$(field Version)" "$version"
check Architecture "$(field Architecture)" "$arch"

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
dpkg -x "$deb" "$scratch"
check contents "$(cd "$scratch" && find . -type f | LC_ALL=C sort | tr '\n' ' ')" \
  "./usr/bin/jmreader ./usr/bin/jmreader-sim ./usr/share/doc/jmreader/README.md \
./usr/share/man/man1/jmreader.1 "

# Depends names exactly the packages that own the libraries the binaries load, each with a
# lowest version.
owner() { { dpkg -S "$1" 2>/dev/null || dpkg -S "/usr$1"; } | head -1 | cut -d: -f1; }
owners=$(for lib in $(ldd "$scratch"/usr/bin/* | awk '/=>/ { print $3 } /ld-linux/ { print $1 }' |
  sort -u); do owner "$lib"; done | sort -u | tr '\n' ' ')
names=$(field Depends | tr ',' '\n' | awk '{ print $1 }' | sort -u | tr '\n' ' ')
check "Depends names" "$names" "$owners"
check "Depends versions" "$(field Depends | tr ',' '\n' | grep -cv '(>= [^)]*)' || true)" 0

out=$("$scratch/usr/bin/jmreader" --version) && rc=0 || rc=$?
check "jmreader --version" "$out / $rc" \
  "JMicron USB bridge firmware and nvram reader v0.11a by Telgrove / 0"
# man-db renders with warnings on; any message on standard error is a fault in the page.
page=$(man --warnings -l "$scratch/usr/share/man/man1/jmreader.1" 2>"$scratch/man.err") && rc=0 ||
  rc=$?
check "man page renders" "$rc $(cat "$scratch/man.err")" "0 "
check "man page names the tool" "$(echo "$page" | grep -c '^ *jmreader *- read the firmware')" 1

[ $failed = 0 ] || exit 1
log "all checks passed"
