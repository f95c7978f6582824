#!/usr/bin/env bash
# Demonstrates one whole key upgrade by the key update daemon keysmith, without hardware: the real
# keysmith binary runs against an emulated key and an emulated board I/O driver, with its own
# mosquitto on a free loopback port and a small server that answers every key notification with
# an upgrade request to the version in the sample firmware store (examples/keyBinaries). Prints
# the MQTT conversation and the outcome (firmware received byte-identical, result record, LEDs
# blinked, link service stopped and started), then stops everything. Exits 0 on success.
#
#   scripts/demo-keysmith.sh
#
# Environment: BUILD_DIR (default build/normal), STORE (default examples/keyBinaries).
set -euo pipefail
cd "$(dirname "$0")/.."

BUILD_DIR=${BUILD_DIR:-build/normal}
STORE=${STORE:-examples/keyBinaries}

./scripts/install-deps.sh
cmake -S . -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=RelWithDebInfo > /dev/null
cmake --build "$BUILD_DIR" -j2 --target keysmith keysmith_demo

exec "$BUILD_DIR/tools/keysmith_demo" "$BUILD_DIR/keysmith/keysmith" "$STORE"
