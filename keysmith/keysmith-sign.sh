#!/bin/bash
# keysmith-sign: signs firmware stores for keysmith and checks them as keysmith does.
#
#   keysmith-sign keygen SIGNER.pem PUBLIC.pem     a new Ed25519 signing key and its public key
#   keysmith-sign sign -k SIGNER.pem STORE         add the SHA256 line when missing, write MANIFEST.sig
#   keysmith-sign verify -t TRUST-DIR STORE        check a store against the public keys of a board
#
# Exit status: 0 when everything checked passed, 1 when a check failed, 2 on a usage error.
set -euo pipefail
export LC_ALL=C

prog=keysmith-sign
max_firmware=514243   # the most the key takes (it packs into 524288 bytes)
max_line=127          # keysmith reads longer manifest lines as several lines

usage() {
  sed -n 's/^#   //p' "$0" >&2 2>/dev/null || true
  echo "usage: $prog keygen SIGNER.pem PUBLIC.pem | sign -k SIGNER.pem STORE | verify -t TRUST-DIR STORE" >&2
  exit 2
}
die() { echo "$prog: $*" >&2; exit 1; }
ok() { echo "ok:   $*"; }
failed=0
bad() { echo "FAIL: $*"; failed=1; }

command -v openssl >/dev/null || die "the openssl command is needed (Debian package openssl)"

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# The value of KEY in the manifest as keysmith reads it: the text after "KEY:", the character
# after the colon skipped whatever it is, then white space; the last such line counts. Fails when
# there is no such line.
manifest_value() {
  awk -v k="$1" '
    { i = index($0, ":"); if (i == 0 || substr($0, 1, i - 1) != k) next
      v = substr($0, i + 2); sub(/^[ \t\r\v\f]+/, "", v); val = v; found = 1 }
    END { if (found) print val; exit !found }' "$2"
}

