#!/usr/bin/env bash
# Soak of the command service: 10,000 jobs through the real vek-command on a broker of its own on
# loopback. The resident size after 1,000 jobs and after 10,000 must differ by less than 64 KiB.
# Then the same 10,000 jobs through the ASan+UBSan build of vek-command, stopped with SIGTERM:
# it must end with status 0 and LeakSanitizer must report nothing.
#
#   scripts/soak-command.sh
#
# Environment: BUILD_DIR (default build/normal), ASAN_BUILD_DIR (default build/asan; SKIP_ASAN=1
# leaves that run out), JOBS_FIRST and JOBS_TOTAL (default 1000 and 10000), IN_FLIGHT (requests in
# flight, default 4). Exit status 0 when every check holds.
set -euo pipefail
cd "$(dirname "$0")/.."

BUILD_DIR=${BUILD_DIR:-build/normal}
ASAN_BUILD_DIR=${ASAN_BUILD_DIR:-build/asan}
JOBS_FIRST=${JOBS_FIRST:-1000}
JOBS_TOTAL=${JOBS_TOTAL:-10000}
IN_FLIGHT=${IN_FLIGHT:-4}
LIMIT_KIB=64

./scripts/install-deps.sh >/dev/null
cmake -S . -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVEK_BUILD_BENCHMARKS=ON >/dev/null
cmake --build "$BUILD_DIR" -j2 --target vek-command load_generator >/dev/null
if [ -z "${SKIP_ASAN:-}" ]; then
  cmake -S . -B "$ASAN_BUILD_DIR" -DCMAKE_BUILD_TYPE=Debug -DVEK_SANITIZE_ADDRESS=ON -DVEK_BUILD_BENCHMARKS=OFF >/dev/null
  cmake --build "$ASAN_BUILD_DIR" -j2 --target vek-command >/dev/null
fi
GENERATOR="$BUILD_DIR/benchmarks/command/load_generator"

WORK=$(mktemp -d)
BROKER_PID=""
SERVICE_PID=""

cleanup() {
  stop_pid "$SERVICE_PID"
  stop_pid "$BROKER_PID"
  rm -rf "$WORK"
}
trap cleanup EXIT

. scripts/loopback-broker.sh

PORT=$(free_port) || exit 1
start_loopback_broker "$PORT" "$WORK"

mkdir -p "$WORK/scripts" "$WORK/staging"
# A job that builds a little garbage on its way, like a real script would.
cat > "$WORK/scripts/soak.lua" <<'LUA'
local parts = {}
for i = 1, 20 do parts[i] = args.msg .. i end
return parts[1]:sub(1, #args.msg)
LUA
cat > "$WORK/vek-command.conf" <<CONF
server_comms.host=127.0.0.1
server_comms.port=$PORT
script.search_dirs=$WORK/scripts
script.staging_dir=$WORK/staging
log4cpp.rootCategory=INFO, file
log4cpp.appender.file=FileAppender
log4cpp.appender.file.fileName=$WORK/vek-command.log
log4cpp.appender.file.layout=PatternLayout
log4cpp.appender.file.layout.ConversionPattern=%d{%Y-%m-%d %H:%M:%S.%l} %-5p [%c] %m%n
CONF

status_kib() { sed -n "s/^$2:[[:space:]]*\([0-9]*\) kB/\1/p" "/proc/$1/status"; }

# Runs $1 jobs; fails when any is not answered correctly.
run_jobs() {
  "$GENERATOR" -p "$PORT" -c "$IN_FLIGHT" -n "$1" -w 0 -s soak -m soak -t 600 >> "$WORK/generator.out" || {
    echo "soak-command: jobs not answered:" >&2
    cat "$WORK/generator.out" >&2
    return 1
  }
}

FAILED=0

echo "== vek-command ($BUILD_DIR): $JOBS_TOTAL jobs, $IN_FLIGHT in flight, broker on 127.0.0.1:$PORT"
"$BUILD_DIR/src/vek-command" "$WORK/vek-command.conf" 2> "$WORK/service.err" &
SERVICE_PID=$!
run_jobs "$JOBS_FIRST"
RSS_FIRST=$(status_kib "$SERVICE_PID" VmRSS)
run_jobs $((JOBS_TOTAL - JOBS_FIRST))
RSS_TOTAL=$(status_kib "$SERVICE_PID" VmRSS)
HWM=$(status_kib "$SERVICE_PID" VmHWM)
stop_pid "$SERVICE_PID"
SERVICE_PID=""
GROWTH=$((RSS_TOTAL - RSS_FIRST))
VERDICT=ok
[ "${GROWTH#-}" -lt "$LIMIT_KIB" ] || { VERDICT=MISSED; FAILED=1; }
echo "resident after $JOBS_FIRST jobs: $RSS_FIRST KiB; after $JOBS_TOTAL jobs: $RSS_TOTAL KiB;" \
  "difference $GROWTH KiB (limit $LIMIT_KIB KiB: $VERDICT); peak $HWM KiB"
tail -n 1 "$WORK/generator.out"

if [ -z "${SKIP_ASAN:-}" ]; then
  echo "== vek-command ($ASAN_BUILD_DIR, AddressSanitizer + LeakSanitizer): $JOBS_TOTAL jobs"
  : > "$WORK/generator.out"
  ASAN_OPTIONS=detect_leaks=1 \
    LSAN_OPTIONS="suppressions='$PWD/tests/lsan.supp':print_suppressions=0" \
    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    "$ASAN_BUILD_DIR/src/vek-command" "$WORK/vek-command.conf" 2> "$WORK/asan.err" &
  SERVICE_PID=$!
  run_jobs "$JOBS_TOTAL"
  kill -TERM "$SERVICE_PID"
  CODE=0
  wait "$SERVICE_PID" || CODE=$?
  SERVICE_PID=""
  if [ "$CODE" -eq 0 ] && ! grep -q "Sanitizer\|runtime error" "$WORK/asan.err"; then
    echo "exit status 0, no leak and no sanitizer report: ok"
  else
    echo "exit status $CODE; sanitizer output: MISSED"
    cat "$WORK/asan.err"
    FAILED=1
  fi
  tail -n 1 "$WORK/generator.out"
fi
exit "$FAILED"
