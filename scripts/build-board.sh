#!/usr/bin/env bash
# Builds the board's artefacts: the product alone (library, daemons, request tool) for Debian 12
# armhf, optimised for size, installed under /usr in a staging tree and stripped, with the debug
# symbols kept apart (found by build id, as Debian's debug packages lay them out).
#
#   scripts/build-board.sh [BUILD_DIR]      (default build/board)
#
# Results: BUILD_DIR/root (the files for the board) and BUILD_DIR/debug (usr/lib/debug/.build-id).
# No test-only settings: the programs name the board's own loader and carry no rpath.
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:-build/board}
./scripts/install-deps.sh --board >&2
sysroot=$(./scripts/make-sysroot.sh)
export CMAKE_C_COMPILER_LAUNCHER=${CMAKE_C_COMPILER_LAUNCHER-ccache}
export CMAKE_CXX_COMPILER_LAUNCHER=${CMAKE_CXX_COMPILER_LAUNCHER-ccache}
command -v ccache >/dev/null || unset CMAKE_C_COMPILER_LAUNCHER CMAKE_CXX_COMPILER_LAUNCHER

# -g only to be split off below; the code is that of -Os alone.
cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/armhf.cmake" -DARMHF_SYSROOT="$sysroot" \
  -DARMHF_RUN_FROM_SYSROOT=OFF -DCMAKE_BUILD_TYPE=MinSizeRel \
  -DCMAKE_C_FLAGS_MINSIZEREL="-Os -DNDEBUG -g" -DCMAKE_CXX_FLAGS_MINSIZEREL="-Os -DNDEBUG -g" \
  -DVEK_BUILD_TESTS=OFF -DVEK_BUILD_BENCHMARKS=OFF \
  -DCMAKE_INSTALL_PREFIX=/usr -DCMAKE_INSTALL_LIBDIR=lib/arm-linux-gnueabihf >/dev/null
cmake --build "$build" -j"$(nproc)"

root=$build/root
debug=$build/debug
rm -rf "$root" "$debug"
DESTDIR="$PWD/$root" cmake --install "$build" >/dev/null

fail() { echo "build-board: $*" >&2; exit 1; }
while IFS= read -r -d '' file; do
  readelf -h "$file" 2>/dev/null | grep -q 'Machine: *ARM' || continue
  id=$(readelf -n "$file" | sed -n 's/^ *Build ID: *//p')
  [ -n "$id" ] || fail "$file has no build id"
  symbols=$debug/usr/lib/debug/.build-id/${id:0:2}/${id:2}.debug
  mkdir -p "$(dirname "$symbols")"
  arm-linux-gnueabihf-objcopy --only-keep-debug --compress-debug-sections "$file" "$symbols"
  chmod 644 "$symbols"
  arm-linux-gnueabihf-strip --strip-unneeded --remove-section=.comment --remove-section=.note "$file"
  arm-linux-gnueabihf-objcopy --add-gnu-debuglink="$symbols" "$file"
  # What would only work on this host must not reach the board.
  if readelf -d "$file" | grep -qE '\((RPATH|RUNPATH)\)'; then fail "$file carries an rpath"; fi
  interp=$(readelf -l "$file" | sed -n 's/.*Requesting program interpreter: \(.*\)\]/\1/p')
  [ -z "$interp" ] || [ "$interp" = /lib/ld-linux-armhf.so.3 ] || fail "$file names the loader $interp"
  printf '%8d  %s\n' "$(stat -c %s "$file")" "${file#"$root"}" >&2
done < <(find "$root" -type f -print0)
echo "build-board: $root (debug symbols in $debug)" >&2
