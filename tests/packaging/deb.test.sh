#!/usr/bin/env bash
# The Debian package of this build tree: cpack builds it into a temporary directory; then
# its file list, modes, control fields and unit are checked, and lintian must report no
# error.   deb.test.sh BUILD_DIR
set -euo pipefail
build=$1
fail() { echo "deb test: $*" >&2; exit 1; }
for tool in cpack dpkg-deb dpkg-shlibdeps file lintian; do
  command -v "$tool" >/dev/null 2>&1 || fail "$tool is missing: run scripts/setup.sh deb"
done
out=$(mktemp -d /tmp/nox-deb-XXXXXX)
trap 'rm -rf "$out"' EXIT

(cd "$build" && cpack -G DEB -B "$out" >"$out/cpack.log" 2>&1) || { cat "$out/cpack.log"; fail "cpack failed"; }
deb=$(ls "$out"/noxhalvorant_*.deb)

# Every file with its mode, symlinks with their target.
listing=$(dpkg-deb -c "$deb" | awk '{ name = $6; if ($7 == "->") name = name " -> " $8; print $1, name }' | sort -k2)
expected="drwxr-xr-x ./usr/
drwxr-xr-x ./usr/bin/
lrwxrwxrwx ./usr/bin/noxhalvorant -> ../lib/noxhalvorant/NoxHalvorant
drwxr-xr-x ./usr/lib/
drwxr-xr-x ./usr/lib/noxhalvorant/
drwxr-xr-x ./usr/lib/noxhalvorant/Nox/
-rw-r--r-- ./usr/lib/noxhalvorant/Nox/NoxCryptAdapter.dylib
-rw-r--r-- ./usr/lib/noxhalvorant/Nox/NoxIdAdapter.dylib
-rw-r--r-- ./usr/lib/noxhalvorant/Nox/NoxPkiCryptAdapter.dylib
-rwxr-xr-x ./usr/lib/noxhalvorant/NoxHalvorant
drwxr-xr-x ./usr/lib/systemd/
drwxr-xr-x ./usr/lib/systemd/user/
-rw-r--r-- ./usr/lib/systemd/user/noxhalvorant.service
drwxr-xr-x ./usr/share/
drwxr-xr-x ./usr/share/doc/
drwxr-xr-x ./usr/share/doc/noxhalvorant/
-rw-r--r-- ./usr/share/doc/noxhalvorant/changelog.gz
-rw-r--r-- ./usr/share/doc/noxhalvorant/copyright
drwxr-xr-x ./usr/share/noxhalvorant/
-rw-r--r-- ./usr/share/noxhalvorant/NoxHalvorant-CA.pem
-rwxr-xr-x ./usr/share/noxhalvorant/trust-ca.sh
-rwxr-xr-x ./usr/share/noxhalvorant/untrust-ca.sh"
[ "$listing" = "$expected" ] || { diff <(echo "$expected") <(echo "$listing") || true; fail "file list or modes differ"; }

field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = noxhalvorant ] || fail "Package: $(field Package)"
[ "$(field Version)" = 1.0.23.0510 ] || fail "Version: $(field Version)"
[ "$(field Architecture)" = "$(dpkg --print-architecture)" ] || fail "Architecture: $(field Architecture)"
[ -n "$(field Maintainer)" ] && [ -n "$(field Description)" ] || fail "Maintainer or Description missing"
depends=$(field Depends)
for need in libnss3-tools libmicrohttpd12 libgnutls30 libmbedcrypto; do
  [[ "$depends" == *"$need"* ]] || fail "Depends lacks $need: $depends"
done

# The unit starts the packaged executable with the graphical session and restarts only
# failed starts.
mkdir "$out/root"
dpkg-deb -x "$deb" "$out/root"
unit="$out/root/usr/lib/systemd/user/noxhalvorant.service"
for line in "ExecStart=/usr/lib/noxhalvorant/NoxHalvorant" "Restart=on-failure" \
            "WantedBy=graphical-session.target" "PartOf=graphical-session.target"; do
  grep -qx "$line" "$unit" || fail "unit lacks $line"
done
# The copied binary runs and names its version.
"$out/root/usr/lib/noxhalvorant/NoxHalvorant" --version | grep -q '^NoxHalvorant 1.0.23.0510$' \
  || fail "the packaged executable does not answer --version"

lintian --fail-on error "$deb" || fail "lintian reports errors"
echo "deb test: $(basename "$deb") passed"
