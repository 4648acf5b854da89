#!/usr/bin/env bash
# noxhalvorant --trust and --untrust in a throwaway HOME and data directory: no Chromium
# database yet, a Firefox profile that Firefox made but never started (no cert9.db), an
# older profile under ~/.mozilla with a store and an unrelated CA that must survive.
# --trust makes the user's CA (none exists yet), trusts it everywhere and says where;
# --untrust removes exactly that.
#   trust.test.sh SERVICE_EXE
set -euo pipefail
exe=$1
fail() { echo "trust test: $*" >&2; exit 1; }
for tool in certutil firefox-esr; do
  command -v "$tool" >/dev/null 2>&1 || fail "$tool is missing: run scripts/setup.sh test"
done
home=$(mktemp -d /tmp/nox-trust-XXXXXX)
trap 'rm -rf "$home"' EXIT
export HOME=$home XDG_DATA_HOME=$home/data
unset XDG_CONFIG_HOME
data=$XDG_DATA_HOME/noxhalvorant

# A profile as Firefox makes it for a new user (under ~/.config/mozilla/firefox), never started.
firefox-esr --headless -CreateProfile fresh >/dev/null 2>&1 || fail "firefox-esr -CreateProfile failed"
fresh=$(ls -d "$home"/.config/mozilla/firefox/*.fresh)
[ -d "$fresh" ] && [ ! -e "$fresh/cert9.db" ] || fail "expected a never-started profile: $(ls -la "$fresh")"
# An older profile that has a certificate store, with an unrelated CA of the user's own.
old="$home/.mozilla/firefox/a1.default-release"
mkdir -p "$old"
certutil -N -d "sql:$old" --empty-password
certutil -S -d "sql:$old" -n Other-CA -s "CN=Other CA" -x -t "C,," -2 \
  -z <(head -c 64 /dev/urandom) >/dev/null 2>&1 <<<$'y\n0\ny\n' || fail "cannot make the unrelated CA"

has() { certutil -L -d "sql:$1" -n "$2" >/dev/null 2>&1; }
dbs=("$home/.pki/nssdb" "$fresh" "$old")

out=$("$exe" --trust 2>&1) || fail "--trust failed: $out"
echo "$out"
grep -qF "first start: making this user's CA and localhost certificate in $data" <<<"$out" || fail "no word of the new CA"
for db in "${dbs[@]}"; do
  has "$db" NoxHalvorant-CA || fail "not trusted in $db"
  grep -qF "NoxHalvorant-CA $db" <<<"$out" || fail "--trust did not say it trusted $db"
done
grep -qF "$fresh (Firefox profile): trusted (certificate store created)" <<<"$out" || fail "the new store is not named"
# What NSS holds is the user's CA, trusted for servers.
certutil -L -d "sql:$fresh" -n NoxHalvorant-CA -a | openssl x509 -noout -fingerprint -sha256 >"$home/in-store"
openssl x509 -in "$data/NoxHalvorant-CA.pem" -noout -fingerprint -sha256 >"$home/on-disk"
cmp -s "$home/in-store" "$home/on-disk" || fail "the store holds another certificate"
certutil -L -d "sql:$old" | grep -E '^NoxHalvorant-CA +C,, *$' >/dev/null || fail "not trusted as a CA: $(certutil -L -d "sql:$old")"
[ "$(sort "$data/trusted-dbs")" = "$(printf '%s\n' "${dbs[@]}" | sort)" ] || fail "record: $(cat "$data/trusted-dbs")"

# Trusting again replaces, never duplicates, and keeps the same CA.
ca=$(cat "$data/NoxHalvorant-CA.pem")
"$exe" --trust >/dev/null
[ "$(certutil -L -d "sql:$home/.pki/nssdb" | grep -c NoxHalvorant-CA)" -eq 1 ] || fail "duplicate entry after a second trust"
[ "$(cat "$data/NoxHalvorant-CA.pem")" = "$ca" ] || fail "a second --trust made a new CA"

out=$("$exe" --untrust 2>&1) || fail "--untrust failed: $out"
echo "$out"
for db in "${dbs[@]}"; do
  ! has "$db" NoxHalvorant-CA || fail "still trusted in $db"
  grep -qF "NoxHalvorant-CA $db: removed" <<<"$out" || fail "--untrust did not say it removed $db"
done
has "$old" Other-CA || fail "--untrust removed an unrelated certificate"
[ ! -e "$data/trusted-dbs" ] || fail "the record is left behind"
[ -f "$data/NoxHalvorant-CA.pem" ] || fail "--untrust removed the CA itself"
echo "trust test: passed"
