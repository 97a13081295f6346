// The routines of the codec registry and of the JSON decoder (see
// library/codec_routines.h).
//
// The image codecs (png, jpeg, bmp, gif, tiff) call image!'s encoder and
// decoder; the QELBIN codec the QELBIN writer and reader (services/
// qelbin.h).
#include "library/codec_routines.h"

#include "library/codec_fast.h"

#include <cctype>
#include <cstdint>

#include "datatypes/image.h"
#include "core/stack.h"
#include "library/startup_binding.h"
#include "services/files.h"
#include "services/qelbin.h"
#include "core/errors.h"
#include "datatypes/string.h"

namespace qel::library {

namespace {

Cell* arg(int i) { return stack::arguments + i; }

[[noreturn]] void not_done() { fire(ErrorCode::internal_not_done); }

// --- image codecs

// The image service's format codes.
enum class ImageFormat : int32_t { bmp = 0, png = 1, gif = 2, jpeg = 3, tiff = 4 };

// Encodes the image (argument 0) for the destination (argument 1) into a new
// binary! (the caller writes it where it goes).
template <ImageFormat format>
void image_encode() {
  Cell img = *arg(0);
  Cell* bin = image::encode(&img, nullptr, static_cast<int32_t>(format));
  *arg(0) = *bin;
}

// Decodes a binary! from memory (none when the bytes are no image) or a file
// from disk into an image!.
void image_decode() {
  Cell data = *arg(0);
  *arg(0) = *image::decode(&data);
}

// --- QELBIN codec

// The compact (argument 1 true) or fixed-width writer of argument 0.
void qelbin_encode_star() {
  const Cell data = *arg(0);
  const bool compact = !is_falsy(arg(1));
  qelbin::encode(&data, arg(0), compact ? qelbin::Variant::compact : qelbin::Variant::fixed);
}

// Reads a file (or takes a binary) and decodes its values: one value stands
// for itself, several come as a block.
void qelbin_decode() {
  Cell* payload = arg(0);
  Cell bytes;
  switch (payload->type()) {
    case TypeId::binary:
      bytes = *payload;
      break;
    case TypeId::file:
      files::read(payload, -1, -1, true, false, &bytes);
      break;
    case TypeId::url:
      // Wire here: read/binary of the URL.
      not_done();
    default:
      fire(ErrorCode::script_invalid_data, payload);
  }
  SeriesBuffer* b = memory::series(bytes.node());
  int64_t size = static_cast<int64_t>(b->length()) - bytes.head();
  if (size <= 10) fire(ErrorCode::script_invalid_data, payload);
  Cell* keep = stack::push(&bytes);
  const Cell source = *payload;
  qelbin::decode_payload(keep, &source, arg(0));
}

// --- JSON

void json_unescape_routine() { json_unescape(arg(0)); }

// Called first by each codec function: on the first call, binds the codecs'
// code to the start-up values of the global words it reads, so that a script
// that overwrites one of them (back: 1) does not break the codecs.
void use_startup_values() {
  bind_to_startup_values({"load-json", "to-json", "load-csv", "to-csv"});
  set_none(arg(0));
}

// The fast paths of the codecs (library/codec_fast.h): each answers none
// when the Qel code must do the work.
void json_fast_load() { codec_fast::json_decode(arg(0), arg(0)); }
void json_fast_save() {
  const Cell data = *arg(0);
  const Cell indent = *arg(1);
  codec_fast::json_encode(&data, &indent, !is_falsy(arg(2)), arg(0));
}
// A delimiter or quote other than a character that has a case (find and
// replace without /case would match its other case).
bool plain_mark(const Cell* c) { return c->data3 < 0x80 && !std::isalpha(static_cast<int>(c->data3)); }
void csv_fast_load() {
  const Cell text = *arg(0);
  codec_fast::csv_decode(&text, arg(1)->data3, arg(2)->data3, arg(0));
}
void csv_fast_save() {
  const Cell lines = *arg(0);
  if (!plain_mark(arg(1)) || !plain_mark(arg(2))) {
    set_none(arg(0));
    return;
  }
  codec_fast::csv_encode(&lines, arg(1)->data3, arg(2)->data3, arg(0));
}

// The value of a hexadecimal digit, or -1.
int32_t hex_value(uint32_t c) {
  if (c >= '0' && c <= '9') return static_cast<int32_t>(c - '0');
  if (c >= 'A' && c <= 'F') return static_cast<int32_t>(c - 'A' + 10);
  if (c >= 'a' && c <= 'f') return static_cast<int32_t>(c - 'a' + 10);
  return -1;
}

constexpr RoutineDef kCodecRoutines[] = {
    {"png-encode", image_encode<ImageFormat::png>, R"spec(img [image!] where [any-type!])spec",
     TypeId::none_id},
    {"jpeg-encode", image_encode<ImageFormat::jpeg>, R"spec(img [image!] where [any-type!])spec",
     TypeId::none_id},
    {"bmp-encode", image_encode<ImageFormat::bmp>, R"spec(img [image!] where [any-type!])spec",
     TypeId::none_id},
    {"gif-encode", image_encode<ImageFormat::gif>, R"spec(img [image!] where [any-type!])spec",
     TypeId::none_id},
    {"tiff-encode", image_encode<ImageFormat::tiff>, R"spec(img [image!] where [any-type!])spec",
     TypeId::none_id},
    {"image-decode", image_decode, R"spec(data [any-type!])spec", TypeId::none_id},
    {"qelbin-encode*", qelbin_encode_star, R"spec(data [any-type!] compact? [logic!])spec",
     TypeId::none_id},
    {"qelbin-decode", qelbin_decode, R"spec(payload [any-type!])spec", TypeId::none_id},
    {"json-unescape", json_unescape_routine, R"spec(str [string!])spec", TypeId::string},
    {"use-startup-values", use_startup_values, "", TypeId::none_id},
    {"json-fast-load", json_fast_load, R"spec(text [string!])spec", TypeId::none_id},
    {"json-fast-save", json_fast_save,
     R"spec(data [any-type!] indent [string! none!] ascii [logic!])spec", TypeId::none_id},
    {"csv-fast-load", csv_fast_load, R"spec(text [string!] delimiter [char!] quote [char!])spec",
     TypeId::none_id},
    {"csv-fast-save", csv_fast_save, R"spec(lines [block!] delimiter [char!] quote [char!])spec",
     TypeId::none_id},
};

}  // namespace

const RoutineDef* find_codec_routine(std::string_view name) {
  for (const RoutineDef& r : kCodecRoutines)
    if (name == r.name) return &r;
  return nullptr;
}

void json_unescape(Cell* str) {
  SeriesBuffer* b = string::buffer(str);
  const int32_t len = string::buffer_length(b);
  const int32_t head = str->head() < 0 ? 0 : (str->head() > len ? len : str->head());
  auto at = [&](int32_t i) { return string::get_char(string::char_at(b, i), b->unit()); };
  // Four hexadecimal digits at index i as a code unit, or -1.
  auto unit_at = [&](int32_t i) -> int32_t {
    if (len - i < 4) return -1;
    int32_t v = 0;
    for (int32_t k = 0; k < 4; k++) {
      int32_t d = hex_value(at(i + k));
      if (d < 0) return -1;
      v = v * 16 + d;
    }
    return v;
  };
  // Decodes the text from the head. The first walk only checks, so that a
  // bad escape is reported with the text as it was given (a walk that
  // writes has already rewritten the escapes before it); the second writes,
  // and is left out when the text holds no escape.
  auto walk = [&](bool write) {
    bool escaped = false;
    int32_t r = head;
    int32_t w = head;
    while (r < len) {
      uint32_t c = at(r++);
      if (c == '\\') {
        escaped = true;
        if (r >= len) fire(ErrorCode::script_invalid_data, str);
        uint32_t e = at(r++);
        switch (e) {
          case '"': case '\\': case '/': c = e; break;
          case 'b': c = 8; break;
          case 'f': c = 12; break;
          case 'n': c = 10; break;
          case 'r': c = 13; break;
          case 't': c = 9; break;
          case 'u': {
            int32_t u = unit_at(r);
            if (u < 0) fire(ErrorCode::script_invalid_data, str);
            r += 4;
            if (u >= 0xD800 && u <= 0xDBFF) {
              // A high surrogate: a low one must follow at once.
              if (len - r < 6 || at(r) != '\\' || at(r + 1) != 'u')
                fire(ErrorCode::script_invalid_data, str);
              int32_t low = unit_at(r + 2);
              if (low < 0xDC00 || low > 0xDFFF) fire(ErrorCode::script_invalid_data, str);
              r += 6;
              u = 0x10000 + (u - 0xD800) * 1024 + (low - 0xDC00);
            } else if (u >= 0xDC00 && u <= 0xDFFF) {
              fire(ErrorCode::script_invalid_data, str);  // a low surrogate alone
            }
            c = static_cast<uint32_t>(u);
            break;
          }
          default:
            // The decoder's grammar lets no other character follow a backslash.
            fire(ErrorCode::script_invalid_data, str);
        }
      }
      if (!write) continue;
      // The write index never passes the read index, so the text still to be
      // read is intact; widening keeps every character at its index.
      b = string::write_char(b, w++, c);
    }
    if (write) b->tail = b->offset + (static_cast<uint32_t>(w) << string::unit_shift(b->unit()));
    return escaped;
  };
  if (walk(false)) walk(true);
}

}  // namespace qel::library
