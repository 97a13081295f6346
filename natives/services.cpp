// The natives over the checksum and compression services: checksum,
// compress and decompress. The services (services/checksum.h,
// services/deflate.h) compute on plain bytes; these functions turn the
// arguments into bytes, pick the routine by the method word, make the
// result binary and raise the errors.
#include <string>

#include "datatypes/binary.h"
#include "natives/natives.h"
#include "core/stack.h"
#include "memory/series.h"
#include "text/unicode.h"
#include "services/checksum.h"
#include "services/deflate.h"
#include "services/files.h"
#include "core/errors.h"
#include "datatypes/word.h"

namespace qel::natives {

namespace {

inline bool present(const int32_t* refinements, int i) { return refinements && refinements[i] >= 0; }

// The bytes a value stands for: a binary's from its head, a string's UTF-8
// form (kept in `text`).
struct Bytes {
  const uint8_t* data = nullptr;
  size_t size = 0;
  std::string text;
};

void bytes_of(const Cell* value, Bytes& out) {
  if (value->is(TypeId::binary)) {
    out.data = binary::rs_head(value);
    out.size = static_cast<size_t>(binary::rs_length(value));
    return;
  }
  out.text = unicode::to_utf8_string(value);
  out.data = reinterpret_cast<const uint8_t*>(out.text.data());
  out.size = out.text.size();
}

// A new binary! of `size` bytes of room in `out` (internal `no-memory`
// beyond what a series may hold); answers where its bytes go.
uint8_t* make_room(Cell* out, uint64_t size) {
  const Node n = memory::alloc_bytes(size);
  set_series(out, TypeId::binary, n);
  return memory::series(n)->head_ptr();
}

// Ends a binary made by make_room after its first `size` bytes.
void set_used(Cell* bin, size_t size) {
  SeriesBuffer* s = memory::series(bin->node());
  s->tail = s->offset + static_cast<uint32_t>(size);
}

[[noreturn]] void refuse_with(const Cell* method) {
  Cell ref = refinement::load("with");
  Cell m = *method;
  fire(ErrorCode::script_invalid_refine_arg, &ref, &m);
}

using Codec = int32_t (*)(uint8_t*, size_t*, const uint8_t*, size_t);

// Runs a codec into a new binary of `room` bytes, and once more into one of
// the size it asked for when that was too little. Any other failure is
// script `invalid-data` naming the method.
void run_codec(Codec codec, const Bytes& in, uint64_t room, const Cell* method, Cell* out) {
  for (int attempt = 0; attempt < 2; attempt++) {
    Cell result;
    uint8_t* to = make_room(&result, room);
    size_t size = static_cast<size_t>(room);
    const int32_t status = codec(to, &size, in.data, in.size);
    if (status == deflate::kDone) {
      set_used(&result, size);
      *out = result;
      return;
    }
    if (status != deflate::kTooSmall) break;
    room = size;
  }
  Cell m = *method;
  fire(ErrorCode::script_invalid_data, &m);
}

deflate::Method compression_method(const Cell* method) {
  deflate::Method m;
  if (!deflate::method_of(method->symbol(), &m)) {
    Cell v = *method;
    fire(ErrorCode::script_invalid_arg, &v);
  }
  return m;
}

}  // namespace

// checksum: data method /with spec
void checksum(const int32_t* refinements) {
  Cell* args = stack::arguments;
  const bool with = present(refinements, 0);
  Bytes data;
  if (args[0].is(TypeId::file)) {
    // A folder's name would read as its listing, not as bytes.
    if (files::dir_path_q(&args[0])) {
      Cell f = args[0];
      fire(ErrorCode::access_cannot_open, &f);
    }
    Cell* read = stack::push_slot();
    set_none(read);
    files::read(&args[0], -1, -1, true, false, read);
    bytes_of(read, data);
  } else if (args[0].is(TypeId::binary) || args[0].is(TypeId::string)) {
    bytes_of(&args[0], data);
  } else {
    Cell v = args[0];
    fire(ErrorCode::script_invalid_arg, &v);
  }
  const Cell* method_word = &args[1];
  crypto::Method method;
  if (!crypto::method_of(method_word->symbol(), &method)) {
    Cell v = *method_word;
    fire(ErrorCode::script_invalid_arg, &v);
  }
  const bool keyless = method == crypto::Method::crc32 || method == crypto::Method::tcp ||
                       method == crypto::Method::adler32;
  if (with && keyless) refuse_with(method_word);
  Cell result;
  if (method == crypto::Method::crc32) {
    set_integer(&result, static_cast<int32_t>(crypto::crc32(data.data, data.size)));
  } else if (method == crypto::Method::adler32) {
    set_integer(&result, static_cast<int32_t>(crypto::adler32(data.data, data.size)));
  } else if (method == crypto::Method::tcp) {
    set_integer(&result, static_cast<int32_t>(crypto::tcp_checksum(data.data, data.size)));
  } else if (with) {
    const Cell* spec = &args[refinements[0]];
    if (spec->is(TypeId::integer)) {
      set_integer(&result, crypto::hash_unsupported(data.data, data.size, spec->integer()));
    } else if (spec->is(TypeId::binary) || is_any_string(spec->type())) {
      if (method == crypto::Method::hash) refuse_with(method_word);
      Bytes key;
      bytes_of(spec, key);
      const int32_t code = crypto::method_type(method);
      crypto::Digest mac;
      crypto::hmac(data.data, data.size, key.data, key.size, code, mac);
      binary::make_from(&result, mac.data(), crypto::digest_size(code));
    } else {
      Cell v = *spec;
      fire(ErrorCode::script_invalid_arg, &v);
    }
  } else {
    if (method == crypto::Method::hash) refuse_with(method_word);
    const int32_t code = crypto::method_type(method);
    crypto::Digest digest;
    crypto::digest(data.data, data.size, code, digest);
    binary::make_from(&result, digest.data(), crypto::digest_size(code));
  }
  args[0] = result;
  stack::top = args + 1;
}

// compress: data method
void compress(const int32_t*) {
  Cell* args = stack::arguments;
  const deflate::Method method = compression_method(&args[1]);
  Bytes data;
  bytes_of(&args[0], data);
  Codec codec = method == deflate::Method::zlib      ? deflate::zlib_encode
                : method == deflate::Method::deflate ? deflate::compress
                                                     : deflate::gzip_encode;
  // Room for the worst case, so that one pass always fits (as far as a
  // series can hold it).
  uint64_t room = deflate::compress_bound(data.size);
  if (room > memory::kMaxSeriesBytes) room = memory::kMaxSeriesBytes;
  Cell result;
  run_codec(codec, data, room, &args[1], &result);
  args[0] = result;
  stack::top = args + 1;
}

// decompress: data method /size sz
void decompress(const int32_t* refinements) {
  Cell* args = stack::arguments;
  const deflate::Method method = compression_method(&args[1]);
  Bytes data;
  bytes_of(&args[0], data);
  Codec codec = method == deflate::Method::zlib      ? deflate::zlib_decode
                : method == deflate::Method::deflate ? deflate::decompress
                                                     : deflate::gzip_decode;
  int64_t expected = 0;
  if (present(refinements, 0)) {
    const int32_t sz = args[refinements[0]].integer();
    expected = sz > 0 ? sz : 0;
  }
  // No data expands beyond this: a larger /size would only waste room.
  const uint64_t most = deflate::expansion_bound(data.size);
  if (static_cast<uint64_t>(expected) > most) expected = static_cast<int64_t>(most);
  if (method == deflate::Method::gzip || static_cast<uint64_t>(expected) <= data.size) {
    // Measure first: a decoder given no room runs through the input.
    size_t size = 0;
    const int32_t status = codec(nullptr, &size, data.data, data.size);
    if (status != deflate::kDone && status != deflate::kTooSmall) {
      Cell m = args[1];
      fire(ErrorCode::script_invalid_data, &m);
    }
    expected = static_cast<int64_t>(size);
  }
  Cell result;
  run_codec(codec, data, static_cast<uint64_t>(expected), &args[1], &result);
  args[0] = result;
  stack::top = args + 1;
}

namespace {

const Definition kServices[] = {
    {87, "checksum", checksum, R"spec("Computes a checksum, a digest or an HMAC of data"
        data [binary! string! file!] "Bytes, text (as UTF-8) or a file's content"
        method [word!] "tcp crc32 adler32 md5 sha1 sha256 sha384 sha512 hash"
        /with "A key for an HMAC, or a table size for hash (not for tcp, crc32 or adler32)"
        spec [any-string! binary! integer!] "The key (text as UTF-8), or the size"
        return: [integer! binary!])spec"},
    {103, "compress", compress, R"spec("Compresses data with DEFLATE, raw or in a container"
        data [any-string! binary!] "Bytes, or text as UTF-8"
        method [word!] "zlib deflate gzip"
        return: [binary!])spec"},
    {104, "decompress", decompress, R"spec("Decompresses DEFLATE data, raw or in a container"
        data [binary!] "The compressed bytes"
        method [word!] "zlib deflate gzip"
        /size "The size of the decompressed data, when known (gzip data says it itself)"
        sz [integer!] "Bytes"
        return: [binary!])spec"},
};

}  // namespace

std::span<const Definition> services_natives() { return kServices; }

}  // namespace qel::natives
