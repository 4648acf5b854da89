#!/usr/bin/env bash
# Trusts the NoxHalvorant CA certificate for the current user, so that browsers accept
# the service's certificate for localhost and 127.0.0.1.
#
#   scripts/trust-ca.sh [FILE]        FILE defaults to ./NoxHalvorant-CA.pem
#
# Linux: the user's NSS database $HOME/.pki/nssdb (read by Chromium-based browsers;
#        Firefox keeps its own store per profile). Needs certutil (libnss3-tools).
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

trust_linux() {
  command -v certutil >/dev/null 2>&1 \
    || die "certutil not found: install libnss3-tools (Debian/Ubuntu) or nss-tools (Fedora)"
  local db="$HOME/.pki/nssdb"
  if [ ! -f "$db/cert9.db" ]; then
    mkdir -p "$db"
    chmod 700 "$db"
    certutil -N -d "sql:$db" --empty-password
  fi
  # Replace an earlier copy under the same name (e.g. after a new CA was issued).
  while certutil -L -d "sql:$db" -n "$NICK" >/dev/null 2>&1; do
    certutil -D -d "sql:$db" -n "$NICK"
  done
  certutil -A -d "sql:$db" -n "$NICK" -t "C,," -i "$file"
  echo "trust-ca: $NICK trusted in $db; restart the browser"
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
