#!/usr/bin/env bash
# Checks the contents of the project's Debian packages without installing them: architecture,
# file lists, conffiles and their defaults, dependencies, the binaries (machine, loader, no
# rpath, stripped with their debug symbols in the dbgsym packages) and lintian with no errors.
#
#   check_debs.sh <folder with the .deb files> <amd64|armhf>
#
# Prints one line per failed check and exits 1 after all of them ran; exits 0 when all pass.
set -euo pipefail

dir=$(realpath "$1")
arch=$2
ma=$(dpkg-architecture -a"$arch" -qDEB_HOST_MULTIARCH 2>/dev/null)
case $arch in
  amd64) machine="X86-64" loader=/lib64/ld-linux-x86-64.so.2 ;;
  armhf) machine="ARM" loader=/lib/ld-linux-armhf.so.3 ;;
  *) echo "check_debs: no checks for $arch" >&2; exit 2 ;;
esac

failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

deb_of() {
  local f
  f=$(compgen -G "$dir/$1_*_$arch.deb" | head -n 1) || true
  echo "$f"
}

packages=(libtavlo1 libtavlo-dev vek-command keysmith)
with_symbols=(libtavlo1 vek-command keysmith)

# Files each package must hold (paths as dpkg-deb -c prints them, without the leading "./").
declare -A required=(
  [libtavlo1]="usr/lib/$ma/libtavlo.so.1"
  [libtavlo-dev]="usr/include/tavlo/wildcard.h usr/include/tavlo/filter_vars.h usr/include/tavlo/client.h
    usr/lib/$ma/libtavlo.so usr/lib/$ma/pkgconfig/tavlo.pc usr/lib/$ma/cmake/tavlo/tavloConfig.cmake
    usr/lib/$ma/cmake/tavlo/tavloConfigVersion.cmake usr/lib/$ma/cmake/tavlo/tavloTargets.cmake"
  [vek-command]="usr/bin/vek-command usr/bin/vek-request etc/vek/vek-command.conf
    etc/sv/vek-command/run etc/sv/vek-command/finish etc/sv/vek-command/log/run
    var/lib/vek-command/job_scripts/ var/lib/vek-command/staging/
    usr/share/doc/vek-command/examples/job_scripts/echo.lua
    usr/share/man/man8/vek-command.8.gz usr/share/man/man1/vek-request.1.gz
    etc/mosquitto/conf.d/vek-dock.conf etc/mosquitto/vek-dock.acl etc/default/vek-command"
  [keysmith]="usr/bin/keysmith usr/bin/keysmith-sign etc/vek/keysmith.conf
    etc/sv/keysmith/run etc/sv/keysmith/finish etc/sv/keysmith/log/run
    etc/mox/keyBinaries/ usr/share/man/man8/keysmith.8.gz usr/share/man/man1/keysmith-sign.1.gz
    etc/default/keysmith var/lib/keysmith/"
)
# Where each package may put files at all: anything else (a test program, a build-tree path,
# /usr/local) is a packaging fault.
declare -A allowed=(
  [libtavlo1]="usr/lib/$ma/ usr/share/doc/libtavlo1/"
  [libtavlo-dev]="usr/include/tavlo/ usr/lib/$ma/ usr/share/doc/libtavlo-dev/"
  [vek-command]="usr/bin/vek-command usr/bin/vek-request etc/vek/ etc/sv/vek-command/ etc/runit/
    var/lib/vek-command/ var/log/runit/ usr/share/doc/vek-command/ usr/share/man/ usr/share/runit/
    etc/mosquitto/conf.d/vek-dock.conf etc/mosquitto/vek-dock.acl etc/default/vek-command"
  [keysmith]="usr/bin/keysmith usr/bin/keysmith-sign etc/vek/ etc/sv/keysmith/ etc/runit/ etc/mox/ var/log/runit/
    usr/share/doc/keysmith/ usr/share/man/ usr/share/runit/ etc/default/keysmith lib/udev/rules.d/
    usr/lib/udev/rules.d/ var/lib/keysmith/"
)
declare -A conffiles=(
  [vek-command]="/etc/vek/vek-command.conf /etc/sv/vek-command/run /etc/sv/vek-command/finish
    /etc/mosquitto/conf.d/vek-dock.conf /etc/mosquitto/vek-dock.acl /etc/default/vek-command"
  [keysmith]="/etc/vek/keysmith.conf /etc/sv/keysmith/run /etc/sv/keysmith/finish /etc/default/keysmith"
)
# Packages each one must depend on (the libraries found by dpkg-shlibdeps, runit-helper from dh-runit).
declare -A depends=(
  [libtavlo1]="libc6 libstdc++6 libmosquittopp1 liblog4cpp5v5"
  [libtavlo-dev]="libtavlo1 libmosquittopp-dev liblog4cpp5-dev"
  [vek-command]="libc6 libtavlo1 liblua5.2-0 liblog4cpp5v5 libmosquitto1 runit-helper adduser mosquitto"
  [keysmith]="libc6 libtavlo1 libusb-1.0-0 libssl3 liblog4cpp5v5 runit-helper adduser"
)
# The defaults of the daemons' configuration keys, as the installed files must carry them.
declare -A defaults=(
  [vek-command]="server_comms.host=localhost server_comms.port=1883 server_comms.qos=2
    script.staging_dir=/var/lib/vek-command/staging server_comms.username=vek-command
    server_comms.password_file=/etc/vek/credentials/vek-command.password"
  [keysmith]="ConnectionTime=300 vek.broker=127.0.0.1 KeyBinary=/etc/mox/keyBinaries
    vek.broker.username=keysmith vek.broker.password_file=/etc/vek/credentials/keysmith.password
    vek.orxio.dev=/dev/orxio0 vek.orxio.led.green=LED_GPS_GREEN vek.orxio.led.red=LED_GPS_RED"
)
# Keys whose default is "not set": the file must leave them out.
declare -A unset_keys=([vek-command]="script.search_dirs" [keysmith]="KeyBinary.trust")

