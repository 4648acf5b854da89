#!/usr/bin/env bash
# Runs every benchmark and prints one table of figures, ratios and goals.
#
#   bench/run-all.sh [BUILD_DIR]      (default build-bench; `make bench` calls this)
#
# The benchmarks themselves:
#   cipher engine beside Mbed TLS          bin/nox_bench_crypto
#   wire throughput and handshakes beside
#   a bare libmicrohttpd floor and one that
#   does the same work per request, the
#   cold page, allocations and console
#   output per request, idle wake-ups, and
#   the main-thread round trip             bench/front/run.sh (wrk; DURATION=seconds per load)
#   session latency and resident memory    bin/nox_bench_session
#   a page beside another's long call       bin/nox_bench_isolation
#   worst page inputs (CPU per check)      bin/nox_bench_worst
#   PKI list and sign round trips (SoftHSM2
#   token, alone and beside opensc with a
#   card it does not know)                 bin/nox_bench_pki
#   start-up: exec (or socket activation)
#   to the first answer; a stop signal to
#   the first refused connection           bin/nox_bench_front_startup
# Their full outputs go to BUILD_DIR/bench-logs/. The service benchmarks start the service
# on its fixed ports and wait for the service-test lock themselves.
# Exit status: 0 when every benchmark ran and gave its figures (a missed goal is shown in
# the table, not turned into a failure); 1 otherwise.
set -uo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${1:-$ROOT/build-bench}
case "$BUILD" in /*) ;; *) BUILD=$ROOT/$BUILD ;; esac
LOGS=$BUILD/bench-logs
ROWS=$(mktemp /tmp/nox_bench_rows_XXXXXX)
trap 'rm -f "$ROWS"' EXIT
failed=0

bash "$ROOT/scripts/setup.sh" bench || exit 1
cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DNOX_BUILD_BENCH=ON >/dev/null || exit 1
cmake --build "$BUILD" -j2 --target NoxHalvorant nox_adapters nox_bench_crypto nox_bench_front_floor \
  nox_bench_front_mainthread nox_bench_front_client nox_bench_alloc_count nox_bench_session nox_bench_isolation \
  nox_bench_pki nox_bench_worst nox_bench_front_startup >/dev/null || { echo "run-all: build failed" >&2; exit 1; }
mkdir -p "$LOGS"

# row area measure ours reference ratio goal verdict  (one "|"-separated line)
row() { printf '%s|%s|%s|%s|%s|%s|%s\n' "$@" >>"$ROWS"; }
broken() {  # area what log
  row "$1" "$2: did not run, see $3" "-" "-" "-" "-" "FAILED"
  failed=1
}

# ---- Cipher engine ------------------------------------------------------------------------
echo "run-all: cipher engine beside Mbed TLS" >&2
if "$BUILD/bin/nox_bench_crypto" >"$LOGS/crypto.txt" 2>&1 && ! grep -q MISMATCH "$LOGS/crypto.txt" &&
  grep -q '^Goal' "$LOGS/crypto.txt"; then
  # Rows: a 28-character case name, ours MB/s, Mbed TLS MB/s, ratio (our time / theirs), path.
  awk '
    /^(AES|3DES|RC4)/ {
      name = substr($0, 1, 28); sub(/ +$/, "", name)
      split(substr($0, 29), f, " ")
      goal = "-"; verdict = "info"
      if (name ~ /\(tables\)/) { goal = "<= 1.50x"; verdict = (f[3] + 0 <= 1.5) ? "met" : "MISSED" }
      else if (name ~ /^AES/) { name = name ((f[5] ~ /AES-NI/) ? " vs AES-NI" : " vs library call") }
      printf "cipher|%s|%s MB/s|%s MB/s|%s|%s|%s\n", name, f[1], f[2], f[3], goal, verdict
    }' "$LOGS/crypto.txt" >>"$ROWS"
else
  broken cipher "nox_bench_crypto" "$LOGS/crypto.txt"
fi

# ---- Wire: throughput, handshakes, main-thread round trip -------------------------------------
echo "run-all: wire loads beside the libmicrohttpd floors (bench/front/run.sh)" >&2
if BUILD="$BUILD" bash "$ROOT/bench/front/run.sh" >"$LOGS/front.txt" 2>&1 && grep -q '^main-thread mode' "$LOGS/front.txt"; then
  # Table rows: load server req/s p50 p99 CPU-us/req CPU/bare CPU/same errors (floor, same-work floor,
  # service). Kept-alive requests are judged against the floor that does the same work, new
  # connections (the handshake's cost) against the bare one; the other ratio is shown beside.
  awk '
    $2 == "floor"     { fr[$1] = $3; fc[$1] = $6 }
    $2 == "same-work" { wc[$1] = $6 }
    $2 == "service" {
      load = $1; fresh = load ~ /^new-conn/; kind = fresh ? "new TLS connection each" : "keep-alive"
      split(load, lc, "/")
      limit = fresh ? 1.10 : 1.15
      judged = fresh ? fc[load] : wc[load]; other = fresh ? wc[load] : fc[load]
      ratio = sprintf("%.2f", (judged > 0) ? $6 / judged : 0) + 0  # judged as shown
      verdict = ($9 + 0 > 0) ? "ERRORS " $9 : ((ratio <= limit) ? "met" : "MISSED")
      printf "wire|Echo, %s, %s conn: CPU/request vs %s floor|%.1f us|%.1f us|%.2fx|<= %.2fx|%s\n", kind, lc[2],
             fresh ? "bare" : "same-work", $6, judged, ratio, limit, verdict
      printf "wire|Echo, %s, %s conn: CPU/request vs %s floor|%.1f us|%.1f us|%.2fx|-|info\n", kind, lc[2],
             fresh ? "same-work" : "bare", $6, other, (other > 0) ? $6 / other : 0
      printf "wire|Echo, %s, %s conn: req/s (p50 %s, p99 %s ms)|%s|%s|%.2fx|-|info\n", kind, lc[2], $4, $5, $3,
             fr[load],
             (fr[load] > 0) ? $3 / fr[load] : 0
    }
    /^main-thread mode/ {
      for (i = 1; i <= NF; i++) if ($i == "adds") added = $(i + 1)
      for (i = 1; i <= NF; i++) if ($i == "direct,") direct = $(i - 2)
      printf "main thread|Echo round trip added by the hand-off (p50)|%s ms|%s ms direct|-|< 2 ms|%s\n", added,
             direct, (added + 0 < 2) ? "met" : "MISSED"
    }
    # "cold page: service p50 S ms p99 S ms, floor p50 F ms p99 F ms: ..."
    /^cold page:/ {
      split("p50 p99", q, " ")
      ours[1] = $5; ours[2] = $8; ref[1] = $12; ref[2] = $15
      for (k = 1; k <= 2; k++) {
        ratio = sprintf("%.2f", (ref[k] > 0) ? ours[k] / ref[k] : 0) + 0
        printf "wire|cold page: new TLS connection, open, call, release (%s)|%s ms|%s ms|%.2fx|<= 1.30x|%s\n", q[k],
               ours[k], ref[k], ratio, (ratio <= 1.30) ? "met" : "MISSED"
      }
    }
    /^per kept-alive request:/ {
      printf "wire|allocations per kept-alive Echo request (reference: bare floor)|%s (%s bytes)|%s (%s bytes)|-|-|info\n", $5, $7, $10, $12
      printf "wire|allocations per kept-alive Echo request (reference: same-work floor)|%s (%s bytes)|%s (%s bytes)|-|-|info\n", $5, $7, $16, $18
    }
    /^console per kept-alive request:/ {
      printf "wire|console per kept-alive Echo request|%s bytes, %s lines|%s bytes, %s lines same-work|-|-|info\n", $5, $7,
             $11, $13
    }
    /^idle wake-ups:/ {
      printf "idle|wake-ups in %s s, nothing pending (all threads)|%s|%s floor|-|<= 3|%s\n", $8, $4, $6,
             ($4 + 0 <= 3) ? "met" : "MISSED"
    }' "$LOGS/front.txt" >>"$ROWS"
else
  broken wire "bench/front/run.sh" "$LOGS/front.txt"
fi

# ---- Start-up ---------------------------------------------------------------------------------
echo "run-all: start-up, exec or socket activation to the first answer; the stop signal" >&2
if "$BUILD/bin/nox_bench_front_startup" 20 >"$LOGS/startup.txt" 2>&1 && grep -q '^stop' "$LOGS/startup.txt"; then
  awk '
    /^first-start/ { printf "start|first start (makes CA and key): exec to first answer|%s ms|-|-|-|info\n", $2 }
    /^later-start/ {
      printf "start|exec to first answer, files exist: median / max of 20|%s / %s ms|-|-|< 100 ms|%s\n", $2, $3,
             ($3 + 0 < 100) ? "met" : "MISSED"
    }
    /^activation/ {
      printf "start|first request after socket activation: median / max of 20|%s / %s ms|-|-|< 100 ms|%s\n", $2,
             $3, ($3 + 0 < 100) ? "met" : "MISSED"
    }
    /^stop/ {
      printf "stop|SIGTERM to the first refused connection: median / max of 20|%s / %s ms|-|-|<= 5 ms|%s\n", $2, $3,
             ($3 + 0 <= 5) ? "met" : "MISSED"
    }' "$LOGS/startup.txt" >>"$ROWS"
else
  broken start "nox_bench_front_startup" "$LOGS/startup.txt"
fi

# ---- Session latency and memory ------------------------------------------------------------
echo "run-all: session latency and resident memory" >&2
if "$BUILD/bin/nox_bench_session" >"$LOGS/session.txt" 2>&1 && grep -q '^open beyond call' "$LOGS/session.txt"; then
  # The floor's idle resident memory (bench/front/run.sh) is the reference of the idle row.
  floor_idle=$(awk '/^resident idle:/ { print $7 }' "$LOGS/front.txt" 2>/dev/null)
  awk -v floor="${floor_idle:--}" '
    function after(word,   i) { for (i = 1; i < NF; i++) if ($i == word) return $(i + 1); return "?" }
    /^session open/ { open50 = after("median"); open99 = after("p99") }
    /^call on an open session/ { call50 = after("median"); call99 = after("p99") }
    /^open beyond call/ { beyond = after("median") }
    /^resident memory idle/ { idle = $4 }
    /^resident memory, 32 sessions/ { full = $6 }
    END {
      printf "session|open (copy, load, version, Echo): median / p99|%s / %s ms|-|-|-|info\n", open50, open99
      printf "session|Digest on an open session: median / p99|%s / %s ms|-|-|-|info\n", call50, call99
      printf "session|open beyond a call (median)|%s ms|-|-|< 2 ms|%s\n", beyond, (beyond + 0 < 2) ? "met" : "MISSED"
      printf "memory|service resident, idle|%s KiB|%s KiB floor|-|<= 8192 KiB|%s\n", idle, floor,
             (idle + 0 <= 8192) ? "met" : "MISSED"
      printf "memory|service resident, 32 sessions open|%s KiB|-|-|<= 12288 KiB|%s\n", full,
             (full + 0 <= 12288) ? "met" : "MISSED"
    }' "$LOGS/session.txt" >>"$ROWS"
  # Why idle memory stands where it does: file pages (mostly the shared libraries both load,
  # GnuTLS, libc, libstdc++) against anonymous pages (heaps, the stacks of the threads).
  awk '/^resident idle parts:/ {
    printf "memory|idle resident, parts: file pages (shared libraries), anonymous (heaps, thread stacks)|%s + %s KiB, %s threads|%s + %s KiB, %s threads floor|-|-|info\n",
           $5, $9, $12, $15, $19, $22 }' "$LOGS/front.txt" >>"$ROWS" 2>/dev/null
else
  broken session "nox_bench_session" "$LOGS/session.txt"
fi

# ---- A page beside another page's long call ----------------------------------------------------
echo "run-all: a page beside another page's long call" >&2
if "$BUILD/bin/nox_bench_isolation" >"$LOGS/isolation.txt" 2>&1 && grep -q '^beside beyond idle' "$LOGS/isolation.txt"; then
  awk '
    /^page round idle:/ { idle = $5 }
    /^page round beside/ { beside = $8 }
    /^beside beyond idle:/ { extra = $5 }
    END {
      printf "isolation|page round (new session, call, value store) beside a main-thread call, median|%s ms|%s ms idle|-|< +50 ms|%s\n", beside, idle,
             (extra + 0 < 50) ? "met" : "MISSED"
    }' "$LOGS/isolation.txt" >>"$ROWS"
else
  broken isolation "nox_bench_isolation" "$LOGS/isolation.txt"
fi

# ---- PKI sign round trip ----------------------------------------------------------------------
echo "run-all: PKI list and sign round trips (SoftHSM2 token, alone and beside opensc)" >&2
if "$BUILD/bin/nox_bench_pki" >"$LOGS/pki.txt" 2>&1 && grep -q '^opensc sign ES256' "$LOGS/pki.txt"; then
  # "<run> list median M p99 P" and "<run> sign <alg> median M p99 P"; beside opensc with a
  # card it does not know, the goal is a median of at most 300 ms without dialog time.
  awk '
    $2 == "list" { what = "ListCertificates"; m = $4; p = $6 }
    $2 == "sign" { what = "Sign " $3 " (dialog answered at once, login, signature)"; m = $5; p = $7 }
    $2 == "list" || $2 == "sign" {
      if ($1 == "opensc") {
        printf "pki|%s, opensc with a foreign card registered: median / p99|%s / %s ms|-|-|<= 300 ms|%s\n", what, m, p,
               (m + 0 <= 300) ? "met" : "MISSED"
      } else {
        printf "pki|%s, SoftHSM2 alone: median / p99|%s / %s ms|-|-|-|info\n", what, m, p
      }
    }' "$LOGS/pki.txt" >>"$ROWS"
else
  broken pki "nox_bench_pki" "$LOGS/pki.txt"
fi

# ---- Worst page inputs -----------------------------------------------------------------------
echo "run-all: worst page inputs (domain lists, 1 MiB request)" >&2
if "$BUILD/bin/nox_bench_worst" >"$LOGS/worst.txt" 2>&1 && grep -q '^request' "$LOGS/worst.txt"; then
  # "domain check  <case, 44 wide> <ms> ms  <verdict>  (goal ...)"; "request  <case> <ms> ms  (...)".
  awk '
    /^domain check/ {
      name = substr($0, 15, 44); sub(/ +$/, "", name)
      split(substr($0, 59), f, " ")
      verdict = (f[1] + 0 <= 10) ? "met" : "MISSED"
      printf "worst input|domain check, %s (%s)|%s ms|-|-|<= 10 ms|%s\n", name, (f[3] == "accepted") ? "accepted" : "refused", f[1], verdict
    }
    /^request/ {
      name = substr($0, 15, 44); sub(/ +$/, "", name)
      split(substr($0, 59), f, " ")
      printf "worst input|%s: read, display, decode|%s ms|-|-|<= 50 ms|%s\n", name, f[1], (f[1] + 0 <= 50) ? "met" : "MISSED"
    }' "$LOGS/worst.txt" >>"$ROWS"
else
  broken worst "nox_bench_worst" "$LOGS/worst.txt"
fi

# ---- The table ---------------------------------------------------------------------------------
echo
echo "NoxHalvorant benchmarks, $(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores, $(git -C "$ROOT" rev-parse --short HEAD 2>/dev/null)"
echo "ratio: cipher = our time / Mbed TLS time; wire = service / floor; logs in ${LOGS#"$ROOT"/}"
echo
awk -F'|' '
  { for (i = 1; i <= 7; i++) { cell[NR, i] = $i; if (length($i) > w[i]) w[i] = length($i) } }
  END {
    split("area|measure|ours|reference|ratio|goal|verdict", head, "|")
    for (i = 1; i <= 7; i++) if (length(head[i]) > w[i]) w[i] = length(head[i])
    line = ""; rule = ""
    for (i = 1; i <= 7; i++) {
      line = line sprintf("%-" w[i] "s  ", head[i])
      dashes = sprintf("%" w[i] "s", ""); gsub(/ /, "-", dashes); rule = rule dashes "  "
    }
    print line; print rule
    for (r = 1; r <= NR; r++) {
      line = ""
      for (i = 1; i <= 7; i++) line = line sprintf("%-" w[i] "s  ", cell[r, i])
      print line
    }
  }' "$ROWS"
exit $failed
