#!/usr/bin/env bash
# ctest entry of the browser tests:  run.sh SERVICE_EXE TEST_FILE...
# Checks the tools, installs the npm packages when missing, then runs node's test runner
# on the given files, one file at a time, holding the lock file that the C++ service
# tests of every build tree take: all of them use the service's fixed ports.
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
[ -f "$NOX_BIN_DIR/NoxHalvorant-CA.pem" ] || die "no NoxHalvorant-CA.pem beside $exe"
for a in NoxCryptAdapter NoxPkiCryptAdapter NoxIdAdapter; do
  [ -f "$NOX_BIN_DIR/Nox/$a.dylib" ] || die "adapter $a is not built ($NOX_BIN_DIR/Nox/$a.dylib)"
done
chromium=${NOX_CHROMIUM:-/usr/bin/chromium}
[ -x "$chromium" ] || die "$chromium is missing: run scripts/setup.sh (package chromium)"
for tool in node certtool certutil flock setpriv make; do
  command -v "$tool" >/dev/null 2>&1 || die "$tool is missing: run scripts/setup.sh"
done

files=()
for f in "$@"; do files+=("$here/$f"); done

asked=$(date +%s)
exec flock -w 1200 /tmp/NoxHalvorant-service-test.lock bash -c '
  set -euo pipefail
  echo "browser tests: waited $(( $(date +%s) - $2 )) s for the service lock"
  bash "$1/install-deps.sh"
  shift 2
  exec node --test --test-concurrency=1 "$@"
' run-under-lock "$here" "$asked" "${files[@]}"
