#!/usr/bin/env bash
# Installs what is missing, then builds and runs the whole test suite three ways:
# a normal build, ThreadSanitizer for the threaded parts (tests labelled "tsan") and
# AddressSanitizer + UndefinedBehaviorSanitizer for everything. Stops at the first failure.
# Pass -L <label> / -LE <label> to select tests (e.g. scripts/test.sh -LE slow).
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/install-deps.sh

JOBS=$(nproc)
CTEST_ARGS=("$@")

build() {
  local dir=$1; shift
  cmake -S . -B "build/$dir" -DCMAKE_BUILD_TYPE="$1" "${@:2}" >/dev/null
  cmake --build "build/$dir" -j"$JOBS"
}

run() {
  local dir=$1; shift
  echo "=== tests: $dir ==="
  ctest --test-dir "build/$dir" -j"$JOBS" --output-on-failure --no-tests=ignore "$@" "${CTEST_ARGS[@]}"
}

build normal RelWithDebInfo
run normal

if [ -z "${VEK_SKIP_TSAN:-}" ]; then
  build tsan RelWithDebInfo -DVEK_SANITIZE_THREAD=ON -DVEK_BUILD_BENCHMARKS=OFF
  run tsan -L tsan
fi

build asan Debug -DVEK_SANITIZE_ADDRESS=ON -DVEK_BUILD_BENCHMARKS=OFF
run asan

# --- Fuzz targets (libFuzzer) -----------------------------------------------------------------
# The builds above already replayed every seed and regression input through each fuzz target with
# a small driver; here the same inputs go through the libFuzzer binaries themselves (clang, ASan
# and UBSan; only the targets and the libraries they test are built). VEK_SKIP_FUZZ=1 skips it.
if [ -z "${VEK_SKIP_FUZZ:-}" ] && command -v clang++-14 >/dev/null; then
  build fuzz RelWithDebInfo -DVEK_FUZZ=ON
  run fuzz
fi
