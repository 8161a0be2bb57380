#!/bin/bash
# End-to-end tests: the real jmreader against the bridge emulator, through the kernel's USB
# (dummy_hcd + FunctionFS) and SCSI stack, in a QEMU VM that boots Debian's kernel; and both
# Windows exes under Wine in the same VM, Wine taken from the host's root file system over 9p.
#
# Usage (as root): tests/e2e/run-vm.sh
# Installs what it needs, caches the kernel, the base initramfs and a Wine prefix under
# build-e2e/, builds the emulator, the Debian package and the Windows zips (what ships is what
# runs in the VM) and the Wine test driver, boots the VM once for all scenarios (and, on a host
# that cannot execute 32-bit programs, once before to complete the Wine prefix) and judges the
# serial log. Exits non-zero when any check fails, a scenario does not end, or the VM runs past
# its limit.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
E2E=$ROOT/tests/e2e
BUILD=${E2E_BUILD:-$ROOT/build-e2e}
VM_LIMIT=${E2E_VM_LIMIT:-400}
MODULES="configfs dummy_hcd libcomposite usb_f_fs usb-storage sd_mod sg ahci vfat nls_cp437
         nls_ascii 9p 9pnet_virtio virtio_pci uas gadgetfs"
WINE_ENV=(WINEDEBUG=-all "WINEDLLOVERRIDES=winemenubuilder.exe=d;mscoree,mshtml=d")

T0=$(date +%s.%N)
step() { echo "== $(date +%T) $*"; }
seconds_since() { awk -v a="$1" -v b="$(date +%s.%N)" 'BEGIN { printf "%.1f", b - a }'; }

