#!/usr/bin/env bash
# The README's command table, the citation file and the README's citation
# sentence against the program:
#   docs_test.sh SOURCE_DIR INPUT_NAMES VESK_SIM
set -uo pipefail
src=$1 input_names=$2 sim=$3
fail=0

table=$(sed -n '/^<!-- input-names:begin/,/^<!-- input-names:end -->/p' "$src/README.md" | sed '1d;$d')
if ! diff -u <(printf '%s\n' "$table") <("$input_names"); then
    echo "README.md: the command table differs from the program's (above);" \
        "rewrite it with: $input_names --readme README.md" >&2
    fail=1
fi

version=$("$sim" --version)
cff=$(sed -n 's/^version: *//p' "$src/CITATION.cff")
if [ "$version" != "vesk-sim $cff" ]; then
    echo "CITATION.cff has version '$cff', $sim --version prints '$version'" >&2
    fail=1
fi
# The README's sentence for a methods section names the version too.
grep -q "run with vesk-sim $cff \[citation\]" "$src/README.md" ||
    { echo "README.md: the methods sentence does not name vesk-sim $cff" >&2; fail=1; }
exit "$fail"
