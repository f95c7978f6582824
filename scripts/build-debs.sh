#!/usr/bin/env bash
# Builds the Debian packages of the project with debhelper from debian/:
#   libtavlo1, libtavlo-dev, vek-command (with vek-request), keysmith and their dbgsym packages.
#
#   scripts/build-debs.sh [amd64|armhf]      (default: amd64)
#
# amd64 is built natively against this machine's packages; armhf is cross built against the
# sysroot of scripts/make-sysroot.sh, whose package database also gives the dependencies of the
# armhf binaries. The packages land in build/debs/<arch>/, with the build log. A tree that has not
# changed since its packages were made is not built again (--force builds anyway). Installs what
# it needs, as root, and nothing armhf.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$PWD

force=""
arch=amd64
for a in "$@"; do
  case $a in
    --force) force=1 ;;
    amd64 | armhf) arch=$a ;;
    *) echo "usage: $0 [--force] [amd64|armhf]" >&2; exit 2 ;;
  esac
done
say() { echo "build-debs: $*" >&2; }

build_arch=$(dpkg --print-architecture)
cross=""
[ "$arch" = "$build_arch" ] || cross=1
if [ -n "$cross" ] && [ "$arch-$build_arch" != armhf-amd64 ]; then
  say "cross builds are made for armhf on amd64, not for $arch on $build_arch"
  exit 2
fi

# What debhelper and the packages' services need besides the project's own build dependencies.
if [ -n "$cross" ]; then
  ./scripts/install-deps.sh --board >&2
else
  ./scripts/install-deps.sh >&2
fi
tools=(debhelper dh-runit fakeroot lintian runit)
missing=()
for p in "${tools[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  say "installing ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO=sudo
  $SUDO env DEBIAN_FRONTEND=noninteractive apt-get update -q >&2
  $SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}" >&2
fi

sysroot=""
if [ -n "$cross" ]; then
  sysroot=$(./scripts/make-sysroot.sh)
fi

out=$top/build/debs/$arch
stamp=$out/.built
mkdir -p "$out"
# Up to date: packages there, and no file that goes into them (nor the sysroot) newer than they are.
if [ -z "$force" ] && [ -f "$stamp" ] && compgen -G "$out/*.deb" >/dev/null; then
  newer=$(find . \( -path ./build -o -path ./.git -o -path './obj-*' -o -path ./tests -o -path ./benchmarks \
    -o -path ./.ci -o -path ./scripts -o -name '*.md' \) -prune -o -newer "$stamp" -print -quit)
  [ ! scripts/build-debs.sh -nt "$stamp" ] || newer=scripts/build-debs.sh
  if [ -z "$newer" ] && { [ -z "$sysroot" ] || [ ! "$sysroot/.vek-sysroot" -nt "$stamp" ]; }; then
    say "packages in $out are up to date"
    exit 0
  fi
fi

start=$(date +%s)
# Taken before the copy, so that an edit made during the build makes the next call build again.
touch "$stamp.new"
rm -f "$stamp" "$out"/*.deb "$out"/*.changes "$out"/*.buildinfo
# dpkg-buildpackage writes into the tree and puts the packages beside it: build in a copy.
src=$out/src
rm -rf "$src"
mkdir -p "$src"
tar -C "$top" --exclude=./build --exclude=./.git --exclude='./obj-*' --exclude=./debian/tmp -cf - . |
  tar -C "$src" -xf -

args=(-b -us -uc)
export DEB_BUILD_OPTIONS="nocheck parallel=${VEK_JOBS:-$(nproc)}"
if command -v ccache >/dev/null; then
  export CMAKE_C_COMPILER_LAUNCHER=${CMAKE_C_COMPILER_LAUNCHER:-ccache}
  export CMAKE_CXX_COMPILER_LAUNCHER=${CMAKE_CXX_COMPILER_LAUNCHER:-ccache}
  # debhelper gives the build a HOME of its own: name the cache and its settings outright.
  CCACHE_DIR=$(ccache -k cache_dir)
  export CCACHE_DIR
  config=$(ccache -sv 2>/dev/null | sed -n 's/^Config file: *//p')
  [ -n "$config" ] && [ -f "$config" ] && export CCACHE_CONFIGPATH=$config
fi
if [ -n "$cross" ]; then
  # The build dependencies are in the sysroot, not installed for armhf: -d skips their check.
  args+=(-a"$arch" -d)
  # dpkg-shlibdeps asks the package database which package holds each library it finds; the
  # sysroot's database names the files without the sysroot in front, so it gets a copy that
  # has it.
  admin=$out/shlibdeps-admin
  rm -rf "$admin"
  mkdir -p "$admin/info" "$admin/updates"
  cp "$sysroot/var/lib/dpkg/status" "$admin/status"
  : > "$admin/available"
  : > "$admin/diversions"
  echo 1 > "$admin/info/format"
  for f in "$sysroot"/var/lib/dpkg/info/*; do
    case $f in
      *.list) sed "s|^/|$sysroot/|" "$f" > "$admin/info/${f##*/}" ;;
      *) cp "$f" "$admin/info/" ;;
    esac
  done
  export VEK_ARMHF_SYSROOT=$sysroot VEK_SHLIBDEPS_ADMINDIR=$admin
  # dpkg-architecture checks the compiler named here against the target.
  gnu_type=$(dpkg-architecture -a"$arch" -qDEB_HOST_GNU_TYPE 2>/dev/null)
  export CC=$gnu_type-gcc CXX=$gnu_type-g++
fi

say "building the $arch packages in $src (log: $out/build.log)"
if ! (cd "$src" && dpkg-buildpackage "${args[@]}") > "$out/build.log" 2>&1; then
  tail -n 40 "$out/build.log" >&2
  say "dpkg-buildpackage failed; whole log in $out/build.log"
  exit 1
fi
mv "$stamp.new" "$stamp"
rm -rf "$src"
say "$(ls "$out"/*.deb | wc -l) packages in $out, $(( $(date +%s) - start )) s:"
(cd "$out" && ls -1 ./*.deb | sed 's|^\./|  |') >&2
