#!/usr/bin/env bash
# The manual against the program and against itself: the command table of
# docs/file-formats.md, the contract errors of docs/errors.md, the citation
# file and the methods sentence of docs/numerics.md, and every relative link
# of the READMEs and docs/*.md:
#   docs_test.sh SOURCE_DIR INPUT_NAMES VESK_SIM CONTRACT_ERRORS
set -uo pipefail
src=$1 input_names=$2 sim=$3 contract_errors=$4
fail=0

# A generated table between <!-- NAME:begin ... --> and <!-- NAME:end -->
# against its program's output.
check_table() {  # page, NAME, what, program, its option to rewrite the page
    local table
    table=$(sed -n "/^<!-- $2:begin/,/^<!-- $2:end -->/p" "$src/$1" | sed '1d;$d')
    if ! diff -u <(printf '%s\n' "$table") <("$4"); then
        echo "$1: $3 differ from the program's (above); rewrite with: $4 $5 $1" >&2
        fail=1
    fi
}
check_table docs/file-formats.md input-names "the command table's rows" "$input_names" --readme
check_table docs/errors.md contract-errors "the contract errors" "$contract_errors" --doc

version=$("$sim" --version)
cff=$(sed -n 's/^version: *//p' "$src/CITATION.cff")
if [ "$version" != "vesk-sim $cff" ]; then
    echo "CITATION.cff has version '$cff', $sim --version prints '$version'" >&2
    fail=1
fi
# The sentence for a methods section names the version too.
grep -q "run with vesk-sim $cff \[citation\]" "$src/docs/numerics.md" ||
    { echo "docs/numerics.md: the methods sentence does not name vesk-sim $cff" >&2; fail=1; }

# Anchors as the usual markdown renderers make them from headings: lower case,
# punctuation dropped, blanks turned into hyphens.
anchors() {
    grep -E '^#{1,6} ' "$1" | sed -E 's/^#+ //' | tr '[:upper:]' '[:lower:]' |
        sed -E 's/[^a-z0-9 _-]//g; s/ /-/g'
}
for page in "$src"/README.md "$src"/docs/*.md "$src"/examples/README.md "$src"/bench/README.md; do
    name=${page#"$src"/}
    while IFS= read -r link; do
        target=${link%%#*} anchor=
        [[ $link == *"#"* ]] && anchor=${link#*#}
        file=$page
        [ -n "$target" ] && file=$(dirname "$page")/$target
        if [ ! -e "$file" ]; then
            echo "$name: link to a missing file: $link" >&2
            fail=1
        elif [ -n "$anchor" ] && ! anchors "$file" | grep -qxF -- "$anchor"; then
            echo "$name: link to a missing heading: $link" >&2
            fail=1
        fi
    done < <(grep -oE '\]\([^)]+\)' "$page" | sed -E 's/^\]\(//; s/\)$//' | grep -vE '^[a-z]+:')
done
exit "$fail"
