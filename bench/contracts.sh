# Sourced by the benchmark scripts, so that they make the benchmark
# contracts exactly as bench/bench_contracts.hpp does.
#
#   bench_contract MAKE_CONTRACT DIR LABEL NODES DEGREE
#
# prints the path of DIR/contract_LABEL.json, written first by MAKE_CONTRACT
# (4 inputs, seed 1) when it is missing or older than MAKE_CONTRACT.
bench_contract() {
    local path=$2/contract_$3.json
    if [ ! -f "$path" ] || [ "$1" -nt "$path" ]; then
        mkdir -p "$2"
        "$1" --nodes "$4" --degree "$5" --inputs 4 --seed 1 --out "$path.partial" >/dev/null
        mv "$path.partial" "$path"
    fi
    echo "$path"
}
