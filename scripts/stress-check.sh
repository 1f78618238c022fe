#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs the whole suite (scripts/test.sh) several times in a row while every CPU
# is kept busy by a load generator started beside it, and stops at the first
# failure. A test whose outcome depends on scheduling fails here sooner or
# later; the suite must pass every run. Needs root, as scripts/test.sh does.
#
#   sudo scripts/stress-check.sh [RUNS]      # RUNS defaults to 5
#
# STRESS_LOAD_JOBS sets the number of load generators (default: one per CPU).
set -euo pipefail
cd "$(dirname "$0")/.."

runs=${1:-5}
if ! [[ "$runs" =~ ^[1-9][0-9]*$ ]]; then
    echo "usage: scripts/stress-check.sh [RUNS]" >&2
    exit 2
fi
if [ "$(id -u)" -ne 0 ]; then
    echo "scripts/stress-check.sh must run as root (scripts/test.sh needs it)" >&2
    exit 1
fi
jobs=${STRESS_LOAD_JOBS:-$(nproc)}
if ! [[ "$jobs" =~ ^[1-9][0-9]*$ ]]; then
    echo "STRESS_LOAD_JOBS must be a positive number" >&2
    exit 2
fi

# Load generators: each hashes an endless stream, one CPU's worth of work.
# They are ended by PID, whatever way this script ends.
load_pids=()
stop_load() {
    local pid
    for pid in "${load_pids[@]}"; do
        kill "$pid" 2>/dev/null || true
    done
    for pid in "${load_pids[@]}"; do
        wait "$pid" 2>/dev/null || true
    done
    load_pids=()
}
trap stop_load EXIT
trap 'exit 130' INT TERM

for _ in $(seq "$jobs"); do
    sha256sum /dev/zero >/dev/null &
    load_pids+=("$!")
done
echo "stress-check: $jobs load generators (PIDs ${load_pids[*]}), $runs runs"

for run in $(seq "$runs"); do
    echo "=== stress-check: run $run of $runs ==="
    start=$(date +%s)
    if ! scripts/test.sh; then
        echo "stress-check: run $run of $runs FAILED after $(( $(date +%s) - start )) s" >&2
        exit 1
    fi
    echo "=== stress-check: run $run of $runs passed in $(( $(date +%s) - start )) s ==="
done
echo "stress-check: all $runs runs passed under load"
