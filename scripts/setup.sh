#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, only those missing.
# Safe to rerun. Needs root or sudo when something is missing.
set -euo pipefail

PKGS=(
  build-essential cmake pkg-config
  libmicrohttpd-dev libgnutls28-dev gnutls-bin libmbedtls-dev libjsmn-dev
  libsystemd-dev
  libp11-kit-dev libassuan-dev  # PKI adapter: PKCS#11 modules, pinentry dialogs
  libgtest-dev libgmock-dev
  softhsm2 opensc openssl  # PKI adapter tests: a private token made with pkcs11-tool
  libcurl4-gnutls-dev
  chromium libnss3-tools nodejs
)

# Extra groups for later targets: pass their names as arguments.
for group in "$@"; do
  case "$group" in
    bench) PKGS+=(wrk libbenchmark-dev) ;;
    fuzz)  PKGS+=(clang libclang-rt-14-dev) ;;
    *) echo "setup: unknown group '$group'" >&2; exit 2 ;;
  esac
done

missing=()
for p in "${PKGS[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "setup: installing ${missing[*]}"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
