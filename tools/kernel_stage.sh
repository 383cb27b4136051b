#!/usr/bin/env bash
# The kernel stage of ./test: boots Debian 12's own kernel in QEMU (TCG, no
# KVM needed) and runs the production skarvel-efis-cli and
# skarvel-efis-config against skarvel-virtual-unit on real uhid and vcan
# (tools/kernel_stage/checks.sh). Prints one line per check and the stage's
# time; exits non-zero when any check failed or the VM did not finish.
#
# Usage: tools/kernel_stage.sh [BUILD_DIR [GROUP...]]   (default: build, all)
# GROUPs (see checks.sh): no_unit usb can both can_down unplug mtu16
# permission udev.
# The kernel package is fetched with apt-get download and unpacked into
# BUILD_DIR/kernel-stage/cache once; it is never installed on this machine.
set -euo pipefail
SOURCE=$(cd "$(dirname "$0")/.." && pwd)
BUILD=$(cd "${1:-$SOURCE/build}" && pwd)
[ $# -gt 0 ] && shift
ONLY=$(echo "$*" | tr ' ' ,)
STAGE=$BUILD/kernel-stage
CACHE=$STAGE/cache
# Seconds: the checks inside, and the whole VM around them (it boots in
# about 5 s under TCG). The stage must stay within 4 minutes.
BUDGET=205
VM_LIMIT=225
started=$(date +%s%N)

for c in qemu-system-x86_64 cpio /bin/busybox /lib/systemd/systemd-udevd; do
  command -v "$c" > /dev/null || { echo "kernel stage: no $c (tools/ensure_deps.sh installs it)" >&2; exit 1; }
done
for p in skarvel-efis-cli skarvel-efis-config skarvel-virtual-unit; do
  [ -x "$BUILD/$p" ] || { echo "kernel stage: $BUILD/$p is not built" >&2; exit 1; }
done
case "$SOURCE$BUILD" in
  *[[:space:]]*) echo "kernel stage: paths with spaces cannot reach the VM" >&2; exit 1 ;;
esac

# The kernel image linux-image-amd64 depends on, unpacked once per version.
# Without the archive, the newest one unpacked before will do.
mkdir -p "$CACHE"
image_package() {
  apt-cache depends linux-image-amd64 2>/dev/null | awk '/Depends: linux-image-[0-9]/ { print $2; exit }'
}
fetch() {
  rm -rf "${CACHE:?}/$1" "$CACHE"/*.deb
  (cd "$CACHE" && { apt-get download -q "$1" 2>/dev/null || { apt-get update -qq && apt-get download -q "$1"; }; }) &&
    dpkg -x "$CACHE/$1"_*.deb "$CACHE/$1" && rm -f "$CACHE"/*.deb && touch "$CACHE/$1/.unpacked"
}
pkg=$(image_package)
if [ -z "$pkg" ]; then
  apt-get update -qq || true
  pkg=$(image_package)
fi
if [ -n "$pkg" ] && [ ! -f "$CACHE/$pkg/.unpacked" ]; then
  echo "kernel stage: fetching $pkg"
  fetch "$pkg" || pkg=""
fi
if [ -z "$pkg" ] || [ ! -f "$CACHE/$pkg/.unpacked" ]; then
  pkg=$(ls -t "$CACHE"/*/.unpacked 2>/dev/null | head -n 1 | xargs -r dirname | xargs -r basename)
  [ -n "$pkg" ] || { echo "kernel stage: cannot fetch Debian's kernel package" >&2; exit 1; }
  echo "kernel stage: the archive is out of reach; using $pkg fetched before"
fi
KDIR=$CACHE/$pkg
VMLINUZ=$(ls "$KDIR"/boot/vmlinuz-*)
MODULES=$(ls -d "$KDIR"/lib/modules/*)

# The initramfs: busybox, PID 1, and the modules in dependency order, each
# after the modules its .modinfo names.
IR=$STAGE/initramfs
rm -rf "$IR"
mkdir -p "$IR"/{bin,modules,proc,sys,dev,host}
cp /bin/busybox "$IR/bin/busybox"
cp "$SOURCE/tools/kernel_stage/init" "$IR/init"
chmod 755 "$IR/init"
declare -A loaded=()
add_module() {
  local name=${1//-/_} file deps d
  [ -n "${loaded[$name]:-}" ] && return 0
  file=$(find "$MODULES/kernel" -name "${name//_/[-_]}.ko" | head -n 1)
  [ -n "$file" ] || { echo "kernel stage: no module $1 in $pkg" >&2; exit 1; }
  loaded[$name]=1
  deps=$(grep -a -o 'depends=[^[:cntrl:]]*' "$file" | head -n 1 | cut -d= -f2 | tr ',' ' ')
  for d in $deps; do add_module "$d"; done
  cp "$file" "$IR/modules/$name.ko"
  echo "$name" >> "$IR/modules/order"
}
for m in virtio_pci 9pnet_virtio 9p can can_raw vcan hid hid_generic uhid; do add_module "$m"; done
(cd "$IR" && find . | cpio -o -H newc --quiet | gzip -1) > "$STAGE/initramfs.cpio.gz"

RESULTS=$STAGE/results
rm -rf "$RESULTS"
mkdir -p "$RESULTS"
set +e
timeout -k 5 "$VM_LIMIT" qemu-system-x86_64 -machine q35,accel=tcg -cpu max -smp 1 -m 1536 \
  -nodefaults -display none -monitor none -no-reboot -serial "file:$STAGE/console.log" \
  -kernel "$VMLINUZ" -initrd "$STAGE/initramfs.cpio.gz" \
  -append "console=ttyS0 quiet panic=-1 tsc=reliable mitigations=off skarvel.source=$SOURCE skarvel.build=$BUILD skarvel.budget=$BUDGET${ONLY:+ skarvel.only=$ONLY}" \
  -virtfs "local,path=/,mount_tag=hostroot,security_model=none,readonly=on,multidevs=remap" \
  -virtfs "local,path=$RESULTS,mount_tag=results,security_model=none" \
  -virtfs "local,path=$SOURCE,mount_tag=source,security_model=none,readonly=on,multidevs=remap" \
  -virtfs "local,path=$BUILD,mount_tag=build,security_model=none,readonly=on,multidevs=remap"
qemu_status=$?
set -e

seconds() { awk -v ns=$(( $(date +%s%N) - started )) 'BEGIN { printf "%.1f", ns / 1e9 }'; }
if [ -f "$RESULTS/results.txt" ]; then
  cat "$RESULTS/results.txt"
fi
failed=0
if [ "$qemu_status" -ne 0 ]; then
  echo "FAIL  the VM did not power off by itself within $VM_LIMIT s (status $qemu_status)"
  failed=1
fi
if ! grep -q '^checks ended' "$RESULTS/results.txt" 2>/dev/null; then
  echo "FAIL  the checks did not finish (console: $STAGE/console.log)"
  tail -n 20 "$STAGE/console.log" 2>/dev/null | sed 's/^/  console: /'
  failed=1
fi
if grep -q '^FAIL' "$RESULTS/results.txt" 2>/dev/null; then
  failed=1
fi
echo "kernel-stage: $(grep -c '^PASS' "$RESULTS/results.txt" 2>/dev/null || true) passed," \
     "$(grep -c '^FAIL' "$RESULTS/results.txt" 2>/dev/null || true) failed"
echo "kernel stage time: $(seconds) s ($(grep -o 'booted in [0-9.]* s' "$STAGE/console.log" 2>/dev/null || echo 'no boot'))"
exit $failed
