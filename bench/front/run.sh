#!/usr/bin/env bash
# Front-end load benchmark: the service against two libmicrohttpd TLS floors, with wrk.
#
#   bench/front/run.sh   (BUILD=dir to choose the build tree, DURATION=seconds per load,
#                         ROUNDS=times each load runs on each server)
#
# The floors (bench/front/floor_server.cpp): the bare one reads the body and answers a fixed
# text; the same-work one also does what every request of the service must do (the form
# field read by the library's form parser, Base64 and JSON decoded, 17 console lines of
# about 1.2 KB in one write, three Base64 values answered with the service's headers).
# Loads, each against the three servers on 127.0.0.1 (TLS 1.3):
#   keep-alive, 1 and 8 connections: Echo on an open session, one connection reused;
#   new connection, 1 and 8 connections: the same request with "Connection: close".
#   cold page (COLD_CYCLES cycles on each, alternating): a new TLS connection, then a session
#   opened, one call and the release on the service; a new connection and three requests on
#   the floor (bench/front/bench_client.cpp).
#   counted (COUNT kept-alive Echo requests, one connection): each server restarted with the
#   allocation counter preloaded (bench/front/alloc_count.c), allocations per request, and
#   the console bytes and lines per request of the service and the same-work floor (console
#   to a file).
# Idle wake-ups: after a session was opened and its connection closed, the context switches
# of every thread (/proc/PID/task/*/status) over IDLE_SECONDS with nothing pending, for the
# service and the bare floor.
# Server CPU is read from /proc (all threads, ns) around each load; the consoles go to
# files. The machine is shared, so each load runs ROUNDS times on each server, the servers
# taking turns (which one goes first rotates); the table shows the median of each figure,
# the lines under it the CPU ratios of every round.
# Then the main-thread probe: what the hand-off adds to a call's round trip. Resident memory
# of both servers idle, right after start, is printed too.
# Starts the service on its fixed ports: it waits for the service-test lock, like the tests.
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/../.." && pwd)
BUILD=${BUILD:-$ROOT/build-bench-front}
DURATION=${DURATION:-5}
ROUNDS=${ROUNDS:-3}
COLD_CYCLES=${COLD_CYCLES:-200}
COUNT=${COUNT:-2000}
IDLE_SECONDS=${IDLE_SECONDS:-30}
PORT=54469
FLOOR_PORT=54479
SAME_PORT=54489

bash "$ROOT/scripts/setup.sh" bench
cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DNOX_BUILD_BENCH=ON >/dev/null
cmake --build "$BUILD" -j2 --target NoxHalvorant nox_adapters nox_bench_front_floor nox_bench_front_mainthread \
  nox_bench_front_client nox_bench_alloc_count >/dev/null
CLIENT="$BUILD/bin/nox_bench_front_client"
COUNTER_LIB="$BUILD/bench-lib/libnox_bench_alloc_count.so"

exec 9>/tmp/NoxHalvorant-service-test.lock
flock -w 600 9 || { echo "run.sh: the service ports stay busy" >&2; exit 1; }

WORK=$(mktemp -d /tmp/nox_bench_front_XXXXXX)
# The service's (and the floor's) certificate: made by the first start in this run's own
# data home, never in the home of whoever runs the benchmark.
export XDG_DATA_HOME="$WORK/data"
HAD_WORKDIR=0
[ -d /tmp/NoxHalvorant ] && HAD_WORKDIR=1
SERVICE_PID=""
FLOOR_PID=""
SAME_PID=""
cleanup() {
  for pid in $SERVICE_PID $FLOOR_PID $SAME_PID; do
    kill -TERM "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  rm -rf "$WORK"
  # Emptied, never removed: another user of the directory (a running service) keeps it.
  [ "$HAD_WORKDIR" = 1 ] || find /tmp/NoxHalvorant -mindepth 1 -maxdepth 1 -exec rm -rf {} +
}
trap cleanup EXIT

