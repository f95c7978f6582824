#!/usr/bin/env bash
# Instruction counts of the command service, which stay put on a loaded machine where timings do
# not. Runs N echo jobs, one in flight, through the real vek-command under callgrind, and once
# more with no job at all (start, connect, subscribe, stop); the difference divided by the jobs
# the service logged is the cost of one job, everything included (decoding, lookup, the Lua
# state, logging, the MQTT traffic of the request, the result and the end of the transaction).
# Then the same for the bare Lua floor (lua_floor: new state, all libraries, load, call, close of
# "return 42" with the default allocator), and the top functions of the job run, inclusive, per
# job.
#
#   scripts/bench-instructions.sh
#
# Environment: BUILD_DIR (default build/normal), JOBS (default 2000), FLOOR_ROUNDS (default
# 2000), TOP (functions listed, default 25), LOG_PATTERN (the service's log layout, default with
# a date as in examples/vek-command.conf), NO_BUILD=1 to use BUILD_DIR as it is (for instance an
# older build), KEEP=DIR to keep the callgrind files in DIR.
set -euo pipefail
cd "$(dirname "$0")/.."

BUILD_DIR=${BUILD_DIR:-build/normal}
JOBS=${JOBS:-2000}
FLOOR_ROUNDS=${FLOOR_ROUNDS:-2000}
TOP=${TOP:-25}
DATED_PATTERN='%d{%Y-%m-%d %H:%M:%S.%l} %-5p [%c] %m%n'
LOG_PATTERN=${LOG_PATTERN:-$DATED_PATTERN}

command -v valgrind >/dev/null || { echo "bench-instructions: valgrind is not installed" >&2; exit 1; }
if [ "${NO_BUILD:-0}" != 1 ]; then
  ./scripts/install-deps.sh >/dev/null
  cmake -S . -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVEK_BUILD_BENCHMARKS=ON >/dev/null
  cmake --build "$BUILD_DIR" -j2 --target vek-command load_generator lua_floor >/dev/null
fi

SERVICE="$BUILD_DIR/src/vek-command"
GENERATOR="$BUILD_DIR/benchmarks/command/load_generator"
FLOOR="$BUILD_DIR/benchmarks/lua/lua_floor"
# An older build may have neither: the ones of this tree's build count the same.
[ -x "$GENERATOR" ] || GENERATOR="build/normal/benchmarks/command/load_generator"
[ -x "$FLOOR" ] || FLOOR="build/normal/benchmarks/lua/lua_floor"

WORK=$(mktemp -d)
BROKER_PID=""
SERVICE_PID=""
cleanup() {
  stop_pid "$SERVICE_PID"
  stop_pid "$BROKER_PID"
  [ -n "${KEEP:-}" ] && mkdir -p "$KEEP" && cp "$WORK"/callgrind.* "$KEEP"/ 2>/dev/null
  rm -rf "$WORK"
}
trap cleanup EXIT

. scripts/loopback-broker.sh

PORT=$(free_port) || exit 1
start_loopback_broker "$PORT" "$WORK"

mkdir -p "$WORK/scripts" "$WORK/staging"
echo 'return args.msg' > "$WORK/scripts/bench.lua"
echo 'return 42' > "$WORK/floor.lua"

write_config() {
  cat > "$WORK/vek-command.conf" <<CONF
server_comms.host=127.0.0.1
server_comms.port=$PORT
script.search_dirs=$WORK/scripts
script.staging_dir=$WORK/staging
log4cpp.rootCategory=INFO, file
log4cpp.appender.file=FileAppender
log4cpp.appender.file.fileName=$1
log4cpp.appender.file.layout=PatternLayout
log4cpp.appender.file.layout.ConversionPattern=$LOG_PATTERN
CONF
}

# Total instructions of a callgrind output file.
total() { sed -n 's/^\(summary\|totals\): *\([0-9]*\).*/\2/p' "$1" | head -n 1; }

