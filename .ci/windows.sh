#!/bin/bash
# The Windows side: cross-builds jmreader.exe (32- and 64-bit) with Debian's mingw-w64 and runs
# the whole test suite under Wine.
#
#   .ci/windows.sh          install what is missing, build both trees, run every test
#   .ci/windows.sh build    build both trees only (build-win32/, build-win64/)
#   .ci/windows.sh zips     build the release zips only (build-zip-win32/, build-zip-win64/)
#   .ci/windows.sh install  install the cross compilers and Wine only
#
# Exits non-zero on any failure. Each tree keeps its Wine prefix (and so its wineserver) inside
# itself: build-win32/wineprefix, build-win64/wineprefix.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
mode=${1:-all}
jobs=$(nproc 2> /dev/null || echo 2)

log() { printf '=== windows: %s\n' "$*"; }

# ---------------------------------------------------------------------------------------------
install_packages() {
  local wanted=(g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix wine wine64 wine32:i386
                googletest cmake ninja-build python3 bsdutils unzip icoutils)
  local missing=()
  for package in "${wanted[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2> /dev/null | grep -q "install ok installed"; then
      missing+=("$package")
    fi
  done
  if [ ${#missing[@]} -eq 0 ]; then
    log "packages present"
    return
  fi
  log "installing ${missing[*]}"
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
  fi
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q
  apt-get install -y -q --no-install-recommends "${missing[@]}"
}

# ---------------------------------------------------------------------------------------------
# Wine loaders. Debian's "wine" script runs the 32-bit loader whenever it is installed, so the
# 64-bit tree calls the 64-bit loader itself (as cmake/mingw-x86_64.cmake does).
wine64_loader() {
  if [ -x /usr/lib/wine/wine64 ]; then
    echo /usr/lib/wine/wine64
  else
    command -v wine64 || command -v wine
  fi
}

# Whether this host can execute 32-bit x86 programs at all (some kernels and sandboxes cannot).
can_run_32bit() {
  [ -x /usr/lib/wine/wine ] && /usr/lib/wine/wine --version > /dev/null 2>&1
}

# Runs "$@" with the environment of tree $1's Wine prefix.
with_prefix() {
  local tree=$1 arch=$2
  shift 2
  local loader
  if [ "$arch" = x86_64 ]; then
    loader=$(wine64_loader)
    env WINEPREFIX="$tree/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES=winemenubuilder.exe=d \
      WINELOADER="$loader" "$@"
  else
    env WINEPREFIX="$tree/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES=winemenubuilder.exe=d "$@"
  fi
}

running_prefixes=()
stop_wineservers() {
  local entry
  for entry in "${running_prefixes[@]}"; do
    with_prefix "${entry%:*}" "${entry##*:}" wineserver -k > /dev/null 2>&1 || true
  done
  running_prefixes=()
}
trap stop_wineservers EXIT

# A persistent wineserver and an initialised prefix before CTest starts: otherwise each test
# waits seconds for Wine's services to let go of CTest's pipe.
start_wine() {
  local tree=$1 arch=$2 loader
  if [ "$arch" = x86_64 ]; then loader=$(wine64_loader); else loader=$(command -v wine); fi
  mkdir -p "$tree/wineprefix"
  with_prefix "$tree" "$arch" wineserver -p
  running_prefixes+=("$tree:$arch")
  with_prefix "$tree" "$arch" "$loader" cmd /c exit > /dev/null 2>&1
}

# ---------------------------------------------------------------------------------------------
build_tree() {
  local arch=$1 tree=$2 generator=()
  command -v ninja > /dev/null && generator=(-G Ninja)
  log "configure $tree ($arch)"
  cmake -S "$root" -B "$tree" "${generator[@]}" \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-$arch.cmake" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DJMREADER_WERROR=ON
  log "build $tree"
  cmake --build "$tree" -j "$jobs"
}

test_tree() {
  local arch=$1 tree=$2
  if [ "$arch" = i686 ] && ! can_run_32bit; then
    log "SKIPPED running the 32-bit tests: this host cannot execute 32-bit x86 programs" \
        "(Wine's 32-bit loader fails with 'Exec format error'); checking the exe's manifest only"
    bash "$root/tests/windows/check_manifest.sh" i686-w64-mingw32-objdump "$tree/jmreader.exe" \
      i686
    return
  fi
  log "test $tree under Wine"
  start_wine "$tree" "$arch"
  (cd "$tree" && ctest --output-on-failure -j "$jobs" --timeout 600)
  stop_wineservers
}

# ---------------------------------------------------------------------------------------------
# The release zips, one per architecture (`cmake --workflow --preset win32|win64`), each holding
# exactly the two exes, the README, the licence, the documents it links to and the simulator's
# examples, in a folder named like the zip.
package_zips() {
  local version preset arch name listing tree exe
  version=$(sed -n 's/^set(JMREADER_VERSION \([^ )]*\))$/\1/p' "$root/CMakeLists.txt")
  for preset in win32 win64; do
    arch=i686
    [ $preset = win64 ] && arch=x86_64
    name=jmreader-$version-$preset-$arch
    log "package $name.zip"
    tree=$root/build-zip-$preset
    mkdir -p "$tree"
    (cd "$root" && cmake --workflow --preset $preset) >"$tree/workflow.log" 2>&1 || {
      cat "$tree/workflow.log"
      return 1
    }
    # The release build does not treat warnings as errors; CI does.
    if grep 'warning:' "$tree/workflow.log"; then
      log "FAIL: $name: compiler warnings"
      return 1
    fi
    listing=$(unzip -Z1 "$tree/$name.zip" | LC_ALL=C sort | tr '\n' ' ')
    if [ "$listing" != "$name/LICENSE $name/README.md $name/doc/ $name/doc/building.md \
$name/doc/departures.md $name/doc/design.md $name/doc/hardening.md $name/doc/jmreader-sim.md \
$name/doc/packaging.md $name/doc/usage.md $name/examples/ $name/examples/bridge.txt \
$name/examples/dropped-write.txt $name/examples/stalled-block.txt $name/jmreader-sim.exe \
$name/jmreader.exe " ]; then
      log "FAIL: $name.zip holds $listing"
      return 1
    fi
    # The zip's exes, not the build tree's: jmreader.exe must ask for administrator rights, and
    # both must say what they are.
    rm -rf "$tree/unzipped"
    unzip -q "$tree/$name.zip" -d "$tree/unzipped"
    bash "$root/tests/windows/check_manifest.sh" "$arch-w64-mingw32-objdump" \
      "$tree/unzipped/$name/jmreader.exe" $arch
    for exe in jmreader jmreader-sim; do
      python3 "$root/tests/windows/check_version.py" "$tree/unzipped/$name/$exe.exe" "$version"
    done
  done
}

case "$mode" in
  install)
    install_packages
    ;;
  build)
    build_tree i686 "$root/build-win32"
    build_tree x86_64 "$root/build-win64"
    log "built $root/build-win32/jmreader.exe and $root/build-win64/jmreader.exe"
    ;;
  zips)
    package_zips
    ;;
  all)
    start=$SECONDS
    install_packages
    build_tree i686 "$root/build-win32"
    build_tree x86_64 "$root/build-win64"
    package_zips
    test_tree x86_64 "$root/build-win64"
    test_tree i686 "$root/build-win32"
    log "done in $((SECONDS - start)) s"
    ;;
  *)
    echo "usage: $0 [all|build|zips|install]" >&2
    exit 2
    ;;
esac
