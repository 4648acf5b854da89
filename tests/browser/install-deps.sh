#!/usr/bin/env bash
# Installs the npm packages of the browser tests (package-lock.json) into
# tests/browser/node_modules when they are missing or differ from the lock file.
# Only playwright-core is installed; it drives Debian's /usr/bin/chromium and never
# downloads a browser of its own.
set -euo pipefail
cd "$(dirname "$0")"

want=$(node -e 'process.stdout.write(require("./package-lock.json").packages["node_modules/playwright-core"].version)')
have=$(node -e 'try { process.stdout.write(require("./node_modules/playwright-core/package.json").version) } catch {}')
[ "$want" = "$have" ] && exit 0

if ! command -v npm >/dev/null 2>&1; then
  # Debian's nodejs comes without npm (NodeSource's includes it).
  echo "browser tests: installing npm"
  SUDO=""
  if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends npm
fi
echo "browser tests: installing playwright-core $want"
PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD=1 npm ci --no-audit --no-fund --loglevel=error
