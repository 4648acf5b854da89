#!/usr/bin/env bash
# Trusts the NoxHalvorant CA certificate for the current user, so that browsers accept
# the service's certificate for localhost and 127.0.0.1.
#
#   scripts/trust-ca.sh [FILE]        FILE defaults to ./NoxHalvorant-CA.pem
#
# Linux: the user's NSS database $HOME/.pki/nssdb (read by Chromium and Chrome; created
#        when missing), the snap Chromium's database when present, and the cert9.db of
#        every Firefox profile (~/.mozilla/firefox, the snap's too). What was trusted is
#        listed in ~/.local/share/noxhalvorant/trusted-dbs, which untrust-ca.sh reads to
#        undo exactly that. Needs certutil (libnss3-tools).
# macOS: the login keychain. UNTESTED.
# Restart the browser afterwards. scripts/untrust-ca.sh undoes it.
set -euo pipefail

NICK=NoxHalvorant-CA
die() { echo "trust-ca: $*" >&2; exit 1; }

[ $# -le 1 ] || die "usage: $0 [NoxHalvorant-CA.pem]"
file=${1:-NoxHalvorant-CA.pem}
{ [ -f "$file" ] && [ -r "$file" ]; } || die "no readable file: $file"
grep -q -- '-----BEGIN CERTIFICATE-----' "$file" || die "not a PEM certificate: $file"
if command -v openssl >/dev/null 2>&1; then
  openssl x509 -in "$file" -noout 2>/dev/null || die "not a readable certificate: $file"
  # Trusting the server's own certificate as an authority would not work; say so.
  openssl x509 -in "$file" -noout -ext basicConstraints 2>/dev/null | grep -q 'CA:TRUE' \
    || die "not a CA certificate (basicConstraints CA:TRUE missing): $file"
fi

# Adds the CA to one NSS database (sql:DIR), replacing an earlier copy under the same
# name (e.g. after a new CA was issued), and records DIR.
trust_db() {
  local db=$1 what=$2
  while certutil -L -d "sql:$db" -n "$NICK" >/dev/null 2>&1; do
    certutil -D -d "sql:$db" -n "$NICK"
  done
  certutil -A -d "sql:$db" -n "$NICK" -t "C,," -i "$file"
  grep -qxF "$db" "$record" 2>/dev/null || echo "$db" >>"$record"
  echo "trust-ca: $NICK trusted in $db ($what)"
}

trust_linux() {
  command -v certutil >/dev/null 2>&1 \
    || die "certutil not found: install libnss3-tools (Debian/Ubuntu) or nss-tools (Fedora)"
  record="${XDG_DATA_HOME:-$HOME/.local/share}/noxhalvorant/trusted-dbs"
  mkdir -p "$(dirname "$record")"
  local db="$HOME/.pki/nssdb" profile
  if [ ! -f "$db/cert9.db" ]; then
    mkdir -p "$db"
    chmod 700 "$db"
    certutil -N -d "sql:$db" --empty-password
  fi
  trust_db "$db" "Chromium, Chrome"
  if [ -f "$HOME/snap/chromium/current/.pki/nssdb/cert9.db" ]; then
    trust_db "$HOME/snap/chromium/current/.pki/nssdb" "Chromium snap"
  fi
  for profile in "$HOME"/.mozilla/firefox/*/ "$HOME"/snap/firefox/common/.mozilla/firefox/*/; do
    [ -f "$profile/cert9.db" ] || continue
    trust_db "${profile%/}" "Firefox profile"
  done
  echo "trust-ca: restart the browsers; untrust-ca.sh undoes this"
}

trust_macos() {
  # UNTESTED.
  local keychain="$HOME/Library/Keychains/login.keychain-db"
  security add-trusted-cert -r trustRoot -k "$keychain" "$file"
  echo "trust-ca: $file trusted in $keychain; restart the browser"
}

case "$(uname -s)" in
  Linux) trust_linux ;;
  Darwin) trust_macos ;;
  *) die "unsupported system: $(uname -s)" ;;
esac
