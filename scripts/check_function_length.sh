#!/usr/bin/env bash
# Fails when a function of the C++ sources is longer than LIMIT lines (default
# 60), counted from its first line to its closing brace as universal-ctags
# sees them.  Usage: scripts/check_function_length.sh [LIMIT] [DIR...]
#
# GoogleTest's TEST(), TEST_F(), TEST_P() and TYPED_TEST() bodies are
# functions too: ctags takes each for a function named after the macro, and
# the report names the test instead (TEST Suite.Name).  A test whose body
# ctags does not see as a function (a macro it cannot follow) fails the
# check too, as it could not be measured.
set -euo pipefail
cd "$(dirname "$0")/.."
limit="${1:-60}"
shift || true
dirs=("$@")
((${#dirs[@]})) || dirs=(lib apps tests fuzz bench)
command -v ctags >/dev/null || { echo "check_function_length: ctags (universal-ctags) is not installed" >&2; exit 2; }
tags=$(ctags --fields=+ne -o - --languages=C++ --kinds-C++=f -R "${dirs[@]}")
long=$(awk -F'\t' -v limit="$limit" '{
    line = 0; end = 0
    for (i = 4; i <= NF; i++) {
        if ($i ~ /^line:/) line = substr($i, 6)
        if ($i ~ /^end:/) end = substr($i, 5)
    }
    name = $1
    # A test body: its suite and name from the line, TEST(Suite, Name) {
    if (name ~ /^(TYPED_)?TEST(_F|_P)?$/ && match($3, /\([ \t]*[A-Za-z_0-9]+[ \t]*,[ \t]*[A-Za-z_0-9]+/)) {
        args = substr($3, RSTART + 1, RLENGTH - 1)
        gsub(/[ \t]/, "", args)
        sub(/,/, ".", args)
        name = name " " args
    }
    if (line > 0 && end > 0 && end - line + 1 > limit)
        printf "%s:%d: %s is %d lines long (at most %d)\n", $2, line, name, end - line + 1, limit
}' <<<"$tags")
# Every test macro at the start of a line must open a function ctags measured.
seen=$(awk -F'\t' '{ for (i = 4; i <= NF; i++) if ($i ~ /^line:/) print $2 ":" substr($i, 6) }' <<<"$tags" | sort -u)
macros=$(grep -rnE --include='*.cpp' --include='*.cc' --include='*.cxx' --include='*.h' --include='*.hpp' \
           '^[[:space:]]*(TYPED_)?TEST(_F|_P)?[[:space:]]*\(' "${dirs[@]}" 2>/dev/null |
         cut -d: -f1,2 | sort -u || true)
unseen=$(comm -23 <(printf '%s\n' "$macros" | sed '/^$/d') <(printf '%s\n' "$seen" | sed '/^$/d'))
if [ -n "$unseen" ]; then
  long+="${long:+$'\n'}$(sed 's/$/: a test whose body ctags does not see as a function, so its length is unknown/' <<<"$unseen")"
fi
if [ -n "$long" ]; then
  echo "$long"
  exit 1
fi
echo "function length: no function over $limit lines in ${dirs[*]}"
