#!/usr/bin/env bash
# Installs the Debian packages that building and running need, only those missing; the
# groups named as arguments add what tests, packaging, benchmarks or fuzzing need. The
# group test also installs the npm packages the tests use (tests/browser/package-lock.json),
# so that the tests themselves never reach the network.
# Safe to rerun. Needs root or sudo when a Debian package is missing.
set -euo pipefail

# Build and run: compiler, libraries, and certutil for NoxHalvorant --trust.
PKGS=(
  build-essential cmake pkg-config
  libmicrohttpd-dev libgnutls28-dev libmbedtls-dev libjsmn-dev
  libsystemd-dev
  libpsl-dev  # sites (registrable domains) for per-site limits
  libp11-kit-dev libassuan-dev  # PKI adapter: PKCS#11 modules, pinentry dialogs
  libidn2-dev  # PKI adapter: IDN hosts shown in punycode in its dialogs
  libnss3-tools
  libpcsclite-dev  # e-ID adapter: PC/SC
)

for group in "$@"; do
  case "$group" in
    test)
      PKGS+=(libgtest-dev libgmock-dev libcurl4-gnutls-dev gnutls-bin chromium firefox-esr nodejs)
      PKGS+=(curl util-linux uidmap python3)  # tests as a second user: curl, setpriv, unshare --map-auto, a squatter
      PKGS+=(systemd)  # systemd-socket-activate: the service started with sockets handed over
      PKGS+=(softhsm2 opensc openssl)  # PKI adapter tests: a private token made with pkcs11-tool
      # PKI adapter tests with a software TPM: swtpm, the broker on a private D-Bus bus, tpm2-pkcs11
      # and its tools (keys made with pkcs11-tool, certificates with GnuTLS's certtool).
      PKGS+=(swtpm swtpm-tools tpm2-tools tpm2-abrmd libtss2-tcti-tabrmd0 libtpm2-pkcs11-1 libtpm2-pkcs11-tools dbus)
      # e-ID adapter tests: a private PC/SC daemon with the virtual reader and card emulator,
      # in namespaces made with util-linux's unshare and iproute2's ip.
      PKGS+=(pcscd vsmartcard-vpcd vsmartcard-vpicc python3-pycryptodome iproute2 util-linux)
      # Debian's nodejs comes without npm; another nodejs may bring its own.
      command -v npm >/dev/null 2>&1 || PKGS+=(npm) ;;
    deb)   PKGS+=(dpkg-dev file lintian man-db systemd) ;;  # man and systemd-analyze check the page and units
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

if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  SUDO=""
  if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

for group in "$@"; do
  if [ "$group" = test ]; then bash "$(dirname "$0")/npm-deps.sh" install; fi
done
