// Child processes (see process.h): starting with posix_spawn, the poll loop
// that feeds input and drains output and error, reaping, and the call
// native's conversions between values and streams.
#include "services/process.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "datatypes/binary.h"
#include "datatypes/file.h"
#include "memory/collector.h"
#include "memory/series.h"
#include "text/unicode.h"
#include "runtime/output.h"
#include "runtime/signals.h"
#include "runtime/startup_slots.h"
#include "services/files.h"
#include "core/errors.h"
#include "datatypes/string.h"

extern char** environ;

namespace qel::io {

namespace {

uint64_t capture_limit_bytes = memory::kMaxSeriesBytes;

// The shared string that captured text is decoded into before it is
// inserted into the caller's string (made at start-up, kept by the
// collector through a mark callback).
Node output_buffer = 0;
constexpr uint32_t kOutputBufferChars = 102400;

void mark_output_buffer() {
  if (output_buffer) collector::mark_series(output_buffer);
}

// --- descriptors

// Closes a descriptor once; -1 is left alone.
void close_fd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

// Moves a descriptor to 3 or above (close-on-exec), so that duplicating it
// onto 0, 1 or 2 in the child never meets itself.
int lift(int fd) {
  if (fd < 0 || fd > 2) return fd;
  int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
  ::close(fd);
  return moved;
}

bool make_pipe(int fds[2]) {
  if (::pipe2(fds, O_CLOEXEC) != 0) return false;
  fds[0] = lift(fds[0]);
  fds[1] = lift(fds[1]);
  if (fds[0] < 0 || fds[1] < 0) {
    close_fd(fds[0]);
    close_fd(fds[1]);
    return false;
  }
  return true;
}

void set_nonblocking(int fd) {
  int flags = ::fcntl(fd, F_GETFL);
  if (flags >= 0) ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
}

int open_retry(const char* path, int flags, mode_t mode = 0) {
  int fd;
  do fd = ::open(path, flags | O_CLOEXEC, mode);
  while (fd < 0 && errno == EINTR);
  return lift(fd);
}

// --- reaping

// Waits for a child; the exit status, or 128 + the signal that ended it.
int64_t reap(pid_t pid) {
  int status = 0;
  pid_t r;
  do r = ::waitpid(pid, &status, 0);
  while (r < 0 && errno == EINTR);
  if (r < 0) return -1;
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

void* reaper(void* arg) {
  reap(static_cast<pid_t>(reinterpret_cast<intptr_t>(arg)));
  return nullptr;
}

// Hands a child nobody waits for to a detached thread that reaps it, so it
// never lingers as a zombie. Should no thread be had, it is reaped at once
// (the call then waits for it, which is better than leaking it).
void reap_in_background(pid_t pid) {
  pthread_attr_t attr;
  pthread_t thread;
  bool started = false;
  // The thread blocks every signal (it inherits the mask it is made with):
  // an interrupt must reach the interpreter's thread, whose waits it ends.
  sigset_t all, saved;
  sigfillset(&all);
  pthread_sigmask(SIG_BLOCK, &all, &saved);
  if (pthread_attr_init(&attr) == 0) {
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_attr_setstacksize(&attr, 64 * 1024);
    started = pthread_create(&thread, &attr, reaper,
                             reinterpret_cast<void*>(static_cast<intptr_t>(pid))) == 0;
    pthread_attr_destroy(&attr);
  }
  pthread_sigmask(SIG_SETMASK, &saved, nullptr);
  if (!started) reap(pid);
}

// --- starting

struct Spawn {
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attr;
  Spawn() {
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attr);
    // The child starts with no blocked signal and the usual dispositions,
    // whatever the interpreter thread has blocked or caught.
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    for (int s : {SIGPIPE, SIGINT, SIGQUIT, SIGTERM, SIGHUP, SIGCHLD, SIGALRM, SIGUSR1, SIGUSR2})
      sigaddset(&defaults, s);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  }
  ~Spawn() {
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
  }
  Spawn(const Spawn&) = delete;
  Spawn& operator=(const Spawn&) = delete;

  // The child's descriptor `target` becomes `fd` (-1: left as inherited).
  void redirect(int fd, int target) {
    if (fd >= 0) posix_spawn_file_actions_adddup2(&actions, fd, target);
  }
  void close_others() { posix_spawn_file_actions_addclosefrom_np(&actions, 3); }

  // Starts argv; 0 or the error number.
  int start(const std::vector<std::string>& argv, pid_t* pid) {
    std::vector<char*> args;
    args.reserve(argv.size() + 1);
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    return posix_spawnp(pid, args[0], &actions, &attr, args.data(), environ);
  }
};

std::vector<std::string> shell_form(const std::string& command) {
  return {"/bin/sh", "-c", command};
}

// --- the exchange with a running child

int64_t now_ms() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return int64_t{ts.tv_sec} * 1000 + ts.tv_nsec / 1000000;
}

// A pipe end the program reads from, with where its bytes go.
struct Reader {
  int fd = -1;
  std::vector<uint8_t>* sink = nullptr;
  bool* too_long = nullptr;

