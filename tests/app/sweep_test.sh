#!/usr/bin/env bash
# Tests of src/app/sweep on the example scenarios, plus one scenario that
# fails: per-run folders, exit statuses, the summary, job-array tasks and
# option errors.
#
# Usage: sweep_test.sh SOURCE_DIR PATH/vesk-sim
set -uo pipefail

source_dir=$1
sim=$2
sweep() { "$source_dir/src/app/sweep" --sim "$sim" "$@"; }
model="$source_dir/data/kaldo_contract.json"
bindings="$source_dir/examples/VESK_SGall_KALDO_Bindings_Sentence_3NVN.txt"

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
failures=0

fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

expect_eq() {  # what, actual, expected
    [ "$2" == "$3" ] || fail "$1: got '$2', expected '$3'"
}

expect_contains() {  # what, file, text
    grep -qF -- "$3" "$2" || { fail "$1: '$3' not in $2:"; sed 's/^/    /' "$2" >&2; }
}

# The examples folder (its bindings file must not be taken for a scenario)
# and a scenario that does not parse.
scenarios="$tmp/scenarios"
mkdir "$scenarios"
cp "$source_dir"/examples/* "$scenarios/"
printf 'Word 10 0\n' >"$scenarios/broken.txt"
cp "$bindings" "$tmp/bindings.txt"

# ---- a local sweep with one failing run --------------------------------------
out="$tmp/out"
sweep --model "$model" --t-end 20 --bindings "$scenarios/$(basename "$bindings")" \
    --inputs --row-map --jobs 2 --out "$out" "$scenarios" >"$tmp/sweep.out" 2>"$tmp/sweep.err"
expect_eq "sweep exit status with a failed run" "$?" 1

for name in QA_3NVN_O_fail QA_3NVN_O_success; do
    dir="$out/$name"
    expect_eq "$name status" "$(cat "$dir/status" 2>/dev/null)" 0
    expect_eq "$name files" "$(ls "$dir" | tr '\n' ' ')" \
        "command.txt inputs.csv nodes.csv row_map.csv scenario seconds status stderr.txt stdout.txt "
    expect_eq "$name stderr" "$(cat "$dir/stderr.txt")" ""
    expect_eq "$name last progress line" "$(tail -n 1 "$dir/stdout.txt")" "Done."
    # 20 ms: 200 samples and the header.
    expect_eq "$name trace rows" "$(wc -l <"$dir/nodes.csv")" 201
done
# Each run had its own scenario and the common bindings.
expect_contains "scenario of a run" "$out/QA_3NVN_O_fail/stdout.txt" \
    "Parsing instruction file: $scenarios/QA_3NVN_O_fail.txt"
expect_contains "clamps applied" "$out/QA_3NVN_O_success/stdout.txt" "  Applied clamps to 3 nodes"

expect_eq "broken status" "$(cat "$out/broken/status")" 1
broken_error="Error: $scenarios/broken.txt:1: 'Word' encountered before Num_of_words"
expect_eq "broken stderr" "$(cat "$out/broken/stderr.txt")" "$broken_error"
[ -f "$out/broken/nodes.csv" ] && fail "broken: a trace file was written"

expect_contains "summary" "$tmp/sweep.out" "Summary of 3 runs in $out:"
expect_contains "summary" "$tmp/sweep.out" "  ok          QA_3NVN_O_success"
expect_contains "summary" "$tmp/sweep.out" "  FAILED      broken (exit 1): $broken_error"
expect_contains "summary" "$tmp/sweep.out" "2 ok, 1 failed, 0 unfinished"
expect_eq "summary.tsv" "$(cut -f1,2,4,6 "$out/summary.tsv")" "name	status	scenario	error
QA_3NVN_O_fail	0	$scenarios/QA_3NVN_O_fail.txt	
QA_3NVN_O_success	0	$scenarios/QA_3NVN_O_success.txt	
broken	1	$scenarios/broken.txt	$broken_error"
[[ "$(cut -f3 "$out/summary.tsv" | tail -n +2 | tr '\n' ' ')" =~ ^([0-9]+\.[0-9]{2}\ ){3}$ ]] ||
    fail "summary.tsv seconds: $(cut -f3 "$out/summary.tsv")"
expect_eq "joblog lines" "$(wc -l <"$out/joblog.tsv")" 4
expect_eq "scenario list" "$(sweep --model "$model" --t-end 20 --bindings "$scenarios/$(basename \
    "$bindings")" --print-list "$scenarios")" "$(cut -f4 "$out/summary.tsv" | tail -n +2)"

# The command of a run, as recorded, repeats the run.
(cd "$tmp" && bash -c "$(cat "$out/QA_3NVN_O_success/command.txt")" >/dev/null) ||
    fail "command.txt does not run"

# ---- the same sweep in batches: the same files, failures per scenario -------
# Batches run through the Python module, which sanitizer builds leave out:
# there each scenario must fail with the reason instead.
bout="$tmp/batch-out"
if [ ! -d "$(dirname -- "$sim")/python/vesk" ]; then
    sweep --model "$model" --t-end 20 --batch 2 --out "$bout" "$scenarios" >"$tmp/batch.out" 2>&1
    expect_eq "batch sweep without the module" "$?" 1
    expect_eq "batch without the module: status" "$(cat "$bout/QA_3NVN_O_success/status")" 1
    expect_contains "batch without the module: error" "$bout/QA_3NVN_O_success/stderr.txt" \
        "Error: batch runs need the Python module vesk"
else
sweep --model "$model" --t-end 20 --bindings "$scenarios/$(basename "$bindings")" \
    --inputs --row-map --jobs 2 --batch 2 --out "$bout" "$scenarios" >"$tmp/batch.out" 2>&1
expect_eq "batch sweep exit status with a failed run" "$?" 1
for name in QA_3NVN_O_fail QA_3NVN_O_success broken; do
    expect_eq "batch: $name files" "$(ls "$bout/$name" | tr '\n' ' ')" "$(ls "$out/$name" | tr '\n' ' ')"
    for f in nodes.csv inputs.csv row_map.csv stderr.txt status scenario; do
        [ -f "$out/$name/$f" ] || continue
        cmp -s "$out/$name/$f" "$bout/$name/$f" || fail "batch: $name/$f differs from vesk-sim's"
    done
    expect_eq "batch: $name stdout" "$(cat "$bout/$name/stdout.txt")" ""
done
expect_eq "batch summary.tsv" "$(cut -f1,2,4,6 "$bout/summary.tsv")" \
    "$(cut -f1,2,4,6 "$out/summary.tsv")"
expect_eq "batch jobs" "$(wc -l <"$bout/joblog.tsv")" 3
# A task of a job array runs one batch.
sweep --model "$model" --t-end 20 --out "$tmp/batch-array" --batch 2 --task 0 "$scenarios" >/dev/null
expect_eq "batch task 0" "$?" 0
expect_eq "batch task 0 ran the first two" "$(ls "$tmp/batch-array" | tr '\n' ' ')" \
    "QA_3NVN_O_fail QA_3NVN_O_success scenarios.txt "
# The run length is read as vesk-sim reads it, and fails as it fails.
for t_end in 1_0 10abc abc 0.15; do
    for k in 1 2; do
        sweep --model "$model" --t-end "$t_end" --batch "$k" --out "$tmp/length-$k" \
            "$scenarios" >/dev/null 2>&1
    done
    for f in {QA_3NVN_O_success,broken}/{nodes.csv,stderr.txt,status}; do
        [ -e "$tmp/length-1/$f" ] || [ -e "$tmp/length-2/$f" ] || continue
        cmp -s "$tmp/length-1/$f" "$tmp/length-2/$f" ||
            fail "--t-end $t_end: the batch's $f differs from vesk-sim's"
    done
    rm -rf "$tmp/length-1" "$tmp/length-2"
done
# Installed under a prefix of its own: the module is found beside the programs.
prefix="$tmp/prefix"
mkdir -p "$prefix/bin" "$prefix/lib/python3/dist-packages"
cp "$sim" "$prefix/bin/vesk-sim"
cp "$source_dir/src/app/sweep" "$prefix/bin/vesk-sweep"
cp "$source_dir/src/app/vesk_batch.py" "$prefix/bin/vesk-batch"
cp -r "$(dirname -- "$sim")/python/vesk" "$prefix/lib/python3/dist-packages/"
env -u PYTHONPATH "$prefix/bin/vesk-sweep" --model "$model" --t-end 20 --batch 2 \
    --out "$tmp/prefix-out" --task 0 "$scenarios" >/dev/null 2>&1
expect_eq "batch from an install under a prefix" "$?" 0
fi

# ---- summary of an existing folder -------------------------------------------
rm "$out/QA_3NVN_O_fail/status"  # as if the run had been killed
mkdir "$out/stale" && touch "$out/stale/command.txt"  # no longer in the list
sweep --summary --out "$out" >"$tmp/summary.out"
expect_eq "summary exit status with an unfinished run" "$?" 1
expect_contains "unfinished run" "$tmp/summary.out" \
    "  UNFINISHED  QA_3NVN_O_fail (no exit status: the run did not end)"
expect_contains "summary totals" "$tmp/summary.out" "1 ok, 1 failed, 1 unfinished, 0 missing"
expect_contains "summary of the list only" "$tmp/summary.out" "Summary of 3 runs"
sweep --summary --out "$tmp/absent" "$scenarios/broken.txt" >/dev/null 2>"$tmp/absent.err"
expect_eq "summary into no folder" "$(cat "$tmp/absent.err")" \
    "sweep: warning: cannot write $tmp/absent/summary.tsv; the summary is printed only"

# A rerun starts from an empty folder.
touch "$out/QA_3NVN_O_success/inputs.csv.old"
sweep --model "$model" --t-end 20 --out "$out" --task 1 "$scenarios" >/dev/null
expect_eq "rerun folder" "$(ls "$out/QA_3NVN_O_success" | tr '\n' ' ')" \
    "command.txt nodes.csv scenario seconds status stderr.txt stdout.txt "

# Something that is no run folder where a run would go: left alone, and
# FAILED in the run's line and in the summary alike.
check_refused() {  # what, task (scenario name), how to put something there
    local what=$1 task=$2 name=$3
    shift 3
    rm -rf "${out:?}/$name" && "$@"
    sweep --model "$model" --t-end 20 --out "$out" --task "$task" "$scenarios" >"$tmp/foreign.out"
    expect_eq "$what: status" "$?" 1
    expect_eq "$what: left alone" "$(cat "$out/$name"/mine.txt "$out/$name" 2>/dev/null)" mine
    local reason="$out/$name exists and is no run folder: left alone, not run"
    expect_eq "$what: run line" "$(cat "$tmp/foreign.out")" "FAILED  $name ($reason)"
    sweep --summary --out "$out" >"$tmp/foreign.out"
    expect_contains "$what: summary" "$tmp/foreign.out" "  FAILED      $name ($reason)"
    expect_eq "$what: summary.tsv" "$(grep "^$name	" "$out/summary.tsv" | cut -f2,6)" \
        "refused	$reason"
}
check_refused "a stranger's folder" 0 QA_3NVN_O_fail \
    eval 'mkdir "$out/$name" && echo mine >"$out/$name/mine.txt"'
check_refused "a file" 3 broken eval 'echo mine >"$out/$name"'

# ---- one task of a job array, from a list file --------------------------------
printf '# the two examples\n%s\n\n%s\n' "$scenarios/QA_3NVN_O_success.txt" \
    "$scenarios/QA_3NVN_O_fail.txt" >"$tmp/scenarios.list"
sweep --model "$model" --t-end 20 --bindings "$tmp/bindings.txt" --out "$tmp/array" \
    --list "$tmp/scenarios.list" --task 1 >/dev/null
expect_eq "array task exit status" "$?" 0
expect_eq "array task ran the second scenario" "$(ls "$tmp/array")" "QA_3NVN_O_fail
scenarios.txt"
sweep --summary --out "$tmp/array" >"$tmp/array.out"
expect_eq "summary with a task missing" "$?" 1
expect_contains "missing task" "$tmp/array.out" \
    "  MISSING     QA_3NVN_O_success (no run folder: the run never started)"
expect_contains "missing task" "$tmp/array.out" "1 ok, 0 failed, 0 unfinished, 1 missing"
sweep --model "$model" --t-end 20 --out "$tmp/array" --list "$tmp/scenarios.list" --task 0 \
    -- --reproducible >/dev/null
expect_eq "array task 0" "$(cat "$tmp/array/QA_3NVN_O_success/status")" 0
expect_contains "extra arguments" "$tmp/array/QA_3NVN_O_success/command.txt" " --reproducible"
sweep --summary --out "$tmp/array" >"$tmp/array.out"
expect_eq "summary of the array" "$?" 0
expect_contains "summary of the array" "$tmp/array.out" "2 ok, 0 failed, 0 unfinished"

# ---- option errors: status 2, nothing run ------------------------------------
# Nothing runs, no output folder is made (unless it is the one refused), and
# the one error is the sweep's own, never one of mkdir or parallel.
check_usage_error() {  # message, sweep arguments...
    local message=$1
    shift
    rm -rf "$tmp/never"
    sweep --out "$tmp/never" "$@" >"$tmp/err.out" 2>"$tmp/err.txt"
    expect_eq "exit status for '$message'" "$?" 2
    expect_contains "usage error" "$tmp/err.txt" "sweep: $message"
    expect_eq "standard output for '$message'" "$(cat "$tmp/err.out")" ""
    expect_eq "other errors for '$message'" \
        "$(grep -v -e '^sweep: ' -e "^Try 'sweep --help'.\$" "$tmp/err.txt")" ""
    [ -e "$tmp/never" ] && fail "'$message' created the output folder"
}
mkdir "$tmp/twins" "$tmp/twins/a"
cp "$scenarios/broken.txt" "$tmp/twins/x.txt"
cp "$scenarios/broken.txt" "$tmp/twins/a/x.txt"
# Names that would break the summary's lines or columns, or give no run
# folder of their own.
mkdir "$tmp/names"
for name in $'cr\r' . .. '' summary.tsv joblog.tsv scenarios.txt $'with\ttab/x' $'lines/a' \
    $'lines/new\nline' lines/z; do
    mkdir -p "$(dirname "$tmp/names/$name")"
    cp "$scenarios/broken.txt" "$tmp/names/$name.txt"
done
names_error() {  # scenario file: the error about its path
    printf '%q: a scenario path with a line break, a tab or another control character' \
        "$tmp/names/$1"
}
mkdir -p "$tmp/out-list/scenarios.txt"
echo "not a folder" >"$tmp/a-file"
mkdir -p "$tmp/keep/s" && touch "$tmp/keep/s/command.txt" && cp "$scenarios/broken.txt" "$tmp/keep/s/s.txt"
# One case a line: the message, then the arguments, split at '|'.
m="--model|$model|--t-end|20"
while IFS='|' read -r -u 3 -a row; do
    check_usage_error "${row[@]}"
done 3<<EOF
--model is required|--t-end|20|$scenarios
one of --t-end or --n-steps is required|--model|$model|$scenarios
no scenarios given|$m
no such scenario file or folder: $tmp/none|$m|$tmp/none
option --out needs a value|--model|$model|--out
--task 5: there are only 4 scenarios (0 to 3)|$m|--task|5|--out|$tmp/no-out|$scenarios
--task needs a task number (0, 1, ...), got ''; in a job array, is SLURM_ARRAY_TASK_ID set?|$m|--task||$scenarios
--task needs a task number (0, 1, ...), got '1x'|$m|--task|1x|$scenarios
--task needs a task number (0, 1, ...), got '0x1'|$m|--task|0x1|$scenarios
--task 08: there are only 4 scenarios (0 to 3)|$m|--task|08|$scenarios
--task 18446744073709551617: there are only 4|$m|--task|18446744073709551617|$scenarios
--task 2: there are only 2 batches of 2 scenarios (0 to 1)|$m|--batch|2|--task|2|$scenarios
--batch runs no vesk-sim: arguments after -- cannot be passed on|$m|--batch|2|$scenarios|--|--reproducible
$tmp/twins/a/x.txt and $tmp/twins/x.txt would both run in|$m|$tmp/twins/x.txt|$tmp/twins/a/x.txt
$tmp/keep/s/s.txt lies in $tmp/keep/s, a run folder that the sweep empties: move it out|$m|--out|$tmp/keep|$tmp/keep/s/s.txt
--out $tmp/a-file is not a folder|$m|--out|$tmp/a-file|$scenarios
--out $tmp/a-file/runs: cannot create the folder (|$m|--task|0|--out|$tmp/a-file/runs|$scenarios
--out /proc: cannot write into the folder|$m|--out|/proc|$scenarios
--out $tmp/out-list: cannot replace $tmp/out-list/scenarios.txt|$m|--out|$tmp/out-list|$scenarios
EOF
[ -e "$tmp/no-out" ] && fail "a --task out of range created the output folder"
[ -f "$tmp/keep/s/s.txt" ] || fail "a scenario in its own run folder was removed"
[ -e "$tmp/out-list/QA_3NVN_O_fail" ] && fail "a sweep into an unusable --out ran"
for batch in 0 99999999999999999999 1000000000; do
    check_usage_error "--batch needs a number from 1 to 999999999, got $batch" --model "$model" \
        --t-end 20 --batch "$batch" --task 0 "$scenarios"
done
for jobs in 0 1001 1000000 99999999999999999999; do
    check_usage_error "--jobs needs a number from 1 to 1000, got $jobs" --model "$model" --t-end 20 \
        --jobs "$jobs" "$scenarios"
done
for name in . .. '' summary.tsv joblog.tsv scenarios.txt; do
    check_usage_error "cannot name a run folder after $tmp/names/$name.txt" \
        --model "$model" --t-end 20 "$tmp/names/$name.txt"
done
# Names with a line break, a carriage return or a tab.
check_usage_error "$(names_error $'lines/new\nline.txt')" --model "$model" --t-end 20 "$tmp/names/lines"
check_usage_error "$(names_error $'cr\r.txt')" --model "$model" --t-end 20 --task 0 \
    "$tmp/names/cr"$'\r'".txt"
check_usage_error "$(names_error $'with\ttab/x.txt')" --model "$model" --t-end 20 \
    "$tmp/names/with"$'\t'"tab/x.txt"
check_usage_error "--out $(printf '%q' "$tmp/out"$'\t'"tab") holds a line break, a tab" \
    --model "$model" --t-end 20 --out "$tmp/out"$'\t'"tab" "$scenarios"

# ---- scenario names beginning with '-', from a folder and from a list ------
mkdir -p "$tmp/dash/sub"
cp "$scenarios/QA_3NVN_O_success.txt" "$tmp/dash/sub/-e.txt"
cp "$scenarios/QA_3NVN_O_success.txt" "$tmp/dash/sub/-n.txt"
cp "$scenarios/QA_3NVN_O_success.txt" "$tmp/dash/-x.txt"
echo "-x.txt" >"$tmp/dash/list"
batches=(1)
[ -d "$(dirname -- "$sim")/python/vesk" ] && batches+=(2)
for batch in "${batches[@]}"; do
    (cd "$tmp/dash" && sweep --model "$model" --t-end 1 --jobs 2 --batch "$batch" --out "out$batch" \
        --list list sub >/dev/null 2>"err$batch")
    expect_eq "names with '-', --batch $batch: status" "$?" 0
    expect_eq "names with '-', --batch $batch: errors" "$(cat "$tmp/dash/err$batch")" ""
    expect_eq "names with '-', --batch $batch: runs" \
        "$(cut -f1,2,4 "$tmp/dash/out$batch/summary.tsv" | tail -n +2 | tr '\n\t' '; ')" \
        "-e 0 sub/-e.txt;-n 0 sub/-n.txt;-x 0 -x.txt;"
done

# ---- threads of the runs: one each when several run at once -----------------
# A stand-in for vesk-sim that prints the thread setting it was given.
printf '#!/bin/sh\necho "VESK_THREADS=${VESK_THREADS-unset}"\n' >"$tmp/show-threads"
chmod +x "$tmp/show-threads"
check_threads() {  # what, expected, environment and sweep options...
    local what=$1 expected=$2
    shift 2
    rm -rf "$tmp/threads-out"
    env "$@" --out "$tmp/threads-out" "$scenarios/QA_3NVN_O_success.txt" \
        "$scenarios/QA_3NVN_O_fail.txt" >/dev/null 2>&1
    for name in QA_3NVN_O_success QA_3NVN_O_fail; do
        expect_eq "$what, $name" "$(cat "$tmp/threads-out/$name/stdout.txt" 2>/dev/null)" \
            "VESK_THREADS=$expected"
    done
}
stub_sweep=("$source_dir/src/app/sweep" --sim "$tmp/show-threads" --model "$model" --t-end 20)
check_threads "two at a time" 1 -u VESK_THREADS "${stub_sweep[@]}" --jobs 2
check_threads "two at a time, user's choice" 3 VESK_THREADS=3 "${stub_sweep[@]}" --jobs 2
check_threads "one at a time" unset -u VESK_THREADS "${stub_sweep[@]}" --jobs 1

# ---- task numbers are decimal, whatever their leading zeros -----------------
mkdir "$tmp/eleven"
for i in 00 01 02 03 04 05 06 07 08 09 10; do touch "$tmp/eleven/s$i.txt"; done
for row in "010 s10" "08 s08" "0 s00" "000 s00" "9 s09"; do
    read -r task expected <<<"$row"
    rm -rf "$tmp/task-out"
    "${stub_sweep[@]}" --out "$tmp/task-out" --task "$task" "$tmp/eleven" >/dev/null 2>&1
    expect_eq "--task $task: status" "$?" 0
    expect_eq "--task $task: the run" "$(ls "$tmp/task-out" | tr '\n' ' ')" "$expected scenarios.txt "
done
# The list is written under a private temporary name; it ends up as readable
# as any file the user writes.
(umask 022 && "${stub_sweep[@]}" --out "$tmp/mode-out" --task 0 "$tmp/eleven" >/dev/null 2>&1)
expect_eq "scenarios.txt mode under umask 022" "$(stat -c %a "$tmp/mode-out/scenarios.txt")" 644

# ---- an error line with control characters stays one line and one column ---
# (in a folder whose name begins with '-')
printf '#!/bin/sh\nprintf "Error: a\\tb\\rc\\033d\\n" >&2\nexit 1\n' >"$tmp/fail-oddly"
chmod +x "$tmp/fail-oddly"
(cd "$tmp" && "${stub_sweep[@]}" --sim "$tmp/fail-oddly" --out -odd-out "$scenarios/broken.txt" \
    >"$tmp/odd.out" 2>&1)
expect_contains "odd error line" "$tmp/odd.out" "  FAILED      broken (exit 1): Error: a b c d"
expect_eq "odd error column" "$(cut -f6 "$tmp/-odd-out/summary.tsv")" "error
Error: a b c d"

if [ "$failures" -gt 0 ]; then
    echo "$failures check(s) failed" >&2
    exit 1
fi
echo "sweep: all checks passed"
