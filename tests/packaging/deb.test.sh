#!/usr/bin/env bash
# The Debian package of this build tree: cpack builds it into a temporary directory; then
# its file list, modes, control fields, removal hint, manual page and units are checked
# (systemd-analyze verify --user), and lintian must report no error and no missing manual
# page.   deb.test.sh BUILD_DIR
set -euo pipefail
build=$1
fail() { echo "deb test: $*" >&2; exit 1; }
for tool in cpack dpkg-deb dpkg-shlibdeps file lintian man systemd-analyze unshare; do
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
-rw-r--r-- ./usr/lib/systemd/user/noxhalvorant.socket
drwxr-xr-x ./usr/share/
drwxr-xr-x ./usr/share/doc/
drwxr-xr-x ./usr/share/doc/noxhalvorant/
-rw-r--r-- ./usr/share/doc/noxhalvorant/changelog.gz
-rw-r--r-- ./usr/share/doc/noxhalvorant/copyright
drwxr-xr-x ./usr/share/man/
drwxr-xr-x ./usr/share/man/man1/
-rw-r--r-- ./usr/share/man/man1/noxhalvorant.1.gz"
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
# What the PKI and e-ID adapters need on a desktop, without forcing it on a server.
[ "$(field Recommends)" = "pinentry-gnome3 | pinentry-qt | pinentry-gtk2 | pinentry-curses, pcscd" ] \
  || fail "Recommends: $(field Recommends)"

# Removal (not an upgrade) tells how each user undoes the trust, while the command exists.
mkdir "$out/control"
dpkg-deb -e "$deb" "$out/control"
[ -x "$out/control/prerm" ] || fail "no executable prerm"
sh -n "$out/control/prerm" || fail "prerm is not valid sh"
hint=$(sh "$out/control/prerm" remove)
[[ "$hint" == *"noxhalvorant --untrust"* ]] || fail "the removal hint lacks noxhalvorant --untrust: $hint"
[ -z "$(sh "$out/control/prerm" upgrade 1.0)" ] || fail "prerm prints its hint on an upgrade"

# The socket binds the six loopback addresses with the graphical session and starts the
# service, which runs the packaged executable with its idle exit and restarts only failed
# starts.
mkdir "$out/root"
dpkg-deb -x "$deb" "$out/root"
unit="$out/root/usr/lib/systemd/user/noxhalvorant.service"
socket_unit="$out/root/usr/lib/systemd/user/noxhalvorant.socket"
for line in "ExecStart=/usr/lib/noxhalvorant/NoxHalvorant --idle-exit=600" "Restart=on-failure" "Also=noxhalvorant.socket" \
            "PartOf=graphical-session.target"; do
  grep -qx "$line" "$unit" || fail "unit lacks $line"
done
listen=$(grep '^ListenStream=' "$socket_unit" | sort | tr '\n' ' ')
[ "$listen" = "ListenStream=127.0.0.1:54469 ListenStream=127.0.0.1:54569 ListenStream=127.0.0.1:54669 ListenStream=[::1]:54469 ListenStream=[::1]:54569 ListenStream=[::1]:54669 " ] \
  || fail "socket unit listens on: $listen"
for line in "WantedBy=graphical-session.target" "PartOf=graphical-session.target"; do
  grep -qx "$line" "$socket_unit" || fail "socket unit lacks $line"
done
# No certificate and no key anywhere in the package.
if grep -rlE -- '-----BEGIN CERTIFICATE-----|PRIVATE KEY' "$out/root"; then fail "the package holds a certificate or key"; fi
# Only the executable's path is filled in: comments and every other line as written.
src_unit=$(dirname "$0")/../../packaging/systemd/noxhalvorant.service
diff <(grep -v '^ExecStart=' "$src_unit") <(grep -v '^ExecStart=' "$unit") \
  || fail "the packaged unit differs from packaging/systemd/noxhalvorant.service beyond ExecStart"

# Every packaged user unit as the user's systemd reads it. The package's /usr/lib is laid
# over the real one in a private mount namespace, so ExecStart names an existing file.
# verify exits 0 on mere warnings (an unknown key, a bad value): any output fails.
export XDG_RUNTIME_DIR="$out/runtime"
mkdir -m 700 "$XDG_RUNTIME_DIR"
units=$(cd "$out/root" && ls usr/lib/systemd/user/)
verified=$(unshare --mount --map-root-user bash -c '
  mount -t overlay overlay -o "lowerdir=$1/usr/lib:/usr/lib" /usr/lib || exit 97
  shift
  for u in "$@"; do systemd-analyze verify --user "/usr/lib/systemd/user/$u" 2>&1 || echo "$u: exit status $?"; done
' verify "$out/root" $units 2>&1) || fail "cannot lay the package over /usr/lib: $verified"
[ -z "$verified" ] || fail "systemd-analyze verify --user: $verified"

# The manual page reads without a groff warning and names the commands users need.
page=$(MANWIDTH=80 man --warnings -l "$out/root/usr/share/man/man1/noxhalvorant.1.gz" 2>&1 >/dev/null) \
  || fail "man cannot read the manual page"
[ -z "$page" ] || fail "manual page warnings: $page"
text=$(MANWIDTH=200 man -l "$out/root/usr/share/man/man1/noxhalvorant.1.gz" 2>/dev/null)
for want in "--trust" "--untrust" "--version" "--idle-exit=SECONDS" "NoxHalvorant 1.0.23.0510"; do
  [[ "$text" == *"$want"* ]] || fail "the manual page lacks $want"
done
# The copied binary runs and names its version (in a throwaway data home: it reads the
# user's certificate).
XDG_DATA_HOME="$out/data" "$out/root/usr/lib/noxhalvorant/NoxHalvorant" --version | grep -q '^NoxHalvorant 1.0.23.0510$' \
  || fail "the packaged executable does not answer --version"

lint=$(lintian --fail-on error "$deb") || { echo "$lint"; fail "lintian reports errors"; }
echo "$lint"
! grep -q 'no-manual-page' <<<"$lint" || fail "lintian: a command has no manual page"
echo "deb test: $(basename "$deb") passed"