# CPU time of a process, all threads, in ns.
cpu_ns() {
  local total=0 t
  for t in /proc/"$1"/task/*/schedstat; do
    total=$((total + $(cut -d' ' -f1 "$t")))
  done
  echo "$total"
}

wait_for() {  # file text seconds
  local i
  for ((i = 0; i < $3 * 20; i++)); do
    sed 's/\x1b\[[0-9;]*m//g' "$1" 2>/dev/null | grep -q "$2" && return 0
    sleep 0.05
  done
  echo "run.sh: no '$2' in $1" >&2
  return 1
}

# Resident memory of a process, KiB: total, anonymous (heaps, thread stacks), then its
# thread count; the rest of the total is file pages, mostly the shared libraries' code.
resident_kib() {
  printf '%s %s %s\n' "$(awk '/^VmRSS:/ { print $2 }' /proc/"$1"/status)" \
    "$(awk '/^Anonymous:/ { print $2 }' /proc/"$1"/smaps_rollup)" "$(ls /proc/"$1"/task | wc -l)"
}

# The service, from a copy beside its adapters, console to a file; extra environment
# (the allocation counter) as arguments. Sets SERVICE_PID.
start_service() {
  cp "$BUILD/bin/NoxHalvorant" "$WORK/"
  cp -r "$BUILD/bin/Nox" "$WORK/"
  env "$@" "$WORK/NoxHalvorant" >"$WORK/console.log" 2>&1 &
  SERVICE_PID=$!
  wait_for "$WORK/console.log" "initialization: Success" 30
}
start_floor() {  # sets FLOOR_PID and SAME_PID
  env "$@" "$BUILD/bin/nox_bench_front_floor" "$FLOOR_PORT" bare >"$WORK/floor.log" 2>&1 &
  FLOOR_PID=$!
  wait_for "$WORK/floor.log" "floor ready" 30
  env "${@/floor.counts/same.counts}" "$BUILD/bin/nox_bench_front_floor" "$SAME_PORT" same-work >"$WORK/same.log" 2>&1 &
  SAME_PID=$!
  wait_for "$WORK/same.log" "floor ready" 30
}

# Context switches of every thread of a process, voluntary and not.
switches() { cat /proc/"$1"/task/*/status 2>/dev/null | awk '/ctxt_switches/ { n += $2 } END { print n + 0 }'; }
stop() {  # pid
  kill -TERM "$1" 2>/dev/null || true
  wait "$1" 2>/dev/null || true
}

# An open session for the Echo loads; sets SESSION.
CA="$XDG_DATA_HOME/noxhalvorant/NoxHalvorant-CA.pem"
ECHO='{"FunctionName":"Echo","PathID":"3A61F0B2C94E4D7B8E05A1C2D3F40516","minServerVersion":"1.0.0.0"'
open_session() {
  local answer
  answer=$(curl -s --cacert "$CA" --resolve "localhost:$PORT:127.0.0.1" "https://localhost:$PORT/" \
    -H 'Origin: https://bench.test' --data-urlencode "Parameter=$(printf '%s}' "$ECHO" | base64 -w0)")
  SESSION=$(printf '%s' "$answer" | sed -n 's/.*"SessionID": "\([^"]*\)".*/\1/p' | base64 -d)
  [ -n "$SESSION" ] || { echo "run.sh: no session: $answer" >&2; exit 1; }
}

start_service
start_floor
sleep 0.5  # settled: start-up's transient memory released
IDLE="$(resident_kib "$SERVICE_PID") $(resident_kib "$FLOOR_PID")"
open_session
# Nothing pending now (the session waits for its page, curl has closed its connection).
sleep 0.5
w0="$(switches "$SERVICE_PID") $(switches "$FLOOR_PID")"
sleep "$IDLE_SECONDS"
w1="$(switches "$SERVICE_PID") $(switches "$FLOOR_PID")"
WAKEUPS=$(echo "$w0 $w1" | awk '{ print $3 - $1, $4 - $2 }')
BODY="Parameter=$(printf '%s,"SessionId":"%s"}' "$ECHO" "$SESSION" | base64 -w0 | sed 's/+/%2B/g; s/\//%2F/g; s/=/%3D/g')"

script() {  # keepalive|close -> lua file
  local file="$WORK/$1.lua"
  {
    echo 'wrk.method = "POST"'
    echo "wrk.body = \"$BODY\""
    echo 'wrk.headers["Content-Type"] = "application/x-www-form-urlencoded"'
    echo 'wrk.headers["Origin"] = "https://bench.test"'
    echo "wrk.headers[\"Host\"] = \"localhost:$PORT\""
    [ "$1" = close ] && echo 'wrk.headers["Connection"] = "close"'
    echo 'done = function(summary, latency, requests)'
    echo '  io.write(string.format("RESULT %d %d %.1f %.1f\n", summary.requests,'
    echo '    summary.errors.connect + summary.errors.read + summary.errors.write + summary.errors.status'
    echo '    + summary.errors.timeout, latency:percentile(50), latency:percentile(99)))'
    echo 'end'
  } >"$file"
  echo "$file"
}
KEEPALIVE=$(script keepalive)
CLOSE=$(script close)

