#!/usr/bin/env bash
# Counts the machine instructions the interpreter spends per unit of work in
# the evaluator benchmarks (one fib call, one loop iteration ...), with
# callgrind: unlike seconds, the counts repeat exactly on a loaded machine,
# so they show the effect of a change to the hot paths.
#
# Each program runs in a smaller version (the same code, fewer iterations);
# the instructions of an empty script (start-up, library) are subtracted and
# the rest divided by the number of units. The calls below them (a call by
# word, through a path with refinements, an object's method ...) each run
# one expression in a loop, counted against the same loop running `none`.
#
# Usage: bench/instructions.sh [program ...]   (default: all of them)
# Environment: QEL (the command that runs a Qel script; default: qel-run
#              from a release build made in build/bench).
# Needs valgrind (apt-get install valgrind).
set -euo pipefail

here="$(cd "$(dirname "$0")" && pwd)"
root="$(cd "$here/.." && pwd)"

source "$here/common.sh"
bench_qel qel-run
command -v valgrind >/dev/null || { echo "missing: valgrind (apt-get install valgrind)"; exit 1; }

if [[ $# -gt 0 ]]; then
  programs=("$@")
else
  programs=(fib loop calls exits word refined method method-word method-refined set-any copy-part
            append attempt)
fi

tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT

# The smaller programs and their number of units.
echo 'Qel []' > "$tmp/empty.qel"
cat > "$tmp/fib.qel" <<'EOF'
Qel []
fib: func [n] [either n < 2 [n] [(fib n - 1) + fib n - 2]]
print fib 20
EOF
cat > "$tmp/loop.qel" <<'EOF'
Qel []
s: 0 repeat i 200000 [s: s + (i and 7)]
print s
EOF
cat > "$tmp/calls.qel" <<'EOF'
Qel []
f: func [a b] [a + b]
s: 0 loop 200000 [s: f s 1]
print s
EOF
cat > "$tmp/exits.qel" <<'EOF'
Qel []
f: func [n] [if n > 0 [return n] 0]
s: 0 loop 200000 [s: s + f 1]
print s
EOF
declare -A units=([fib]=21891 [loop]=200000 [calls]=200000 [exits]=200000)
declare -A unit_names=([fib]="call" [loop]="iteration" [calls]="iteration" [exits]="iteration")

# Calls as the library and users make them: each is one expression run
# 20,000 times in a loop, counted against the same script whose loop body
# is `none` (the loop and the set-up taken off).
declare -A calls_of=(
  [word]='f: func [x] [x]|f 10'
  [refined]='g: func [x /twice /add y] [x]|g/twice/add 10 2'
  [method]='a: make object! [bal: 0 deposit: func [n] [bal: bal + n]]|a/deposit 10'
  [method-word]='a: make object! [bal: 0 deposit: func [n] [bal: bal + n]] deposit: :a/deposit|deposit 10'
  [method-refined]='a: make object! [bal: 0 deposit: func [n /twice] [bal: bal + either twice [n * 2] [n]]]|a/deposit/twice 10'
  [set-any]="r: none|set/any 'r 1"
  [copy-part]='s: "abcdef"|copy/part s 2'
  [append]='s: copy ""|append s "abc"'
  [attempt]='|attempt [1]'
)
for p in "${!calls_of[@]}"; do
  setup="${calls_of[$p]%%|*}"
  body="${calls_of[$p]#*|}"
  printf 'Qel []\n%s\nloop 20000 [%s]\n' "$setup" "$body" > "$tmp/$p.qel"
  printf 'Qel []\n%s\nloop 20000 [none]\n' "$setup" > "$tmp/$p.base.qel"
  units[$p]=20000
  unit_names[$p]="call of \`$body\`"
done

count() {
  valgrind --tool=callgrind --callgrind-out-file=/dev/null "$QEL" "$1" 2>&1 |
    sed -n 's/.*Collected : \([0-9]*\).*/\1/p'
}

empty="$(count "$tmp/empty.qel")"
for p in "${programs[@]}"; do
  [[ -n "${units[$p]:-}" ]] || { echo "$p: no small version (${!units[*]})"; exit 1; }
  total="$(count "$tmp/$p.qel")"
  base="$empty"
  [[ -f "$tmp/$p.base.qel" ]] && base="$(count "$tmp/$p.base.qel")"
  echo "$p: $(( (total - base) / units[$p] )) instructions per ${unit_names[$p]}"
done