# Checks of the store's files that sign and verify share; sets firmware, name and size.
check_store_files() {
  local store=$1
  [ -d "$store" ] || die "$store is not a directory"
  manifest=$store/MANIFEST
  if [ -L "$manifest" ] || [ ! -f "$manifest" ]; then die "$manifest is not a regular file"; fi
  local long
  long=$(awk -v max="$max_line" 'length($0) > max { print NR; exit }' "$manifest")
  [ -z "$long" ] || die "$manifest: line $long is longer than $max_line characters"
  name=$(manifest_value Filename "$manifest") || die "$manifest has no Filename line"
  case $name in
    "" | . | .. | */*) die "$manifest: Filename '$name' is not a file of the store" ;;
  esac
  firmware=$store/$name
  if [ -L "$firmware" ] || [ ! -f "$firmware" ]; then die "$firmware is not a regular file"; fi
  size=$(stat -c %s "$firmware")
  [ "$size" -le "$max_firmware" ] || die "$firmware is $size bytes, more than the $max_firmware the key takes"
  ok "$firmware: $size bytes, version $(manifest_value Version "$manifest" || echo '(none)')"
}

# The MD5 line's first 32 digits against the file (as keysmith compares them).
check_md5() {
  local want have
  want=$(manifest_value MD5 "$manifest") || { bad "$manifest has no MD5 line"; return; }
  want=$(printf '%s' "${want:0:32}" | tr 'A-F' 'a-f')
  have=$(md5sum < "$firmware" | cut -c1-32)
  if [ "$want" = "$have" ]; then ok "MD5 $have"; else bad "MD5 line $want, but the file's MD5 is $have"; fi
}

# The SHA256 line of the manifest (64 hexadecimal digits, then nothing or white space); prints
# the digits in lower case; fails when the line is missing or malformed.
sha256_line() {
  local value
  value=$(manifest_value SHA256 "$manifest") || return 1
  [[ $value =~ ^[0-9a-fA-F]{64}([[:space:]].*)?$ ]] || return 2
  printf '%s\n' "${value:0:64}" | tr 'A-F' 'a-f'
}

is_ed25519_private() { openssl pkey -in "$1" -noout -text 2>/dev/null | head -n 1 | grep -q '^ED25519 Private-Key'; }
is_ed25519_public() { openssl pkey -pubin -in "$1" -noout -text 2>/dev/null | head -n 1 | grep -q '^ED25519 Public-Key'; }
verifies() { openssl pkeyutl -verify -pubin -inkey "$1" -rawin -in "$2" -sigfile "$3" >/dev/null 2>&1; }

cmd_keygen() {
  [ $# -eq 2 ] || usage
  local signer=$1 public=$2
  for f in "$signer" "$public"; do [ ! -e "$f" ] || die "$f exists; not overwritten"; done
  (umask 077 && openssl genpkey -algorithm ed25519 -out "$signer")
  openssl pkey -in "$signer" -pubout -out "$public"
  ok "signing key $signer (keep it off the boards)"
  ok "public key $public (install it in the trust directory of the boards)"
}

cmd_sign() {
  local key=""
  while getopts k: opt; do
    case $opt in k) key=$OPTARG ;; *) usage ;; esac
  done
  shift $((OPTIND - 1))
  [ -n "$key" ] && [ $# -eq 1 ] || usage
  local store=${1%/}
  [ -r "$key" ] || die "cannot read the signing key $key"
  is_ed25519_private "$key" || die "$key is not an Ed25519 private key"
  check_store_files "$store"
  check_md5
  [ "$failed" -eq 0 ] || die "$manifest does not describe $firmware; nothing signed"

  local have want
  have=$(sha256sum < "$firmware" | cut -c1-64)
  if want=$(sha256_line); then
    [ "$want" = "$have" ] || die "$manifest: SHA256 line $want, but the file's SHA-256 is $have; nothing signed"
    ok "SHA256 $have (line present)"
  else
    [ $? -eq 1 ] || die "$manifest: the SHA256 line is not 64 hexadecimal digits; nothing signed"
    # keysmith reads a last line without a newline too; the new line must not join it.
    if [ -s "$manifest" ] && [ "$(tail -c 1 "$manifest" | od -An -tx1 | tr -d ' ')" != 0a ]; then
      echo >> "$manifest"
    fi
    echo "SHA256: $have" >> "$manifest"
    ok "SHA256 $have (line written)"
  fi

  openssl pkeyutl -sign -rawin -inkey "$key" -in "$manifest" -out "$tmp/MANIFEST.sig"
  [ "$(stat -c %s "$tmp/MANIFEST.sig")" -eq 64 ] || die "openssl wrote no 64-byte signature"
  openssl pkey -in "$key" -pubout -out "$tmp/public.pem"
  verifies "$tmp/public.pem" "$manifest" "$tmp/MANIFEST.sig" || die "the new signature does not verify"
  cp "$tmp/MANIFEST.sig" "$store/MANIFEST.sig.new"
  mv -f "$store/MANIFEST.sig.new" "$store/MANIFEST.sig"
  ok "$store/MANIFEST.sig written (Ed25519, 64 bytes)"
}

cmd_verify() {
  local trust=""
  while getopts t: opt; do
    case $opt in t) trust=$OPTARG ;; *) usage ;; esac
  done
  shift $((OPTIND - 1))
  [ -n "$trust" ] && [ $# -eq 1 ] || usage
  local store=${1%/}
  trust=${trust%/}

  # The trusted keys, as keysmith takes them: every *.pem, each an Ed25519 public key.
  [ -d "$trust" ] && [ -r "$trust" ] || die "cannot read the trust directory $trust"
  local keys=() f
  for f in "$trust"/*.pem; do
    [ -e "$f" ] || continue
    is_ed25519_public "$f" || die "$f is not an Ed25519 public key (keysmith refuses every store)"
    keys+=("$f")
  done
  [ ${#keys[@]} -gt 0 ] || die "trust directory $trust holds no public key (*.pem)"
  ok "trusted keys: ${keys[*]##*/}"

  check_store_files "$store"

  local sig=$store/MANIFEST.sig signer=""
  if [ -L "$sig" ] || [ ! -f "$sig" ]; then
    bad "no signature: $sig is missing"
  elif [ "$(stat -c %s "$sig")" -ne 64 ]; then
    bad "signature $sig is $(stat -c %s "$sig") bytes, not 64"
  else
    for f in "${keys[@]}"; do
      if verifies "$f" "$manifest" "$sig"; then signer=$f; break; fi
    done
    if [ -n "$signer" ]; then ok "MANIFEST signed by ${signer##*/}"; else bad "no trusted key verifies $sig"; fi
  fi

  local want have rc=0
  have=$(sha256sum < "$firmware" | cut -c1-64)
  want=$(sha256_line) || rc=$?
  case $rc in
    0) if [ "$want" = "$have" ]; then ok "SHA256 $have"; else bad "SHA256 line $want, but the file's SHA-256 is $have"; fi ;;
    1) bad "no SHA256 line in $manifest" ;;
    *) bad "the SHA256 line of $manifest is not 64 hexadecimal digits" ;;
  esac
  check_md5

  if [ "$failed" -eq 0 ]; then echo "$store: keysmith accepts this store"; else echo "$store: keysmith refuses this store"; fi
  return "$failed"
}

[ $# -ge 1 ] || usage
sub=$1
shift
case $sub in
  keygen) cmd_keygen "$@" ;;
  sign) cmd_sign "$@" ;;
  verify) cmd_verify "$@" ;;
  -h | --help | help) usage ;;
  *) usage ;;
esac
