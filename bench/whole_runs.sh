#!/usr/bin/env bash
# Whole runs of vesk-sim to 180 ms on the three benchmark contracts (and on
# the example model with its question-answering scenario): wall time, CPU
# time and peak resident memory as /usr/bin/time -v reports them.
#
#   bench/whole_runs.sh [BUILD_DIR]      (default: build-bench; `make bench-whole`)
#
# BUILD_DIR must hold vesk-sim and make_contract. The contracts are the
# files bench/bench_contracts.hpp uses (BUILD_DIR/bench/contracts), generated
# here with the same options when missing or older than make_contract. The
# output CSVs go to a temporary directory that is removed afterwards; the
# 100,000-node run writes about 1.6 GB there ($TMPDIR, default /tmp).
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$repo/build-bench}" && pwd)
sim=$build/vesk-sim
make_contract=$build/make_contract
contracts=$build/bench/contracts
time_cmd=/usr/bin/time

for f in "$sim" "$make_contract" "$time_cmd"; do
    [ -x "$f" ] || { echo "whole_runs.sh: $f not found (make bench-build)" >&2; exit 1; }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/vesk-whole-runs.XXXXXX")
trap 'rm -rf "$work"' EXIT

# contract LABEL NODES DEGREE: path of the generated contract
. "$repo/bench/contracts.sh"
contract() { bench_contract "$make_contract" "$contracts" "$@"; }

printf '%s\n' "Machine: $(lscpu | sed -n 's/^Model name: *//p'), $(nproc) CPUs; $(date -u '+%Y-%m-%d %H:%M UTC')"
printf '%-22s %8s %10s %10s %14s %12s\n' run nodes "wall s" "cpu s" "peak RSS MiB" "output MiB"

# measure NAME NODES ARGS...: one run of vesk-sim with ARGS plus --output
measure() {
    local name=$1 nodes=$2
    shift 2
    local out=$work/$name.csv log=$work/$name.time
    if ! "$time_cmd" -v -o "$log" "$sim" "$@" --t-end 180 --output "$out" >"$work/$name.stdout" 2>"$work/$name.stderr"; then
        echo "whole_runs.sh: run $name failed:" >&2
        cat "$work/$name.stderr" >&2
        exit 1
    fi
    local wall user sys rss
    wall=$(sed -n 's/^.*Elapsed (wall clock) time (h:mm:ss or m:ss): //p' "$log" |
        awk -F: '{ s = 0; for (i = 1; i <= NF; i++) s = s * 60 + $i; printf "%.2f", s }')
    user=$(sed -n 's/^.*User time (seconds): //p' "$log")
    sys=$(sed -n 's/^.*System time (seconds): //p' "$log")
    rss=$(sed -n 's/^.*Maximum resident set size (kbytes): //p' "$log")
    awk -v name="$name" -v nodes="$nodes" -v wall="$wall" -v user="$user" -v sys="$sys" \
        -v rss="$rss" -v bytes="$(stat -c %s "$out")" 'BEGIN {
            printf "%-22s %8s %10s %10.2f %14.1f %12.1f\n", name, nodes, wall, user + sys,
                rss / 1024, bytes / 1048576 }'
    rm -f "$out"
}

measure contract_1k 1000 --model "$(contract 1k 1000 20)"
measure contract_10k 10000 --model "$(contract 10k 10000 50)"
measure contract_100k 100000 --model "$(contract 100k 100000 50)"

if [ -f "$repo/data/kaldo_contract.json" ]; then
    measure kaldo 2553 --model "$repo/data/kaldo_contract.json"
    if [ -f "$repo/examples/QA_3NVN_O_success.txt" ] &&
        [ -f "$repo/examples/VESK_SGall_KALDO_Bindings_Sentence_3NVN.txt" ]; then
        measure kaldo_qa_success 2553 --model "$repo/data/kaldo_contract.json" \
            --instructions "$repo/examples/QA_3NVN_O_success.txt" \
            --bindings "$repo/examples/VESK_SGall_KALDO_Bindings_Sentence_3NVN.txt"
    fi
fi
