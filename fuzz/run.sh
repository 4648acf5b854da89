#!/usr/bin/env bash
# Runs every fuzz target for a bounded time, two at a time (one per core).
#   fuzz/run.sh <dir with the built targets> [seconds per target, default 60]
# Seeds come from fuzz/corpus/<target>/ (read only); what a run learns goes to
# fuzz/out/<target>/corpus, crash inputs to fuzz/out/<target>/, the log to
# fuzz/out/<target>.log. Exit status 1 when any target crashed, leaked, timed out or
# failed to start; the failing logs' tails are printed.
set -uo pipefail
bin=$(cd "${1:?usage: fuzz/run.sh <target dir> [seconds]}" && pwd) || exit 1
cd "$(dirname "$0")"
seconds=${2:-60}
jobs=${FUZZ_JOBS:-2}
targets=(fuzz_json_map fuzz_encoding fuzz_request fuzz_ini fuzz_domain fuzz_cipher fuzz_version)

run_one() {
  local t=$1 out=out/$1
  mkdir -p "$out/corpus"
  # -timeout: one input may take 10 s at most (a slow pattern is a fault too).
  # -rss_limit_mb: a runaway allocation fails instead of swapping the machine.
  "$bin/$t" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix="$out/" "$out/corpus" "corpus/$t" >"out/$t.log" 2>&1
  echo $? >"out/$t.status"
}

mkdir -p out
running=0
for t in "${targets[@]}"; do
  if [ ! -x "$bin/$t" ]; then
    echo "fuzz: $bin/$t is missing" >&2
    exit 1
  fi
  rm -f "out/$t.status"
  run_one "$t" &
  running=$((running + 1))
  if [ "$running" -ge "$jobs" ]; then
    wait -n
    running=$((running - 1))
  fi
done
wait

failed=0
for t in "${targets[@]}"; do
  status=$(cat "out/$t.status" 2>/dev/null || echo 1)
  runs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "out/$t.log" | grep -o '[0-9]*$' || true)
  if [ "$status" = 0 ]; then
    printf 'fuzz: %-14s ok, %s runs in %ss\n' "$t" "${runs:-?}" "$seconds"
  else
    printf 'fuzz: %-14s FAILED (status %s), log fuzz/out/%s.log\n' "$t" "$status" "$t"
    tail -n 40 "out/$t.log"
    failed=1
  fi
done
exit $failed
