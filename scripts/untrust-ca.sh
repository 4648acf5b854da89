#!/usr/bin/env bash
# Removes the trust that scripts/trust-ca.sh gave the NoxHalvorant CA certificate.
#
#   scripts/untrust-ca.sh             Linux: removes the NoxHalvorant-CA entry from every
#                                     NSS database trust-ca.sh recorded (and ~/.pki/nssdb)
#   scripts/untrust-ca.sh FILE        macOS: FILE names the certificate to remove (UNTESTED)
set -euo pipefail

NICK=NoxHalvorant-CA
die() { echo "untrust-ca: $*" >&2; exit 1; }

[ $# -le 1 ] || die "usage: $0 [NoxHalvorant-CA.pem]"

untrust_linux() {
  command -v certutil >/dev/null 2>&1 \
    || die "certutil not found: install libnss3-tools (Debian/Ubuntu) or nss-tools (Fedora)"
  local record="${XDG_DATA_HOME:-$HOME/.local/share}/noxhalvorant/trusted-dbs" db removed dbs
  # The databases trust-ca.sh recorded, and the default one (trusted by older versions).
  dbs=$( { [ -f "$record" ] && cat "$record"; echo "$HOME/.pki/nssdb"; } | awk '!seen[$0]++')
  while IFS= read -r db; do
    [ -n "$db" ] && [ -f "$db/cert9.db" ] || continue
    removed=0
    while certutil -L -d "sql:$db" -n "$NICK" >/dev/null 2>&1; do
      certutil -D -d "sql:$db" -n "$NICK"
      removed=$((removed + 1))
    done
    if [ "$removed" -eq 0 ]; then
      echo "untrust-ca: $NICK was not trusted in $db"
    else
      echo "untrust-ca: $NICK removed from $db"
    fi
  done <<<"$dbs"
  rm -f "$record"
  echo "untrust-ca: restart the browsers"
}

untrust_macos() {
  # UNTESTED.
  local file=${1:-NoxHalvorant-CA.pem} keychain="$HOME/Library/Keychains/login.keychain-db" sha1
  { [ -f "$file" ] && [ -r "$file" ]; } || die "no readable file: $file"
  sha1=$(openssl x509 -in "$file" -noout -fingerprint -sha1 | sed 's/.*=//; s/://g') \
    || die "not a readable certificate: $file"
  security remove-trusted-cert "$file" || true
  security delete-certificate -Z "$sha1" "$keychain"
  echo "untrust-ca: $file removed from $keychain; restart the browser"
}

case "$(uname -s)" in
  Linux) untrust_linux ;;
  Darwin) untrust_macos "$@" ;;
  *) die "unsupported system: $(uname -s)" ;;
esac
