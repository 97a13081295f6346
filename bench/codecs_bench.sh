#!/usr/bin/env bash
# Times the JSON and CSV codecs on about 1 MB of text beside Python 3's json
# and csv modules: decoding (load-json, load-csv) and encoding (to-json,
# to-csv) inside one process, the file already read, best of RUNS runs.
# The two sides run one after the other.
#
# Usage: bench/codecs_bench.sh
# Environment: QEL (default: qel from a release build made in build/bench),
#              PYTHON (default /usr/bin/python3), RUNS (default 5).
set -euo pipefail

here="$(cd "$(dirname "$0")" && pwd)"
root="$(cd "$here/.." && pwd)"
PYTHON="${PYTHON:-/usr/bin/python3}"
RUNS="${RUNS:-5}"

source "$here/common.sh"
bench_qel qel

tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT

# The data: records of numbers, text with escapes, logic, null and an array,
# as JSON indented by one blank (about 1.2 MB) and as CSV (about 1 MB).
"$PYTHON" - "$tmp" <<'EOF'
import csv, json, random, sys
random.seed(1)
recs = [{"id": i, "name": "user %d" % i, "email": "u%d@example.com" % i,
         "score": round(random.random() * 100, 3), "active": i % 2 == 0,
         "tags": ["a", "bb", "c\u00e9"], "note": None, "text": "line\nwith \"quotes\""}
        for i in range(5700)]
open(sys.argv[1] + "/data.json", "w").write(json.dumps(recs, indent=1))
with open(sys.argv[1] + "/data.csv", "w", newline="") as f:
    w = csv.writer(f, lineterminator="\n")
    w.writerow(["id", "name", "email", "score", "active", "text"])
    for i in range(12000):
        r = recs[i % len(recs)]
        w.writerow([i, r["name"], r["email"], r["score"], r["active"], r["text"]])
EOF

cat > "$tmp/bench.qel" <<EOF
Qel []
best: func [code /local t b][
	b: none
	loop $RUNS [t: dt code b: either b [min b t][t]]
	to integer! b/second * 1000
]
j: read %$tmp/data.json
c: read %$tmp/data.csv
x: load-json j
y: load-csv c
print ["json-decode" best [load-json j]]
print ["json-encode" best [to-json x]]
print ["csv-decode" best [load-csv c]]
print ["csv-encode" best [to-csv y]]
EOF

cat > "$tmp/bench.py" <<EOF
import csv, io, json, time
def best(f):
    b = None
    for _ in range($RUNS):
        t = time.perf_counter(); f(); t = time.perf_counter() - t
        b = t if b is None else min(b, t)
    return round(b * 1000)
j = open("$tmp/data.json").read()
c = open("$tmp/data.csv").read()
x = json.loads(j)
y = list(csv.reader(io.StringIO(c)))
def enc_csv():
    s = io.StringIO(); csv.writer(s, lineterminator="\n").writerows(y); s.getvalue()
print("json-decode", best(lambda: json.loads(j)))
print("json-encode", best(lambda: json.dumps(x, separators=(",", ":"))))
print("csv-decode", best(lambda: list(csv.reader(io.StringIO(c)))))
print("csv-encode", best(enc_csv))
EOF

printf 'sizes: %s bytes of JSON, %s bytes of CSV\n' "$(stat -c %s "$tmp/data.json")" "$(stat -c %s "$tmp/data.csv")"
printf '%-12s %8s %8s\n' task "qel ms" "py ms"
# One side after the other: run at the same time, they share the machine and
# the ratios come out too small.
"$QEL" "$tmp/bench.qel" >"$tmp/qel.out"
"$PYTHON" "$tmp/bench.py" >"$tmp/py.out"
paste -d' ' "$tmp/qel.out" "$tmp/py.out" |
  awk '{ printf "%-12s %8s %8s\n", $1, $2, $4 }'
