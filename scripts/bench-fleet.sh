#!/usr/bin/env bash
# Benchmark of a fleet on this machine: one fleet broker (TLS, examples/mosquitto-fleet.conf) and N
# simulated docks, each its own broker bridged to it (scripts/render-dock-bridge.sh) with its own
# vek-command. Per N: ROUNDS fan-out jobs to every dock through the fleet broker, and as the
# baseline in the same run the same job sent ROUNDS times directly to the first dock's broker.
# Reports the time until the last answer of a round, the per-dock answer latency (p50/p99) and
# the CPU time per job of each dock (its vek-command and its broker) and of the fleet broker.
# Everything listens on 127.0.0.1 on free ports (the fleet broker on 127.0.0.5 with FLEET_ACKS).
#
#   scripts/bench-fleet.sh
#
# Environment: BUILD_DIR (default build/normal), DOCKS (default "1 10 25"), ROUNDS (default 30),
# FLEET_ACKS=compare: as root, in a network namespace of its own, every measurement twice: with
# the kernel's delayed ACKs, and with quick ACKs on the fleet broker's routes to its clients, as a
# fleet server sets with "ip route ... quickack 1". The fleet broker then listens on 127.0.0.5 and
# its clients connect from 127.0.0.2, so that only the fleet's side of each connection changes.
set -euo pipefail
cd "$(dirname "$0")/.."

FLEET_ACKS=${FLEET_ACKS:-}
if [ "$FLEET_ACKS" = compare ] && [ -z "${BENCH_FLEET_NETNS:-}" ]; then
  [ "$(id -u)" -eq 0 ] || { echo "bench-fleet: FLEET_ACKS=compare needs root" >&2; exit 2; }
  BENCH_FLEET_NETNS=1 exec unshare --net -- "$0" "$@"
fi
if [ -n "${BENCH_FLEET_NETNS:-}" ]; then
  ip link set lo up
  ip route replace local 127.0.0.5 dev lo table local scope host src 127.0.0.2
  FLEET_HOST=127.0.0.5
  MODES=(delayed quick)
else
  FLEET_HOST=127.0.0.1
  MODES=(system)
fi

# The fleet broker's sockets to its clients (127.0.0.2) acknowledge at once, or after the kernel's
# delay; the clients' sockets to it (127.0.0.5) keep the default either way.
set_fleet_acks() {
  if [ "$1" = quick ]; then
    ip route replace local 127.0.0.2 dev lo table local scope host quickack 1
  elif [ "$1" = delayed ]; then
    ip route del local 127.0.0.2 dev lo table local 2>/dev/null || true
  fi
}

BUILD_DIR=${BUILD_DIR:-build/normal}
DOCKS=${DOCKS:-"1 10 25"}
ROUNDS=${ROUNDS:-30}

./scripts/install-deps.sh >/dev/null
cmake -S . -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVEK_BUILD_BENCHMARKS=ON >/dev/null
cmake --build "$BUILD_DIR" -j2 --target vek-command vek-request fan_out >/dev/null

SERVICE="$BUILD_DIR/src/vek-command"
REQUEST="$BUILD_DIR/src/tools/vek-request"
FAN_OUT="$BUILD_DIR/benchmarks/fleet/fan_out"

WORK=$(mktemp -d)
PIDS=()
FLEET_PID=""

stop_docks() {
  local pid
  for pid in "${PIDS[@]}"; do stop_pid "$pid"; done
  PIDS=()
}

cleanup() {
  stop_docks
  stop_pid "$FLEET_PID"
  [ -n "${KEEP_WORK:-}" ] || rm -rf "$WORK"
}
trap cleanup EXIT

. scripts/loopback-broker.sh

pick_port() {
  local port
  for _ in $(seq 50); do
    port=$((20000 + RANDOM % 40000))
    if ! port_in_use "$port" && ! grep -qx "$port" "$WORK/ports" 2>/dev/null; then
      echo "$port" >> "$WORK/ports"
      echo "$port"
      return 0
    fi
  done
  echo "bench-fleet: no free port found" >&2
  return 1
}

# wait_port PORT [HOST]
wait_port() {
  for _ in $(seq 200); do
    port_in_use "$1" "${2:-127.0.0.1}" && return 0
    sleep 0.05
  done
  echo "bench-fleet: nothing accepts connections on ${2:-127.0.0.1}:$1" >&2
  return 1
}

cpu_ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }
sum_ticks() {
  local total=0 pid
  for pid in "$@"; do total=$((total + $(cpu_ticks "$pid"))); done
  echo "$total"
}
field() { sed -n "s/.*$1=\([0-9.]*\).*/\1/p" <<<"$2"; }