install_packages() {
  local need=()
  command -v qemu-system-x86_64 >/dev/null || need+=(qemu-system-x86)
  # The initramfs needs the static busybox; the dynamic one would not run there.
  dpkg -s busybox-static >/dev/null 2>&1 || need+=(busybox-static)
  command -v cpio >/dev/null || need+=(cpio)
  command -v depmod >/dev/null || need+=(kmod)
  command -v flock >/dev/null || need+=(util-linux)
  command -v xz >/dev/null || need+=(xz-utils)
  command -v cmake >/dev/null || need+=(cmake)
  command -v g++ >/dev/null || need+=(g++)
  [ -e /usr/include/gtest/gtest.h ] || need+=(libgtest-dev)
  command -v dpkg-shlibdeps >/dev/null || need+=(dpkg-dev)
  command -v unzip >/dev/null || need+=(unzip)
  if [ ${#need[@]} -gt 0 ]; then
    step "installing ${need[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq -o DPkg::Lock::Timeout=600
    apt-get install -y -qq -o DPkg::Lock::Timeout=600 --no-install-recommends "${need[@]}"
  fi
  # The cross compilers and Wine (32- and 64-bit), which the VM uses from the host's files.
  bash "$ROOT/.ci/windows.sh" install >/dev/null
}

# Debian's current kernel package, unpacked under the build tree (never installed on the host).
fetch_kernel() {
  local pkg
  pkg=$(apt-cache depends linux-image-amd64 2>/dev/null |
    awk '/Depends: linux-image-[0-9]/ { print $2; exit }')
  if [ -z "$pkg" ]; then
    apt-get update -qq -o DPkg::Lock::Timeout=600
    pkg=$(apt-cache depends linux-image-amd64 | awk '/Depends: linux-image-[0-9]/ { print $2; exit }')
  fi
  KVER=${pkg#linux-image-}
  KDIR=$BUILD/kernel/$KVER
  if [ ! -e "$KDIR/vmlinux" ]; then
    step "fetching $pkg"
    rm -rf "$KDIR" "$BUILD/debs"
    mkdir -p "$BUILD/debs" "$KDIR"
    (cd "$BUILD/debs" && apt-get download -o APT::Sandbox::User=root "$pkg")
    dpkg -x "$BUILD"/debs/"$pkg"_*.deb "$KDIR/root"
    depmod -b "$KDIR/root" "$KVER"
    # The uncompressed ELF boots through PVH, seconds faster under TCG than the bzImage.
    local image=$KDIR/root/boot/vmlinuz-$KVER offset
    offset=$(LC_ALL=C grep -obUaP '\xFD7zXZ\x00' "$image" | head -1 | cut -d: -f1)
    if [ -n "$offset" ] && tail -c +$((offset + 1)) "$image" | xz -dc --single-stream \
      >"$KDIR/vmlinux.tmp" 2>/dev/null && [ "$(head -c 4 "$KDIR/vmlinux.tmp")" = $'\x7fELF' ]; then
      mv "$KDIR/vmlinux.tmp" "$KDIR/vmlinux"
    else
      rm -f "$KDIR/vmlinux.tmp"
      cp "$image" "$KDIR/vmlinux"
    fi
    rm -rf "$BUILD/debs"
  fi
}

# Modules with their dependencies, busybox and flock: everything that changes only with the
# kernel or the host's packages.
build_base_initramfs() {
  local key stage
  key=$(echo "$KVER $MODULES $(dpkg-query -W busybox-static util-linux)" |
    md5sum | cut -c1-12)
  BASE=$BUILD/initramfs-base-$key.cpio.gz
  [ -e "$BASE" ] && return
  step "building the base initramfs for $KVER"
  rm -f "$BUILD"/initramfs-base-*.cpio.gz
  stage=$BUILD/stage-base
  rm -rf "$stage"
  mkdir -p "$stage"/{bin,sbin,usr/bin,usr/sbin,proc,sys,dev,tmp,mnt,etc,root}
  cp /bin/busybox "$stage/bin/busybox"
  for a in $(/bin/busybox --list); do
    [ -e "$stage/bin/$a" ] || ln -s busybox "$stage/bin/$a"
  done
  local m ko rel
  for m in $MODULES; do
    modprobe -d "$KDIR/root" -S "$KVER" --show-depends "$m"
  done | awk '$1 == "insmod" { print $2 }' | sort -u | while read -r ko; do
    rel=${ko#"$KDIR/root"}
    mkdir -p "$stage$(dirname "$rel")"
    cp "$ko" "$stage$rel"
  done
  cp "$KDIR"/root/lib/modules/"$KVER"/modules.{order,builtin,builtin.modinfo} \
    "$stage/lib/modules/$KVER/"
  depmod -b "$stage" "$KVER"
  # flock, with its shared libraries, to hold a disk.
  local bins=() b lib
  for b in flock; do
    bins+=("$(command -v "$b")")
  done
  cp "${bins[@]}" "$stage/usr/bin/"
  for lib in $(ldd "${bins[@]}" | awk '/=>/ { print $3 } /ld-linux/ { print $1 }' | sort -u); do
    mkdir -p "$stage$(dirname "$lib")"
    cp -L "$lib" "$stage$lib"
  done
  (cd "$stage" && find . | LC_ALL=C sort | cpio -o -H newc --quiet) | gzip -6 >"$BASE.tmp"
  mv "$BASE.tmp" "$BASE"
  rm -rf "$stage"
}

build_programs() {
  step "building the bridge emulator"
  cmake -S "$ROOT/tools/bridge-emu" -B "$BUILD/emu" -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$BUILD/emu" -j"$(nproc)" >/dev/null
  step "building the Wine test driver"
  cmake -S "$ROOT/tools/wine-disk" -B "$BUILD/wine-disk" \
    -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-x86_64.cmake" >/dev/null
  cmake --build "$BUILD/wine-disk" >/dev/null
  # The packages as they ship: the VM runs the programs they hold.
  local preset version
  version=$(sed -n 's/^set(JMREADER_VERSION \([^ )]*\))$/\1/p' "$ROOT/CMakeLists.txt")
  mkdir -p "$BUILD/logs"
  for preset in deb win32 win64; do
    step "packaging ($preset)"
    (cd "$ROOT" && cmake --workflow --preset $preset) >"$BUILD/logs/package-$preset.log" 2>&1 ||
      { cat "$BUILD/logs/package-$preset.log"; return 1; }
  done
  rm -rf "$BUILD/deb" "$BUILD/zips"
  dpkg -x "$ROOT/build-deb/jmreader_${version}_$(dpkg --print-architecture).deb" "$BUILD/deb"
  unzip -q "$ROOT/build-zip-win32/jmreader-$version-win32-i686.zip" -d "$BUILD/zips"
  unzip -q "$ROOT/build-zip-win64/jmreader-$version-win64-x86_64.zip" -d "$BUILD/zips"
  mv "$BUILD/zips/jmreader-$version-win32-i686" "$BUILD/zips/win32"
  mv "$BUILD/zips/jmreader-$version-win64-x86_64" "$BUILD/zips/win64"
}

# The Wine prefix, made once on the host (wineboot takes about 20 s) with the test driver
# registered, and a fresh copy of it for every run in the folder the VM may write to (hard links
# for the files Wine only reads). A host that cannot execute 32-bit programs leaves the prefix's
# 32-bit half empty; the VM, whose kernel can, completes it in a boot of its own before the cache
# is kept, so that both exes run the same prefix as on any other host.
prepare_wine() {
  local key pristine share f
  key=$(cat <(dpkg-query -W wine64) "$ROOT/tools/wine-disk/winedisk.reg" | md5sum | cut -c1-12)
  pristine=$BUILD/wine/prefix-$key
  # A cache without the 32-bit half (kept before it was completed in the VM) is made again.
  if [ ! -e "$pristine/system.reg" ] || [ ! -e "$pristine/drive_c/windows/syswow64/kernel32.dll" ]; then
    step "making the Wine prefix"
    rm -rf "$BUILD"/wine/prefix-* "$BUILD/wine/wow64"
    mkdir -p "$BUILD/wine"
    env WINEPREFIX="$pristine.tmp" "${WINE_ENV[@]}" /usr/lib/wine/wine64 wineboot -i >/dev/null 2>&1
    /usr/lib/wine/wine --version >/dev/null 2>&1 || complete_wow64 "$pristine.tmp"
    env WINEPREFIX="$pristine.tmp" "${WINE_ENV[@]}" /usr/lib/wine/wine64 regedit /S \
      "Z:$(echo "$ROOT/tools/wine-disk/winedisk.reg" | tr / '\\')"
    env WINEPREFIX="$pristine.tmp" wineserver -k || true
    env WINEPREFIX="$pristine.tmp" wineserver -w
    grep -q 'Services\\\\winedisk' "$pristine.tmp/system.reg"
    [ -e "$pristine.tmp/drive_c/windows/syswow64/kernel32.dll" ]
    mv "$pristine.tmp" "$pristine"
  fi
  share=$BUILD/wine/share
  rm -rf "$share"
  mkdir -p "$share"
  cp -al "$pristine" "$share/prefix"
  for f in system.reg user.reg userdef.reg .update-timestamp; do
    rm -f "$share/prefix/$f"
    cp -p "$pristine/$f" "$share/prefix/$f"
  done
  cp "$BUILD/wine-disk/winedisk.sys" "$share/prefix/drive_c/windows/system32/drivers/"
  cp -r "$BUILD/zips/win32" "$BUILD/zips/win64" "$share/"
}

# complete_wow64 PREFIX: boots the VM with e2e.wow64, whose init runs wineboot's update on
# PREFIX (shared writable) and powers off.
complete_wow64() {
  local share=$BUILD/wine/wow64 start
  step "completing the Wine prefix's 32-bit half in the VM (this host cannot execute 32-bit code)"
  env WINEPREFIX="$1" wineserver -w
  mkdir -p "$share"
  mv "$1" "$share/prefix"
  start=$(date +%s.%N)
  boot_vm "$BUILD/logs/serial-wow64.log" e2e.wow64 "$share" || true
  mv "$share/prefix" "$1"
  rmdir "$share"
  cat "$BUILD/logs/serial-wow64.log"
  echo "== completing the 32-bit half took $(seconds_since "$start")s"
  grep -aqx '@@E2E PASS init/wow64-prefix' "$BUILD/logs/serial-wow64.log" || {
    echo "e2e: the VM did not complete the Wine prefix's 32-bit half"
    return 1
  }
}

# What changes with every run: init, scenarios and the two programs, as a second archive. The
# packaged jmreader is linked dynamically, as Debian builds programs: the libraries and the
# loader it names come along from the host, which is where the package's Depends were taken.
build_initrd() {
  local stage=$BUILD/stage-run lib
  rm -rf "$stage"
  mkdir -p "$stage/usr/bin" "$stage/usr/sbin" "$stage/e2e/scenarios"
  cp "$E2E/init" "$stage/init"
  cp "$E2E/lib.sh" "$stage/e2e/"
  cp "$E2E"/scenarios/*.sh "$stage/e2e/scenarios/"
  cp "$BUILD/emu/bridge-emu" "$stage/usr/bin/"
  cp "$BUILD/deb/usr/sbin/jmreader" "$stage/usr/sbin/"
  for lib in $(ldd "$BUILD/deb/usr/sbin/jmreader" |
    awk '/=>/ { print $3 } /ld-linux/ { print $1 }'); do
    mkdir -p "$stage$(dirname "$lib")"
    cp -L "$lib" "$stage$lib"
  done
  chmod +x "$stage/init"
  (cd "$stage" && find . | LC_ALL=C sort | cpio -o -H newc --quiet) | gzip -1 >"$BUILD/run.cpio.gz"
  cat "$BASE" "$BUILD/run.cpio.gz" >"$BUILD/initrd.cpio.gz"
  rm -rf "$stage"
}

# boot_vm LOG APPEND SHARE: boots the VM once with APPEND on the kernel's command line and SHARE
# as the writable folder, under the time limit; the serial log goes to LOG, with LF line ends.
# Returns QEMU's status (124 or 137 past the limit).
boot_vm() {
  local log=$1 rc=0
  timeout -k 5 "$VM_LIMIT" qemu-system-x86_64 -M pc -accel tcg -m 2048 -smp 1 \
    -nodefaults -no-user-config -display none -no-reboot -nic none \
    -serial "file:$log" \
    -kernel "$KDIR/vmlinux" -initrd "$BUILD/initrd.cpio.gz" \
    -append "console=ttyS0 quiet panic=-1 $2" \
    -drive "file=$BUILD/sata.img,if=none,id=sata,format=raw" \
    -device ahci,id=ahci -device ide-hd,drive=sata,bus=ahci.0 \
    -virtfs local,path=/,mount_tag=hostroot,security_model=none,readonly=on,multidevs=remap \
    -virtfs "local,path=$3,mount_tag=work,security_model=none,multidevs=remap" \
    </dev/null || rc=$?
  # The serial line ends lines with CR LF.
  tr -d '\r' <"$log" >"$log.tmp" && mv "$log.tmp" "$log"
  return $rc
}

run_vm() {
  LOG=$BUILD/logs/serial.log
  step "booting the VM (limit ${VM_LIMIT}s), serial log in $LOG"
  local start rc=0
  start=$(date +%s.%N)
  boot_vm "$LOG" "" "$BUILD/wine/share" || rc=$?
  VM_SECONDS=$(seconds_since "$start")
  cat "$LOG"
  if [ "$rc" = 124 ] || [ "$rc" = 137 ]; then
    echo "e2e: the VM ran past its limit of ${VM_LIMIT}s"
    VM_TIMED_OUT=1
  fi
}

# QEMU exits 0 whatever happened inside: the markers decide.
judge() {
  local failed=0 name run passes fails
  passes=$(grep -ac '^@@E2E PASS ' "$LOG" || true)
  fails=$(grep -ac '^@@E2E FAIL ' "$LOG" || true)
  grep -a '^@@E2E FAIL ' "$LOG" || true
  for f in "$E2E"/scenarios/*.sh; do
    name=$(basename "$f" .sh)
    for run in $name $(echo "$name-uas" | grep -v windows); do
      if ! grep -aqx "@@E2E END $run" "$LOG"; then
        echo "e2e: scenario $run did not run to its end"
        failed=1
      fi
    done
  done
  grep -aqx '@@E2E DONE' "$LOG" || {
    echo "e2e: the VM did not finish"
    failed=1
  }
  [ "${VM_TIMED_OUT:-0}" = 0 ] || failed=1
  [ "$fails" = 0 ] || failed=1
  [ "$passes" -gt 0 ] || failed=1
  echo "== timings"
  grep -a '^@@E2E TIMING ' "$LOG" | sed 's/^@@E2E TIMING /  /'
  echo "  vm-boot-to-poweroff ${VM_SECONDS}s"
  echo "  whole-run $(seconds_since "$T0")s"
  echo "e2e: $passes passed, $fails failed"
  return $failed
}

mkdir -p "$BUILD"
install_packages
fetch_kernel
build_base_initramfs
build_programs
build_initrd
mkdir -p "$BUILD/logs"
# The second, non-USB disk: SATA through AHCI.
truncate -s 16M "$BUILD/sata.img"
prepare_wine
run_vm
judge
