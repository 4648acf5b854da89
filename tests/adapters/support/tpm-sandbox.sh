#!/usr/bin/env bash
# A software TPM with a PKCS#11 token for one test, as a desktop with a TPM has it: swtpm,
# the access broker tpm2-abrmd on a private D-Bus session bus, and tpm2-pkcs11's store.
# Run inside a fresh network namespace (swtpm's fixed TCP ports are the namespace's own);
# the bus is a socket file, so the service outside reaches the broker through it.
#
#   tpm-sandbox.sh DIR     makes token "Nox TPM" (user PIN 1234, SO PIN 5678) with key
#                          pairs and self-signed certificates, written also as DIR/<id>.der:
#                            01 RSA-2048, 02 EC P-256, 03 EC P-384
#                          then prints "ready <bus address>" (or "error: ..."), and stops
#                          everything when its standard input ends.
# A client uses DBUS_SESSION_BUS_ADDRESS=<bus address>, TPM2_PKCS11_TCTI=tabrmd:bus_type=session
# and TPM2_PKCS11_STORE=DIR/store.
set -u
dir=$1
module=/usr/lib/x86_64-linux-gnu/pkcs11/libtpm2_pkcs11.so
PATH=$PATH:/usr/local/sbin:/usr/sbin:/sbin
fail() {
  echo "error: $*"
  exit 1
}
mkdir -p "$dir/tpm" "$dir/store" || fail "cannot make $dir"
ip link set lo up || fail "cannot bring up the namespace's loopback"
# Children die with this script (--pdeathsig), whatever ends it.
setpriv --pdeathsig KILL -- swtpm socket --tpm2 --tpmstate dir="$dir/tpm" --server type=tcp,port=2321 \
  --ctrl type=tcp,port=2322 --flags not-need-init,startup-clear >"$dir/swtpm.log" 2>&1 &
setpriv --pdeathsig KILL -- dbus-daemon --session --address="unix:path=$dir/bus" --print-address=3 --nofork \
  --nopidfile 3>"$dir/bus.address" 2>"$dir/dbus.log" &
for _ in $(seq 100); do [ -s "$dir/bus.address" ] && break; sleep 0.1; done
[ -s "$dir/bus.address" ] || fail "dbus-daemon did not start: $(cat "$dir/dbus.log")"
export DBUS_SESSION_BUS_ADDRESS
DBUS_SESSION_BUS_ADDRESS=$(head -1 "$dir/bus.address")
setpriv --pdeathsig KILL -- tpm2-abrmd --session --tcti=swtpm:port=2321 --allow-root >"$dir/abrmd.log" 2>&1 &
export TPM2TOOLS_TCTI=tabrmd:bus_type=session TPM2_PKCS11_TCTI=tabrmd:bus_type=session TPM2_PKCS11_STORE=$dir/store
# The broker registers its name on the bus once it reached the TPM.
for _ in $(seq 100); do tpm2_getrandom 4 >/dev/null 2>&1 && break; sleep 0.1; done
{
  tpm2_ptool init && tpm2_ptool addtoken --pid=1 --sopin=5678 --userpin=1234 --label="Nox TPM"
} >"$dir/ptool.log" 2>&1 || fail "tpm2_ptool: $(cat "$dir/ptool.log" "$dir/abrmd.log" "$dir/swtpm.log")"
key() {  # id type name
  pkcs11-tool --module "$module" --token-label "Nox TPM" --login --pin 1234 --keypairgen --key-type "$2" --id "$1" \
    --label "$3" >>"$dir/keys.log" 2>&1 || fail "keypairgen $3: $(cat "$dir/keys.log")"
  printf 'cn = "%s"\nexpiration_days = 3650\nsigning_key\n' "$3" >"$dir/$1.template"
  GNUTLS_PIN=1234 certtool --generate-self-signed --provider "$module" \
    --load-privkey "pkcs11:token=Nox%20TPM;id=%$1;type=private" --template "$dir/$1.template" --outder \
    --outfile "$dir/$1.der" >>"$dir/keys.log" 2>&1 || fail "certificate $3: $(cat "$dir/keys.log")"
  pkcs11-tool --module "$module" --token-label "Nox TPM" --login --pin 1234 --write-object "$dir/$1.der" --type cert \
    --id "$1" --label "$3" >>"$dir/keys.log" 2>&1 || fail "write $3: $(cat "$dir/keys.log")"
}
key 01 rsa:2048 "Nox TPM RSA"
key 02 EC:prime256v1 "Nox TPM P-256"
key 03 EC:secp384r1 "Nox TPM P-384"
echo "ready $DBUS_SESSION_BUS_ADDRESS"
cat >/dev/null
