// Checksum and compression benchmarks: CRC-32, Adler-32 and the internet
// checksum over 64 MB, the digests over 64 MB, and DEFLATE on a text corpus
// (the project's own sources, repeated to 32 MB) and on random bytes:
// compressing, inflating our output and inflating the reference codec's
// output at levels 1, 6 and 9. With zlib found at build time the same runs
// of zlib's own routines are printed beside ours. Throughput is measured on
// the uncompressed size. Run the release build (bench/README.md).
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "services/checksum.h"
#include "services/deflate.h"

#ifdef QEL_BENCH_ZLIB
#include <zlib.h>
#endif

using namespace qel;
using Bytes = std::vector<uint8_t>;

namespace {

template <class F>
double best(int runs, F&& f) {
  double b = 1e30;
  for (int i = 0; i < runs; i++) {
    auto t0 = std::chrono::steady_clock::now();
    f();
    b = std::min(b, std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
  }
  return b;
}

void report(const char* what, double seconds, size_t bytes) {
  std::printf("%-46s %8.1f ms  %7.0f MB/s\n", what, seconds * 1e3, bytes / seconds / 1e6);
}

volatile uint32_t sink;

// The project's sources, repeated up to `size` bytes.
Bytes text_corpus(const char* root, size_t size) {
  Bytes all;
  for (const auto& e : std::filesystem::recursive_directory_iterator(root)) {
    const std::string p = e.path().string();
    if (p.find("/build") != std::string::npos || p.find("/.git") != std::string::npos) continue;
    const std::string ext = e.path().extension().string();
    if (!e.is_regular_file() || (ext != ".cpp" && ext != ".h" && ext != ".qel" && ext != ".md")) continue;
    std::ifstream f(p, std::ios::binary);
    all.insert(all.end(), std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
  }
  if (all.empty()) all.assign(1000, 'x');
  Bytes out;
  while (out.size() < size) out.insert(out.end(), all.begin(), all.begin() + std::min(all.size(), size - out.size()));
  return out;
}

Bytes ours_compress(const Bytes& in) {
  Bytes out(deflate::compress_bound(in.size()));
  size_t size = out.size();
  deflate::compress(out.data(), &size, in.data(), in.size());
  out.resize(size);
  return out;
}

#ifdef QEL_BENCH_ZLIB
Bytes zlib_compress(const Bytes& in, int level) {
  z_stream z{};
  deflateInit2(&z, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
  Bytes out(deflateBound(&z, in.size()));
  z.next_in = const_cast<uint8_t*>(in.data());
  z.avail_in = static_cast<uInt>(in.size());
  z.next_out = out.data();
  z.avail_out = static_cast<uInt>(out.size());
  ::deflate(&z, Z_FINISH);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

void zlib_inflate(const Bytes& in, Bytes& out) {
  z_stream z{};
  inflateInit2(&z, -15);
  z.next_in = const_cast<uint8_t*>(in.data());
  z.avail_in = static_cast<uInt>(in.size());
  z.next_out = out.data();
  z.avail_out = static_cast<uInt>(out.size());
  ::inflate(&z, Z_FINISH);
  inflateEnd(&z);
}
#endif

void inflate_run(const char* what, const Bytes& packed, size_t size) {
  Bytes out(size);
  const double t = best(5, [&] {
    size_t cap = out.size();
    deflate::decompress(out.data(), &cap, packed.data(), packed.size());
  });
  report(what, t, size);
}

void deflate_runs(const char* name, const Bytes& in) {
  char what[96];
  Bytes packed = ours_compress(in);
  std::snprintf(what, sizeof what, "%s: compress (ratio %.3f)", name, double(packed.size()) / in.size());
  report(what, best(3, [&] { ours_compress(in); }), in.size());
  std::snprintf(what, sizeof what, "%s: inflate our output", name);
  inflate_run(what, packed, in.size());
#ifdef QEL_BENCH_ZLIB
  for (int level : {1, 6, 9}) {
    const Bytes z = zlib_compress(in, level);
    std::snprintf(what, sizeof what, "%s: inflate zlib -%d (ratio %.3f)", name, level, double(z.size()) / in.size());
    inflate_run(what, z, in.size());
    Bytes out(in.size());
    std::snprintf(what, sizeof what, "  zlib: inflate zlib -%d", level);
    report(what, best(5, [&] { zlib_inflate(z, out); }), in.size());
    std::snprintf(what, sizeof what, "  zlib: compress -%d", level);
    report(what, best(level == 9 ? 1 : 3, [&] { zlib_compress(in, level); }), in.size());
  }
  Bytes out(in.size());
  std::snprintf(what, sizeof what, "  zlib: inflate our output");
  report(what, best(5, [&] { zlib_inflate(packed, out); }), in.size());
#endif
}

}  // namespace

int main(int argc, char** argv) {
  const char* root = argc > 1 ? argv[1] : QEL_SOURCE_DIR;
  constexpr size_t kChecksumSize = 64 << 20;
  Bytes noise(kChecksumSize);
  std::mt19937_64 g(1);
  for (size_t i = 0; i < noise.size(); i += 8) {
    const uint64_t v = g();
    std::memcpy(noise.data() + i, &v, 8);
  }
  report("crc32", best(5, [&] { sink = crypto::crc32(noise.data(), noise.size()); }), noise.size());
  report("adler32", best(5, [&] { sink = crypto::adler32(noise.data(), noise.size()); }), noise.size());
  report("tcp", best(5, [&] { sink = crypto::tcp_checksum(noise.data(), noise.size()); }), noise.size());
#ifdef QEL_BENCH_ZLIB
  report("  zlib: crc32", best(5, [&] { sink = static_cast<uint32_t>(::crc32(0, noise.data(), kChecksumSize)); }),
         noise.size());
  report("  zlib: adler32",
         best(5, [&] { sink = static_cast<uint32_t>(::adler32(1, noise.data(), kChecksumSize)); }), noise.size());
#endif
  const char* names[] = {"", "", "md5", "sha1", "sha256", "sha384", "sha512"};
  for (int32_t code = crypto::kCodeMd5; code <= crypto::kCodeSha512; code++) {
    crypto::Digest d;
    report(names[code], best(3, [&] { crypto::digest(noise.data(), noise.size(), code, d); }), noise.size());
  }
  deflate_runs("text", text_corpus(root, 32 << 20));
  deflate_runs("random", Bytes(noise.begin(), noise.begin() + (16 << 20)));
  return 0;
}