for pkg in "${packages[@]}"; do
  deb=$(deb_of "$pkg")
  if [ -z "$deb" ]; then
    fail "$pkg: no ${pkg}_*_$arch.deb in $dir"
    continue
  fi
  [ "$(dpkg-deb -f "$deb" Architecture)" = "$arch" ] || fail "$pkg: Architecture is $(dpkg-deb -f "$deb" Architecture)"

  dpkg-deb -c "$deb" | awk '{ sub(/^\.\//, "", $6); print $1, $6 }' > "$tmp/$pkg.list"
  for f in ${required[$pkg]}; do
    awk -v f="$f" '$2 == f { found = 1 } END { exit !found }' "$tmp/$pkg.list" || fail "$pkg: $f missing"
  done
  if [ "$pkg" = libtavlo1 ]; then
    # The library's file is named after its soname, then the release's minor and patch numbers.
    release=$(dpkg-deb -f "$deb" Version)
    release=${release%%-*}
    lib="usr/lib/$ma/libtavlo.so.1.${release#*.}"
    awk -v f="$lib" '$1 ~ /^-/ && $2 == f { found = 1 } END { exit !found }' "$tmp/$pkg.list" ||
      fail "$pkg: the library file is not $lib"
  fi
  while read -r mode path; do
    [ -z "$path" ] && continue
    case $mode in d*) continue ;; esac
    ok=""
    for prefix in ${allowed[$pkg]}; do
      case $path in "$prefix"*) ok=1 ;; esac
    done
    [ -n "$ok" ] || fail "$pkg: unexpected file $path"
    case $path in
      etc/sv/*/run | etc/sv/*/finish | usr/bin/*) # log/run too
        [[ $mode == -rwx* ]] || fail "$pkg: $path is not executable ($mode)" ;;
    esac
  done < "$tmp/$pkg.list"

  if [ -n "${conffiles[$pkg]:-}" ]; then
    dpkg-deb -I "$deb" conffiles > "$tmp/$pkg.conffiles" 2>/dev/null || : > "$tmp/$pkg.conffiles"
    for f in ${conffiles[$pkg]}; do
      grep -q -x -F "$f" "$tmp/$pkg.conffiles" || fail "$pkg: $f is not a conffile"
    done
  fi

  deps=$(dpkg-deb -f "$deb" Depends | tr ',' '\n' | sed 's/^ *//; s/[ (:].*//')
  for d in ${depends[$pkg]}; do
    grep -q -x -F "$d" <<<"$deps" || fail "$pkg: does not depend on $d (Depends: $(dpkg-deb -f "$deb" Depends))"
  done
  # A -dev package in a runtime package's dependencies means the wrong files were resolved.
  if [ "$pkg" != libtavlo-dev ] && grep -q -- '-dev$' <<<"$deps"; then
    fail "$pkg: depends on a development package: $(dpkg-deb -f "$deb" Depends)"
  fi

  mkdir -p "$tmp/root/$pkg"
  dpkg-deb -x "$deb" "$tmp/root/$pkg"
  if [ -n "${defaults[$pkg]:-}" ]; then
    conf=$tmp/root/$pkg/etc/vek/$pkg.conf
    for kv in ${defaults[$pkg]}; do
      grep -q -x -F "$kv" "$conf" 2>/dev/null || fail "$pkg: $pkg.conf lacks the default $kv"
    done
    for k in ${unset_keys[$pkg]:-}; do
      ! grep -q "^$k=" "$conf" 2>/dev/null || fail "$pkg: $pkg.conf sets $k, whose default is unset"
    done
    grep -q '^log4cpp.rootCategory=' "$conf" 2>/dev/null || fail "$pkg: $pkg.conf sets up no logging"
  fi
done

lib=$(deb_of libtavlo1)
if [ -n "$lib" ]; then
  shlibs=$(dpkg-deb -I "$lib" shlibs 2>/dev/null || true)
  grep -q '^libtavlo 1 libtavlo1 (>= ' <<<"$shlibs" || fail "libtavlo1: shlibs file is '$shlibs'"
fi

# The binaries: built for the board's machine, loaded by the system's loader, no rpath (a test
# build's rpath into the sysroot must never ship), stripped, and their debug symbols in the
# dbgsym package under the same build id.
for pkg in "${with_symbols[@]}"; do
  dbg=$(deb_of "$pkg-dbgsym")
  [ -n "$dbg" ] || { fail "$pkg-dbgsym: no package"; continue; }
  [ "$(dpkg-deb -f "$dbg" Architecture)" = "$arch" ] || fail "$pkg-dbgsym: Architecture is $(dpkg-deb -f "$dbg" Architecture)"
  dbglist=$(dpkg-deb -c "$dbg" | awk '{ sub(/^\.\//, "", $6); print $6 }')
  [ -d "$tmp/root/$pkg" ] || continue
  while IFS= read -r -d '' f; do
    head -c 4 "$f" | grep -q 'ELF' || continue
    name=${f#"$tmp/root/$pkg/"}
    [ -L "$f" ] && continue
    readelf -h "$f" | grep -q "Machine:.*$machine" || fail "$name: not built for $machine"
    dyn=$(readelf -d "$f")
    ! grep -q -E '\((RPATH|RUNPATH)\)' <<<"$dyn" || fail "$name: carries $(grep -E 'RPATH|RUNPATH' <<<"$dyn")"
    if [[ $name == usr/bin/* ]]; then
      interp=$(readelf -l "$f" | sed -n 's/.*Requesting program interpreter: \(.*\)\]/\1/p')
      [ "$interp" = "$loader" ] || fail "$name: loader is '$interp', not $loader"
      grep -q 'NEEDED.*\[libtavlo\.so\.1\]' <<<"$dyn" || [ "$name" = usr/bin/vek-request ] ||
        fail "$name: does not load libtavlo.so.1"
    else
      grep -q 'SONAME.*\[libtavlo\.so\.1\]' <<<"$dyn" || fail "$name: SONAME is not libtavlo.so.1"
    fi
    ! readelf -S "$f" | grep -q '\.symtab' || fail "$name: not stripped"
    id=$(readelf -n "$f" | sed -n 's/.*Build ID: \([0-9a-f]*\).*/\1/p')
    grep -q -x -F "usr/lib/debug/.build-id/${id:0:2}/${id:2}.debug" <<<"$dbglist" ||
      fail "$name: build id '$id' has no debug file in $pkg-dbgsym"
    if [ "$arch" = armhf ]; then
      attrs=$(readelf -A "$f")
      grep -q 'Tag_CPU_arch: v7' <<<"$attrs" || fail "$name: not built for ARMv7"
      grep -q 'Tag_ABI_VFP_args: VFP registers' <<<"$attrs" || fail "$name: not built for hard float"
    fi
  done < <(find "$tmp/root/$pkg" -type f -print0)
done

mapfile -t all < <(compgen -G "$dir/*_$arch.deb")
if command -v lintian >/dev/null; then
  if ! lintian --fail-on error "${all[@]}" > "$tmp/lintian" 2>&1; then
    fail "lintian reports errors:"
    grep '^E:' "$tmp/lintian" || cat "$tmp/lintian"
  fi
  echo "lintian: $(grep -c '^E:' "$tmp/lintian" || true) errors, $(grep -c '^W:' "$tmp/lintian" || true) warnings"
else
  fail "lintian is not installed"
fi

if [ "$failures" -gt 0 ]; then
  echo "check_debs: $failures checks failed for the $arch packages in $dir"
  exit 1
fi
echo "check_debs: the $arch packages in $dir pass"
