// A plain driver for the fuzz targets, for builds without libFuzzer (the
// check build, under ASan and UBSan): it feeds a target's
// LLVMFuzzerTestOneInput with every seed file, then with random mutations of
// the seeds (bit flips, bytes set, inserted, removed, repeated or spliced in
// from another seed, cuts) for a bounded time and number of runs. The random
// sequence comes from a fixed seed, so a failing run is found again; the
// input in hand when a run fails (a sanitizer report, an abort, a fault) is
// written to `fuzz-failure-<target>` in the working folder, for replay:
//
//   target [--seconds S] [--runs N] [--seed N] [--max-len N] SEED-FILE-OR-FOLDER...
//
// A folder gives the regular files directly in it. Without coverage
// feedback this finds less than libFuzzer does (tests/fuzz/README.md), but
// it keeps every target built, running and clean in each test run.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

// Series memory is never given back by design, and the decoders may ask for
// more than there is: a refused allocation must reach them as null.
extern "C" const char* __asan_default_options() {
  return "allocator_may_return_null=1:detect_leaks=0";
}
extern "C" void __sanitizer_set_death_callback(void (*)()) __attribute__((weak));

namespace {

using Bytes = std::vector<uint8_t>;

// The input being run, and where it goes when the run fails.
const Bytes* current = nullptr;
char failure_path[4096];

void save_current() {
  if (!current) return;
  const int fd = ::open(failure_path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return;
  const uint8_t* p = current->data();
  size_t left = current->size();
  while (left > 0) {
    const ssize_t n = ::write(fd, p, left);
    if (n <= 0) break;
    p += n;
    left -= static_cast<size_t>(n);
  }
  ::close(fd);
  static const char note[] = "fuzz: the failing input is in fuzz-failure-*\n";
  if (::write(2, note, sizeof note - 1) < 0) {
  }
}

void on_failure_signal(int signal) {
  save_current();
  ::signal(signal, SIG_DFL);
  ::raise(signal);
}

void run(const Bytes& input) {
  current = &input;
  // libFuzzer hands the target a block of exactly the input's size.
  std::unique_ptr<uint8_t[]> copy(new uint8_t[input.size() ? input.size() : 1]);
  if (!input.empty()) std::memcpy(copy.get(), input.data(), input.size());
  LLVMFuzzerTestOneInput(copy.get(), input.size());
  current = nullptr;
}

bool read_file(const std::string& path, Bytes& out) {
  std::ifstream f(path, std::ios::binary);
  if (!f) return false;
  out.assign(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
  return true;
}

// The seed files a path gives: itself, or the regular files in a folder
// (sorted, so that runs are the same everywhere).
void add_seeds(const std::string& path, std::vector<Bytes>& seeds) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) {
    std::fprintf(stderr, "fuzz: no such seed file or folder: %s\n", path.c_str());
    std::exit(2);
  }
  std::vector<std::string> files;
  if (S_ISDIR(st.st_mode)) {
    if (DIR* d = ::opendir(path.c_str())) {
      while (const dirent* e = ::readdir(d)) {
        const std::string full = path + "/" + e->d_name;
        struct stat fst;
        if (::stat(full.c_str(), &fst) == 0 && S_ISREG(fst.st_mode)) files.push_back(full);
      }
      ::closedir(d);
    }
    std::sort(files.begin(), files.end());
  } else {
    files.push_back(path);
  }
  for (const std::string& f : files) {
    Bytes b;
    if (read_file(f, b)) seeds.push_back(std::move(b));
  }
}

// One to eight random edits of a seed.
Bytes mutate(const std::vector<Bytes>& seeds, std::mt19937_64& rng, size_t max_len) {
  auto pick = [&](size_t n) { return n ? static_cast<size_t>(rng() % n) : 0; };
  Bytes b = seeds[pick(seeds.size())];
  const int edits = 1 + static_cast<int>(rng() % 8);
  static const uint8_t kInteresting[] = {0x00, 0x01, 0x7F, 0x80, 0xFF, 0xFE, 0x20, 0x0A};
  for (int i = 0; i < edits; i++) {
    switch (rng() % 9) {
      case 0:
        if (!b.empty()) b[pick(b.size())] ^= static_cast<uint8_t>(1u << (rng() % 8));
        break;
      case 1:
        if (!b.empty()) b[pick(b.size())] = static_cast<uint8_t>(rng());
        break;
      case 2:
        if (!b.empty()) b[pick(b.size())] = kInteresting[pick(std::size(kInteresting))];
        break;
      case 3: {  // insert random bytes
        const size_t at = pick(b.size() + 1), n = 1 + pick(8);
        Bytes add(n);
        for (uint8_t& x : add) x = static_cast<uint8_t>(rng());
        b.insert(b.begin() + static_cast<std::ptrdiff_t>(at), add.begin(), add.end());
        break;
      }
      case 4: {  // remove a range
        if (b.empty()) break;
        const size_t at = pick(b.size()), n = 1 + pick(std::min<size_t>(b.size() - at, 16));
        b.erase(b.begin() + static_cast<std::ptrdiff_t>(at), b.begin() + static_cast<std::ptrdiff_t>(at + n));
        break;
      }
      case 5: {  // repeat a range
        if (b.empty()) break;
        const size_t at = pick(b.size()), n = 1 + pick(std::min<size_t>(b.size() - at, 32));
        const Bytes part(b.begin() + static_cast<std::ptrdiff_t>(at),
                         b.begin() + static_cast<std::ptrdiff_t>(at + n));
        b.insert(b.begin() + static_cast<std::ptrdiff_t>(pick(b.size() + 1)), part.begin(), part.end());
        break;
      }
      case 6: {  // splice in a piece of another seed
        const Bytes& other = seeds[pick(seeds.size())];
        if (other.empty()) break;
        const size_t from = pick(other.size()), n = 1 + pick(std::min<size_t>(other.size() - from, 64));
        b.insert(b.begin() + static_cast<std::ptrdiff_t>(pick(b.size() + 1)),
                 other.begin() + static_cast<std::ptrdiff_t>(from),
                 other.begin() + static_cast<std::ptrdiff_t>(from + n));
        break;
      }
      case 7:  // cut
        if (!b.empty()) b.resize(pick(b.size()));
        break;
      default:  // a byte of the first ones, which pick modes in most targets
        if (!b.empty()) b[pick(std::min<size_t>(b.size(), 4))] = static_cast<uint8_t>(rng());
        break;
    }
  }
  if (b.size() > max_len) b.resize(max_len);
  return b;
}

}  // namespace

