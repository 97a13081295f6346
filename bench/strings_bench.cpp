// String benchmarks: appending ASCII one character per call and in runs,
// finding a substring (exact and case-folded) and a character in a 16 MB
// 1-byte text, and molding a 1 MB text. Prints one line per measurement;
// run the release build (bench/README.md).
#include <chrono>
#include <cstdio>
#include <string>

#include "core/stack.h"
#include "values/actions.h"
#include "datatypes/string.h"
#include "datatypes/init.h"

using namespace qel;

namespace {

double seconds_since(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// Best of `runs` timings of f().
template <class F>
double best(int runs, F&& f) {
  double b = 1e30;
  for (int i = 0; i < runs; i++) {
    auto t0 = std::chrono::steady_clock::now();
    f();
    b = std::min(b, seconds_since(t0));
  }
  return b;
}

}  // namespace

int main() {
  values::init();

  // append: one ASCII character per call, through the action's function.
  constexpr int kChars = 10000000;
  double t = best(3, [] {
    Cell s;
    string::rs_make_at(&s, 1);
    Cell c;
    set_char(&c, 'a');
    for (int i = 0; i < kChars; i++) {
      c.data3 = 'a' + (i & 15);
      string::append(&s, &c, -1, false, 1, true);
    }
  });
  std::printf("append char (ASCII, 10M calls): %.1f ns per char\n", t * 1e9 / kChars);

  // append: a 16-character ASCII text per call.
  constexpr int kRuns = 1000000;
  t = best(3, [] {
    Cell s, piece;
    string::rs_make_at(&s, 1);
    string::make_utf8(&piece, "0123456789abcdef");
    for (int i = 0; i < kRuns; i++) string::append(&s, &piece, -1, false, 1, true);
  });
  std::printf("append 16-char text (1M calls): %.1f ns per call\n", t * 1e9 / kRuns);

  // find in a 16 MB 1-byte text: the pattern is at the very end.
  std::string hay(16 << 20, 'x');
  for (size_t i = 0; i < hay.size(); i += 7) hay[i] = static_cast<char>('a' + i % 23);
  hay.replace(hay.size() - 12, 12, "Needle-Found");
  Cell h;
  string::rs_make_at(&h, static_cast<uint32_t>(hay.size()));
  string::append_bytes(&h, hay.data(), hay.size());
  Cell needle, lower_needle, ch;
  string::make_utf8(&needle, "Needle-Found");
  string::make_utf8(&lower_needle, "needle-found");
  set_char(&ch, 'N');
  const double mb = hay.size() / 1e6;
  auto find_time = [&](Cell* v, bool case_) {
    return best(5, [&] {
      stack::reset();
      FindArgs a;
      a.case_ = case_;
      Cell* r = string::find(&h, v, a);
      if (r->is(TypeId::none)) std::printf("not found!\n");
    });
  };
  std::printf("find/case substring (16 MB): %.0f MB/s\n", mb / find_time(&needle, true));
  std::printf("find substring, case folded (16 MB): %.0f MB/s\n", mb / find_time(&lower_needle, false));
  std::printf("find/case char (16 MB): %.0f MB/s\n", mb / find_time(&ch, true));

  // mold of a 1 MB text with a line feed every 64 characters.
  std::string text(1 << 20, 'm');
  for (size_t i = 63; i < text.size(); i += 64) text[i] = '\n';
  Cell src;
  string::make_utf8(&src, text);
  t = best(5, [&] {
    Cell out;
    string::rs_make_at(&out, 16);
    actions::call_mold(&src, &out, {}, nullptr, string::kNoLimit, 0);
  });
  std::printf("mold (1 MB, braces, escaped line feeds): %.0f MB/s\n", text.size() / 1e6 / t);
  return 0;
}
