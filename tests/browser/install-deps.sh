#!/usr/bin/env bash
# Installs the npm packages of the browser tests (package-lock.json) into
# tests/browser/node_modules when they are missing or differ from the lock file.
# playwright-core drives Debian's /usr/bin/chromium and never downloads a browser of its
# own; typescript checks the page client's declarations (clients/js/test/package.test.js).
set -euo pipefail
cd "$(dirname "$0")"

versions() {
  node -e '
    const lock = require("./package-lock.json").packages;
    const names = ["playwright-core", "typescript"];
    const read = (n) => { try { return require("./node_modules/" + n + "/package.json").version; } catch { return ""; } };
    process.stdout.write(names.map((n) => (process.argv[1] === "want" ? lock["node_modules/" + n].version : read(n))).join(" "));
  ' "$1"
}
want=$(versions want)
have=$(versions have)
[ "$want" = "$have" ] && exit 0

if ! command -v npm >/dev/null 2>&1; then
  # Debian's nodejs comes without npm (NodeSource's includes it).
  echo "browser tests: installing npm"
  SUDO=""
  if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends npm
fi
echo "browser tests: installing playwright-core and typescript ($want)"
PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD=1 npm ci --no-audit --no-fund --loglevel=error