int main(int argc, char** argv) {
  double seconds = 10;
  uint64_t runs = 1000000;
  uint64_t seed = 1;
  size_t max_len = 8192;
  std::vector<Bytes> seeds;
  for (int i = 1; i < argc; i++) {
    const std::string a = argv[i];
    auto value = [&] {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "fuzz: %s needs a value\n", a.c_str());
        std::exit(2);
      }
      return std::string(argv[++i]);
    };
    if (a == "--seconds") seconds = std::stod(value());
    else if (a == "--runs") runs = std::stoull(value());
    else if (a == "--seed") seed = std::stoull(value());
    else if (a == "--max-len") max_len = std::stoul(value());
    else add_seeds(a, seeds);
  }
  if (seeds.empty()) seeds.emplace_back();

  const char* slash = std::strrchr(argv[0], '/');
  std::snprintf(failure_path, sizeof failure_path, "fuzz-failure-%s", slash ? slash + 1 : argv[0]);
  if (__sanitizer_set_death_callback) __sanitizer_set_death_callback(save_current);
  // A target's own check aborts; the sanitizers' reports (and the faults
  // they catch) come through the death callback.
  ::signal(SIGABRT, on_failure_signal);

  for (const Bytes& s : seeds) run(s);
  std::mt19937_64 rng(seed);
  const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  uint64_t done = 0;
  while (done < runs && std::chrono::steady_clock::now() < end) {
    run(mutate(seeds, rng, max_len));
    done++;
  }
  std::printf("fuzz: %zu seeds, %llu mutated inputs, no fault\n", seeds.size(),
              static_cast<unsigned long long>(done));
  return 0;
}
