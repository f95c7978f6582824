#!/bin/bash
# Installs libtavlo from a build tree into a temporary prefix, builds the example consumer against
# the installed headers and library found through tavlo.pc, runs it and checks its output and the
# library's SONAME.
#
#   install_check.sh <build dir> <tavlo_consumer.cpp> <c++ compiler> [extra compiler flags]
set -euo pipefail

build=$1
source=$2
cxx=$3
extra=${4:-}

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

soname=$(readelf -d "$libdir/libtavlo.so" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
[ "$soname" = "libtavlo.so.1" ] || fail "SONAME is '$soname', not libtavlo.so.1"
[ -e "$libdir/libtavlo.so.1" ] || fail "libtavlo.so.1 not installed"

flags=$(PKG_CONFIG_PATH="$pcdir${PKG_CONFIG_PATH:+:$PKG_CONFIG_PATH}" pkg-config --cflags --libs tavlo) || fail "pkg-config does not know tavlo"
# shellcheck disable=SC2086 # the flags are word lists
"$cxx" -std=c++17 -Wall -Wextra -Werror $extra "$source" $flags -o "$tmp/tavlo_consumer" ||
    fail "the consumer does not build against the installed library"

machine() { readelf -h "$1" | sed -n 's/^ *Machine: *//p'; }
arch=$(machine "$libdir/libtavlo.so.1")
[ "$(machine "$tmp/tavlo_consumer")" = "$arch" ] ||
    fail "the consumer is built for $(machine "$tmp/tavlo_consumer"), the library for $arch"

# The consumer must load the installed library, not the one in the build tree. Its own loader
# lists what it loads (as ldd does, but also for a cross-built program run through an emulator).
loaded=$(LD_TRACE_LOADED_OBJECTS=1 LD_LIBRARY_PATH="$libdir" "$tmp/tavlo_consumer" |
    sed -n 's/.*libtavlo\.so\.1 => \([^ ]*\).*/\1/p')
[ "$(realpath "$loaded")" = "$(realpath "$libdir/libtavlo.so.1")" ] || fail "libtavlo.so.1 loads from '$loaded'"

check() {
    local expected=$1
    shift
    local out
    out=$(LD_LIBRARY_PATH="$libdir" "$tmp/tavlo_consumer" "$@") || fail "consumer failed on $*: $out"
    [ "$out" = "$expected" ] || fail "consumer printed '$out' for $*, expected '$expected'"
}
check "1: 00A1B2C3" in/key/+/request in/key/00A1B2C3/request
check $'1: b\n2: d/e' a/+/c/# a/b/c/d/e
check "" a/b a/b

echo "install check passed: $libdir/libtavlo.so.1 ($arch)"