# load name server pid port connections script round -> one row in $WORK/runs
run_load() {
  local load=$1 server=$2 pid=$3 port=$4 conns=$5 lua=$6 round=$7 threads=1
  [ "$conns" -gt 1 ] && threads=2
  local before after out
  before=$(cpu_ns "$pid")
  out=$(wrk -t"$threads" -c"$conns" -d"${DURATION}s" -s "$lua" "https://127.0.0.1:$port/")
  after=$(cpu_ns "$pid")
  local line
  line=$(printf '%s\n' "$out" | grep '^RESULT') || { echo "run.sh: wrk: $out" >&2; exit 1; }
  read -r _ requests errors p50 p99 <<<"$line"
  echo "$load $server $round $requests $errors $p50 $p99 $((after - before))" >>"$WORK/runs"
}

# Median of the numbers on stdin (the lower middle one for an even count).
median() { sort -g | awk '{ v[NR] = $1 } END { print (NR > 0) ? v[int((NR + 1) / 2)] : 0 }'; }

: >"$WORK/runs"
: >"$WORK/rows"
: >"$WORK/rounds"
for load_def in "keep-alive:1:$KEEPALIVE" "keep-alive:8:$KEEPALIVE" "new-conn:1:$CLOSE" "new-conn:8:$CLOSE"; do
  IFS=: read -r load conns lua <<<"$load_def"
  for ((round = 1; round <= ROUNDS; round++)); do
    servers=("floor $FLOOR_PID $FLOOR_PORT" "same-work $SAME_PID $SAME_PORT" "service $SERVICE_PID $PORT")
    for ((k = 0; k < 3; k++)); do
      read -r name pid port <<<"${servers[$(((round + k) % 3))]}"
      run_load "$load/$conns" "$name" "$pid" "$port" "$conns" "$lua" "$round"
    done
  done
  # One row per server with the median of each figure; CPU as ns per request.
  for server in floor same-work service; do
    awk -v l="$load/$conns" -v s=$server '$1 == l && $2 == s' "$WORK/runs" >"$WORK/mine"
    requests=$(awk '{ print $4 }' "$WORK/mine" | median)
    errors=$(awk '{ e += $5 } END { print e + 0 }' "$WORK/mine")
    p50=$(awk '{ print $6 }' "$WORK/mine" | median)
    p99=$(awk '{ print $7 }' "$WORK/mine" | median)
    cpu=$(awk '{ print ($4 > 0) ? $8 / $4 : 0 }' "$WORK/mine" | median)
    echo "$load/$conns $server $requests $errors $p50 $p99 $cpu" >>"$WORK/rows"
  done
  awk -v l="$load/$conns" '$1 == l { c[$2 " " $3] = ($4 > 0) ? $8 / $4 : 0; r[$3] = 1 }
    END { split("same-work floor", f, " ")
          for (k = 1; k <= 2; k++) {
            printf "%-13s CPU ratio to the %s floor by round:", l, (f[k] == "floor") ? "bare" : f[k]
            for (i = 1; i in r; i++) printf " %.2fx", (c[f[k] " " i] > 0) ? c["service " i] / c[f[k] " " i] : 0
            printf "\n"
          } }' "$WORK/runs" >>"$WORK/rounds"
done

MAINTHREAD=$("$BUILD/bin/nox_bench_front_mainthread" "$PORT" 200)
COLD=$("$CLIENT" cold "$PORT" "$FLOOR_PORT" "$COLD_CYCLES")

# Counted requests: both servers again, each with the allocation counter preloaded (not
# during the timed loads above: the counter costs CPU). The counters' file is read by the
# client around its requests; the console file's growth over them is the service's.
stop "$SERVICE_PID"
stop "$FLOOR_PID"
stop "$SAME_PID"
SERVICE_PID=""
FLOOR_PID=""
SAME_PID=""
head -c 16 /dev/zero >"$WORK/service.counts"
head -c 16 /dev/zero >"$WORK/floor.counts"
head -c 16 /dev/zero >"$WORK/same.counts"
start_service LD_PRELOAD="$COUNTER_LIB" NOX_ALLOC_COUNT_FILE="$WORK/service.counts"
start_floor LD_PRELOAD="$COUNTER_LIB" NOX_ALLOC_COUNT_FILE="$WORK/floor.counts"
open_session
"$CLIENT" keep "$PORT" 20 "$SESSION" >/dev/null  # warm-up: first-use allocations of each path
sleep 0.2
bytes0=$(stat -c %s "$WORK/console.log")
lines0=$(wc -l <"$WORK/console.log")
SERVICE_COUNT=$("$CLIENT" keep "$PORT" "$COUNT" "$SESSION" "$WORK/service.counts")
sleep 0.3  # the worker's console flush after the last answer
bytes1=$(stat -c %s "$WORK/console.log")
lines1=$(wc -l <"$WORK/console.log")
"$CLIENT" keep "$FLOOR_PORT" 20 "$SESSION" >/dev/null
FLOOR_COUNT=$("$CLIENT" keep "$FLOOR_PORT" "$COUNT" "$SESSION" "$WORK/floor.counts")
"$CLIENT" keep "$SAME_PORT" 20 "$SESSION" >/dev/null
sbytes0=$(stat -c %s "$WORK/same.log")
slines0=$(wc -l <"$WORK/same.log")
SAME_COUNT=$("$CLIENT" keep "$SAME_PORT" "$COUNT" "$SESSION" "$WORK/same.counts")
sbytes1=$(stat -c %s "$WORK/same.log")
slines1=$(wc -l <"$WORK/same.log")
CONSOLE="$((bytes1 - bytes0)) $((lines1 - lines0)) $((sbytes1 - sbytes0)) $((slines1 - slines0))"

