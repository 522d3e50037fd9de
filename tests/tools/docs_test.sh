#!/usr/bin/env bash
# The manual against the program and against itself: the command table of
# docs/file-formats.md, the citation file and the methods sentence of
# docs/numerics.md, and every relative link of the READMEs and docs/*.md:
#   docs_test.sh SOURCE_DIR INPUT_NAMES VESK_SIM
set -uo pipefail
src=$1 input_names=$2 sim=$3
fail=0

formats=docs/file-formats.md
table=$(sed -n '/^<!-- input-names:begin/,/^<!-- input-names:end -->/p' "$src/$formats" | sed '1d;$d')
if ! diff -u <(printf '%s\n' "$table") <("$input_names"); then
    echo "$formats: the command table differs from the program's (above);" \
        "rewrite it with: $input_names --readme $formats" >&2
    fail=1
fi

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
