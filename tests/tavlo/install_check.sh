#!/bin/bash
# Installs libtavlo from a build tree into a temporary prefix, then builds the example consumer
# against the installed headers and library twice: with the flags of tavlo.pc, and as a CMake
# project through find_package(tavlo). Runs both builds and checks their output, that they load
# the installed library, the library's SONAME and the version that tavlo.pc and the CMake package
# declare. A request for the next major version must not find the package.
#
#   install_check.sh <build dir> <consumer project dir> <c++ compiler> <version> \
#                    [extra compiler flags for the pkg-config build] [cmake arguments...]
set -euo pipefail

build=$1
project=$2
cxx=$3
version=$4
extra=${5:-}
shift 4
[ $# -eq 0 ] || shift
cmake_args=("$@")

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

fail() {
    echo "install check: $*" >&2
    exit 1
}

cmake --install "$build" --prefix "$tmp/prefix" --component tavlo >"$tmp/install.log" ||
    { cat "$tmp/install.log" >&2; fail "cmake --install failed"; }

pc=$(find "$tmp/prefix" -name tavlo.pc -print -quit)
[ -n "$pc" ] || fail "tavlo.pc not installed"
pcdir=$(dirname "$pc")
libdir=$(dirname "$pcdir")
for h in wildcard.h filter_vars.h client.h; do
    [ -f "$tmp/prefix/include/tavlo/$h" ] || fail "header tavlo/$h not installed"
done
for f in tavloConfig.cmake tavloConfigVersion.cmake tavloTargets.cmake; do
    [ -f "$libdir/cmake/tavlo/$f" ] || fail "$f not installed in $libdir/cmake/tavlo"
done

soname=$(readelf -d "$libdir/libtavlo.so" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
[ "$soname" = "libtavlo.so.1" ] || fail "SONAME is '$soname', not libtavlo.so.1"
[ -e "$libdir/libtavlo.so.1" ] || fail "libtavlo.so.1 not installed"
# The file itself is named after the soname, then the release's minor and patch numbers.
file=$(basename "$(realpath "$libdir/libtavlo.so.1")")
[ "$file" = "libtavlo.so.1.${version#*.}" ] || fail "the library's file is '$file', not libtavlo.so.1.${version#*.}"

pkgconf() { PKG_CONFIG_PATH="$pcdir${PKG_CONFIG_PATH:+:$PKG_CONFIG_PATH}" pkg-config "$@"; }
pc_version=$(pkgconf --modversion tavlo) || fail "pkg-config does not know tavlo"
[ "$pc_version" = "$version" ] || fail "tavlo.pc declares version '$pc_version', not $version"
flags=$(pkgconf --cflags --libs tavlo) || fail "pkg-config does not know tavlo's dependencies"
mkdir "$tmp/pc"
# shellcheck disable=SC2086 # the flags are word lists
"$cxx" -std=c++17 -Wall -Wextra -Werror $extra "$project/tavlo_consumer.cpp" $flags -o "$tmp/pc/tavlo_consumer" ||
    fail "the consumer does not build against the installed library through pkg-config"

# The staging prefix lets a cross build, which looks for packages only in its sysroot, look there.
configure() {
    cmake -S "$project" -B "$1" -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_PREFIX_PATH="$tmp/prefix" \
        -DCMAKE_STAGING_PREFIX="$tmp/prefix" -DTAVLO_WANTED="$2" "${cmake_args[@]}"
}
if ! { configure "$tmp/cmake" "$version" && cmake --build "$tmp/cmake"; } >"$tmp/cmake.log" 2>&1; then
    cat "$tmp/cmake.log" >&2
    fail "the consumer does not build against the installed library through find_package"
fi
grep -q "^tavlo_DIR:PATH=$libdir/cmake/tavlo\$" "$tmp/cmake/CMakeCache.txt" ||
    fail "find_package found $(grep '^tavlo_DIR' "$tmp/cmake/CMakeCache.txt"), not the installed package"
next_major=$((${version%%.*} + 1))
if configure "$tmp/cmake-next" "$next_major" >"$tmp/cmake-next.log" 2>&1; then
    fail "find_package(tavlo $next_major) accepts the installed version $version"
fi

machine() { readelf -h "$1" | sed -n 's/^ *Machine: *//p'; }
arch=$(machine "$libdir/libtavlo.so.1")

for consumer in "$tmp/pc/tavlo_consumer" "$tmp/cmake/tavlo_consumer"; do
    [ "$(machine "$consumer")" = "$arch" ] ||
        fail "$consumer is built for $(machine "$consumer"), the library for $arch"

    # The consumer must load the installed library, not the one in the build tree. Its own loader
    # lists what it loads (as ldd does, but also for a cross-built program run through an emulator).
    loaded=$(LD_TRACE_LOADED_OBJECTS=1 LD_LIBRARY_PATH="$libdir" "$consumer" |
        sed -n 's/.*libtavlo\.so\.1 => \([^ ]*\).*/\1/p')
    [ "$(realpath "$loaded")" = "$(realpath "$libdir/libtavlo.so.1")" ] ||
        fail "$consumer: libtavlo.so.1 loads from '$loaded'"

    check() {
        local expected=$1
        shift
        local out
        out=$(LD_LIBRARY_PATH="$libdir" "$consumer" "$@") || fail "$consumer failed on $*: $out"
        [ "$out" = "$expected" ] || fail "$consumer printed '$out' for $*, expected '$expected'"
    }
    check "1: 00A1B2C3" in/key/+/request in/key/00A1B2C3/request
    check $'1: b\n2: d/e' a/+/c/# a/b/c/d/e
    check "" a/b a/b
done

echo "install check passed: $libdir/libtavlo.so.1 $version ($arch), through pkg-config and find_package"
