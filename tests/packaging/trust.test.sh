#!/usr/bin/env bash
# trust-ca.sh and untrust-ca.sh in a throwaway HOME with the Chromium database missing,
# two Firefox profiles (one without a certificate store) and an unrelated CA that must
# survive: trust says where it trusted, untrust removes exactly that.
#   trust.test.sh REPO CA_FILE
set -euo pipefail
repo=$1
ca=$2
fail() { echo "trust test: $*" >&2; exit 1; }
command -v certutil >/dev/null 2>&1 || fail "certutil is missing: run scripts/setup.sh"
home=$(mktemp -d /tmp/nox-trust-XXXXXX)
trap 'rm -rf "$home"' EXIT
export HOME=$home
unset XDG_DATA_HOME

ff="$home/.mozilla/firefox"
mkdir -p "$ff/a1.default-release" "$ff/b2.empty"
certutil -N -d "sql:$ff/a1.default-release" --empty-password
# An unrelated CA of the user's own (a fresh self-signed one).
certutil -S -d "sql:$ff/a1.default-release" -n Other-CA -s "CN=Other CA" -x -t "C,," -2 \
  -z <(head -c 64 /dev/urandom) >/dev/null 2>&1 <<<$'y\n0\ny\n' || fail "cannot make the unrelated CA"

has() { certutil -L -d "sql:$1" -n "$2" >/dev/null 2>&1; }

out=$(bash "$repo/scripts/trust-ca.sh" "$ca")
echo "$out"
for db in "$home/.pki/nssdb" "$ff/a1.default-release"; do
  has "$db" NoxHalvorant-CA || fail "not trusted in $db"
  grep -qF "trusted in $db" <<<"$out" || fail "trust-ca did not say it trusted $db"
done
[ ! -e "$ff/b2.empty/cert9.db" ] || fail "a profile without a certificate store got one"
[ "$(wc -l <"$home/.local/share/noxhalvorant/trusted-dbs")" -eq 2 ] || fail "record: $(cat "$home/.local/share/noxhalvorant/trusted-dbs")"

# Trusting again replaces, never duplicates.
bash "$repo/scripts/trust-ca.sh" "$ca" >/dev/null
[ "$(certutil -L -d "sql:$home/.pki/nssdb" | grep -c NoxHalvorant-CA)" -eq 1 ] || fail "duplicate entry after a second trust"

out=$(bash "$repo/scripts/untrust-ca.sh")
echo "$out"
for db in "$home/.pki/nssdb" "$ff/a1.default-release"; do
  ! has "$db" NoxHalvorant-CA || fail "still trusted in $db"
  grep -qF "removed from $db" <<<"$out" || fail "untrust-ca did not say it removed $db"
done
has "$ff/a1.default-release" Other-CA || fail "untrust-ca removed an unrelated certificate"
[ ! -e "$home/.local/share/noxhalvorant/trusted-dbs" ] || fail "the record is left behind"
echo "trust test: passed"
