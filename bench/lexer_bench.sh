#!/bin/sh
# Lexer benchmark: generates 10 MB of Qel source and the same data as JSON,
# builds the release library and the benchmark, and prints the lexer's rate
# next to CPython's json.loads of the JSON.
set -e
cd "$(dirname "$0")/.."
[ -f build/release/build.ninja ] || cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DQEL_TESTS=OFF
ninja -C build/release qelcore qelslots
out=build/release/bench
mkdir -p $out
python3 bench/lexer_gen.py $out/lexer.qel $out/lexer.json 10
g++ -std=c++20 -O2 -I. bench/lexer_bench.cpp build/release/libqelcore.a \
  build/release/runtime/libqelslots.a -o $out/lexer_bench -lpthread
$out/lexer_bench $out/lexer.qel 5
python3 - $out/lexer.json <<'PY'
import json, sys, time
data = open(sys.argv[1]).read()
best = min((lambda t: (json.loads(data), time.perf_counter() - t)[1])(time.perf_counter()) for _ in range(5))
print("json.loads %6.1f MB in %7.1f ms: %6.1f MB/s" % (len(data) / 1e6, best * 1e3, len(data) / 1e6 / best))
PY
