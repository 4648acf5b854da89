#!/usr/bin/env bash
# ctest entry of the browser tests:  run.sh SERVICE_EXE TEST_FILE...
# Checks the tools and the npm packages (scripts/setup.sh test installs them; nothing is
# installed here), then runs node's test runner on the given files, one file at a time,
# holding the lock file that the C++ service tests of every build tree take: all of them
# use the service's fixed ports.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
die() { echo "browser tests: $*" >&2; exit 1; }

[ $# -ge 2 ] || die "usage: $0 SERVICE_EXE TEST_FILE..."
exe=$1
shift
[ -x "$exe" ] || die "no service executable at $exe; build it first"
export NOX_SERVICE_EXE=$exe
NOX_BIN_DIR=$(dirname "$exe")
export NOX_BIN_DIR
for a in NoxCryptAdapter NoxPkiCryptAdapter NoxIdAdapter; do
  [ -f "$NOX_BIN_DIR/Nox/$a.dylib" ] || die "adapter $a is not built ($NOX_BIN_DIR/Nox/$a.dylib)"
done
chromium=${NOX_CHROMIUM:-/usr/bin/chromium}
[ -x "$chromium" ] || die "$chromium is missing: run scripts/setup.sh (package chromium)"
for tool in node certtool certutil flock setpriv make; do
  command -v "$tool" >/dev/null 2>&1 || die "$tool is missing: run scripts/setup.sh"
done
bash "$here/../../scripts/npm-deps.sh" check

files=()
for f in "$@"; do files+=("$here/$f"); done

# The PKI adapter gets the build's private SoftHSM2 token and the scripted dialog (which
# allows listing and enters PIN 1234), never the machine's own tokens or a real dialog.
build=$(dirname "$NOX_BIN_DIR")
token=$build/tests/adapters/pki-token
[ -f "$token/rsa.der" ] && [ -x "$build/tests/adapters/scripted_pinentry" ] ||
  die "the PKI test token is not built (targets pki_test_token, scripted_pinentry)"
work=$(mktemp -d /tmp/nox_browser_pki_XXXXXX)
trap 'rm -rf "$work"' EXIT
# The service's credentials (its CA and key) live in this run's own data home, never in
# the home of the user who runs the tests.
export XDG_DATA_HOME=$work/data
cp -r "$token" "$work/token"
printf 'directories.tokendir = %s\nobjectstore.backend = file\nlog.level = ERROR\n' "$work/token/tokens" \
  > "$work/token/softhsm2.conf"
mkdir "$work/dialog"
printf 'confirm=ok\npin=1234\n' > "$work/dialog/script"
export SOFTHSM2_CONF=$work/token/softhsm2.conf NOX_TEST_PINENTRY_DIR=$work/dialog
export NOX_PINENTRY=$build/tests/adapters/scripted_pinentry NOX_PKI_TOKEN_DIR=$token
unset NOX_PKCS11_MODULE
# A module registry of the run's own, SoftHSM2 alone: whatever else the machine registered
# (opensc, a TPM's module) must not change what the pages see.
mkdir -p "$work/p11kit/modules"
echo 'user-config: none' > "$work/p11kit/pkcs11.conf"
echo 'module: /usr/lib/softhsm/libsofthsm2.so' > "$work/p11kit/modules/softhsm2.module"
export NOX_TEST_P11KIT_DIR=$work/p11kit
# The e-ID adapter gets no PC/SC daemon (a socket path nobody serves), so its answer is the
# same on every machine; the e-ID test points it at its own sandbox instead.
export PCSCLITE_CSOCK_NAME=$work/no-pcscd/pcscd.comm

asked=$(date +%s)
flock -w 1200 /tmp/NoxHalvorant-service-test.lock bash -c '
  set -euo pipefail
  echo "browser tests: waited $(( $(date +%s) - $2 )) s for the service lock"
  shift 2
  exec node --test --test-concurrency=1 "$@"
' run-under-lock "$here" "$asked" "${files[@]}"
