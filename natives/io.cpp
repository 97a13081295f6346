// The natives that start other programs: call (a child process, through the
// process service, services/process.h) and browse (the desktop's opener,
// when the system has one).
#include "datatypes/file.h"
#include "natives/natives.h"
#include "core/stack.h"
#include "text/unicode.h"
#include "services/http.h"
#include "services/process.h"
#include "datatypes/logic.h"
#include "datatypes/string.h"

namespace qel::natives {

namespace {

inline bool present(const int32_t* refinements, int i) { return refinements && refinements[i] >= 0; }

// The argument of refinement i, or null when it is absent.
inline const Cell* refinement_arg(const int32_t* refinements, int i) {
  return present(refinements, i) ? stack::arguments + refinements[i] : nullptr;
}

// The program that opens a URL or a file in the application the desktop
// associates with it.
constexpr const char* kOpener = "xdg-open";

}  // namespace

// call: cmd /wait /show /console /shell /input in /output out /error err
void call(const int32_t* refinements) {
  Cell* args = stack::arguments;
  if (!series_more_q(args)) {
    set_integer(args, 0);
    stack::top = args + 1;
    return;
  }
  io::CallFlags flags;
  flags.wait = present(refinements, 0);
  flags.show = present(refinements, 1);
  flags.console = present(refinements, 2);
  flags.shell = present(refinements, 3);
  const int64_t status = io::call(args, flags, refinement_arg(refinements, 4),
                                  refinement_arg(refinements, 5), refinement_arg(refinements, 6));
  set_integer(args, static_cast<int32_t>(status));
  stack::top = args + 1;
}

// browse: url
void browse(const int32_t*) {
  Cell* args = stack::arguments;
  const std::string target = args->is(TypeId::file)
                                 ? file::to_os_path(args)
                                 : http::wire_url(unicode::to_utf8_string(args));
  // Without an opener nothing happens, and what the opener makes of the
  // target is not examined.
  if (!target.empty() && io::program_exists(kOpener)) io::spawn_detached({kOpener, target});
  set_unset(args);
  stack::top = args + 1;
}

namespace {

const Definition kIo[] = {
    {99, "call", call, R"spec("Runs another program; returns its process id, or its exit status when waited for (-1: it could not be started)"
        cmd [string! file!] "The command line, or the file of the program"
        /wait "Waits for the program to end"
        /show "Lets the program show its window"
        /console "Lets the program share this console, and waits for it"
        /shell "Runs the command line through the system's shell"
        /input "Gives the program its standard input"
            in [string! file! binary!] "Text, bytes, or a file to read"
        /output "Captures the program's standard output (waits for it)"
            out [string! file! binary!] "Inserted into a string or binary, appended to a file"
        /error "Captures the program's standard error (waits for it)"
            err [string! file! binary!] "Inserted into a string or binary, appended to a file"
        return: [integer!])spec"},
    {102, "browse", browse, R"spec("Opens a URL or a file in the application the system associates with it"
        url [url! file!])spec"},
};

}  // namespace

std::span<const Definition> io_natives() { return kIo; }

}  // namespace qel::natives
