#!/usr/bin/env bash
# Every target can include any header of the tree, so the layers are kept here: the shared helpers
# depend on nothing of the programs, the library and the platform layer on neither program, and
# the two daemons not on each other. Prints each include that crosses a layer; exits 1 if any does.
#   scripts/check-layering.sh [source dir]
set -euo pipefail
cd "${1:-$(dirname "$0")/..}"

# layer: the folders its files must not include from
declare -A forbidden=(
  [common]="platform src keysmith tavlo/src"
  [platform]="src keysmith"
  [tavlo]="src keysmith"
  [src]="keysmith"
  [keysmith]="src"
)

status=0
for layer in common platform tavlo src keysmith; do
  for dir in ${forbidden[$layer]}; do
    # Quoted or angle includes by the path from the top of the tree.
    hits=$(grep -rnE --include='*.h' --include='*.hh' --include='*.hpp' --include='*.c' --include='*.cpp' \
      "^[[:space:]]*#[[:space:]]*include[[:space:]]*[<\"]${dir}/" "$layer" || true)
    if [ -n "$hits" ]; then
      echo "$layer/ must not include from $dir/:"
      sed 's/^/  /' <<<"$hits"
      status=1
    fi
  done
done
# A relative climb out of the folder would go round the rules above.
hits=$(grep -rnE --include='*.h' --include='*.cpp' --include='*.c' \
  '^[[:space:]]*#[[:space:]]*include[[:space:]]*[<"]\.\./' common platform tavlo src keysmith || true)
if [ -n "$hits" ]; then
  echo "includes must name a header by its path from the top of the tree, not with '../':"
  sed 's/^/  /' <<<"$hits"
  status=1
fi
[ $status -eq 0 ] && echo "layering check passed"
exit $status
