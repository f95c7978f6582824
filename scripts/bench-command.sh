#!/usr/bin/env bash
# Benchmark of the command service: jobs/s and latency at 1 and 16 requests in flight, against a
# null responder (answers at once, no decoding, no Lua) on the same broker, and the peak resident
# memory of vek-command. Everything runs on loopback against a broker started here on a free port.
#
#   scripts/bench-command.sh
#
# Environment: BUILD_DIR (default build/normal), REQUESTS_1 and REQUESTS_16 (requests per run,
# default 3000 and 10000), RUNS (runs per configuration, the best is kept; default 3),
# BENCH_LOG_LEVEL (vek-command's log level, default INFO, logged to a file).
set -euo pipefail
cd "$(dirname "$0")/.."

BUILD_DIR=${BUILD_DIR:-build/normal}
REQUESTS_1=${REQUESTS_1:-3000}
REQUESTS_16=${REQUESTS_16:-10000}
RUNS=${RUNS:-3}
BENCH_LOG_LEVEL=${BENCH_LOG_LEVEL:-INFO}

./scripts/install-deps.sh >/dev/null
cmake -S . -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVEK_BUILD_BENCHMARKS=ON >/dev/null
cmake --build "$BUILD_DIR" -j2 --target vek-command load_generator null_responder >/dev/null

SERVICE="$BUILD_DIR/src/vek-command"
GENERATOR="$BUILD_DIR/benchmarks/command/load_generator"
RESPONDER="$BUILD_DIR/benchmarks/command/null_responder"

WORK=$(mktemp -d)
BROKER_PID=""
RESPONDER_PID=""
SERVICE_PID=""

cleanup() {
  stop_pid "$SERVICE_PID"
  stop_pid "$RESPONDER_PID"
  stop_pid "$BROKER_PID"
  rm -rf "$WORK"
}
trap cleanup EXIT

. scripts/loopback-broker.sh

pick_port() {
  local port
  for _ in $(seq 50); do
    port=$((20000 + RANDOM % 40000))
    if ! port_in_use "$port"; then
      echo "$port"
      return 0
    fi
  done
  echo "bench-command: no free port found" >&2
  return 1
}

PORT=$(pick_port)
start_loopback_broker "$PORT" "$WORK"

field() { sed -n "s/.*$1=\([0-9.]*\).*/\1/p" <<<"$2"; }
cpu_ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }

# Runs the generator against the responder $1 (pid) and prints its line plus the responder's CPU
# time per job ("cpu_us=..").
run_generator() {
  local pid=$1 in_flight=$2 requests=$3 before after line
  before=$(cpu_ticks "$pid")
  line=$("$GENERATOR" -p "$PORT" -c "$in_flight" -n "$requests" -w "$WARM_UP" -s bench -m hello)
  after=$(cpu_ticks "$pid")
  echo "$line cpu_us=$(awk -v t=$((after - before)) -v hz="$(getconf CLK_TCK)" -v n=$((requests + WARM_UP)) \
    'BEGIN { printf "%.0f", t * 1e6 / hz / n }')"
}

# Keeps the line with the higher jobs/s in the variable named $1.
keep_best() {
  local name=$1 line=$2
  if [ -z "${!name}" ] || [ "$(field jobs_per_s "$line")" -gt "$(field jobs_per_s "${!name}")" ]; then
    printf -v "$name" '%s' "$line"
  fi
}

start_responder() {
  "$RESPONDER" -p "$PORT" -a hello > "$WORK/responder.out" &
  RESPONDER_PID=$!
}

start_service() {
  "$SERVICE" "$WORK/vek-command.conf" &
  SERVICE_PID=$!
}

# VmHWM of the running service, kept as the highest seen over all runs.
note_peak() {
  local kib
  kib=$(sed -n 's/^VmHWM:[[:space:]]*\([0-9]*\) kB/\1/p' "/proc/$SERVICE_PID/status")
  [ "$kib" -gt "$PEAK_KIB" ] && PEAK_KIB=$kib
  return 0
}

mkdir -p "$WORK/scripts" "$WORK/staging"
echo 'return args.msg' > "$WORK/scripts/bench.lua"
cat > "$WORK/vek-command.conf" <<CONF
server_comms.host=127.0.0.1
server_comms.port=$PORT
script.search_dirs=$WORK/scripts
script.staging_dir=$WORK/staging
log4cpp.rootCategory=$BENCH_LOG_LEVEL, file
log4cpp.appender.file=FileAppender
log4cpp.appender.file.fileName=$WORK/vek-command.log
log4cpp.appender.file.layout=PatternLayout
log4cpp.appender.file.layout.ConversionPattern=%d{%Y-%m-%d %H:%M:%S.%l} %-5p [%c] %m%n
CONF

echo "broker on 127.0.0.1:$PORT; vek-command logging at $BENCH_LOG_LEVEL; best of $RUNS interleaved runs"
WARM_UP=300
NULL_1="" NULL_16="" SERVICE_1="" SERVICE_16="" PEAK_KIB=0
# The machine's load drifts: responder and service take turns, so both see the same conditions.
for _ in $(seq "$RUNS"); do
  for in_flight in 1 16; do
    requests=$([ "$in_flight" -eq 1 ] && echo "$REQUESTS_1" || echo "$REQUESTS_16")
    start_responder
    keep_best "NULL_$in_flight" "$(run_generator "$RESPONDER_PID" "$in_flight" "$requests")"
    stop_pid "$RESPONDER_PID"
    RESPONDER_PID=""
    start_service
    keep_best "SERVICE_$in_flight" "$(run_generator "$SERVICE_PID" "$in_flight" "$requests")"
    note_peak
    stop_pid "$SERVICE_PID"
    SERVICE_PID=""
  done
done

report() {
  local name=$1 null=$2 service=$3 target=$4
  local null_rate service_rate ratio verdict
  null_rate=$(field jobs_per_s "$null")
  service_rate=$(field jobs_per_s "$service")
  ratio=$(awk -v a="$service_rate" -v b="$null_rate" 'BEGIN { printf "%.0f", 100 * a / b }')
  verdict=$([ "$ratio" -ge "$target" ] && echo "ok" || echo "MISSED")
  printf "%-10s %-15s %8s %8s %8s %8s\n" "$name" "null responder" "$null_rate" "$(field p50_us "$null")" \
    "$(field p99_us "$null")" "$(field cpu_us "$null")"
  printf "%-10s %-15s %8s %8s %8s %8s   %s%% of null (target %s%%: %s)\n" "" "vek-command" "$service_rate" \
    "$(field p50_us "$service")" "$(field p99_us "$service")" "$(field cpu_us "$service")" "$ratio" "$target" \
    "$verdict"
}

echo
printf "%-10s %-15s %8s %8s %8s %8s\n" "in flight" "responder" "jobs/s" "p50 us" "p99 us" "cpu/job"
report "1" "$NULL_1" "$SERVICE_1" 85
report "16" "$NULL_16" "$SERVICE_16" 60
echo
PEAK_MIB=$(awk -v k="$PEAK_KIB" 'BEGIN { printf "%.2f", k / 1024 }')
echo "vek-command peak resident memory (VmHWM): $PEAK_KIB KiB = $PEAK_MIB MiB" \
  "(target under 6 MiB: $([ "$PEAK_KIB" -lt 6144 ] && echo ok || echo MISSED))"