# Runs vek-command under callgrind into $WORK/callgrind.$1; with a job count, the load generator
# sends that many echo jobs once the service answers.
run_service() {
  local name=$1 jobs=${2:-0} log="$WORK/$1.log"
  write_config "$log"
  valgrind --tool=callgrind --callgrind-out-file="$WORK/callgrind.$name" "$SERVICE" "$WORK/vek-command.conf" \
    2>"$WORK/valgrind.$name.err" &
  SERVICE_PID=$!
  for _ in $(seq 600); do
    grep -q "Connection up" "$log" 2>/dev/null && break
    sleep 0.2
  done
  grep -q "Connection up" "$log" || { echo "bench-instructions: vek-command did not connect" >&2; exit 1; }
  if [ "$jobs" -gt 0 ]; then
    "$GENERATOR" -p "$PORT" -c 1 -n "$jobs" -w 0 -t 3600 -s bench -m hello >"$WORK/$name.generator"
  else
    # Long enough for the subscription to be acknowledged.
    sleep 2
  fi
  stop_pid "$SERVICE_PID"
  SERVICE_PID=""
}

echo "vek-command under callgrind: $JOBS echo jobs at 1 in flight, and an idle run ($BUILD_DIR)"
run_service idle
run_service jobs "$JOBS"
IDLE=$(total "$WORK/callgrind.idle")
BUSY=$(total "$WORK/callgrind.jobs")
# The probe of the load generator is a job too: count what the service ran.
RAN=$(grep -c "Received command request" "$WORK/jobs.log")
PER_JOB=$(( (BUSY - IDLE) / RAN ))

echo "bare Lua floor under callgrind: $FLOOR_ROUNDS rounds, and none"
valgrind --tool=callgrind --callgrind-out-file="$WORK/callgrind.floor0" "$FLOOR" "$WORK/floor.lua" 0 \
  >/dev/null 2>&1
valgrind --tool=callgrind --callgrind-out-file="$WORK/callgrind.floor" "$FLOOR" "$WORK/floor.lua" \
  "$FLOOR_ROUNDS" >/dev/null 2>&1
FLOOR_PER_ROUND=$(( ($(total "$WORK/callgrind.floor") - $(total "$WORK/callgrind.floor0")) / FLOOR_ROUNDS ))

# Inclusive counts of the job run's top functions, divided by the jobs run: the ones that belong
# to a job read as the cost per job. Each function once (the debug information may spell its file
# two ways), without the program's frame and the unnamed functions of stripped libraries.
per_job_top() {
  callgrind_annotate --inclusive=yes --threshold=100 "$1" 2>/dev/null |
    awk -v n="$2" -v top="$TOP" '
      /^ *[0-9,]+ / && shown < top {
        count = $1; gsub(",", "", count)
        name = $0; sub(/^ *[0-9,]+ +(\([^)]*\) +)?/, "", name); sub(/ \[[^]]*\]$/, "", name)
        sub(/^[^:]*:/, "", name)
        if (name ~ /^(PROGRAM TOTALS|0x[0-9a-f]+[^ ]*|\(below main\)|__libc_start_main.*|main)$/ || seen[name]++)
          next
        printf "%12.0f  %s\n", count / n, name
        ++shown
      }'
}

echo
echo "top inclusive functions of the job run, instructions per job (start-up included, so the"
echo "first lines read a little high):"
per_job_top "$WORK/callgrind.jobs" "$RAN"
echo
echo "top inclusive functions of the floor, instructions per round:"
per_job_top "$WORK/callgrind.floor" "$FLOOR_ROUNDS"
echo
printf "%-38s %14s\n" "run" "instructions"
printf "%-38s %14s\n" "vek-command, idle" "$IDLE"
printf "%-38s %14s\n" "vek-command, $RAN jobs" "$BUSY"
printf "%-38s %14s\n" "vek-command, per echo job" "$PER_JOB"
printf "%-38s %14s\n" "bare Lua floor, per round" "$FLOOR_PER_ROUND"
echo "per job: $PER_JOB (target at most 300000: $([ "$PER_JOB" -le 300000 ] && echo ok || echo MISSED));" \
  "floor: $FLOOR_PER_ROUND (job below the floor: $([ "$PER_JOB" -lt "$FLOOR_PER_ROUND" ] && echo yes || echo no))"
