// libFuzzer target for the DEFLATE decoders and the compressor. The first
// byte chooses the decoder (raw, zlib, gzip); the rest is the data. Each
// input is measured (no room), then decoded into exactly the room measured
// and into half of it, with the output in a heap block of exactly that size
// so that ASan sees any write past it. Then the data is compressed in all
// three forms and must decode to itself. Any status outside 0-6, a decode
// that disagrees with its measure, a failed round trip, a crash, a
// sanitizer report or a hang (-timeout) is a fault.
//
// Build and run: see tests/fuzz/README.md.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "services/deflate.h"

using namespace qel;

namespace {

using Codec = int32_t (*)(uint8_t*, size_t*, const uint8_t*, size_t);

void check(bool ok) {
  if (!ok) std::abort();
}

// Decodes into a block of exactly `room` bytes.
int32_t decode(Codec codec, const uint8_t* in, size_t n, size_t room, size_t* size,
               std::unique_ptr<uint8_t[]>* keep = nullptr) {
  std::unique_ptr<uint8_t[]> out(room ? new uint8_t[room] : nullptr);
  *size = room;
  const int32_t status = codec(out.get(), size, in, n);
  if (keep) *keep = std::move(out);
  return status;
}

void round_trip(Codec encode, Codec decoder, const uint8_t* in, size_t n) {
  size_t packed_size = 0;
  std::unique_ptr<uint8_t[]> packed;
  check(decode(encode, in, n, deflate::compress_bound(n), &packed_size, &packed) == deflate::kDone);
  size_t size = 0;
  std::unique_ptr<uint8_t[]> out;
  check(decode(decoder, packed.get(), packed_size, n, &size, &out) == deflate::kDone);
  check(size == n && (n == 0 || std::memcmp(out.get(), in, n) == 0));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const int which = data[0] % 3;
  data++;
  size--;
  const Codec decoders[3] = {deflate::decompress, deflate::zlib_decode, deflate::gzip_decode};
  const Codec codec = decoders[which];

  size_t measured = 0;
  const int32_t status = codec(nullptr, &measured, data, size);
  check(status >= 0 && status <= 6);
  if ((status == deflate::kDone || status == deflate::kTooSmall) && measured <= (64u << 20)) {
    size_t got = 0;
    const int32_t full = decode(codec, data, size, measured, &got);
    if (which == 0) {
      // The raw decoder measures exactly what it decodes.
      check(full == deflate::kDone && got == measured);
      if (measured > 1) {
        check(decode(codec, data, size, measured / 2, &got) == deflate::kTooSmall);
        check(got == measured);
      }
    } else {
      // The containers check their trailers only with the output in hand.
      check(full == deflate::kDone ? got == measured : full == deflate::kBadContainer || full <= 6);
    }
  }

  round_trip(deflate::compress, deflate::decompress, data, size);
  round_trip(deflate::zlib_encode, deflate::zlib_decode, data, size);
  // Input already in gzip form comes back as it is, so it cannot round-trip.
  if (!(size > 2 && data[0] == 0x1F && data[1] == 0x8B && data[2] == 8))
    round_trip(deflate::gzip_encode, deflate::gzip_decode, data, size);
  return 0;
}
