#!/usr/bin/env bash
# Benchmark of the command service: jobs/s and latency at 1 and 16 requests in flight, against a
# null responder (answers at once, no decoding, no Lua) on the same broker, and the peak resident
# memory of vek-command. Everything runs on loopback against brokers started here on free ports.
#
#   scripts/bench-command.sh                 this tree's vek-command against the null responder
#   scripts/bench-command.sh --ab OTHER_DIR  and, interleaved in the same run, the vek-command of
#                                            another build directory (an older commit, say)
#
# The machine's load drifts, so the contenders take turns: every repetition starts a fresh
# broker and runs the null responder and each vek-command (a fresh process each) one after the
# other, in an order that rotates between repetitions; the table gives the median of the
# repetitions. Instruction counts, which load does not move, come from
# scripts/bench-instructions.sh.
#
# Environment: BUILD_DIR (default build/normal; the generator and responder come from it too),
# REQUESTS_1 and REQUESTS_16 (requests per run, default 3000 and 10000), RUNS (repetitions,
# default 5), BENCH_LOG_LEVEL (vek-command's log level, default INFO, logged to a file).
set -euo pipefail
cd "$(dirname "$0")/.."

BUILD_DIR=${BUILD_DIR:-build/normal}
REQUESTS_1=${REQUESTS_1:-3000}
REQUESTS_16=${REQUESTS_16:-10000}
RUNS=${RUNS:-5}
BENCH_LOG_LEVEL=${BENCH_LOG_LEVEL:-INFO}
OTHER_DIR=""
if [ "${1:-}" = "--ab" ]; then
  OTHER_DIR=${2:?"--ab needs the other build directory"}
  [ -x "$OTHER_DIR/src/vek-command" ] || { echo "bench-command: no $OTHER_DIR/src/vek-command" >&2; exit 1; }
elif [ $# -gt 0 ]; then
  echo "usage: scripts/bench-command.sh [--ab OTHER_BUILD_DIR]" >&2
  exit 2
fi

./scripts/install-deps.sh >/dev/null
cmake -S . -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVEK_BUILD_BENCHMARKS=ON >/dev/null
cmake --build "$BUILD_DIR" -j2 --target vek-command load_generator null_responder >/dev/null

GENERATOR="$BUILD_DIR/benchmarks/command/load_generator"
RESPONDER="$BUILD_DIR/benchmarks/command/null_responder"
# Contenders: "null" is the responder; the others are vek-command binaries.
NAMES=(null A)
declare -A BINARY=([A]="$BUILD_DIR/src/vek-command")
declare -A LABEL=([null]="null responder" [A]="vek-command $BUILD_DIR")
if [ -n "$OTHER_DIR" ]; then
  NAMES+=(B)
  BINARY[B]="$OTHER_DIR/src/vek-command"
  LABEL[B]="vek-command $OTHER_DIR"
fi

WORK=$(mktemp -d)
BROKER_PID=""
CONTENDER_PID=""
cleanup() {
  stop_pid "$CONTENDER_PID"
  stop_pid "$BROKER_PID"
  rm -rf "$WORK"
}
trap cleanup EXIT

. scripts/loopback-broker.sh

pick_port() { free_port; }

field() { sed -n "s/.*$1=\([0-9.]*\).*/\1/p" <<<"$2"; }
cpu_ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }

mkdir -p "$WORK/scripts" "$WORK/staging"
echo 'return args.msg' > "$WORK/scripts/bench.lua"
write_config() {
  cat > "$WORK/vek-command.conf" <<CONF
server_comms.host=127.0.0.1
server_comms.port=$1
script.search_dirs=$WORK/scripts
script.staging_dir=$WORK/staging
log4cpp.rootCategory=$BENCH_LOG_LEVEL, file
log4cpp.appender.file=FileAppender
log4cpp.appender.file.fileName=$WORK/vek-command.log
log4cpp.appender.file.layout=PatternLayout
log4cpp.appender.file.layout.ConversionPattern=%d{%Y-%m-%d %H:%M:%S.%l} %-5p [%c] %m%n
CONF
}

start_contender() {
  if [ "$1" = null ]; then
    "$RESPONDER" -p "$PORT" -a hello > "$WORK/responder.out" &
  else
    "${BINARY[$1]}" "$WORK/vek-command.conf" &
  fi
  CONTENDER_PID=$!
}

