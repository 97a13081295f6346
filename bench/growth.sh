#!/bin/sh
# The growth benchmark: each piece of work at three sizes, one process per
# run, printing the time per item at each size, the ratio of the largest
# size's time per item to the smallest's (1.0 is linear growth), and the
# peak memory (maximum resident set) of each process.
#
#   bench/growth.sh [qel-binary] [row ...]
#   QEL=build/release/qel RUNS=3 bench/growth.sh
#
# The binary defaults to $QEL, else build/release/qel. Rows are the script
# names of bench/growth/ (all of them by default). RUNS (default 1) runs
# each size that many times and keeps the best time (on a shared machine
# single runs move by 2x) and the highest peak.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
qel=${QEL:-$here/../build/release/qel}
if [ $# -gt 0 ] && [ -x "$1" ] && [ ! -d "$1" ]; then qel=$1; shift; fi
[ -x "$qel" ] || { echo "growth.sh: no qel binary at $qel" >&2; exit 1; }

sizes() {
	case $1 in
	loop-block) echo 50000 100000 200000 ;;
	loop-image) echo 500 1000 2000 ;;
	remove-each-block|remove-each-string) echo 50000 100000 200000 ;;
	hash-find) echo 400000 1600000 6400000 ;;
	map-select) echo 100000 400000 1600000 ;;
	print-lines) echo 25000 50000 100000 ;;
	sort-strings) echo 100000 300000 1000000 ;;
	sort-integers|load|mold|find-block) echo 100000 400000 1600000 ;;
	append-string|parse) echo 250000 1000000 4000000 ;;
	recycle) echo 1250000 2500000 5000000 ;;
	*) echo "growth.sh: unknown row $1" >&2; exit 1 ;;
	esac
}

rows=${*:-"loop-block loop-image remove-each-block remove-each-string hash-find map-select print-lines sort-strings sort-integers load mold find-block append-string parse recycle"}
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

printf '%-19s %9s %9s %9s   %-7s %s\n' row size seconds ns/item growth "peak MB"
for row in $rows; do
	first=
	for n in $(sizes "$row"); do
		# Output goes to a file: print-lines measures output that is not a
		# terminal.
		secs= rss=0
		run=0
		while [ "$run" -lt "${RUNS:-1}" ]; do
			run=$((run + 1))
			/usr/bin/time -f %M -o "$tmp/rss" "$qel" "$here/growth/$row.qel" "$n" "$tmp/out" >"$tmp/stdout"
			set -- $(cat "$tmp/out")
			items=$1
			secs=$(awk -v a="$2" -v b="${secs:-$2}" 'BEGIN { print (a < b ? a : b) }')
			r=$(tail -n 1 "$tmp/rss")
			[ "$r" -le "$rss" ] || rss=$r
		done
		per=$(awk -v s="$secs" -v i="$items" 'BEGIN { printf "%.1f", s * 1e9 / i }')
		[ -n "$first" ] || first=$per
		ratio=$(awk -v a="$per" -v b="$first" 'BEGIN { printf "%.2fx", (b > 0 ? a / b : 0) }')
		printf '%-19s %9s %9.4f %9s   %-7s %s\n' "$row" "$n" "$secs" "$per" "$ratio" "$((rss / 1024))"
	done
done
