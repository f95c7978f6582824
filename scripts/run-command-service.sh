#!/usr/bin/env bash
# Builds and runs the command service vek-command in the foreground, with the example
# configuration (examples/vek-command.conf) and the example job scripts (examples/job_scripts).
# When nothing listens on the configured broker port of this host yet, a local mosquitto is
# started for the service and stopped with it. Ctrl-C stops the service and that broker.
#
#   scripts/run-command-service.sh
#
# Then, from another terminal:
#   build/normal/src/tools/vek-request echo '{"msg": "hello"}'
#   build/normal/src/tools/vek-request system_status
#   build/normal/src/tools/vek-request list_staging
#
# Environment: BUILD_DIR (default build/normal), CONFIG (default examples/vek-command.conf).
set -euo pipefail
cd "$(dirname "$0")/.."

BUILD_DIR=${BUILD_DIR:-build/normal}
CONFIG=${CONFIG:-examples/vek-command.conf}

./scripts/install-deps.sh
cmake -S . -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$BUILD_DIR" -j2 --target vek-command vek-request

# The broker the configuration names (the service's own defaults when it names none).
setting() { sed -n "s/^[[:space:]]*$1[[:space:]]*=[[:space:]]*\([^[:space:]]*\).*/\1/p" "$CONFIG" | tail -n 1; }
HOST=$(setting 'server_comms\.host')
PORT=$(setting 'server_comms\.port')
HOST=${HOST:-localhost}
PORT=${PORT:-1883}

WORK=$(mktemp -d)
BROKER_PID=""
SERVICE_PID=""

cleanup() {
  if [ -n "$SERVICE_PID" ]; then
    kill -TERM "$SERVICE_PID" 2>/dev/null || true
    wait "$SERVICE_PID" 2>/dev/null || true
  fi
  if [ -n "$BROKER_PID" ]; then
    kill -TERM "$BROKER_PID" 2>/dev/null || true
    wait "$BROKER_PID" 2>/dev/null || true
    echo "run-command-service: broker stopped"
  fi
  rm -rf "$WORK"
}
trap cleanup EXIT

. scripts/loopback-broker.sh

case "$HOST" in
  localhost | 127.0.0.1)
    if port_in_use "$PORT"; then
      echo "run-command-service: using the broker already listening on 127.0.0.1:$PORT"
    else
      start_loopback_broker "$PORT" "$WORK" || exit 1
      echo "run-command-service: started mosquitto on 127.0.0.1:$PORT"
    fi
    ;;
  *)
    echo "run-command-service: using the broker at $HOST:$PORT"
    ;;
esac

# The service runs as a child the script waits for, so that a signal to the script (Ctrl-C, or a
# SIGTERM from a supervisor) reaches it too; it then stops and delivers its last result.
"$BUILD_DIR/src/vek-command" "$CONFIG" &
SERVICE_PID=$!
trap 'kill -TERM "$SERVICE_PID" 2>/dev/null || true' INT TERM
status=0
while kill -0 "$SERVICE_PID" 2>/dev/null; do
  status=0
  wait "$SERVICE_PID" || status=$?
done
SERVICE_PID=""
exit "$status"