awk -v d="$DURATION" -v mt="$MAINTHREAD" -v rounds="$WORK/rounds" -v cold="$COLD" -v idle="$IDLE" \
  -v sc="$SERVICE_COUNT" -v fc="$FLOOR_COUNT" -v wc="$SAME_COUNT" -v console="$CONSOLE" -v wake="$WAKEUPS" \
  -v wakes="$IDLE_SECONDS" '
  { load[NR] = $1; server[NR] = $2; req[NR] = $3; err[NR] = $4; p50[NR] = $5 / 1000; p99[NR] = $6 / 1000
    cpu[NR] = $7 / 1000 }
  END {
    # Ratios: the service to each floor, the same-work floor to the bare one.
    printf "%-13s %-9s %10s %9s %9s %14s %12s %12s %7s\n", "load", "server", "req/s", "p50 ms", "p99 ms",
           "CPU us/req", "CPU/bare", "CPU/same", "errors"
    for (i = 1; i <= NR; i++) {
      b = (server[i] == "floor") ? i : ((server[i] == "same-work") ? i - 1 : i - 2)
      w = (server[i] == "service") ? i - 1 : i
      printf "%-13s %-9s %10.0f %9.3f %9.3f %14.1f %11.2fx %11.2fx %7d\n", load[i], server[i], req[i] / d, p50[i],
             p99[i], cpu[i], (cpu[b] > 0) ? cpu[i] / cpu[b] : 0, (cpu[w] > 0) ? cpu[i] / cpu[w] : 0, err[i]
    }
    while ((getline line < rounds) > 0) print line
    split(mt, m, " ")
    printf "\nmain-thread mode: Echo round trip p50 %.3f ms direct, %.3f ms on the main thread: adds %.3f ms\n",
           m[2], m[3], m[4]
    split(cold, cl, " ")
    printf "cold page: service p50 %.3f ms p99 %.3f ms, floor p50 %.3f ms p99 %.3f ms: ratio p50 %.2fx p99 %.2fx\n",
           cl[3], cl[4], cl[6], cl[7], (cl[6] > 0) ? cl[3] / cl[6] : 0, (cl[7] > 0) ? cl[4] / cl[7] : 0
    split(sc, sv, " "); split(fc, fl, " "); split(wc, sw, " "); split(console, cn, " ")
    printf "per kept-alive request: service %.1f allocations %.0f bytes, floor %.1f allocations %.0f bytes, same-work floor %.1f allocations %.0f bytes\n",
           sv[4] / sv[2], sv[6] / sv[2], fl[4] / fl[2], fl[6] / fl[2], sw[4] / sw[2], sw[6] / sw[2]
    printf "console per kept-alive request: %.0f bytes %.1f lines, same-work floor %.0f bytes %.1f lines\n",
           cn[1] / sv[2], cn[2] / sv[2], cn[3] / sw[2], cn[4] / sw[2]
    split(wake, wk, " ")
    printf "idle wake-ups: service %d floor %d in %d s (all threads, nothing pending)\n", wk[1], wk[2], wakes
    split(idle, rs, " ")
    printf "resident idle: service %d KiB floor %d KiB\n", rs[1], rs[4]
    printf "resident idle parts: service %d KiB file pages %d KiB anonymous %d threads, floor %d KiB file pages %d KiB anonymous %d threads\n",
           rs[1] - rs[2], rs[2], rs[3], rs[4] - rs[5], rs[5], rs[6]
    printf "goals: keep-alive CPU/request <= 1.15x the same-work floor, new-connection CPU/request <= 1.10x the bare\n"
    printf "       floor, main thread < 2 ms, cold page <= 1.30x floor at p50 and p99, at most 3 idle wake-ups in 30 s\n"
  }' "$WORK/rows"
