#!/usr/bin/env bash
# Whole runs of two builds of vesk-sim side by side, interleaved, on the
# benchmark contracts and the example model: medians of wall time and peak
# memory over ROUNDS rounds, the ratio old/new of each round's pair, and a
# check that both builds wrote the same node traces.
#
#   bench/side_by_side.sh OLD_SIM NEW_SIM CONTRACT_DIR [ROUNDS] [RUN...]
#
# OLD_SIM and NEW_SIM are vesk-sim executables (e.g. an earlier commit built
# in a second folder, and build-bench/vesk-sim). CONTRACT_DIR holds
# contract_1k.json, contract_10k.json and contract_100k.json as
# bench/whole_runs.sh makes them. ROUNDS defaults to 3; RUN names select
# runs (default: all of contract_1k contract_10k contract_100k kaldo
# kaldo_qa_success). Within a round the order of the two builds alternates,
# so that a change of load on a shared machine hits both alike. The
# environment (VESK_THREADS in particular) is passed on to both.
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
old=$(readlink -f "$1")
new=$(readlink -f "$2")
contracts=$(cd "$3" && pwd)
rounds=${4:-3}
shift $(($# < 4 ? $# : 4))
runs=("$@")
[ ${#runs[@]} -gt 0 ] || runs=(contract_1k contract_10k contract_100k kaldo kaldo_qa_success)
time_cmd=/usr/bin/time

work=$(mktemp -d "${TMPDIR:-/tmp}/vesk-side-by-side.XXXXXX")
trap 'rm -rf "$work"' EXIT

args_of() {
    case $1 in
        contract_*) echo "--model $contracts/$1.json" ;;
        kaldo) echo "--model $repo/data/kaldo_contract.json" ;;
        kaldo_qa_success)
            echo "--model $repo/data/kaldo_contract.json" \
                "--instructions $repo/examples/QA_3NVN_O_success.txt" \
                "--bindings $repo/examples/VESK_SGall_KALDO_Bindings_Sentence_3NVN.txt" ;;
        *) echo "side_by_side.sh: unknown run $1" >&2; exit 2 ;;
    esac
}

# one SIM RUN: prints "wall_s rss_kib md5"
one() {
    local log=$work/time.log out=$work/out.csv
    # shellcheck disable=SC2046
    "$time_cmd" -v -o "$log" "$1" $(args_of "$2") --t-end 180 --output "$out" >/dev/null ||
        { echo "side_by_side.sh: $1 failed on $2" >&2; exit 1; }
    local wall rss
    wall=$(sed -n 's/^.*Elapsed (wall clock) time (h:mm:ss or m:ss): //p' "$log" |
        awk -F: '{ s = 0; for (i = 1; i <= NF; i++) s = s * 60 + $i; printf "%.3f", s }')
    rss=$(sed -n 's/^.*Maximum resident set size (kbytes): //p' "$log")
    echo "$wall $rss $(md5sum <"$out" | cut -c1-32)"
    rm -f "$out"
}

median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

echo "Machine: $(lscpu | sed -n 's/^Model name: *//p'), $(nproc) CPUs available;" \
    "load $(cut -d' ' -f1-3 /proc/loadavg); $(date -u '+%Y-%m-%d %H:%M UTC');" \
    "VESK_THREADS=${VESK_THREADS-unset}; $rounds rounds"
printf '%-18s %9s %9s %8s %8s %9s %9s %s\n' run "old s" "new s" "old/new" "(range)" \
    "old MiB" "new MiB" "same output"
for run in "${runs[@]}"; do
    : >"$work/pairs"
    same=yes
    for ((r = 0; r < rounds; r++)); do
        if ((r % 2 == 0)); then
            o=$(one "$old" "$run")
            n=$(one "$new" "$run")
        else
            n=$(one "$new" "$run")
            o=$(one "$old" "$run")
        fi
        echo "$o $n" >>"$work/pairs"
        [ "$(echo "$o" | cut -d' ' -f3)" = "$(echo "$n" | cut -d' ' -f3)" ] || same=no
    done
    ow=$(awk '{ print $1 }' "$work/pairs" | median)
    nw=$(awk '{ print $4 }' "$work/pairs" | median)
    ratio=$(awk '{ print $1 / $4 }' "$work/pairs" | median)
    range=$(awk '{ r = $1 / $4; if (NR == 1 || r < lo) lo = r; if (NR == 1 || r > hi) hi = r }
        END { printf "%.2f-%.2f", lo, hi }' "$work/pairs")
    om=$(awk '{ print $2 / 1024 }' "$work/pairs" | median)
    nm=$(awk '{ print $5 / 1024 }' "$work/pairs" | median)
    printf '%-18s %9.2f %9.2f %8.2f %8s %9.1f %9.1f %s\n' "$run" "$ow" "$nw" "$ratio" "$range" \
        "$om" "$nm" "$same"
done