# Test certificates: a CA, the fleet broker's for its address, the fleet server's, one per dock.
PKI="$WORK/pki"
mkdir -p "$PKI"
newkey=(-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes)
openssl req -x509 "${newkey[@]}" -keyout "$PKI/ca.key" -out "$PKI/ca.crt" -days 2 -subj "/CN=bench CA" 2>/dev/null
issue() {
  local name=$1 cn=$2 ext=${3:-}
  openssl req "${newkey[@]}" -keyout "$PKI/$name.key" -out "$PKI/$name.csr" -subj "/CN=$cn" 2>/dev/null
  if [ -n "$ext" ]; then
    printf '%s\n' "$ext" > "$PKI/$name.ext"
    openssl x509 -req -in "$PKI/$name.csr" -CA "$PKI/ca.crt" -CAkey "$PKI/ca.key" -CAcreateserial \
      -out "$PKI/$name.crt" -days 2 -extfile "$PKI/$name.ext" 2>/dev/null
  else
    openssl x509 -req -in "$PKI/$name.csr" -CA "$PKI/ca.crt" -CAkey "$PKI/ca.key" -CAcreateserial \
      -out "$PKI/$name.crt" -days 2 2>/dev/null
  fi
}
issue server localhost "subjectAltName=IP:$FLEET_HOST,DNS:localhost"
issue fleet-server fleet-server

# The fleet broker from the example, on free ports and in the work directory.
TLS_PORT=$(pick_port)
PLAIN_PORT=$(pick_port)
mkdir -p "$WORK/fleet"
cp examples/mosquitto-fleet.acl "$WORK/fleet/fleet.acl"
{
  [ "$(id -u)" -eq 0 ] && echo "user root"
  sed -e "s|^listener 8883\$|listener $TLS_PORT $FLEET_HOST|" \
    -e "s|^cafile .*|cafile $PKI/ca.crt|" -e "s|^certfile .*|certfile $PKI/server.crt|" \
    -e "s|^keyfile .*|keyfile $PKI/server.key|" \
    -e "s|^listener 1883 127.0.0.1\$|listener $PLAIN_PORT 127.0.0.1|" \
    -e "s|^acl_file .*|acl_file $WORK/fleet/fleet.acl|" \
    -e "s|^persistence_location .*|persistence_location $WORK/fleet/|" examples/mosquitto-fleet.conf
} > "$WORK/fleet/mosquitto.conf"
mosquitto -c "$WORK/fleet/mosquitto.conf" >"$WORK/fleet/log" 2>&1 &
FLEET_PID=$!
wait_port "$TLS_PORT" "$FLEET_HOST"

mkdir -p "$WORK/scripts" "$WORK/staging"
# The docks' brokers want a login: the command service's account, and the operator's for the
# baseline sent straight to a dock.
: > "$WORK/dock.passwd"
for account in vek-command operator; do
  head -c 18 /dev/urandom | base64 > "$WORK/$account.password"
  mosquitto_passwd -b "$WORK/dock.passwd" "$account" "$(cat "$WORK/$account.password")"
done
cp examples/mosquitto-dock.acl "$WORK/dock.acl"
echo 'return args.msg' > "$WORK/scripts/bench.lua"

# Starts docks 1..$1: broker, then vek-command; DOCK_PORTS and SERVICE_PIDS/BROKER_PIDS are set.
start_docks() {
  local n=$1 i dir port
  DOCK_PORTS=() SERVICE_PIDS=() BROKER_PIDS=()
  for i in $(seq "$n"); do
    dir="$WORK/dock$i"
    mkdir -p "$dir/data"
    [ -e "$PKI/dock$i.crt" ] || issue "dock$i" "dock$i"
    port=$(pick_port)
    {
      [ "$(id -u)" -eq 0 ] && echo "user root"
      scripts/render-dock-bridge.sh --dock "dock$i" --fleet "$FLEET_HOST:$TLS_PORT" --cafile "$PKI/ca.crt" \
        --cert "$PKI/dock$i.crt" --key "$PKI/dock$i.key" --local-port "$port" --data-dir "$dir/data" \
        --log-dest "file $dir/mosquitto.log" --password-file "$WORK/dock.passwd" --acl-file "$WORK/dock.acl"
    } > "$dir/mosquitto.conf"
    mosquitto -c "$dir/mosquitto.conf" >/dev/null 2>&1 &
    BROKER_PIDS+=($!)
    PIDS+=($!)
    DOCK_PORTS+=("$port")
  done
  for i in $(seq "$n"); do
    dir="$WORK/dock$i"
    wait_port "${DOCK_PORTS[$((i - 1))]}"
    cat > "$dir/vek-command.conf" <<CONF
server_comms.host=127.0.0.1
server_comms.port=${DOCK_PORTS[$((i - 1))]}
server_comms.username=vek-command
server_comms.password_file=$WORK/vek-command.password
script.search_dirs=$WORK/scripts
script.staging_dir=$WORK/staging
log4cpp.rootCategory=INFO, file
log4cpp.appender.file=FileAppender
log4cpp.appender.file.fileName=$dir/vek-command.log
log4cpp.appender.file.layout=PatternLayout
log4cpp.appender.file.layout.ConversionPattern=%d %p [%c] %m%n
CONF
    "$SERVICE" "$dir/vek-command.conf" &
    SERVICE_PIDS+=($!)
    PIDS+=($!)
  done
}

