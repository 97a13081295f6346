// libFuzzer target for the QELBIN decoder (services/qelbin.h). Bit 0 of the
// first byte picks codec mode or boot mode; the rest is the data, in a heap
// block of exactly its size so that ASan sees a read past it. Boot data
// that is no QELBIN ends the process by design (a wrong magic, a packed
// body that does not unpack, a fixed-variant body too short for its
// header): for boot mode the magic is made right, the packed flag cleared,
// and data too short for a fixed body left out. Every value of a decode that
// ended without an error is encoded again in both variants and decoded
// back: the decoder must take whatever the encoder writes (what an error
// cut short may be a value half made, which no encoder is asked to take).
// A crash, a sanitizer report, a hang (-timeout), or qb-invalid-record /
// invalid-data on the encoder's own output is a fault; a catalogued error
// on the fuzzed data is an expected outcome.
//
// Build and run: see tests/fuzz/README.md.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "core/stack.h"
#include "core/unwind.h"
#include "memory/collector.h"
#include "memory/series.h"
#include "runtime/startup.h"
#include "runtime/startup_slots.h"
#include "services/qelbin.h"
#include "datatypes/block.h"
#include "datatypes/error.h"

using namespace qel;

namespace {

void start() {
  cycle_guard::init();
  runtime::init();
  exits::uncaught_errors_end_process = false;
}

void reset_stacks() {
  stack::top = stack::arguments = stack::bottom;
  stack::frame_top = stack::frame_bottom;
}

int32_t error_code() {
  Cell err = unwind::thrown_value;
  return err.is(TypeId::error) ? error::code_of(&err) : -1;
}

// Encodes one decoded value both ways and decodes it back.
void round_trip(const Cell& value) {
  for (qelbin::Variant v : {qelbin::Variant::compact, qelbin::Variant::fixed}) {
    Cell* bin = stack::push_slot();
    try {
      qelbin::encode(&value, bin, v);
    } catch (const NonLocalExit&) {
      // too-deep, no-cycle: the encoder's own refusals.
      stack::top = bin;
      continue;
    }
    Cell* out = stack::push_slot();
    try {
      qelbin::decode_payload(bin, bin, out);
    } catch (const NonLocalExit& e) {
      const int32_t code = error_code();
      if (e.level == level::error &&
          (code == static_cast<int32_t>(ErrorCode::script_qb_invalid_record) ||
           code == static_cast<int32_t>(ErrorCode::script_invalid_data)))
        std::abort();
    }
    stack::top = bin;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool started = (start(), true);
  (void)started;
  static uint32_t runs = 0;
  if (size < 1) return 0;
  const bool boot = data[0] & 1;
  const size_t n = size - 1;
  std::unique_ptr<uint8_t[]> bytes(new uint8_t[n ? n : 1]);
  std::memcpy(bytes.get(), data + 1, n);
  if (boot) {
    if (n < 8) return 0;
    std::memcpy(bytes.get(), "QELBIN", 6);
    bytes[7] &= static_cast<uint8_t>(~2u);
    const bool compact = bytes[7] & 1;
    if (!compact && n < 16) return 0;
  }
  reset_stacks();
  Cell* target = stack::push_slot();
  block::make_at(target, 4);
  bool whole = true;
  try {
    qelbin::decode(bytes.get(), n, target, boot ? qelbin::Mode::boot : qelbin::Mode::codec, target);
  } catch (const NonLocalExit&) {
    whole = false;
  }
  const int32_t count = whole ? block::total_cells(target) : 0;
  for (int32_t i = 0; i < count && i < 64; i++) {
    const Cell value = block::first_cell(target)[i];
    round_trip(value);
  }
  reset_stacks();
  if (++runs % 256 == 0) collector::collect();
  return 0;
}
