#!/usr/bin/env bash
# run-vm.sh GUEST_SCRIPT [FILE...]
# Boots Debian's kernel in QEMU with the virtual DVB (vidtv) and video (vivid) drivers loaded and
# runs GUEST_SCRIPT there (busybox sh, in /test, with every FILE copied beside it together with the
# shared libraries it needs). The guest's exit status is read back from the serial console, since
# QEMU's own status says nothing about it; this script exits with it.
# Settings: SKYVANE_KERNEL_CACHE (see prepare-kernel.sh), KERNEL_TEST_TIMEOUT (seconds, default 600),
# KERNEL_TEST_LOG (console log, default build/kernel-test.log), KERNEL_TEST_MEMORY (MiB, default 1024:
# the test programs bring their shared libraries, FFmpeg's among them, into the initramfs),
# KERNEL_TEST_OUT (folder that receives what the guest leaves in /out, default beside the log).
# A FILE may be a folder: it is copied whole, with the libraries of every program in it.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
log() { echo "kernel-test: $*" >&2; }
die() { log "$*"; exit 2; }

[ $# -ge 1 ] || die "usage: run-vm.sh GUEST_SCRIPT [FILE...]"
guest=$1; shift
[ -f "$guest" ] || die "no guest script '$guest'"
for f in "$@"; do [ -e "$f" ] || die "no file '$f' to copy into the guest"; done
for tool in qemu-system-x86_64 cpio; do
  command -v "$tool" >/dev/null || die "'$tool' is missing (run scripts/install-deps.sh)"
done
busybox=$(command -v busybox || true)
{ [ -n "$busybox" ] && ! ldd "$busybox" >/dev/null 2>&1; } ||
  die "a statically linked busybox is needed (package busybox-static)"

t0=$(date +%s.%N)
kernel=$("$here/prepare-kernel.sh")
t1=$(date +%s.%N)

work=$(mktemp -d "${TMPDIR:-/tmp}/skyvane-vm.XXXXXX")
trap 'rm -rf "$work"' EXIT
root="$work/root"
mkdir -p "$root"/{bin,dev,proc,sys,tmp,test,lib/modules,lib64,etc}
cp "$busybox" "$root/bin/busybox"
cp "$kernel"/modules/*.ko "$kernel/modules/order" "$root/lib/modules/"
cp "$guest" "$root/test/guest.sh"

# Each file goes to /test; the shared libraries of executables keep their host paths.
copy_libs() {
  ldd "$1" 2>/dev/null | grep -o '/[^ ]*' | while read -r lib; do
    [ -e "$root$lib" ] && continue
    mkdir -p "$root$(dirname "$lib")"
    cp -L "$lib" "$root$lib"
  done
}
for f in "$@"; do
  cp -rL "$f" "$root/test/"
  if [ -f "$f" ] && [ -x "$f" ]; then copy_libs "$f"; fi
  if [ -d "$f" ]; then
    find -L "$f" -type f -perm -u+x | while read -r exe; do copy_libs "$exe"; done
  fi
done
# For programs that look up users (the message bus broker runs as root).
echo "root:x:0:0:root:/tmp:/bin/sh" >"$root/etc/passwd"
echo "root:x:0:" >"$root/etc/group"

cat >"$root/init" <<'EOF'
#!/bin/busybox sh
/bin/busybox --install -s /bin
export PATH=/bin HOME=/tmp TMPDIR=/tmp
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
mount -t tmpfs tmp /tmp
mkdir -p /out
ip link set lo up 2>/dev/null
echo "guest: kernel $(uname -r) up after $(cut -d' ' -f1 /proc/uptime) s"
for m in $(cat /lib/modules/order); do
  case $m in
  dvb-vidtv-bridge) args="vidtv_valid_dvb_t_freqs=474000000,473000000" ;;
  vivid) args="n_devs=1" ;;
  *) args="" ;;
  esac
  insmod /lib/modules/$m.ko $args || echo "guest: loading $m failed"
done
# devtmpfs creates the nodes as the drivers register; wait until the DVB ones are there.
i=0
while [ ! -e /dev/dvb/adapter0/dvr0 ] && [ $i -lt 50 ]; do sleep 0.1; i=$((i + 1)); done
cd /test
sh ./guest.sh
rc=$?
# What the tests left for the host goes out on the second serial port.
if [ -n "$(ls /out)" ]; then
  stty -F /dev/ttyS1 raw -echo 2>/dev/null
  tar c -C /out . | base64 >/dev/ttyS1
fi
echo "SKYVANE-GUEST-RESULT=$rc;"
# After the unplug test has removed and loaded vidtv's bridge again, the power-off's device
# shutdown trips over the device the first load left behind (an oops in kobject_get, then "Attempted
# to kill init"): a fault of the driver's unload, after the result above; the panic ends QEMU too.
poweroff -f
EOF
chmod +x "$root/init"
(cd "$root" && find . | cpio -o -H newc --quiet) >"$work/initrd.cpio"

logfile=${KERNEL_TEST_LOG:-build/kernel-test.log}
mkdir -p "$(dirname "$logfile")"
outdir=${KERNEL_TEST_OUT:-$(dirname "$logfile")/kernel-test-out}
rm -rf "$outdir"
t2=$(date +%s.%N)
log "booting $(basename "$kernel") (console: $logfile)"
# /dev/kvm on these machines cannot boot a stock kernel, and '-cpu max' hangs in its self-tests.
# An emulated CPU starved by a busy host can miss the boot's timer check, which then panics:
# no_timer_check skips it.
set +e
timeout "${KERNEL_TEST_TIMEOUT:-600}" qemu-system-x86_64 -accel tcg -cpu qemu64 -m "${KERNEL_TEST_MEMORY:-1024}" -smp 2 \
  -kernel "$kernel/vmlinuz" -initrd "$work/initrd.cpio" \
  -append "console=ttyS0 rdinit=/init panic=-1 loglevel=4 no_timer_check" \
  -display none -monitor none -serial stdio -serial "file:$work/out.b64" -no-reboot </dev/null 2>&1 |
  tr -d '\r' | tee "$logfile"
qemu_rc=${PIPESTATUS[0]}
set -e
t3=$(date +%s.%N)
awk -v a="$t0" -v b="$t1" -v c="$t2" -v d="$t3" \
  'BEGIN { printf "kernel-test: prepare %.1f s, pack %.1f s, VM %.1f s\n", b - a, c - b, d - c }' >&2
[ "$qemu_rc" -ne 124 ] || die "the VM did not finish within ${KERNEL_TEST_TIMEOUT:-600} s"
if [ -s "$work/out.b64" ]; then
  mkdir -p "$outdir"
  if base64 -d "$work/out.b64" | tar x -C "$outdir"; then
    log "the guest's files are in $outdir"
  else
    log "the guest's files could not be read back"
  fi
fi
# Kernel messages can land in the middle of the guest's line: look for the marker anywhere.
result=$(grep -ao 'SKYVANE-GUEST-RESULT=[0-9]*;' "$logfile" | tail -1 | tr -dc '0-9' || true)
if [ -z "$result" ]; then
  tail -15 "$logfile" >&2
  die "the guest ended without a result (QEMU status $qemu_rc); see $logfile"
fi
if [ "$result" -eq 0 ]; then log "guest passed"; else log "guest failed with status $result"; fi
exit "$result"
