#!/usr/bin/env bash
# Makes the armhf sysroot for cross builds from Debian 12 packages without installing anything
# armhf on this host: a private, download-only apt configuration resolves the closure of the
# -dev packages, and each .deb is unpacked with dpkg-deb -x. A minimal dpkg database (status,
# *.list, *.shlibs, *.symbols) is written under the sysroot's var/lib/dpkg, so that
# dpkg-shlibdeps can map the sysroot's libraries to their packages.
#
#   scripts/make-sysroot.sh            make it unless it is there already; print its path
#   scripts/make-sysroot.sh --refresh  make it again from the archive's current packages
#   scripts/make-sysroot.sh --path     only print where it is (or would be)
#
# The absolute path of the sysroot is the only line on standard output; progress goes to
# standard error. Location: $VEK_ARMHF_SYSROOT, else ${VEK_CACHE:-$HOME/.cache/vek}/armhf/sysroot;
# the private apt state and downloaded packages are kept beside it, in apt/. A sysroot made from
# the same package list is kept as it is, so a second call returns at once.
set -euo pipefail

# Everything the project builds and tests against on the board.
PACKAGES=(
  libc6-dev libstdc++-12-dev
  libmosquitto-dev libmosquittopp-dev
  libmsgpack-dev liblua5.2-dev liblog4cpp5-dev
  libusb-1.0-0-dev libssl-dev libcurl4-openssl-dev
  nlohmann-json3-dev
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  # umockdev holds the preload library that the emulated devices need.
  libumockdev-dev libumockdev0 umockdev
)
# Bumped when the way the sysroot is laid out changes, so that an older one is made again.
LAYOUT=1

mode=make
case "${1:-}" in
  "") ;;
  --refresh) mode=refresh ;;
  --path) mode=path ;;
  *) echo "usage: $0 [--refresh|--path]" >&2; exit 2 ;;
esac

cache=${VEK_CACHE:-$HOME/.cache/vek}/armhf
sysroot=${VEK_ARMHF_SYSROOT:-$cache/sysroot}
sysroot=$(realpath -m "$sysroot")
if [ "$mode" = path ]; then
  echo "$sysroot"
  exit 0
fi

say() { echo "make-sysroot: $*" >&2; }
stamp_text="layout $LAYOUT: ${PACKAGES[*]}"
stamp=$sysroot/.vek-sysroot
ready() { [ -x "$sysroot/lib/ld-linux-armhf.so.3" ] && [ "$(cat "$stamp" 2>/dev/null)" = "$stamp_text" ]; }

if [ "$mode" = make ] && ready; then
  echo "$sysroot"
  exit 0
fi

mkdir -p "$cache" "$(dirname "$sysroot")"
# Two builds asking at once make it once.
exec 9>"$cache/lock"
flock 9
if [ "$mode" = make ] && ready; then
  echo "$sysroot"
  exit 0
fi

start=$(date +%s)
apt=$cache/apt
mkdir -p "$apt/etc/apt.conf.d" "$apt/etc/preferences.d" "$apt/lists/partial" \
  "$apt/archives/partial" "$apt/state" "$apt/log"
[ -f "$apt/state/status" ] || : > "$apt/state/status"
# The host's sources and keys, and its download settings (proxy, validity checks), but none of
# its hooks or preferences, and a package database of our own: apt then resolves the closure
# as for an empty armhf system and only downloads.
apt-config dump Acquire | grep -v '^Acquire::IndexTargets' > "$apt/etc/apt.conf.d/10host-acquire"
cat > "$apt/apt.conf" <<CONF
APT::Architecture "armhf";
APT::Architectures { "armhf"; };
Dir::Etc::parts "$apt/etc/apt.conf.d";
Dir::Etc::main "/dev/null";
Dir::Etc::preferences "/dev/null";
Dir::Etc::preferencesparts "$apt/etc/preferences.d";
Dir::State "$apt/state";
Dir::State::lists "$apt/lists";
Dir::State::status "$apt/state/status";
Dir::Cache "$apt/cache";
Dir::Cache::archives "$apt/archives";
Dir::Log "$apt/log";
APT::Install-Recommends "false";
APT::Install-Suggests "false";
APT::Sandbox::User "root";
Acquire::Languages "none";
CONF
export APT_CONFIG=$apt/apt.conf

say "resolving ${#PACKAGES[@]} packages for armhf"
apt-get update -qq >&2
apt-get install -qq -y --download-only "${PACKAGES[@]}" >&2
# The exact set of this resolution: the archive folder may still hold older versions.
mapfile -t debs < <(apt-get install -s -qq "${PACKAGES[@]}" |
  sed -n 's/^Inst \([^ ]*\) (\([^ ]*\) [^[]*\[\([^]]*\)\]).*/\1_\2_\3.deb/p' | sed 's/:/%3a/g')
[ ${#debs[@]} -gt 0 ] || { say "apt resolved no packages"; exit 1; }

# Made beside the final place and moved there at the end, so that an interrupted run never
# leaves a sysroot that looks finished.
work=$sysroot.new
rm -rf "$work"
admin=$work/var/lib/dpkg
mkdir -p "$admin/info" "$admin/updates"
: > "$admin/status"; : > "$admin/available"; : > "$admin/diversions"
echo 1 > "$admin/info/format"
ctl=$(mktemp -d)
trap 'rm -rf "$ctl"' EXIT
for f in "${debs[@]}"; do
  deb=$apt/archives/$f
  [ -f "$deb" ] || { say "missing download $deb"; exit 1; }
  dpkg-deb -x "$deb" "$work"
  rm -rf "${ctl:?}"/*
  dpkg-deb -e "$deb" "$ctl"
  pkg=$(sed -n 's/^Package: //p' "$ctl/control")
  arch=$(sed -n 's/^Architecture: //p' "$ctl/control")
  name=$pkg
  grep -qx 'Multi-Arch: same' "$ctl/control" && name=$pkg:$arch
  { sed '/^Package:/a Status: install ok installed' "$ctl/control"; echo; } >> "$admin/status"
  dpkg-deb --fsys-tarfile "$deb" | tar -t | sed -e 's|^\./|/|' -e 's|/$||' -e 's|^$|/.|' > "$admin/info/$name.list"
  for part in shlibs symbols; do
    [ -f "$ctl/$part" ] && cp "$ctl/$part" "$admin/info/$name.$part"
  done
done

# Absolute links (lib*.so -> /lib/arm-linux-gnueabihf/lib*.so.N) would point into the host.
find "$work" -type l -lname '/*' -print0 | while IFS= read -r -d '' link; do
  target=$(readlink "$link")
  ln -sfn "$(realpath -m --relative-to="$(dirname "$link")" "$work$target")" "$link"
done
# Nothing builds against documentation.
rm -rf "$work/usr/share/doc" "$work/usr/share/man" "$work/usr/share/info" "$work/usr/share/locale"
echo "$stamp_text" > "$work/.vek-sysroot"

rm -rf "$sysroot"
mv "$work" "$sysroot"
say "$sysroot: ${#debs[@]} packages, $(du -sh "$sysroot" | cut -f1), $(( $(date +%s) - start )) s"
echo "$sysroot"
