// Text and number kernels: UTF-8 decoding into strings and encoding from
// them (ASCII and mixed text), float to shortest text, text to float, and
// the two sorts. Prints one line per measurement; run the release build
// (bench/README.md).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "text/dtoa.h"
#include "memory/series.h"
#include "text/sort.h"
#include "text/unicode.h"

using namespace qel;

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

// Keeps a result alive so the measured work is not optimised away.
volatile uint64_t sink;

void bench_utf8(const char* name, const std::string& text, int rounds) {
  auto src = reinterpret_cast<const uint8_t*>(text.data());
  auto n = static_cast<uint32_t>(text.size());
  Node target = unicode::load_utf8_string(src, n);
  auto t0 = Clock::now();
  for (int r = 0; r < rounds; r++) target = unicode::load_utf8(src, n, target, nullptr, unicode::LineBreaks::keep);
  double decode = seconds_since(t0);

  Cell str;
  set_series(&str, TypeId::string, target);
  t0 = Clock::now();
  for (int r = 0; r < rounds; r++) {
    int32_t length = -1;
    sink = sink + static_cast<uint64_t>(unicode::to_utf8(&str, &length)[0]) + static_cast<uint64_t>(length);
  }
  double encode = seconds_since(t0);
  double mb = double(n) * rounds / 1e6;
  std::printf("utf8 %-12s decode %7.0f MB/s   encode %7.0f MB/s   (unit %u, %u bytes x %d)\n", name, mb / decode,
              mb / encode, memory::series(target)->unit(), n, rounds);
}

}  // namespace

int main() {
  memory::init();

  // UTF-8: 1 MB of ASCII text with line breaks, and text with an accented
  // letter every 16 characters (1-byte strings), and with a euro sign (2-byte).
  std::string ascii;
  while (ascii.size() < (1 << 20)) ascii += "The quick brown fox jumps over the lazy dog 0123456789.\n";
  std::string latin, euro;
  for (size_t i = 0; i < ascii.size(); i++) {
    latin += (i % 16 == 15) ? std::string("\xC3\xA9") : std::string(1, ascii[i]);
    euro += (i % 16 == 15) ? std::string("\xE2\x82\xAC") : std::string(1, ascii[i]);
  }
  bench_utf8("ascii", ascii, 400);
  bench_utf8("latin-1", latin, 100);
  bench_utf8("bmp", euro, 100);

  // Floats: random doubles across the whole range, and "ordinary" values.
  constexpr int kFloats = 2000000;
  std::mt19937_64 rng(1);
  std::vector<double> wide(kFloats), plain(kFloats);
  for (int i = 0; i < kFloats; i++) {
    uint64_t b;
    do {
      b = rng();
      std::memcpy(&wide[i], &b, 8);
    } while (!(wide[i] == wide[i]) || wide[i] - wide[i] != 0);
    plain[i] = double(rng() % 1000000) / 1000.0;
  }
  std::vector<dtoa::Text> texts(kFloats);
  for (auto* set : {&wide, &plain}) {
    auto t0 = Clock::now();
    for (int i = 0; i < kFloats; i++) texts[i] = dtoa::shortest_text((*set)[i]);
    double to_text = seconds_since(t0);
    t0 = Clock::now();
    double sum = 0;
    for (int i = 0; i < kFloats; i++) {
      int32_t rest;
      sum += dtoa::text_to_float(texts[i].chars, texts[i].chars + texts[i].size, &rest);
    }
    double from_text = seconds_since(t0);
    sink = sink + static_cast<uint64_t>(sum);
    std::printf("float %-6s to shortest text %5.1f ns/value   text to float %5.1f ns/value\n",
                set == &wide ? "random" : "plain", to_text / kFloats * 1e9, from_text / kFloats * 1e9);
  }

  // Sorting 1,000,000 random 32-bit integers.
  constexpr size_t kInts = 1000000;
  auto cmp = [](const void* x, const void* y, const void*) -> int32_t {
    int32_t a, b;
    std::memcpy(&a, x, 4);
    std::memcpy(&b, y, 4);
    return (a > b) - (a < b);
  };
  std::vector<int32_t> base(kInts);
  for (auto& v : base) v = static_cast<int32_t>(rng());
  for (int sorted = 0; sorted < 2; sorted++) {
    std::vector<int32_t> a = base, b = base;
    if (sorted) {
      std::sort(a.begin(), a.end());
      b = a;
    }
    auto t0 = Clock::now();
    sort::mergesort(a.data(), kInts, 4, nullptr, cmp);
    double merge = seconds_since(t0);
    t0 = Clock::now();
    sort::qsort(b.data(), kInts, 4, nullptr, cmp);
    double quick = seconds_since(t0);
    std::printf("sort 1M ints %-8s mergesort %6.1f ms   qsort %6.1f ms\n", sorted ? "sorted" : "random", merge * 1e3,
                quick * 1e3);
  }
  return 0;
}
