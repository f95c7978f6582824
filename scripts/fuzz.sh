#!/usr/bin/env bash
# A fuzzing campaign over every fuzz target: builds the libFuzzer binaries (build/fuzz, clang with
# ASan and UBSan), then fuzzes each target for SECONDS (default 60), two at a time, and prints per
# target the executions, the coverage (cov and ft of libFuzzer's last status line) and the crashes
# found. Each run keeps its corpus, log and crash inputs under build/fuzz-campaign/<time>/<target>/;
# a finding goes to tests/fuzz/regressions/<target>/ once it is fixed.
#
#   scripts/fuzz.sh [SECONDS]       e.g. scripts/fuzz.sh 300 for the five-minute campaign
#   FUZZ_TARGETS="tag_msg properties" scripts/fuzz.sh 60     only some targets
#   FUZZ_JOBS=1 scripts/fuzz.sh     one target at a time
set -euo pipefail
cd "$(dirname "$0")/.."

SECONDS_PER_TARGET=${1:-60}
JOBS=${FUZZ_JOBS:-2}
TARGETS=(${FUZZ_TARGETS:-request_payload request_budget pack_to_lua run_job hdlc_frame tag_msg server_request key_manifest
  key_signature properties topic_filter status_records log_pattern})

./scripts/install-deps.sh >/dev/null
if command -v ccache >/dev/null; then
  export CMAKE_C_COMPILER_LAUNCHER=ccache CMAKE_CXX_COMPILER_LAUNCHER=ccache
fi
cmake -S . -B build/fuzz -DVEK_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/fuzz -j"$(nproc)" >/dev/null

CAMPAIGN=build/fuzz-campaign/$(date +%Y%m%d-%H%M%S)
mkdir -p "$CAMPAIGN"
echo "fuzz: ${#TARGETS[@]} targets, ${SECONDS_PER_TARGET} s each, $JOBS at a time; output in $CAMPAIGN"

run_target() {
  local target=$1 dir=$CAMPAIGN/$1
  mkdir -p "$dir/corpus" "$dir/artifacts" "$dir/tmp"
  # Fork mode goes on after a crash, so that one finding does not end the target's run. The
  # working corpus comes first (new inputs are written there), the seeds are only read.
  TMPDIR=$PWD/$dir/tmp \
  ASAN_OPTIONS=detect_leaks=1 \
  LSAN_OPTIONS="suppressions='$PWD/tests/lsan.supp':print_suppressions=0" \
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  nice "build/fuzz/tests/fuzz/fuzz_$target" \
    -fork=1 -ignore_crashes=1 -ignore_timeouts=1 -ignore_ooms=1 \
    -max_total_time="$SECONDS_PER_TARGET" -timeout=30 -rss_limit_mb=2048 -max_len=4096 \
    -artifact_prefix="$dir/artifacts/" -print_final_stats=1 \
    "$dir/corpus" "tests/fuzz/corpus/$target" </dev/null >"$dir/log" 2>&1 || true
  echo "fuzz: $target done"
}

for target in "${TARGETS[@]}"; do
  [ -x "build/fuzz/tests/fuzz/fuzz_$target" ] || { echo "fuzz: no target $target" >&2; exit 2; }
  while [ "$(jobs -rp | wc -l)" -ge "$JOBS" ]; do wait -n || true; done
  run_target "$target" &
done
wait

found=0
printf '\n%-16s %12s %7s %7s %8s  %s\n' target executions cov ft crashes artifacts
for target in "${TARGETS[@]}"; do
  dir=$CAMPAIGN/$target
  # The fork driver's status lines: "#<execs>: cov: <n> ft: <n> corp: ... crash: <o>/<t>/<c> ..."
  status=$(grep -E '^#[0-9]+: cov: ' "$dir/log" | tail -n 1 || true)
  execs=$(sed -nE 's/^#([0-9]+): .*/\1/p' <<<"$status")
  cov=$(sed -nE 's/.* cov: ([0-9]+) .*/\1/p' <<<"$status")
  ft=$(sed -nE 's/.* ft: ([0-9]+) .*/\1/p' <<<"$status")
  crashes=$(find "$dir/artifacts" -type f \( -name 'crash-*' -o -name 'leak-*' -o -name 'timeout-*' -o -name 'oom-*' \) | wc -l)
  found=$((found + crashes))
  printf '%-16s %12s %7s %7s %8s  %s\n' "$target" "${execs:-?}" "${cov:-?}" "${ft:-?}" "$crashes" \
    "$([ "$crashes" -gt 0 ] && echo "$dir/artifacts" || echo -)"
done
echo
if [ "$found" -gt 0 ]; then
  echo "fuzz: $found crash inputs; replay one with build/fuzz/tests/fuzz/fuzz_<target> <file>"
  exit 1
fi
echo "fuzz: no crashes"
