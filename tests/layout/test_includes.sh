#!/usr/bin/env bash
# The include graph of the source tree runs downward only
# (check_includes.py), and the check finds an include that goes the wrong
# way: a program that includes a private header, core that includes the
# checker's.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
root="$1"
python3 "$here/check_includes.py" "$root"

scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT
mkdir -p "$scratch"/lib/{include/pelkaro,core,check} "$scratch"/apps/{common,tool}
touch "$scratch/lib/include/pelkaro/run.h" "$scratch/lib/core/stages.h" "$scratch/lib/check/check_internal.h"
printf '#include "pelkaro/run.h"\n#include "stages.h"\n' > "$scratch/apps/tool/main.cpp"
printf '#include "stages.h"\n#include "check_internal.h"\n' > "$scratch/lib/core/run.cpp"
printf '#include "stages.h"\n#include "check_internal.h"\n' > "$scratch/lib/check/check.cpp"
if out="$(python3 "$here/check_includes.py" "$scratch")"; then
  echo "check_includes.py passed a tree with includes against the layout:"; echo "$out"; exit 1
fi
expected='apps/tool/main.cpp:2: error: "stages.h" is not a header this folder may include
lib/core/run.cpp:2: error: "check_internal.h" is not a header this folder may include
2 includes against the layout in 6 files'
if [ "$out" != "$expected" ]; then
  echo "check_includes.py reported:"; echo "$out"; echo "expected:"; echo "$expected"; exit 1
fi
echo "the planted includes are found"
