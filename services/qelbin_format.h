// The QELBIN layouts, shared by the decoder (qelbin_decode.cpp), the
// encoder (qelbin_encode.cpp) and the boot data (qelbin_boot.cpp).
//
// Header, both variants: "QELBIN", a version byte (the encoder writes 2,
// boot data 1; never tested), a flags byte (bit 0 compact, bit 1 the rest
// is packed by the memory subsystem's packer, bit 2 a symbol table).
//
// Compact variant after the header: uvarint record count (not used),
// uvarint records size; with a symbol table: uvarint symbol count N, uvarint
// names size S, N 4-byte offsets into the names area, the names area (UTF-8
// names each ending in NUL); then the records. A uvarint is LEB128 of at most
// 5 bytes (the fifth below 0x10); an svarint the zigzag form of a 32-bit
// integer as a uvarint.
//
// Compact record: prefix bytes (0xC0 new line, 0xC1 the contents are a
// reference path, 0xC4 boot data: set the next word to the value after it),
// then a header byte: 0x00-0x7F type id in bits 0-5 (63: a uvarint id
// follows) and a per-type flag in bit 6; 0x80-0xBF the integer 0-63;
// 0xC2 true; 0xC3 false; 0xFF a reference path whose cell is copied.
//
// Fixed variant after the header: 32-bit record count, 32-bit records size;
// with a symbol table: 32-bit N and S, N offsets, the names (each zero-padded
// to a multiple of 8 bytes); then the records as 32-bit words. A record's
// header word holds the type in bits 0-7, new line in bit 31, a reference
// path in bit 19 and the per-type bits below; a zero word is padding.
//
// A reference path is a count (1 to 65,536) and that many indexes: compact
// uvarints, fixed 255, the count and the indexes as words. It is walked from
// the block that receives the decoded values (its buffer start): each index
// picks a cell of a block (from its buffer start), the value of a context
// (words, object!), an error's field (from arg1), a cell of a native's spec,
// or a function's spec (0) or body (1).
#pragma once

#include <cstdint>

#include "services/qelbin.h"
#include "core/cell.h"
#include "core/errors.h"

namespace qel::qelbin::format {

inline constexpr uint8_t kMagic[6] = {'Q', 'E', 'L', 'B', 'I', 'N'};
inline constexpr uint8_t kCodecVersion = 2;
inline constexpr uint8_t kBootVersion = 1;

namespace flag {
inline constexpr uint8_t compact = 0x01;
inline constexpr uint8_t packed = 0x02;
inline constexpr uint8_t symbols = 0x04;
}  // namespace flag

// Compact header and prefix bytes.
namespace byte {
inline constexpr uint8_t type_mask = 0x3F;
inline constexpr uint8_t type_follows = 63;
inline constexpr uint8_t flag = 0x40;
inline constexpr uint8_t small_integer = 0x80;  // 0x80-0xBF: 0 to 63
inline constexpr uint8_t new_line = 0xC0;
inline constexpr uint8_t reference = 0xC1;
inline constexpr uint8_t logic_true = 0xC2;
inline constexpr uint8_t logic_false = 0xC3;
inline constexpr uint8_t set_next = 0xC4;
inline constexpr uint8_t earlier_value = 0xFF;
}  // namespace byte

// Fixed header-word bits.
namespace fixed {
inline constexpr uint32_t new_line = 0x80000000u;
inline constexpr uint32_t reference = 0x00080000u;    // bit 19
inline constexpr uint32_t global_word = 0x02000000u;  // bit 25 (boot data: set next)
inline constexpr uint32_t complement = 0x00800000u;   // bit 23, bitset!
inline constexpr uint32_t negative = 0x00400000u;     // bit 22, money!
inline constexpr uint32_t event_info = 0x01000000u;   // bit 24, object!
inline constexpr uint32_t error_files = 0x01000000u;  // bit 24, error!: files follow
inline constexpr uint32_t ctx_on_stack = 0x20000000u; // bit 29
inline constexpr uint32_t ctx_self = 0x10000000u;     // bit 28
inline constexpr uint32_t ctx_values = 0x40000000u;   // bit 30
inline constexpr uint32_t ctx_kind_shift = 26;        // bits 26-27
inline constexpr uint32_t byte_shift = 8;             // bits 8-15: sizes
inline constexpr uint32_t wrapped_shift = 16;         // bits 16-23: op!
inline constexpr uint32_t earlier_value = 255;
}  // namespace fixed

// The context flags byte of a compact context body.
namespace ctx {
inline constexpr uint8_t kind_mask = 0x03;
inline constexpr uint8_t on_stack = 0x04;
inline constexpr uint8_t self = 0x08;
inline constexpr uint8_t values = 0x10;
}  // namespace ctx

// One level of nesting while encoding or decoding: deeper than kMaxDepth
// raises internal too-deep (the count is the coder's own).
struct Depth {
  explicit Depth(int32_t& d) : d_(d) {
    if (++d_ > kMaxDepth) {
      --d_;
      fire(ErrorCode::internal_too_deep);
    }
  }
  ~Depth() { --d_; }
  int32_t& d_;
};

inline constexpr uint32_t kMaxPath = 65536;
// The largest type id a record may name.
inline constexpr uint32_t kLastType = 54;

// Types with no record: writing one raises access `no-codec` with the
// value, meeting one while decoding the same error with the datatype.
inline bool no_record(TypeId t) {
  return t == TypeId::routine || t == TypeId::triple || t == TypeId::handle ||
         t == TypeId::port || t == TypeId::event;
}

// The block-like types whose cells a reference path steps through.
inline bool path_block(TypeId t) {
  return is_any_block(t) || t == TypeId::map;
}

// The types a tracked series record may take over through a reference.
inline bool series_like(TypeId t) {
  return is_any_block(t) || t == TypeId::map || is_any_string(t) || t == TypeId::vector ||
         t == TypeId::binary || t == TypeId::image || t == TypeId::bitset ||
         t == TypeId::native || t == TypeId::action || t == TypeId::op ||
         t == TypeId::function || t == TypeId::routine;
}

// zigzag forms of 32-bit integers.
inline uint32_t zigzag(int32_t v) {
  return (static_cast<uint32_t>(v) << 1) ^ static_cast<uint32_t>(v >> 31);
}
inline int32_t unzigzag(uint32_t u) {
  return static_cast<int32_t>((u >> 1) ^ (0u - (u & 1)));
}

}  // namespace qel::qelbin::format
