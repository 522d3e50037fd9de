#!/usr/bin/env bash
# A cross build's vesk-sim, run by the emulator, against the native build's
# on a network that turns a last-bit difference into a visibly different
# trace (tests/tools/amplifying_contract.py): the same status, stdout, stderr
# and trace bytes, on one thread and with the background row writer.
#
#   same_bits_test.sh SOURCE_DIR NATIVE_SIM TARGET_SIM EMULATOR [ARGS...]
#
# The emulator takes qemu-user's -0 option (argv[0] of the program).
set -euo pipefail
source_dir=$1 native_sim=$2 target_sim=$3
shift 3

dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
cd "$dir"
/usr/bin/python3 "$source_dir/tests/tools/amplifying_contract.py" 5 >contract.json
printf '1\n5\n17\n' >bindings.txt
args=(--model contract.json --t-end 400 --bindings bindings.txt --output nodes.csv)

status=0
VESK_THREADS=1 "$native_sim" "${args[@]}" >native.out 2>native.err || status=$?
echo "$status" >>native.out
mv nodes.csv native.csv

failed=0
for threads in 1 2; do
    status=0
    VESK_THREADS=$threads "$@" -0 vesk-sim "$target_sim" "${args[@]}" >target.out 2>target.err ||
        status=$?
    echo "$status" >>target.out
    mv nodes.csv target.csv 2>/dev/null || : >target.csv
    for what in out err csv; do
        cmp native.$what target.$what || {
            echo "VESK_THREADS=$threads: the target's $what differs from the native build's" >&2
            failed=1
        }
    done
done
exit $failed
