#!/bin/sh
# Verifies a NoxHalvorant sign-in token ("nox-auth:1") with openssl alone, for servers that
# do not run Node. The token's fields are given as they stand in its JSON:
#   verify-token.sh EXPECTED_ORIGIN CHALLENGE_BASE64 CERTIFICATE_BASE64 ALGORITHM SIGNATURE_BASE64
# Exit status 0 when the signature binds that origin and that challenge to the certificate's
# key. The certificate itself (dates, key usage, chain) is checked apart, e.g. with
# openssl verify.
set -eu
[ $# -eq 5 ] || { echo "usage: $0 ORIGIN CHALLENGE CERTIFICATE ALGORITHM SIGNATURE" >&2; exit 2; }
origin=$1 challenge=$2 certificate=$3 algorithm=$4 signature=$5
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
cd "$dir"
printf %s "$certificate" | openssl base64 -d -A -out cert.der
openssl x509 -inform DER -in cert.der -pubkey -noout > key.pem
# The signed binding: SHA-256(origin) || SHA-256(challenge), 64 bytes.
printf %s "$origin" | openssl dgst -sha256 -binary > binding.bin
printf %s "$challenge" | openssl base64 -d -A | openssl dgst -sha256 -binary >> binding.bin
printf %s "$signature" | openssl base64 -d -A -out signature.bin
case $algorithm in
  ES256|ES384|ES512)
    # r || s, each half of the signature, as the DER sequence openssl reads.
    hex=$(od -An -v -tx1 signature.bin | tr -d ' \n')
    half=$((${#hex} / 2))
    r=$(printf %s "$hex" | cut -c1-$half)
    s=$(printf %s "$hex" | cut -c$((half + 1))-)
    printf 'asn1=SEQUENCE:sig\n[sig]\nr=INTEGER:0x%s\ns=INTEGER:0x%s\n' "$r" "$s" > signature.cnf
    openssl asn1parse -genconf signature.cnf -noout -out signature.der ;;
  RS256|PS256) cp signature.bin signature.der ;;
  *) echo "unknown algorithm $algorithm" >&2; exit 2 ;;
esac
hash=sha${algorithm#??}
if [ "${algorithm%???}" = PS ]; then
  openssl dgst -"$hash" -verify key.pem -sigopt rsa_padding_mode:pss -sigopt rsa_pss_saltlen:-1 \
    -signature signature.der binding.bin
else
  openssl dgst -"$hash" -verify key.pem -signature signature.der binding.bin
fi
