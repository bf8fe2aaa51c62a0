#!/usr/bin/env bash
# prepare-kernel.sh
# Makes ready, once per kernel version, everything the kernel test boots: Debian's current amd64
# kernel image, the media modules it ships (mc, dvb-core, vivid and what vivid needs) and the
# virtual DVB driver vidtv built out of tree (Debian does not ship it) with 8VSB added.
# Nothing is installed: the packages are downloaded and unpacked into the cache folder
# ($SKYVANE_KERNEL_CACHE, default ~/.cache/skyvane-kernel). Prints the ready folder on stdout.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
cache=${SKYVANE_KERNEL_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/skyvane-kernel}
log() { echo "kernel-test: $*" >&2; }
die() { log "$*"; exit 1; }

for tool in apt-cache apt-get dpkg-deb modinfo make gcc-12 xz patch flock; do
  command -v "$tool" >/dev/null || die "'$tool' is missing (run scripts/install-deps.sh)"
done

# The archive drops old kernels, so the version comes from the meta-package, never from here.
meta=$(apt-cache policy linux-image-amd64 | awk '/Candidate:/ {print $2}')
[ -n "$meta" ] && [ "$meta" != "(none)" ] ||
  die "apt knows no linux-image-amd64 (run 'apt-get update' first)"
abi=$(apt-cache show "linux-image-amd64=$meta" |
  sed -n 's/^Depends:.*linux-image-\([0-9][^ ,]*-amd64\).*/\1/p' | head -1)
[ -n "$abi" ] || die "cannot tell which kernel linux-image-amd64 $meta depends on"
series=$(echo "$abi" | cut -d. -f1-2)   # 6.1
flavourless=${abi%-amd64}               # 6.1.0-57
ready="$cache/$abi-$meta"
mkdir -p "$cache"
# Two runs at once (two checkouts, two CI jobs) would unpack into the same folder: one waits.
exec 9>"$cache/.lock"
flock 9
if [ -f "$ready/ready" ]; then
  echo "$ready"
  exit 0
fi

log "preparing kernel $abi (linux-image-amd64 $meta) in $ready"
rm -rf "$ready"
mkdir -p "$ready/debs" "$ready/root"
download() {
  (cd "$ready/debs" &&
    apt-get download -q "linux-image-$abi" "linux-headers-$abi" "linux-headers-$flavourless-common" \
      "linux-kbuild-$series" "linux-source-$series" 2>&1 | grep -v '^W: Download is performed unsandboxed' >&2
    exit "${PIPESTATUS[0]}")
}
if ! download; then
  rm -rf "$ready"
  [ -z "${KERNEL_TEST_REFRESHED:-}" ] || die "downloading the kernel packages failed"
  # Stale package lists name a kernel the archive has dropped: refresh them and start again.
  log "download failed; refreshing the package lists"
  sudo=""; [ "$(id -u)" -eq 0 ] || sudo=sudo
  $sudo apt-get update -qq || die "apt-get update failed"
  KERNEL_TEST_REFRESHED=1 exec "$0" "$@"
fi
deb() { ls "$ready"/debs/"$1"_*.deb; }

# Only the kernel and the media drivers are unpacked from the image package.
dpkg-deb --fsys-tarfile "$(deb "linux-image-$abi")" |
  tar -x -C "$ready/root" --wildcards './boot/vmlinuz-*' "./lib/modules/$abi/kernel/drivers/media/*"
for p in "linux-headers-$abi" "linux-headers-$flavourless-common" "linux-kbuild-$series"; do
  dpkg-deb -x "$(deb "$p")" "$ready/root"
done
headers="$ready/root/usr/src/linux-headers-$abi"
# The headers' Makefile includes the common part by its installed path.
echo "include $ready/root/usr/src/linux-headers-$flavourless-common/Makefile" >"$headers/Makefile"

log "unpacking vidtv from linux-source-$series"
src="$ready/vidtv"
dpkg-deb --fsys-tarfile "$(deb "linux-source-$series")" |
  tar -xO "./usr/src/linux-source-$series.tar.xz" |
  tar -xJ -C "$ready" "linux-source-$series/drivers/media/test-drivers/vidtv"
mv "$ready/linux-source-$series/drivers/media/test-drivers/vidtv" "$src"
rm -rf "$ready/linux-source-$series"
patch -s -d "$src" -p1 <"$here/vidtv-atsc.patch" || die "the 8VSB patch no longer applies to vidtv"

log "building vidtv"
make -s -C "$headers" M="$src" CONFIG_DVB_VIDTV=m modules -j"$(nproc)" >"$ready/vidtv-build.log" 2>&1 ||
  { tail -20 "$ready/vidtv-build.log" >&2; die "building vidtv failed (log: $ready/vidtv-build.log)"; }

# What the guest loads, in load order, as plain .ko files.
mods="$ready/modules"
mkdir -p "$mods"
media="$ready/root/lib/modules/$abi/kernel/drivers/media"
find_module() { find "$media" "$src" -name "$1.ko" -o -name "$1.ko.xz" | head -1; }
order=()
add_module() {
  local name=$1 file dep
  for done_name in "${order[@]}"; do [ "$done_name" = "$name" ] && return 0; done
  file=$(find_module "$name")
  [ -n "$file" ] || die "module $name not found in $abi"
  for dep in $(modinfo -F depends "$file" | tr ',' ' '); do add_module "$dep"; done
  case "$file" in
  *.xz) xz -dc "$file" >"$mods/$name.ko" ;;
  *) cp "$file" "$mods/$name.ko" ;;
  esac
  order+=("$name")
}
for m in mc dvb-core dvb-vidtv-tuner dvb-vidtv-demod dvb-vidtv-bridge vivid; do add_module "$m"; done
printf '%s\n' "${order[@]}" >"$mods/order"
cp "$ready"/root/boot/vmlinuz-* "$ready/vmlinuz"
rm -rf "$ready/debs" "$ready/root"
touch "$ready/ready"
log "kernel $abi ready"
echo "$ready"
