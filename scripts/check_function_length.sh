#!/usr/bin/env bash
# Fails when a function of the C++ sources is longer than LIMIT lines (default
# 60), counted from its first line to its closing brace as universal-ctags
# sees them.  Usage: scripts/check_function_length.sh [LIMIT] [DIR...]
set -euo pipefail
cd "$(dirname "$0")/.."
limit="${1:-60}"
shift || true
dirs=("$@")
((${#dirs[@]})) || dirs=(lib apps tests fuzz bench)
command -v ctags >/dev/null || { echo "check_function_length: ctags (universal-ctags) is not installed" >&2; exit 2; }
long=$(ctags --fields=+ne -o - --languages=C++ --kinds-C++=f -R "${dirs[@]}" |
  awk -F'\t' -v limit="$limit" '{
      line = 0; end = 0
      for (i = 4; i <= NF; i++) {
          if ($i ~ /^line:/) line = substr($i, 6)
          if ($i ~ /^end:/) end = substr($i, 5)
      }
      if (line > 0 && end > 0 && end - line + 1 > limit)
          printf "%s:%d: %s is %d lines long (at most %d)\n", $2, line, $1, end - line + 1, limit
  }')
if [ -n "$long" ]; then
  echo "$long"
  exit 1
fi
echo "function length: no function over $limit lines in ${dirs[*]}"