TLS_ARGS=(--cafile "$PKI/ca.crt" --cert "$PKI/fleet-server.crt" --key "$PKI/fleet-server.key")

# Every dock answers through the fleet: the bridges are up and the services subscribed.
wait_fleet_ready() {
  local n=$1 docks=() i
  for i in $(seq "$n"); do docks+=(--dock "dock$i"); done
  for _ in $(seq 30); do
    "$REQUEST" -H "$FLEET_HOST" -p "$TLS_PORT" "${TLS_ARGS[@]}" -t 5 "${docks[@]}" bench '{"msg":"hello"}' \
      >/dev/null 2>&1 && return 0
    sleep 1
  done
  echo "bench-fleet: the $n docks do not all answer" >&2
  return 1
}

ROWS=()
echo "fleet broker on $FLEET_HOST:$TLS_PORT (TLS); $ROUNDS rounds per measurement, one warm-up round"
for n in $DOCKS; do
  for mode in "${MODES[@]}"; do
    set_fleet_acks "$mode"
    start_docks "$n"
    wait_fleet_ready "$n"
    prefixes=()
    for i in $(seq "$n"); do prefixes+=("docks/dock$i/"); done

    docks_before=$(sum_ticks "${SERVICE_PIDS[@]}" "${BROKER_PIDS[@]}")
    fleet_before=$(cpu_ticks "$FLEET_PID")
    fleet_line=$("$FAN_OUT" -H "$FLEET_HOST" -p "$TLS_PORT" "${TLS_ARGS[@]}" -n "$ROUNDS" "${prefixes[@]}")
    docks_after=$(sum_ticks "${SERVICE_PIDS[@]}" "${BROKER_PIDS[@]}")
    fleet_after=$(cpu_ticks "$FLEET_PID")
    direct_line=$(VEK_REQUEST_PASSWORD=$(cat "$WORK/operator.password") \
      "$FAN_OUT" -H 127.0.0.1 -p "${DOCK_PORTS[0]}" -u operator -n "$ROUNDS" "")

    hz=$(getconf CLK_TCK)
    jobs=$(((ROUNDS + 1) * n))
    dock_cpu=$(awk -v t=$((docks_after - docks_before)) -v hz="$hz" -v j="$jobs" 'BEGIN { printf "%.2f", t * 1000 / hz / j }')
    fleet_cpu=$(awk -v t=$((fleet_after - fleet_before)) -v hz="$hz" -v j="$jobs" 'BEGIN { printf "%.2f", t * 1000 / hz / j }')
    ROWS+=("$(printf "%5s %8s %12s %12s %10s %10s %14s %14s %16s" "$n" "$mode" "$(field last_p50_ms "$fleet_line")" \
      "$(field last_max_ms "$fleet_line")" "$(field dock_p50_ms "$fleet_line")" "$(field dock_p99_ms "$fleet_line")" \
      "$dock_cpu" "$fleet_cpu" "$(field dock_p50_ms "$direct_line")/$(field dock_p99_ms "$direct_line")")")
    stop_docks
  done
done

echo
printf "%5s %8s %12s %12s %10s %10s %14s %14s %16s\n" "docks" "acks" "last p50 ms" "last max ms" "p50 ms" \
  "p99 ms" "cpu/job/dock" "fleet cpu/job" "direct p50/p99"
for row in "${ROWS[@]}"; do echo "$row"; done
echo
echo "last: time from sending a round to its last answer; p50/p99: each dock's answer latency;"
echo "cpu in ms per job: a dock's vek-command and broker together, the fleet broker per dock's job;"
echo "direct: the same job sent straight to the first dock's broker, in the same run;"
echo "acks: the fleet broker's ACKs to the docks (system: as this machine is set up)."
