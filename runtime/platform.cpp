// Platform services over POSIX.
#include "runtime/platform.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <vector>

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include "runtime/fatal.h"
#include "runtime/output.h"
#include "runtime/signals.h"
#include "runtime/startup_slots.h"

namespace qel::platform {

void init() {
  crypto::init_provider();
  output::init();
}

std::optional<std::string> get_current_dir() {
  std::vector<char> buffer(4096);
  for (;;) {
    if (::getcwd(buffer.data(), buffer.size())) return std::string(buffer.data());
    if (errno != ERANGE || buffer.size() > (1u << 24)) return std::nullopt;
    buffer.resize(buffer.size() * 2);
  }
}

bool set_current_dir(const std::string& path) { return ::chdir(path.c_str()) == 0; }

std::optional<std::string> get_env(const std::string& name) {
  const char* value = std::getenv(name.c_str());
  if (!value) return std::nullopt;
  return std::string(value);
}

bool set_env(const std::string& name, const std::string* value) {
  if (!value) return ::unsetenv(name.c_str()) == 0;
  return ::setenv(name.c_str(), value->c_str(), 1) == 0;
}

uint64_t wait_milliseconds(double seconds) {
  double ms = seconds * 1000.0;
  // NaN fails every comparison: it sleeps the minimum like negatives do.
  if (!(ms >= 1.0)) return 1;
  if (ms >= static_cast<double>(kMaxWaitMs)) return kMaxWaitMs;
  return static_cast<uint64_t>(ms);
}

void wait(double seconds) {
  output::flush();
  constexpr uint64_t kChunkMs = 86'400'000;  // one day per nanosleep
  uint64_t left = wait_milliseconds(seconds);
  while (left > 0) {
    uint64_t chunk = left < kChunkMs ? left : kChunkMs;
    timespec request{static_cast<time_t>(chunk / 1000), static_cast<long>(chunk % 1000) * 1'000'000};
    timespec remaining{};
    while (::nanosleep(&request, &remaining) != 0 && errno == EINTR) {
      // An interrupt that halts the evaluation halts it here.
      if (runtime::interrupt_pending) {
        runtime::take_interrupt();
        return;
      }
      request = remaining;
    }
    left -= chunk;
  }
}

double get_time(bool precise) {
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  double seconds = static_cast<double>(now.tv_sec % 86400);
  if (precise) seconds += static_cast<double>(now.tv_nsec) / 1e9;
  return seconds;
}

uint32_t pack_date(int year, int month, int day, long offset_seconds) {
  // The sign and the quarter hours come from the offset's magnitude, so that
  // an offset such as -03:45 keeps its 45 minutes and -00:30 its sign.
  long minutes = offset_seconds / 60;
  uint32_t sign = minutes < 0 ? 0x10 : 0;
  long magnitude = minutes < 0 ? -minutes : minutes;
  uint32_t hours = static_cast<uint32_t>(magnitude / 60) & 0x0F;
  uint32_t quarters = static_cast<uint32_t>(magnitude % 60) / 15;
  uint32_t zone = ((sign | hours) << 2) | quarters;
  return static_cast<uint32_t>(year) << 17 | static_cast<uint32_t>(month) << 12 |
         static_cast<uint32_t>(day) << 7 | zone;
}

uint32_t get_date_at(std::time_t moment, bool utc) {
  std::tm t{};
  if (utc) {
    ::gmtime_r(&moment, &t);
    return pack_date(t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, 0);
  }
  ::tzset();  // the zone may have changed through set-env
  ::localtime_r(&moment, &t);
  return pack_date(t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_gmtoff);
}

uint32_t get_date(bool utc) { return get_date_at(std::time(nullptr), utc); }

int write_stdout_raw(const char* p, size_t n) {
  while (n > 0) {
    ssize_t w = ::write(STDOUT_FILENO, p, n);
    if (w < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (w == 0) return EIO;
    p += w;
    n -= static_cast<size_t>(w);
  }
  return 0;
}

void random_bytes(uint8_t* buffer, size_t count) {
  int fd = -1;
  while (count > 0) {
    ssize_t got = fd < 0 ? getrandom(buffer, count, 0) : ::read(fd, buffer, count);
    if (got > 0) {
      buffer += got;
      count -= static_cast<size_t>(got);
      continue;
    }
    if (got < 0 && errno == EINTR) continue;
    // A kernel without getrandom: the system's generator through its device.
    if (fd < 0 && got < 0 && errno == ENOSYS) {
      fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
      if (fd >= 0) continue;
    }
    runtime::quit(runtime::fatal_code::unknown_error);
  }
  if (fd >= 0) ::close(fd);
}

}  // namespace qel::platform
