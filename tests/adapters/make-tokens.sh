#!/bin/sh
# Makes the private SoftHSM2 token of the PKI adapter tests in directory $1:
#   softhsm2.conf            (point SOFTHSM2_CONF at it)
#   token "Nox Test Token", user PIN 1234, SO PIN 5678, with
#     id 0e: RSA-2048 key pair + certificate  CN=Nox Test RSA
#     id 0f: EC P-256 key pair + certificate  CN=Nox Test EC
#     id 10: a certificate without key        CN=Nox Test Other
#   rsa.der, ec.der, other.der (the certificates)
#   private-tokens/<token folder>: token "Nox Private Keys" (same PINs) as a key import
#     leaves it: private keys (visible only after login) and certificates, no public keys:
#     id 21: EC P-384 key + certificate              CN=Nox Private EC
#     id 22: RSA-2048 key, its certificate as id 23  CN=Nox Private RSA
#   Copy the token folder into a test's token directory to add that token.
#   p384.der, prsa.der (its certificates)
set -eu
dir=$1
mkdir -p "$dir/tokens"
cat > "$dir/softhsm2.conf" <<CONF
directories.tokendir = $dir/tokens
objectstore.backend = file
log.level = ERROR
slots.removable = false
CONF
export SOFTHSM2_CONF="$dir/softhsm2.conf"
module=/usr/lib/softhsm/libsofthsm2.so
softhsm2-util --init-token --free --label "Nox Test Token" --pin 1234 --so-pin 5678 >/dev/null
cd "$dir"
openssl req -x509 -newkey rsa:2048 -nodes -keyout rsa.key -subj "/CN=Nox Test RSA/O=Nox Tests" -days 3650 \
  -addext keyUsage=critical,digitalSignature,nonRepudiation -outform DER -out rsa.der 2>/dev/null
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout ec.key -subj "/CN=Nox Test EC/O=Nox Tests" \
  -days 3650 -addext keyUsage=critical,digitalSignature -outform DER -out ec.der 2>/dev/null
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout other.key -subj "/CN=Nox Test Other" \
  -days 3650 -outform DER -out other.der 2>/dev/null
for k in rsa ec; do
  openssl pkcs8 -topk8 -nocrypt -in $k.key -outform DER -out $k.pk8.der
  openssl pkey -in $k.key -pubout -outform DER -out $k.pub.der
done
write() { pkcs11-tool --module "$module" --token-label "Nox Test Token" --login --pin 1234 --write-object "$1" --type "$2" --id "$3" --label "$4" >/dev/null; }
write rsa.pk8.der privkey 0e "RSA key"
write rsa.pub.der pubkey 0e "RSA key"
write rsa.der cert 0e "RSA certificate"
write ec.pk8.der privkey 0f "EC key"
write ec.pub.der pubkey 0f "EC key"
write ec.der cert 0f "EC certificate"
write other.der cert 10 "Other certificate"

# The second token, in a directory of its own.
mkdir -p "$dir/private-tokens"
cat > "$dir/private.conf" <<CONF
directories.tokendir = $dir/private-tokens
objectstore.backend = file
log.level = ERROR
CONF
export SOFTHSM2_CONF="$dir/private.conf"
softhsm2-util --init-token --free --label "Nox Private Keys" --pin 1234 --so-pin 5678 >/dev/null
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-384 -nodes -keyout p384.key -subj "/CN=Nox Private EC" \
  -days 3650 -addext keyUsage=critical,digitalSignature -outform DER -out p384.der 2>/dev/null
openssl req -x509 -newkey rsa:2048 -nodes -keyout prsa.key -subj "/CN=Nox Private RSA" -days 3650 \
  -addext keyUsage=critical,digitalSignature -outform DER -out prsa.der 2>/dev/null
for k in p384 prsa; do openssl pkcs8 -topk8 -nocrypt -in $k.key -outform DER -out $k.pk8.der; done
privately() { pkcs11-tool --module "$module" --token-label "Nox Private Keys" --login --pin 1234 --write-object "$1" --type "$2" --id "$3" --label "$4" >/dev/null; }
privately p384.pk8.der privkey 21 "EC key"
privately p384.der cert 21 "EC certificate"
privately prsa.pk8.der privkey 22 "RSA key"
privately prsa.der cert 23 "RSA certificate"
rm -f ./*.key ./*.pk8.der ./*.pub.der private.conf
