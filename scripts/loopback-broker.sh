# Sourced by the run and benchmark scripts: a mosquitto of their own on 127.0.0.1.
#
#   start_loopback_broker PORT DIR   starts it with a configuration written into DIR (anonymous,
#                                    TCP_NODELAY, no persistence), waits until it accepts
#                                    connections and sets BROKER_PID; fails otherwise.
#   port_in_use PORT [HOST]          something accepts connections on HOST:PORT (127.0.0.1).
#   free_port                        prints a port nothing listens on (20000-59999); fails after
#                                    50 tries.
#   stop_pid PID                     ends a process the script started (nothing for an empty PID).

port_in_use() { (exec 3<>"/dev/tcp/${2:-127.0.0.1}/$1") 2>/dev/null; }

free_port() {
  local port
  for _ in $(seq 50); do
    port=$((20000 + RANDOM % 40000))
    if ! port_in_use "$port"; then
      echo "$port"
      return 0
    fi
  done
  echo "no free port found on 127.0.0.1" >&2
  return 1
}

stop_pid() {
  local pid=$1
  [ -n "$pid" ] || return 0
  kill "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
}

start_loopback_broker() {
  local port=$1 dir=$2
  cat > "$dir/mosquitto.conf" <<CONF
listener $port 127.0.0.1
allow_anonymous true
set_tcp_nodelay true
persistence false
log_type error
log_type warning
CONF
  # As root the broker would switch to its own user.
  [ "$(id -u)" -eq 0 ] && echo "user root" >> "$dir/mosquitto.conf"
  mosquitto -c "$dir/mosquitto.conf" &
  BROKER_PID=$!
  for _ in $(seq 100); do
    port_in_use "$port" && return 0
    kill -0 "$BROKER_PID" 2>/dev/null || { BROKER_PID=""; echo "mosquitto failed to start on port $port" >&2; return 1; }
    sleep 0.05
  done
  echo "mosquitto does not accept connections on port $port" >&2
  return 1
}
