#!/usr/bin/env bash
# Regenerates the sample firmware store: a small firmware image of deterministic pseudo-random
# bytes and the MANIFEST that names it, with its version, MD5 and SHA256 digests, signed by the
# sample signing key (examples/sample-signer-private.pem, a test key: its public key is in
# examples/firmware-trust/). Running it again gives byte-identical files (Ed25519 signatures
# are deterministic).
#
# Usage: scripts/make-sample-firmware.sh [store-directory]   (default: examples/keyBinaries)
set -euo pipefail

VERSION=1.4.2
SIZE=4096
SEED=20240611

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
top="$(dirname "$here")"
store="${1:-$top/examples/keyBinaries}"
name="key_fw_${VERSION}.bin"

mkdir -p "$store"
# 32-bit linear congruential generator; the high bytes of the state are the better ones.
perl -e '
    my ($size, $x) = @ARGV;
    binmode STDOUT;
    for (1 .. $size) {
        $x = (1103515245 * $x + 12345) % 4294967296;
        print chr(($x >> 16) & 0xFF);
    }' "$SIZE" "$SEED" > "$store/$name.tmp"
mv "$store/$name.tmp" "$store/$name"

digest="$(md5sum "$store/$name" | awk '{ print $1 }')"
printf 'Filename: %s\nVersion: %s\nMD5: %s\n' "$name" "$VERSION" "$digest" > "$store/MANIFEST"
# Adds the SHA256 line and writes MANIFEST.sig.
"$top/keysmith/keysmith-sign.sh" sign -k "$top/examples/sample-signer-private.pem" "$store" > /dev/null
echo "make-sample-firmware: $store/$name ($SIZE bytes, $VERSION, MD5 $digest)"