  // Reads what is there; false once the pipe has ended (or is dropped).
  bool pull() {
    uint8_t chunk[65536];
    for (;;) {
      ssize_t n = ::read(fd, chunk, sizeof chunk);
      if (n > 0) {
        const uint64_t room = capture_limit_bytes - std::min<uint64_t>(sink->size(), capture_limit_bytes);
        if (static_cast<uint64_t>(n) > room) {
          // More than a series can hold: keep what fits and stop reading,
          // so the child meets a closed pipe instead of filling memory.
          sink->insert(sink->end(), chunk, chunk + room);
          *too_long = true;
          close_fd(fd);
          return false;
        }
        sink->insert(sink->end(), chunk, chunk + n);
        continue;
      }
      if (n == 0) {
        close_fd(fd);
        return false;
      }
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) return true;
      close_fd(fd);
      return false;
    }
  }

  // Takes what the pipe holds now and stops there: a writer that is still
  // at work (a process the child left running) is not waited for.
  void drain() {
    int available = 0;
    if (fd < 0) return;
    if (::ioctl(fd, FIONREAD, &available) == 0 && available > 0) {
      std::vector<uint8_t> chunk(static_cast<size_t>(available));
      ssize_t n;
      do n = ::read(fd, chunk.data(), chunk.size());
      while (n < 0 && errno == EINTR);
      if (n > 0) {
        const uint64_t room =
            capture_limit_bytes - std::min<uint64_t>(sink->size(), capture_limit_bytes);
        if (static_cast<uint64_t>(n) > room) {
          n = static_cast<ssize_t>(room);
          *too_long = true;
        }
        sink->insert(sink->end(), chunk.data(), chunk.data() + n);
      }
    }
    close_fd(fd);
  }
};

// Blocks SIGPIPE for the calling thread while it writes to a pipe whose
// reader may be gone, and takes back a SIGPIPE such a write raised, so a
// child that stops reading early gives EPIPE instead of ending the program.
class QuietPipeSignal {
 public:
  QuietPipeSignal() {
    sigset_t pipe_only;
    sigemptyset(&pipe_only);
    sigaddset(&pipe_only, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe_only, &saved_);
  }
  ~QuietPipeSignal() {
    sigset_t pipe_only;
    sigemptyset(&pipe_only);
    sigaddset(&pipe_only, SIGPIPE);
    sigset_t pending;
    if (sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) &&
        !sigismember(&saved_, SIGPIPE)) {
      timespec zero{0, 0};
      while (sigtimedwait(&pipe_only, nullptr, &zero) < 0 && errno == EINTR) {
      }
    }
    pthread_sigmask(SIG_SETMASK, &saved_, nullptr);
  }
  QuietPipeSignal(const QuietPipeSignal&) = delete;
  QuietPipeSignal& operator=(const QuietPipeSignal&) = delete;

 private:
  sigset_t saved_;
};

