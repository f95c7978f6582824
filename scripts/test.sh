#!/usr/bin/env bash
# Installs what is missing, then builds and runs the whole test suite four ways:
# a normal build, ThreadSanitizer for the threaded parts (tests labelled "tsan"),
# AddressSanitizer + UndefinedBehaviorSanitizer for everything, and an armhf build for the
# board under user-mode QEMU; also builds the Debian packages (amd64 and armhf) and checks them.
# Stops at the first failure.
# Pass -L <label> / -LE <label> to select tests (e.g. scripts/test.sh -LE slow).
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/install-deps.sh

# Compiling keeps every core busy. The tests mostly wait (on brokers, daemons, time-outs), but each
# starts a broker and often a daemon, under a sanitizer or QEMU: more of them at once than a few
# cores carry turns their waiting into time-outs. VEK_JOBS / VEK_TEST_JOBS override.
nproc=$(nproc)
JOBS=${VEK_JOBS:-$nproc}
TEST_JOBS=${VEK_TEST_JOBS:-$((nproc < 4 ? nproc : 4))}
export VEK_JOBS=$JOBS
CTEST_ARGS=("$@")

build() {
  local dir=$1; shift
  cmake -S . -B "build/$dir" -DCMAKE_BUILD_TYPE="$1" "${@:2}" >/dev/null
  cmake --build "build/$dir" -j"$JOBS"
}

# CTest's summary is the last thing each stage prints.
run() {
  local dir=$1; shift
  echo "=== tests: $dir ==="
  ctest --test-dir "build/$dir" -j"$TEST_JOBS" --output-on-failure --no-tests=ignore "$@" "${CTEST_ARGS[@]}"
}

# The benchmarks are built here (not run) so that they keep compiling.
build normal RelWithDebInfo -DVEK_BUILD_BENCHMARKS=ON

# Debian packages, for this machine and for the board: the packaging test of the normal run
# installs and runs the amd64 ones; the armhf ones are checked here. VEK_SKIP_DEBS=1 leaves them out.
if [ -z "${VEK_SKIP_DEBS:-}" ]; then
  echo "=== Debian packages ==="
  debs_start=$SECONDS
  ./scripts/build-debs.sh amd64
  ./scripts/build-debs.sh armhf
  bash tests/packaging/check_debs.sh build/debs/armhf armhf
  echo "Debian packages: $((SECONDS - debs_start)) s"
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
  armhf_start=$(date +%s)
  ./scripts/install-deps.sh --board
  ./scripts/enable-qemu-arm.sh
  armhf_sysroot=$(./scripts/make-sysroot.sh)
  build armhf MinSizeRel -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/armhf.cmake" -DARMHF_SYSROOT="$armhf_sysroot" \
    -DARMHF_RUN_FROM_SYSROOT=ON
  echo "=== armhf set-up and build: $(( $(date +%s) - armhf_start )) s ==="
  run armhf
fi
