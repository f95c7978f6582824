#!/usr/bin/env bash
# The built library keeps the interface of the last release: every function, variable and type
# of the recorded interface is still there, unchanged; new ones may be added.
#   abi_check.sh <recorded interface (abidw XML)> <built libtavlo.so.1> <public header dir>
# After a release, record the new interface with
#   abidw --headers-dir tavlo/include/tavlo --no-corpus-path --drop-undefined-syms \
#     build/normal/tavlo/libtavlo.so.1 > tavlo/abi/libtavlo.so.1.abi
set -uo pipefail
recorded=$1 built=$2 headers=$3
report=$(abidiff --headers-dir1 "$headers" --headers-dir2 "$headers" "$recorded" "$built")
rc=$?
echo "$report"
# abidiff's status is a bit set: 1 error, 2 usage error, 4 some change, 8 an incompatible change.
if (( rc & 3 )); then
  echo "FAIL: abidiff could not compare (status $rc)"
  exit 1
fi
if (( rc & 8 )); then
  echo "FAIL: the library's interface changed incompatibly"
  exit 1
fi
# Additions set bit 4 too; anything removed or changed does not pass.
if grep -E '^(Functions|Variables) changes summary:' <<<"$report" | grep -qv ' 0 Removed.* 0 Changed' ||
   grep -E 'symbols changes summary:' <<<"$report" | grep -qv ' 0 Removed'; then
  echo "FAIL: the library's interface lost or changed something"
  exit 1
fi
echo "abi check passed"
