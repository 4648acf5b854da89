#!/usr/bin/env bash
# A private smart-card stack for one test: pcscd with only the virtual reader, and the card
# emulator that puts a virtual card into it. Run inside fresh mount and network namespaces
# (see PcscSandbox.h): /run is replaced by DIR/run, so the daemon's fixed socket path
# /run/pcscd/pcscd.comm is DIR/run/pcscd/pcscd.comm outside, and the reader's TCP port is
# the namespace's own.
#
#   pcsc-sandbox.sh DIR      prints "started PID" (the daemon's), then "ready" once the
#                            daemon has loaded the reader (or "error: ..."). Then commands
#                            on standard input, one a line, each answered on standard
#                            output: insert -> "inserted", remove -> "removed", stop ->
#                            "stopped" (the daemon). End of input stops everything.
set -u
dir=$1
# pcscd lives in /usr/sbin, which an unprivileged user's PATH does not name on Debian.
PATH=$PATH:/usr/local/sbin:/usr/sbin:/sbin
pcscd=
fail() {
  echo "error: $*"
  [ -n "$pcscd" ] && kill "$pcscd" 2>/dev/null && kill -CONT "$pcscd" 2>/dev/null
  exit 1
}

mount --bind "$dir/run" /run || fail "cannot bind $dir/run over /run"
ip link set lo up || fail "cannot bring up the namespace's loopback"
mkdir -p "$dir/conf" "$dir/py"
cat >"$dir/conf/vpcd" <<CONF
FRIENDLYNAME "Virtual PCD"
DEVICENAME   /dev/null:0x8C7B
LIBPATH      /usr/lib/pcsc/drivers/serial/libifdvpcd.so
CHANNELID    0x8C7B
CONF
# The packaged emulator imports "Crypto"; Debian ships the same module as "Cryptodome".
ln -sfn /usr/lib/python3/dist-packages/Cryptodome "$dir/py/Crypto"

# Children die with this script (--pdeathsig), whatever ends it.
env -u LISTEN_FDS -u LISTEN_PID setpriv --pdeathsig KILL -- pcscd -f -i -c "$dir/conf" >"$dir/pcscd.log" 2>&1 &
pcscd=$!
vicc=
echo "started $pcscd"
# The daemon loads its readers before it says it is ready.
start=$SECONDS
until grep -q "daemon ready" "$dir/pcscd.log"; do
  kill -0 "$pcscd" 2>/dev/null || fail "pcscd exited: $(cat "$dir/pcscd.log")"
  [ $((SECONDS - start)) -lt 60 ] || fail "pcscd did not get ready within a minute"
  sleep 0.1 || fail "sleep failed"
done
echo ready

while read -r command; do
  case $command in
    insert)
      PYTHONPATH="$dir/py:/usr/lib/python3/site-packages/virtualsmartcard" \
        setpriv --pdeathsig KILL -- /usr/bin/python3 /usr/bin/vicc -t iso7816 >>"$dir/vicc.log" 2>&1 &
      vicc=$!
      echo inserted ;;
    remove)
      if [ -n "$vicc" ]; then kill "$vicc"; wait "$vicc" 2>/dev/null; vicc=; fi
      echo removed ;;
    stop)
      # A frozen daemon (a test's SIGSTOP) takes no SIGTERM until it runs again.
      kill "$pcscd"; kill -CONT "$pcscd"; wait "$pcscd" 2>/dev/null
      echo stopped ;;
    *) echo "error: unknown command $command" ;;
  esac
done
[ -n "$vicc" ] && kill "$vicc" 2>/dev/null
kill "$pcscd" 2>/dev/null
kill -CONT "$pcscd" 2>/dev/null
wait
