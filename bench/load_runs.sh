#!/usr/bin/env bash
# Loading of the benchmark contracts and the example model by two builds of
# vesk-sim, side by side: wall time, CPU time and peak resident memory as
# /usr/bin/time reports them, medians over REPEATS runs that alternate
# between the builds, and the ratios of the medians.
#
#   bench/load_runs.sh OLD_BUILD_DIR NEW_BUILD_DIR [REPEATS]   (default 5)
#
# Each build dir must hold vesk-sim; NEW_BUILD_DIR also make_contract, whose
# contracts (NEW_BUILD_DIR/bench/contracts, as bench/whole_runs.sh makes
# them) both builds load. `--t-end 0.1` asks for fewer than two samples, so
# a run loads the model and stops at the end-time check (exit status 1).
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
old=$(cd "$1" && pwd)
new=$(cd "$2" && pwd)
repeats=${3:-5}
contracts=$new/bench/contracts
time_cmd=/usr/bin/time

for f in "$old/vesk-sim" "$new/vesk-sim" "$new/make_contract" "$time_cmd"; do
    [ -x "$f" ] || { echo "load_runs.sh: $f not found" >&2; exit 1; }
done
work=$(mktemp -d "${TMPDIR:-/tmp}/vesk-load-runs.XXXXXX")
trap 'rm -rf "$work"' EXIT

# contract LABEL NODES DEGREE: path of the generated contract
. "$repo/bench/contracts.sh"
contract() { bench_contract "$new/make_contract" "$contracts" "$@"; }

# one BUILD MODEL: appends "wall cpu rss_kib" of one load to $work/<build>
one() {
    local sim=$1/vesk-sim log=$work/time
    "$time_cmd" -o "$log" -f '%e %U %S %M' "$sim" --model "$2" --output /dev/null --t-end 0.1 \
        >/dev/null 2>"$work/stderr" || true
    if ! grep -q -- '--t-end' "$work/stderr"; then
        echo "load_runs.sh: $sim did not load $2:" >&2
        cat "$work/stderr" >&2
        exit 1
    fi
    # time puts "Command exited with non-zero status 1" first.
    tail -n 1 "$log" | awk '{ printf "%s %.2f %s\n", $1, $2 + $3, $4 }' >>"$work/$3"
}

median() {  # column N of file F
    sort -g -k "$1,$1" "$2" | awk -v c="$1" '{ v[NR] = $c } END {
        print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

printf '%s\n' "Machine: $(lscpu | sed -n 's/^Model name: *//p'), $(nproc) CPUs; $(date -u '+%Y-%m-%d %H:%M UTC'); load $(cut -d' ' -f1-3 /proc/loadavg)"
printf '%-8s %9s | %8s %8s %6s | %8s %8s %6s | %9s %9s\n' contract "file MB" \
    "old wall" "new wall" ratio "old cpu" "new cpu" ratio "old MiB" "new MiB"
for sizes in "1k 1000 20" "10k 10000 50" "100k 100000 50" kaldo; do
    set -- $sizes
    if [ "$1" = kaldo ]; then model=$repo/data/kaldo_contract.json; else model=$(contract "$@"); fi
    rm -f "$work/old" "$work/new"
    for _ in $(seq "$repeats"); do
        one "$old" "$model" old
        one "$new" "$model" new
    done
    ow=$(median 1 "$work/old") nw=$(median 1 "$work/new")
    oc=$(median 2 "$work/old") nc=$(median 2 "$work/new")
    om=$(median 3 "$work/old") nm=$(median 3 "$work/new")
    awk -v l="$1" -v b="$(stat -L -c %s "$model")" -v ow="$ow" -v nw="$nw" -v oc="$oc" -v nc="$nc" \
        -v om="$om" -v nm="$nm" 'function r(a, b) { return b > 0 ? sprintf("x%.2f", a / b) : "-" }
        BEGIN { printf "%-8s %9.1f | %8.2f %8.2f %6s | %8.2f %8.2f %6s | %9.1f %9.1f\n",
            l, b / 1e6, ow, nw, r(ow, nw), oc, nc, r(oc, nc), om / 1024, nm / 1024 }'
done
