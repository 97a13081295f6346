// Lexer throughput: loads a file of Qel source many times and reports the
// best rate in MB/s, as `load` of a binary and of an ASCII string (scanned
// in place), with the series allocated per run against the values that need
// a series (strings and blocks): the lexer allocates nothing else per token.
//
//     bench/lexer_bench.sh            (generates the input, builds, runs)
//     lexer_bench FILE [runs]
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "lexer/lexer.h"
#include "memory/collector.h"
#include "memory/series.h"
#include "datatypes/init.h"

using namespace qel;

namespace {

struct Count {
  uint64_t values = 0;
  uint64_t series = 0;  // values that own a series
};

void count(const Cell* block, Count& c) {
  SeriesBuffer* b = memory::series(block->node());
  for (uint32_t i = 0; i < b->length(); i++) {
    const Cell* v = memory::series(block->node())->cells() + i;
    c.values++;
    if (is_any_block(v->type())) {
      c.series++;
      count(v, c);
    } else if (is_any_string(v->type()) || v->is(TypeId::binary)) {
      c.series++;
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: lexer_bench FILE [runs]\n");
    return 2;
  }
  int runs = argc > 2 ? std::atoi(argv[2]) : 5;
  FILE* f = std::fopen(argv[1], "rb");
  if (!f) return 2;
  std::vector<uint8_t> text;
  uint8_t buf[65536];
  for (size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;) text.insert(text.end(), buf, buf + n);
  std::fclose(f);
  values::init();
  lexer::init();

  // The same text as a string! of 1-byte units (ASCII: scanned in place).
  collector::Root str;
  {
    Node n = memory::alloc_units(text.size(), 1);
    SeriesBuffer* s = memory::series(n);
    std::memcpy(s->head_ptr(), text.data(), text.size());
    s->tail = s->offset + static_cast<uint32_t>(text.size());
    set_series(str.get(), TypeId::string, n);
  }

  double mb = static_cast<double>(text.size()) / 1e6;
  for (int mode = 0; mode < 2; mode++) {
    double best = 1e30;
    Count c;
    uint64_t allocated = 0;
    for (int r = 0; r < runs; r++) {
      collector::Root out;
      uint64_t before = memory::stats().series_count;
      auto t0 = std::chrono::steady_clock::now();
      if (mode == 0)
        lexer::scan(out.get(), text.data(), static_cast<uint32_t>(text.size()), {});
      else
        lexer::load_string(out.get(), str.get(), -1, {});
      auto t1 = std::chrono::steady_clock::now();
      allocated = memory::stats().series_count - before;
      best = std::min(best, std::chrono::duration<double>(t1 - t0).count());
      if (r == 0) count(out.get(), c);
      collector::collect();
    }
    std::printf("%-8s %6.1f MB in %7.1f ms: %6.1f MB/s; %llu values, %llu own a series, "
                "%llu series allocated\n",
                mode == 0 ? "binary" : "string", mb, best * 1e3, mb / best,
                static_cast<unsigned long long>(c.values), static_cast<unsigned long long>(c.series),
                static_cast<unsigned long long>(allocated));
  }
  return 0;
}