# One measurement of the running contender: the generator's line plus its CPU time per job.
run_generator() {
  local in_flight=$1 requests=$2 before after line
  before=$(cpu_ticks "$CONTENDER_PID")
  line=$("$GENERATOR" -p "$PORT" -c "$in_flight" -n "$requests" -w "$WARM_UP" -s bench -m hello)
  after=$(cpu_ticks "$CONTENDER_PID")
  echo "$line cpu_us=$(awk -v t=$((after - before)) -v hz="$(getconf CLK_TCK)" -v n=$((requests + WARM_UP)) \
    'BEGIN { printf "%.0f", t * 1e6 / hz / n }')"
}

# The highest VmHWM seen for each vek-command.
declare -A PEAK_KIB=([A]=0 [B]=0)
note_peak() {
  local kib
  kib=$(sed -n 's/^VmHWM:[[:space:]]*\([0-9]*\) kB/\1/p' "/proc/$CONTENDER_PID/status")
  [ "$kib" -gt "${PEAK_KIB[$1]}" ] && PEAK_KIB[$1]=$kib
  return 0
}

echo "vek-command logging at $BENCH_LOG_LEVEL; median of $RUNS interleaved repetitions, a fresh broker each;" \
  "$REQUESTS_1 requests at 1 in flight, $REQUESTS_16 at 16"
WARM_UP=300
declare -A RESULTS # "name in_flight" -> lines, one per repetition
for run in $(seq "$RUNS"); do
  PORT=$(pick_port)
  start_loopback_broker "$PORT" "$WORK"
  write_config "$PORT"
  # Rotate the order, so that no contender always runs first or last.
  order=("${NAMES[@]:$(( (run - 1) % ${#NAMES[@]} ))}" "${NAMES[@]:0:$(( (run - 1) % ${#NAMES[@]} ))}")
  for in_flight in 1 16; do
    requests=$([ "$in_flight" -eq 1 ] && echo "$REQUESTS_1" || echo "$REQUESTS_16")
    for name in "${order[@]}"; do
      start_contender "$name"
      line=$(run_generator "$in_flight" "$requests")
      [ "$name" = null ] || note_peak "$name"
      stop_pid "$CONTENDER_PID"
      CONTENDER_PID=""
      RESULTS["$name $in_flight"]+="$line"$'\n'
    done
  done
  stop_pid "$BROKER_PID"
  BROKER_PID=""
  echo "repetition $run of $RUNS done (order: ${order[*]})"
done

# Median of one field over the repetitions of one contender.
median() {
  sed -n "s/.*$2=\([0-9.]*\).*/\1/p" <<<"${RESULTS[$1]}" | sort -n |
    awk '{ v[NR] = $1 } END { if (NR % 2) print v[(NR + 1) / 2]; else printf "%.0f\n", (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

# Lowest and highest of one field, "low-high": how far the load moved the repetitions.
spread() {
  sed -n "s/.*$2=\([0-9.]*\).*/\1/p" <<<"${RESULTS[$1]}" | sort -n | awk 'NR == 1 { low = $1 } { high = $1 } END { print low "-" high }'
}

echo
printf "%-10s %-40s %8s %12s %8s %8s %8s %10s\n" "in flight" "contender" "jobs/s" "(range)" "p50 us" "p99 us" \
  "cpu/job" "of null"
for in_flight in 1 16; do
  target=$([ "$in_flight" -eq 1 ] && echo 85 || echo 60)
  null_rate=$(median "null $in_flight" jobs_per_s)
  for name in "${NAMES[@]}"; do
    rate=$(median "$name $in_flight" jobs_per_s)
    ratio=$(awk -v a="$rate" -v b="$null_rate" 'BEGIN { printf "%.0f", 100 * a / b }')
    verdict=""
    [ "$name" = null ] || verdict="$ratio% (target $target%: $([ "$ratio" -ge "$target" ] && echo ok || echo MISSED))"
    printf "%-10s %-40s %8s %12s %8s %8s %8s %s\n" "$in_flight" "${LABEL[$name]}" "$rate" \
      "($(spread "$name $in_flight" jobs_per_s))" "$(median "$name $in_flight" p50_us)" "$(median "$name $in_flight" p99_us)" \
      "$(median "$name $in_flight" cpu_us)" "$verdict"
  done
done
echo
for name in "${NAMES[@]}"; do
  [ "$name" = null ] && continue
  kib=${PEAK_KIB[$name]}
  echo "${LABEL[$name]}: peak resident memory (VmHWM) $kib KiB = $(awk -v k="$kib" 'BEGIN { printf "%.2f", k / 1024 }') MiB"
done
