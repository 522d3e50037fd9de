#!/usr/bin/env bash
# A sweep of 16 scenarios of the example model (the two question-answering
# scenarios, 8 copies each) to 180 ms with full CSV output, run as separate
# vesk-sim runs (--jobs 2) and in batches (--batch 8 --jobs 2), side by
# side: wall time of each sweep per round, the ratio, and a check that both
# wrote the same files.
#
#   bench/sweep_batches.sh [BUILD_DIR] [ROUNDS]   (default: build, 3 rounds)
#
# BUILD_DIR must hold vesk-sim and the Python module (python/), as `make
# test` builds them. Within a round the order of the two sweeps alternates,
# so that a change of load on a shared machine hits both alike.
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$repo/build}" && pwd)
rounds=${2:-3}
[ -x "$build/vesk-sim" ] && [ -d "$build/python/vesk" ] ||
    { echo "sweep_batches.sh: $build lacks vesk-sim or python/ (make test)" >&2; exit 1; }

work=$(mktemp -d "${TMPDIR:-/tmp}/vesk-sweep-batches.XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir "$work/scenarios"
for i in $(seq -w 0 15); do
    kind=$([ $((10#$i % 2)) = 0 ] && echo success || echo fail)
    cp "$repo/examples/QA_3NVN_O_$kind.txt" "$work/scenarios/s$i.txt"
done

sweep_once() {  # label, sweep options...
    local label=$1 start end
    shift
    rm -rf "$work/$label"
    start=$(date +%s.%N)
    "$repo/src/app/sweep" --sim "$build/vesk-sim" --model "$repo/data/kaldo_contract.json" \
        --t-end 180 --bindings "$repo/examples/VESK_SGall_KALDO_Bindings_Sentence_3NVN.txt" \
        --inputs --row-map --out "$work/$label" "$@" "$work/scenarios" >/dev/null
    end=$(date +%s.%N)
    awk -v a="$start" -v b="$end" 'BEGIN { printf "%.2f", b - a }'
}

echo "Machine: $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'), $(nproc) CPUs;" \
    "load $(cut -d' ' -f1-3 /proc/loadavg); $(date -u '+%Y-%m-%d %H:%M') UTC; $rounds rounds"
printf '%-6s %12s %12s %8s\n' round "jobs 2 (s)" "batch 8 (s)" ratio
for round in $(seq 1 "$rounds"); do
    if [ $((round % 2)) = 1 ]; then
        separate=$(sweep_once separate --jobs 2)
        batched=$(sweep_once batched --jobs 2 --batch 8)
    else
        batched=$(sweep_once batched --jobs 2 --batch 8)
        separate=$(sweep_once separate --jobs 2)
    fi
    printf '%-6s %12s %12s %8s\n' "$round" "$separate" "$batched" \
        "$(awk -v a="$separate" -v b="$batched" 'BEGIN { printf "%.2f", a / b }')"
done
for dir in "$work"/separate/s*/; do
    name=$(basename "$dir")
    for f in nodes.csv inputs.csv row_map.csv; do
        cmp -s "$dir/$f" "$work/batched/$name/$f" ||
            { echo "sweep_batches.sh: $name/$f differs between the sweeps" >&2; exit 1; }
    done
done
echo "All 16 scenarios: the same nodes.csv, inputs.csv and row_map.csv in both sweeps."
