// libFuzzer target for the lexer: random bytes are loaded in every mode
// (load, /next, /scan, /prescan), from binary input and from string input of
// each unit size, with and without an event callback that vetoes, absorbs
// errors and moves the input as the fuzzer's bytes decide. Syntax errors are
// the expected outcome of most inputs; anything else (a crash, a sanitizer
// report, a hang, buffers left taken) is a fault.
//
// Build and run: see tests/fuzz/README.md.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "lexer/lexer.h"
#include "lexer/engine.h"
#include "memory/collector.h"
#include "memory/series.h"
#include "core/unwind.h"
#include "datatypes/init.h"

using namespace qel;

namespace {

// Answers each event from the fuzzer's own bytes.
struct FuzzSink : lexer::EventSink {
  const uint8_t* bits = nullptr;
  size_t count = 0;
  size_t next = 0;
  uint32_t mask = lexer::kAllEvents;
  uint32_t events() const override { return mask; }
  bool on_event(lexer::EventInfo& info) override {
    uint8_t b = count ? bits[next++ % count] : 0;
    // Now and then move the input forwards (never backwards: that would let
    // a callback loop for ever, as a Qel callback could too).
    if ((b & 0x70) == 0x70) info.input += b & 3;
    return (b & 1) != 0;
  }
};

void init_once() {
  static bool done = false;
  if (done) return;
  done = true;
  values::init();
  lexer::init();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  init_once();
  if (size < 2) return 0;
  uint8_t mode = data[0];
  uint8_t answers = data[1];
  data += 2;
  size -= 2;

  FuzzSink sink;
  sink.bits = &answers;
  sink.count = 1;
  sink.mask = (mode & 0x40) ? static_cast<uint32_t>(mode & 0x3F) : lexer::kAllEvents;

  lexer::TranscodeOptions t;
  t.next = mode & 1;
  t.one = mode & 2;
  t.scan = (mode & 0x0C) == 0x04;
  t.prescan = (mode & 0x0C) == 0x08;
  if (mode & 0x80) t.trace = &sink;

  collector::Root src;
  if (mode & 0x10) {
    // String input: the bytes as characters of a 1-, 2- or 4-byte unit string.
    uint32_t unit = (mode & 0x20) ? 4 : (size & 1) ? 2 : 1;
    uint32_t count = static_cast<uint32_t>(size / unit);
    Node n = memory::alloc_units(count, unit);
    SeriesBuffer* s = memory::series(n);
    std::memcpy(s->head_ptr(), data, count * unit);
    if (unit == 4) {
      // Keep code points in range, as a string! holds them.
      for (uint32_t i = 0; i < count; i++) {
        uint32_t cp;
        std::memcpy(&cp, s->head_ptr() + 4 * i, 4);
        cp %= 0x110000;
        std::memcpy(s->head_ptr() + 4 * i, &cp, 4);
      }
    }
    s->tail = s->offset + count * unit;
    set_series(src.get(), TypeId::string, n);
  } else {
    Node n = memory::alloc_bytes(size);
    SeriesBuffer* s = memory::series(n);
    if (size) std::memcpy(s->head_ptr(), data, size);
    s->tail = s->offset + static_cast<uint32_t>(size);
    set_series(src.get(), TypeId::binary, n);
  }

  collector::Root out;
  try {
    lexer::transcode(out.get(), src.get(), t);
  } catch (const NonLocalExit& e) {
    if (e.level != level::error) std::abort();
  }
  if (!lexer::idle()) std::abort();
  collector::collect();
  return 0;
}