// Feeds the input, drains output and error, and waits for the child, all in
// one poll loop. Returns the exit status, or -1 after a time-out.
int64_t exchange(pid_t pid, int in_fd, const std::vector<uint8_t>& input, Reader out, Reader err,
                 int32_t timeout_ms, bool* timed_out) {
  QuietPipeSignal quiet;
  size_t written = 0;
  if (in_fd >= 0) {
    set_nonblocking(in_fd);
    if (input.empty()) close_fd(in_fd);
  }
  if (out.fd >= 0) set_nonblocking(out.fd);
  if (err.fd >= 0) set_nonblocking(err.fd);

  // The child's end is seen through a process descriptor when the system
  // has them, else by asking waitpid at short intervals.
  int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
  const int64_t deadline = timeout_ms >= 0 ? now_ms() + timeout_ms : -1;
  bool ended = false;
  int64_t status = -1;

  while (!ended) {
    pollfd fds[4];
    int n = 0;
    int in_at = -1, out_at = -1, err_at = -1, pid_at = -1;
    if (in_fd >= 0) fds[in_at = n++] = {in_fd, POLLOUT, 0};
    if (out.fd >= 0) fds[out_at = n++] = {out.fd, POLLIN, 0};
    if (err.fd >= 0) fds[err_at = n++] = {err.fd, POLLIN, 0};
    if (pidfd >= 0) fds[pid_at = n++] = {pidfd, POLLIN, 0};
    int wait_ms = pidfd >= 0 ? -1 : 50;
    if (deadline >= 0) {
      int64_t left = std::max<int64_t>(deadline - now_ms(), 0);
      wait_ms = wait_ms < 0 ? static_cast<int>(left) : std::min<int>(wait_ms, static_cast<int>(left));
    }
    int ready = ::poll(fds, static_cast<nfds_t>(n), wait_ms);
    if (ready < 0 && errno != EINTR) {
      status = reap(pid);  // cannot watch the pipes: at least never leave a zombie
      break;
    }
    if (ready > 0) {
      if (in_at >= 0 && fds[in_at].revents) {
        while (written < input.size()) {
          ssize_t w = ::write(in_fd, input.data() + written, input.size() - written);
          if (w > 0) {
            written += static_cast<size_t>(w);
          } else if (w < 0 && errno == EINTR) {
            continue;
          } else {
            if (w < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
            written = input.size();  // the child closed its input: the rest is dropped
          }
        }
        if (written >= input.size()) close_fd(in_fd);
      }
      if (out_at >= 0 && fds[out_at].revents) out.pull();
      if (err_at >= 0 && fds[err_at].revents) err.pull();
    }
    // Has the child ended?
    bool gone = false;
    if (pidfd >= 0) {
      gone = pid_at >= 0 && ready > 0 && fds[pid_at].revents;
    } else {
      int st = 0;
      pid_t r = ::waitpid(pid, &st, WNOHANG);
      if (r == pid) {
        gone = true;
        status = WIFEXITED(st) ? WEXITSTATUS(st) : WIFSIGNALED(st) ? 128 + WTERMSIG(st) : -1;
      }
    }
    if (!gone && deadline >= 0 && now_ms() >= deadline) {
      ::kill(pid, SIGKILL);
      *timed_out = true;
      reap(pid);
      status = -1;
      break;
    }
    if (gone) {
      if (pidfd >= 0) status = reap(pid);
      // What the child wrote before it ended is in the pipes: take it, but
      // do not wait for whoever else may still hold them open.
      out.drain();
      err.drain();
      ended = true;
    }
  }
  close_fd(in_fd);
  close_fd(out.fd);
  close_fd(err.fd);
  if (pidfd >= 0) ::close(pidfd);
  return status;
}

}  // namespace

// --- start-up

void init_call() {
  Cell buffer;
  string::make_at_unit(&buffer, kOutputBufferChars, 1);
  output_buffer = buffer.node();
  static bool registered = false;
  if (!registered) {
    collector::add_mark_callback(mark_output_buffer);
    registered = true;
  }
}

uint64_t capture_limit() { return capture_limit_bytes; }
void set_capture_limit(uint64_t bytes) { capture_limit_bytes = bytes; }

std::vector<std::string> split_command(std::string_view command) {
  std::vector<std::string> words;
  std::string word;
  bool in_word = false;
  const size_t n = command.size();
  for (size_t i = 0; i < n; i++) {
    const char c = command[i];
    if (c == ' ' || c == '\t' || c == '\n') {
      if (in_word) words.push_back(std::move(word));
      word.clear();
      in_word = false;
      continue;
    }
    if (c == '\\') {
      if (i + 1 < n && command[i + 1] == '\n') {  // a line continued
        i++;
        continue;
      }
      in_word = true;
      word.push_back(i + 1 < n ? command[++i] : c);  // a last backslash stands for itself
      continue;
    }
    in_word = true;
    if (c == '\'') {
      while (++i < n && command[i] != '\'') word.push_back(command[i]);
    } else if (c == '"') {
      while (++i < n && command[i] != '"') {
        if (command[i] == '\\' && i + 1 < n &&
            std::string_view("$`\"\\\n").find(command[i + 1]) != std::string_view::npos) {
          if (command[++i] != '\n') word.push_back(command[i]);
        } else {
          word.push_back(command[i]);
        }
      }
    } else {
      word.push_back(c);
    }
  }
  if (in_word) words.push_back(std::move(word));
  return words;
}

std::string quote_word(std::string_view word) {
  std::string out = "'";
  for (char c : word) {
    if (c == '\'')
      out += "'\\''";
    else
      out.push_back(c);
  }
  out.push_back('\'');
  return out;
}

