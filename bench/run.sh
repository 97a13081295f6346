#!/usr/bin/env bash
# Times each benchmark program in Qel, Python 3 and Lua 5.4 side by side and
# prints the best time of each (on a shared machine the noise only adds) and
# the ratios Qel/Python and Qel/Lua.
#
# Usage: bench/run.sh [program ...]      (default: every program)
# Environment: QEL (the command that runs a Qel script; default: qel-run
#              from a release build made in build/bench),
#              PYTHON (default /usr/bin/python3, Debian's optimised build),
#              LUA (default lua5.4), RUNS (hyperfine runs per command, default 5).
# Needs hyperfine and lua5.4 (apt-get install hyperfine lua5.4).
set -euo pipefail

here="$(cd "$(dirname "$0")" && pwd)"
root="$(cd "$here/.." && pwd)"
programs_dir="$here/programs"
PYTHON="${PYTHON:-/usr/bin/python3}"
LUA="${LUA:-lua5.4}"
RUNS="${RUNS:-5}"

source "$here/common.sh"
bench_qel qel-run

for tool in hyperfine "$LUA" "$PYTHON"; do
  command -v "$tool" >/dev/null || { echo "missing: $tool (apt-get install hyperfine lua5.4 python3)"; exit 1; }
done

if [[ $# -gt 0 ]]; then programs=("$@"); else programs=(fib loop calls exits blocks strings jsontrip csvtrip words objects exprs report); fi

tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT

printf '%-8s %10s %10s %10s %9s %9s\n' program qel python lua qel/py qel/lua
for p in "${programs[@]}"; do
  # Each program must print the same result in all three languages.
  q="$("$QEL" "$programs_dir/$p.qel")"
  y="$("$PYTHON" "$programs_dir/$p.py")"
  l="$("$LUA" "$programs_dir/$p.lua")"
  if [[ "$q" != "$y" || "$q" != "$l" ]]; then
    echo "$p: results differ: qel=$q python=$y lua=$l"; exit 1
  fi
  hyperfine -N --warmup 1 --runs "$RUNS" --export-json "$tmp/$p.json" \
    "$QEL $programs_dir/$p.qel" "$PYTHON $programs_dir/$p.py" "$LUA $programs_dir/$p.lua" >/dev/null
  "$PYTHON" - "$tmp/$p.json" "$p" <<'PY'
import json, sys
r = [x["min"] for x in json.load(open(sys.argv[1]))["results"]]
print(f"{sys.argv[2]:<8} {r[0]:9.3f}s {r[1]:9.3f}s {r[2]:9.3f}s {r[0]/r[1]:9.2f} {r[0]/r[2]:9.2f}")
PY
done
