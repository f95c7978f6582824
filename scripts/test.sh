#!/usr/bin/env bash
# Installs what is missing, then builds and runs the whole test suite four ways:
# a normal build, ThreadSanitizer for the threaded parts (tests labelled "tsan"),
# AddressSanitizer + UndefinedBehaviorSanitizer for everything, and an armhf build for the
# board under user-mode QEMU; also builds the Debian packages (amd64 and armhf) and checks them.
# Stops at the first failure. Ends with one summary: each stage, its time and its CTest result.
# Pass -L <label> / -LE <label> to select tests (e.g. scripts/test.sh -LE slow).
set -euo pipefail
cd "$(dirname "$0")/.."

total_start=$SECONDS
./scripts/install-deps.sh

# Compiling keeps every core busy. The tests mostly wait (on brokers, daemons, time-outs), but each
# starts a broker and often a daemon, under a sanitizer or QEMU: more of them at once than a few
# cores carry turns their waiting into time-outs. VEK_JOBS / VEK_TEST_JOBS override.
nproc=$(nproc)
JOBS=${VEK_JOBS:-$nproc}
TEST_JOBS=${VEK_TEST_JOBS:-$((nproc < 4 ? nproc : 4))}
export VEK_JOBS=$JOBS
CTEST_ARGS=("$@")

# A second run on the same machine recompiles only what changed: every build goes through ccache.
if command -v ccache >/dev/null; then
  export CMAKE_C_COMPILER_LAUNCHER=${CMAKE_C_COMPILER_LAUNCHER-ccache}
  export CMAKE_CXX_COMPILER_LAUNCHER=${CMAKE_CXX_COMPILER_LAUNCHER-ccache}
  # The same file compiled from another checkout of the tree hits the cache too.
  export CCACHE_BASEDIR=${CCACHE_BASEDIR-$PWD}
fi

# The summary: one line per stage, printed at the end whether the run passes or stops.
summary=()
stage_name=""
stage_start=0
stage_log=""
stage() {
  stage_name=$1
  stage_log=""
  stage_start=$SECONDS
  echo "=== $stage_name ==="
}
stage_done() {
  summary+=("$(printf '%-28s %5d s  %s' "$stage_name" $((SECONDS - stage_start)) "${1:-done}")")
  stage_name=""
}
print_summary() {
  local rc=$?
  if [ -n "$stage_name" ]; then
    local ctest_line=""
    [ -z "$stage_log" ] || ctest_line=$(grep -E 'tests passed' "$stage_log" 2>/dev/null | tail -n 1 || true)
    stage_done "FAILED (exit status $rc)${ctest_line:+: $ctest_line}"
  fi
  echo
  echo "=== summary ==="
  local line
  for line in "${summary[@]}"; do echo "$line"; done
  printf '%-28s %5d s  %s\n' "total" $((SECONDS - total_start)) "$([ $rc -eq 0 ] && echo passed || echo FAILED)"
}
trap print_summary EXIT

build() {
  local dir=$1; shift
  stage "build: $dir"
  cmake -S . -B "build/$dir" -DCMAKE_BUILD_TYPE="$1" "${@:2}" >/dev/null
  cmake --build "build/$dir" -j"$JOBS"
  stage_done
}

# CTest's summary line of each stage goes into the final summary.
run() {
  local dir=$1; shift
  local log="build/$dir/ctest-summary.log"
  stage "tests: $dir"
  stage_log=$log
  ctest --test-dir "build/$dir" -j"$TEST_JOBS" --output-on-failure --no-tests=ignore "$@" "${CTEST_ARGS[@]}" |
    tee "$log"
  stage_done "$(grep -E 'tests passed|No tests were found' "$log" | tail -n 1)"
}

# The benchmarks are built here (not run) so that they keep compiling.
build normal RelWithDebInfo -DVEK_BUILD_BENCHMARKS=ON

# Debian packages, for this machine and for the board: the packaging test of the normal run
# installs and runs the amd64 ones; the armhf ones are checked here. VEK_SKIP_DEBS=1 leaves them out.
if [ -z "${VEK_SKIP_DEBS:-}" ]; then
  stage "Debian packages"
  ./scripts/build-debs.sh amd64
  ./scripts/build-debs.sh armhf
  bash tests/packaging/check_debs.sh build/debs/armhf armhf
  stage_done
fi

run normal

if [ -z "${VEK_SKIP_TSAN:-}" ]; then
  build tsan RelWithDebInfo -DVEK_SANITIZE_THREAD=ON
  run tsan -L tsan
fi

build asan Debug -DVEK_SANITIZE_ADDRESS=ON
run asan

# --- Fuzz targets (libFuzzer) -----------------------------------------------------------------
# The builds above already replayed every seed and regression input through each fuzz target with
# a small driver; here the same inputs go through the libFuzzer binaries themselves (clang, ASan
# and UBSan; only the targets and the libraries they test are built). VEK_SKIP_FUZZ=1 skips it.
if [ -z "${VEK_SKIP_FUZZ:-}" ] && command -v clang++-14 >/dev/null; then
  build fuzz RelWithDebInfo -DVEK_FUZZ=ON
  run fuzz
fi

# --- armhf: the whole suite built for the board and run under user-mode QEMU -----------------
# Cross build against the sysroot (scripts/make-sysroot.sh) with the test-only run settings
# (the sysroot's loader and an rpath into it), so that every test binary and every daemon a
# test starts runs through binfmt_misc. Lean: -Os, no benchmarks. VEK_SKIP_ARMHF=1 leaves it out.
if [ -z "${VEK_SKIP_ARMHF:-}" ]; then
  stage "armhf set-up"
  ./scripts/install-deps.sh --board
  ./scripts/enable-qemu-arm.sh
  armhf_sysroot=$(./scripts/make-sysroot.sh)
  stage_done
  build armhf MinSizeRel -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/armhf.cmake" -DARMHF_SYSROOT="$armhf_sysroot" \
    -DARMHF_RUN_FROM_SYSROOT=ON
  run armhf
fi
