#!/usr/bin/env bash
# The npm packages the tests use (playwright-core and puppeteer-core drive Debian's own
# browsers and never download one; typescript compiles the client's declarations and the
# documentation's examples), as package-lock.json pins them, in tests/browser/node_modules.
#   scripts/npm-deps.sh install   installs them when missing or not as locked (setup.sh test)
#   scripts/npm-deps.sh check     fails, saying what to run, when they are missing or not as locked
# Installing belongs to the set-up step alone; the tests only check (tests/browser/run.sh), so
# they never reach the network.
set -euo pipefail
cd "$(dirname "$0")/../tests/browser"

# Every dependency of package.json: "name locked-version installed-version" per line.
status() {
  node -e '
    const deps = Object.keys(require("./package.json").dependencies);
    const lock = require("./package-lock.json").packages;
    const have = (n) => { try { return require("./node_modules/" + n + "/package.json").version; } catch { return "-"; } };
    for (const n of deps) console.log(n, lock["node_modules/" + n].version, have(n));
  '
}
stale() { status | awk '$2 != $3'; }

case "${1:-}" in
  check)
    bad=$(stale)
    [ -z "$bad" ] && exit 0
    echo "tests: npm packages missing or not as locked (name, locked, installed):" >&2
    echo "$bad" | sed 's/^/  /' >&2
    echo "tests: run 'bash scripts/setup.sh test' (it installs them from tests/browser/package-lock.json)" >&2
    exit 1 ;;
  install)
    [ -z "$(stale)" ] && exit 0
    command -v npm >/dev/null 2>&1 || { echo "setup: npm is missing (Debian package npm)" >&2; exit 1; }
    echo "setup: installing the tests' npm packages ($(status | awk '{ printf "%s%s@%s", sep, $1, $2; sep=" " }'))"
    PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD=1 PUPPETEER_SKIP_DOWNLOAD=1 \
      npm ci --no-audit --no-fund --loglevel=error --engine-strict=false
    bad=$(stale)
    [ -z "$bad" ] || { echo "setup: npm ci left them not as locked: $bad" >&2; exit 1; } ;;
  *) echo "usage: $0 install|check" >&2; exit 2 ;;
esac
