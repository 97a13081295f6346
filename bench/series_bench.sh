#!/usr/bin/env bash
# Times sort of texts and remove-each from Qel code beside CPython:
# - sort and sort/case of 100,000 and 1,000,000 random words (3 to 12
#   letters, a fifth of them with capitals) in a block, beside list.sort()
#   and list.sort(key=str.lower) on the same words, best of RUNS runs;
# - sort of a 1,000,000-character text of wide characters (/stable too);
# - remove-each over 50,000 / 100,000 / 200,000 integers in a block and
#   characters in a string (every other one removed), in time per item,
#   beside a list comprehension.
#
# Usage: bench/series_bench.sh
# Environment: QEL (default: qel from a release build made in build/bench),
#              PYTHON (default /usr/bin/python3), RUNS (default 3).
set -euo pipefail

here="$(cd "$(dirname "$0")" && pwd)"
root="$(cd "$here/.." && pwd)"
PYTHON="${PYTHON:-/usr/bin/python3}"
RUNS="${RUNS:-3}"

source "$here/common.sh"
bench_qel qel

tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT

"$PYTHON" - "$tmp" "$RUNS" <<'EOF'
import random, sys, time
random.seed(7)
al = 'abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ'
runs = int(sys.argv[2])
for n in (100000, 1000000):
    words = [''.join(random.choice(al if random.random() < 0.2 else al[:26])
                     for _ in range(random.randint(3, 12))) for _ in range(n)]
    open(f"{sys.argv[1]}/words{n}.txt", "w").write("\n".join(words) + "\n")
    best = best_lower = 1e9
    for _ in range(runs):
        c = list(words); t = time.perf_counter(); c.sort(); best = min(best, time.perf_counter() - t)
        c = list(words); t = time.perf_counter(); c.sort(key=str.lower)
        best_lower = min(best_lower, time.perf_counter() - t)
    print(f"python  sort {n} words: {best * 1000:.0f} ms, key=str.lower {best_lower * 1000:.0f} ms")
for n in (50000, 100000, 200000):
    c = list(range(1, n + 1))
    t = time.perf_counter(); c = [x for x in c if x % 2 == 0]; d = time.perf_counter() - t
    print(f"python  comprehension {n}: {d * 1e9 / n:.0f} ns per item")
EOF

cat > "$tmp/series.qel" <<EOF
Qel []
ms: func [a b] [1000 * to-float difference b a]
runs: $RUNS
foreach n [100000 1000000] [
  w: read/lines to-file rejoin ["$tmp/words" n ".txt"]
  best: best-case: 1e9
  loop runs [
    c: copy w t: now/precise sort c best: min best ms t now/precise
    c: copy w t: now/precise sort/case c best-case: min best-case ms t now/precise
  ]
  print ["qel     sort" n "words:" round best "ms, sort/case" round best-case "ms"]
]
random/seed 1
s: make string! 1000000 loop 1000000 [append s to-char 200 + random 600]
best: best-stable: 1e9
loop runs [
  c: copy s t: now/precise sort c best: min best ms t now/precise
  c: copy s t: now/precise sort/stable c best-stable: min best-stable ms t now/precise
]
print ["qel     sort of 1000000 wide characters:" round best "ms, sort/stable" round best-stable "ms"]
foreach n [50000 100000 200000] [
  b: make block! n repeat i n [append b i]
  s: make string! n loop n / 2 [append s "ab"]
  recycle
  t: now/precise remove-each x b [odd? x] tb: ms t now/precise
  recycle
  t: now/precise remove-each c s [c = #"a"] ts: ms t now/precise
  print ["qel     remove-each" n ": block" round tb * 1e6 / n "ns per item, string" round ts * 1e6 / n "ns per item"]
]
EOF
"$QEL" "$tmp/series.qel"
