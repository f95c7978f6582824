#!/bin/sh
# Writes the regression inputs too large to keep in the tree into the directory given:
# 0x8f (a map of 15 pairs, nested over and over) 1048576 times, as a command request payload and
# as a key request (the serial level "00000001" first, as the server_request target takes it).
set -eu
out=$1
mkdir -p "$out/request_payload" "$out/server_request"
head -c 1048576 /dev/zero | tr '\000' '\217' > "$out/request_payload/nested-fixmaps-1MiB"
{ printf '\010%s' 00000001; cat "$out/request_payload/nested-fixmaps-1MiB"; } > "$out/server_request/nested-fixmaps-1MiB"