bool program_exists(std::string_view name) {
  if (name.empty()) return false;
  if (name.find('/') != std::string_view::npos) return ::access(std::string(name).c_str(), X_OK) == 0;
  const char* path = ::getenv("PATH");
  std::string_view dirs = path ? path : "/usr/local/bin:/usr/bin:/bin";
  while (true) {
    const size_t colon = dirs.find(':');
    std::string dir(dirs.substr(0, colon));
    if (dir.empty()) dir.push_back('.');
    const std::string full = dir + "/" + std::string(name);
    struct stat st;
    if (::stat(full.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(full.c_str(), X_OK) == 0)
      return true;
    if (colon == std::string_view::npos) return false;
    dirs.remove_prefix(colon + 1);
  }
}

ProcessResult run(ProcessSpec& spec) {
  ProcessResult result;
  if (spec.command.find('\0') != std::string::npos) return result;  // no system call takes it

  int null_fd = -1, in_child = -1, in_ours = -1, out_child = -1, out_ours = -1, err_child = -1,
      err_ours = -1;
  auto close_all = [&] {
    for (int* fd : {&null_fd, &in_child, &in_ours, &out_child, &out_ours, &err_child, &err_ours})
      close_fd(*fd);
  };
  null_fd = open_retry("/dev/null", O_RDWR);

  // Input.
  if (spec.input.kind == StreamKind::file) {
    in_child = open_retry(spec.input.path.c_str(), O_RDONLY);
    // A folder opens for reading here but is no input: it is refused as a
    // file that cannot be opened is, before any child starts.
    struct stat st;
    if (in_child >= 0 && ::fstat(in_child, &st) == 0 && S_ISDIR(st.st_mode)) close_fd(in_child);
    if (in_child < 0) {
      close_all();
      return result;
    }
  } else if (spec.input.kind == StreamKind::bytes) {
    int fds[2];
    if (!make_pipe(fds)) {
      close_all();
      return result;
    }
    in_child = fds[0];
    in_ours = fds[1];
  }
  // Output and error: a file that cannot be opened leaves the child writing
  // to the null device, and the call goes on.
  auto prepare_output = [&](Stream& s, int& child, int& ours) {
    switch (s.kind) {
      case StreamKind::file:
        child = open_retry(s.path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0666);
        return true;
      case StreamKind::bytes: {
        int fds[2];
        if (!make_pipe(fds)) return false;
        ours = fds[0];
        child = fds[1];
        return true;
      }
      default:
        return true;
    }
  };
  if (!prepare_output(spec.output, out_child, out_ours) ||
      !prepare_output(spec.error, err_child, err_ours)) {
    close_all();
    return result;
  }
  auto child_fd = [&](const Stream& s, int opened) {
    if (s.kind == StreamKind::inherit) return -1;
    if (s.kind == StreamKind::null || opened < 0) return null_fd;
    return opened;
  };

  const bool given = spec.input.kind == StreamKind::bytes || spec.input.kind == StreamKind::file ||
                     spec.output.kind == StreamKind::bytes || spec.output.kind == StreamKind::file ||
                     spec.error.kind == StreamKind::bytes || spec.error.kind == StreamKind::file;
  const bool wait = spec.wait || given;

  Spawn spawn;
  spawn.redirect(child_fd(spec.input, in_child), 0);
  spawn.redirect(child_fd(spec.output, out_child), 1);
  spawn.redirect(child_fd(spec.error, err_child), 2);
  spawn.close_others();

  // Whatever the program wrote comes before what a child writes to the
  // same terminal or file.
  output::flush();

  pid_t pid = -1;
  int failure;
  if (spec.shell) {
    failure = spawn.start(shell_form(spec.command), &pid);
  } else {
    // Started directly, never through a shell: a program that is not found
    // is a failure, not a command line for /bin/sh (its arguments would
    // then run as shell code).
    std::vector<std::string> argv = split_command(spec.command);
    failure = argv.empty() ? ENOENT : spawn.start(argv, &pid);
  }
  close_fd(in_child);
  close_fd(out_child);
  close_fd(err_child);
  close_fd(null_fd);
  if (failure != 0) {
    close_all();
    return result;
  }

  if (!wait) {
    close_all();
    reap_in_background(pid);
    result.status = pid;
    return result;
  }
  Reader out{out_ours, &spec.output.bytes, &result.too_long};
  Reader err{err_ours, &spec.error.bytes, &result.too_long};
  out_ours = err_ours = -1;  // the exchange closes them
  const int in_fd = in_ours;
  in_ours = -1;
  result.status =
      exchange(pid, in_fd, spec.input.bytes, out, err, spec.timeout_ms, &result.timed_out);
  return result;
}

bool spawn_detached(const std::vector<std::string>& argv) {
  if (argv.empty()) return false;
  for (const std::string& a : argv)
    if (a.find('\0') != std::string::npos) return false;
  int null_fd = open_retry("/dev/null", O_RDWR);
  Spawn spawn;
  spawn.redirect(null_fd, 0);
  spawn.redirect(null_fd, 1);
  spawn.redirect(null_fd, 2);
  spawn.close_others();
  pid_t pid;
  const int failure = spawn.start(argv, &pid);
  close_fd(null_fd);
  if (failure != 0) return false;
  reap_in_background(pid);
  return true;
}

// --- the call native's side

namespace {

// The stream a /input value gives: a string! as UTF-8 text, a binary!'s
// bytes from its head, a file! as the path to read.
void input_stream(const Cell* in, Stream& s) {
  if (in->is(TypeId::file)) {
    s.kind = StreamKind::file;
    s.path = file::to_os_path(in);
  } else if (in->is(TypeId::binary)) {
    s.kind = StreamKind::bytes;
    const uint8_t* p = binary::rs_head(in);
    s.bytes.assign(p, p + binary::rs_length(in));
  } else {
    s.kind = StreamKind::bytes;
    std::string text = unicode::to_utf8_string(in);
    s.bytes.assign(text.begin(), text.end());
  }
}

void output_stream(const Cell* dest, Stream& s) {
  if (dest->is(TypeId::file)) {
    s.kind = StreamKind::file;
    s.path = file::to_os_path(dest);
  } else {
    s.kind = StreamKind::bytes;
  }
}

// Inserts captured bytes at the destination's position.
void deliver(Cell* dest, const std::vector<uint8_t>& bytes) {
  if (bytes.empty() || dest->is(TypeId::file)) return;
  if (dest->is(TypeId::binary)) {
    binary::insert_bytes(dest, 0, bytes.data(), bytes.size());
    return;
  }
  // Text: decoded into the shared buffer, line ends made LF, then inserted
  // as a whole. Output that is not UTF-8 raises access invalid-utf8 with
  // the bytes from there, as reading a file does: stopping there would drop
  // the rest of the output without a word (a binary! destination takes the
  // bytes as they are).
  if (!output_buffer) init_call();
  Cell text{static_cast<uint32_t>(TypeId::string), 0, output_buffer, 0};
  string::rs_reset(&text);
  unicode::load_utf8(bytes.data(), static_cast<uint32_t>(bytes.size()), output_buffer, nullptr,
                     unicode::LineBreaks::convert);
  string::concatenate(dest, &text, -1, 0, string::Keep::yes, string::Mode::insert);
  // Keep the shared buffer small between calls.
  if (string::buffer(&text)->size > 4 * kOutputBufferChars) {
    output_buffer = 0;
    init_call();
  } else {
    string::rs_reset(&text);
  }
}

}  // namespace

int64_t call(const Cell* command, CallFlags flags, const Cell* in, const Cell* out,
             const Cell* err) {
  ProcessSpec spec;
  if (command->is(TypeId::file)) {
    // A file names one program, run as that file (not looked up through
    // PATH) and kept one word whatever it holds.
    std::string path = file::to_os_path(command);
    if (path.find('/') == std::string::npos) path.insert(0, "./");
    spec.command = quote_word(path);
  } else {
    // U+DC80..U+DCFF stand for bytes of system names that are not UTF-8
    // (folder listings, the command line): they go out as those bytes, so
    // such a name still names its file.
    spec.command = files::os_bytes(command);
  }
  spec.shell = flags.shell;
  spec.wait = flags.wait || flags.console;
  spec.input.kind = StreamKind::inherit;
  if (in) input_stream(in, spec.input);
  // Without /console the child's output and error go to the null device
  // unless captured.
  spec.output.kind = flags.console ? StreamKind::inherit : StreamKind::null;
  spec.error.kind = flags.console ? StreamKind::inherit : StreamKind::null;
  if (out) output_stream(out, spec.output);
  if (err) output_stream(err, spec.error);

  ProcessResult r = run(spec);
  if (r.too_long) fire(ErrorCode::script_too_long);
  Cell dest;
  if (out) {
    dest = *out;
    deliver(&dest, spec.output.bytes);
  }
  if (err) {
    dest = *err;
    deliver(&dest, spec.error.bytes);
  }
  // Ctrl-C reached the child too; once it has ended, an interrupt that
  // halts the evaluation halts it here rather than after the next block.
  if (runtime::interrupt_pending) runtime::take_interrupt();
  return r.status;
}

}  // namespace qel::io
