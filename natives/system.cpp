// System natives: the ones that reach the memory manager (stats, recycle),
// the clock (now, wait), the environment (get-env, set-env, list-env) and
// the file system (size?). The services themselves live in runtime/
// (platform), memory/ and services/; these functions check arguments, pick
// the result and raise the errors.
#include <time.h>

#include <algorithm>
#include <cmath>
#include <string>

#include "datatypes/map.h"
#include "evaluator/interpreter.h"
#include "natives/natives.h"
#include "core/stack.h"
#include "core/unwind.h"
#include "memory/collector.h"
#include "memory/series.h"
#include "natives/stats_report.h"
#include "text/unicode.h"
#include "runtime/platform.h"
#include "runtime/startup_slots.h"
#include "services/env.h"
#include "services/files.h"
#include "values/actions.h"
#include "datatypes/block.h"
#include "values/context.h"
#include "values/datatype.h"
#include "core/errors.h"
#include "datatypes/logic.h"
#include "datatypes/string.h"
#include "values/symbol.h"
#include "datatypes/word.h"

namespace qel::natives {

namespace {

inline bool present(const int32_t* refinements, int i) {
  return refinements && refinements[i] >= 0;
}

// An integer! when the count fits, else a float!.
void set_count(Cell* out, double n) {
  if (n > 2147483647.0) {
    out->reset_header(TypeId::float_);
    out->data1 = 0;
    out->set_real(n);
  } else {
    set_integer(out, static_cast<int32_t>(n));
  }
}

// --- names of environment variables

// The name a var argument gives: a string's text or a word's spelling.
std::string var_name(const Cell* var) {
  if (is_any_word(var->type())) return std::string(symbol::name(var->symbol()));
  return files::os_bytes(var);
}

// Names the system cannot hold: empty, or holding "=" or NUL.
bool bad_name(const std::string& name) {
  return name.empty() || name.find('=') != std::string::npos ||
         name.find('\0') != std::string::npos;
}

// --- dates

// The date word bits of Qel's date! (year, month, day, time flag, zone).
constexpr uint32_t kTimeFlag = 0x10000;
constexpr uint32_t kZoneMask = 0x7F;

// The zone offset in seconds of a zone code.
double zone_seconds(uint32_t word) {
  const uint32_t zone = word & kZoneMask;
  const double s = ((zone >> 2) & 0x0F) * 3600.0 + (zone & 3) * 900.0;
  return zone & 0x40 ? -s : s;
}

void set_time_value(Cell* out, double seconds) {
  out->reset_header(TypeId::time);
  out->data1 = 0;
  out->set_real(seconds);
}

}  // namespace

// stats: /show /info
void stats(const int32_t* refinements) {
  Cell* args = stack::arguments;
  if (present(refinements, 0)) {
    Cell* report = stack::push_slot();
    stats::memory(report, 2);
    Cell word = word::load("show-memory-stats");
    const Cell* fn = context::get(&word);
    if (!fn->is(TypeId::function)) fire(ErrorCode::internal_not_done);
    Cell f = *fn;
    const Cell* call_args[] = {report};
    interpreter::passing::call_function(&f, call_args, 1, &word);
    if (exits::pending) return;
    set_unset(args);
    stack::top = args + 1;
    return;
  }
  if (present(refinements, 1)) {
    Cell report;
    stats::memory(&report, 2);
    *args = report;
  } else {
    stats::set_count(args, stats::memory(nullptr, 1));
  }
  stack::top = args + 1;
}

// recycle: /on /off
void recycle(const int32_t* refinements) {
  Cell* args = stack::arguments;
  if (present(refinements, 0) || present(refinements, 1)) {
    collector::active = present(refinements, 0);
    set_unset(args);
  } else {
    collector::collect();
    stats::set_count(args, stats::memory(nullptr, 1));
  }
  stack::top = args + 1;
}

// wait: value /all
void wait(const int32_t*) {
  Cell* args = stack::arguments;
  double seconds;
  switch (args->type()) {
    case TypeId::integer:
      seconds = args->integer();
      break;
    case TypeId::float_:
    case TypeId::time:
      seconds = args->real();
      break;
    default: {
      Cell v = *args;
      fire(ErrorCode::script_invalid_arg, &v);
    }
  }
  set_none(args);
  stack::top = args + 1;
  platform::wait(seconds);
  // A shown view keeps answering while a script waits.
  gui::poll_events();
  set_none(stack::arguments);
  stack::top = stack::arguments + 1;
}

// now: /year /month /day /time /zone /date /weekday /yearday /precise /utc
void now(const int32_t* refinements) {
  enum { year, month, day, time_, zone, date, weekday, yearday, precise, utc };
  int count = 0;
  for (int i = year; i <= precise; i++) count += present(refinements, i);
  const bool time_precise = present(refinements, time_) && present(refinements, precise);
  if (count > 1 && !(time_precise && count == 2)) fire(ErrorCode::script_bad_refines);
  const bool in_utc = present(refinements, utc);

  // One reading of the clock gives the date, the zone and the time.
  timespec ts{};
  ::clock_gettime(CLOCK_REALTIME, &ts);
  const std::time_t moment = ts.tv_sec;
  std::tm tm{};
  long offset = 0;
  if (in_utc) {
    ::gmtime_r(&moment, &tm);
  } else {
    ::tzset();  // the zone may have changed through set-env
    ::localtime_r(&moment, &tm);
    offset = tm.tm_gmtoff;
  }
  const uint32_t word = platform::pack_date(tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, offset);
  double local = tm.tm_hour * 3600.0 + tm.tm_min * 60.0 + tm.tm_sec;
  if (present(refinements, precise)) local += static_cast<double>(ts.tv_nsec / 1000000) / 1000.0;

  Cell* out = stack::arguments;
  stack::top = out + 1;
  if (present(refinements, date)) {
    out->reset_header(TypeId::date);
    out->data1 = word & ~(kTimeFlag | kZoneMask);
    out->set_real(0.0);
    return;
  }
  if (present(refinements, year)) return set_integer(out, tm.tm_year + 1900);
  if (present(refinements, month)) return set_integer(out, tm.tm_mon + 1);
  if (present(refinements, day)) return set_integer(out, tm.tm_mday);
  if (present(refinements, zone)) return set_time_value(out, zone_seconds(word));
  if (present(refinements, time_)) return set_time_value(out, local);
  if (present(refinements, weekday)) return set_integer(out, tm.tm_wday == 0 ? 7 : tm.tm_wday);
  if (present(refinements, yearday)) return set_integer(out, tm.tm_yday + 1);
  // The full date: the local date and zone; the stored time is the local
  // time less the zone offset.
  out->reset_header(TypeId::date);
  out->data1 = word | kTimeFlag;
  out->set_real(local - zone_seconds(word));
}

// get-env: var
void get_env(const int32_t*) {
  Cell* args = stack::arguments;
  const std::string name = var_name(args);
  std::optional<std::string> value;
  if (!bad_name(name)) value = platform::get_env(name);
  if (value)
    files::os_text(args, *value);
  else
    set_none(args);
  stack::top = args + 1;
}

// set-env: var value
void set_env(const int32_t*) {
  Cell* args = stack::arguments;
  const std::string name = var_name(args);
  const Cell value = args[1];
  if (!bad_name(name)) {
    if (value.is(TypeId::none)) {
      platform::set_env(name, nullptr);
    } else {
      const std::string text = files::os_bytes(&value);
      // An environment value cannot hold NUL: refused rather than cut there.
      if (text.find('\0') != std::string::npos) fire(ErrorCode::script_invalid_arg, &value);
      platform::set_env(name, &text);
    }
  }
  *args = value;
  stack::top = args + 1;
}

// list-env
void list_env(const int32_t*) {
  Cell* args = stack::arguments;
  const auto vars = env::list();
  Cell* pairs = stack::push_slot();
  block::make_at(pairs, static_cast<int32_t>(vars.size() * 2));
  for (const auto& [name, value] : vars) {
    Cell s;
    files::os_text(&s, name);
    *append_slot(pairs->node()) = s;
    files::os_text(&s, value);
    *append_slot(pairs->node()) = s;
  }
  map::make_at(args, pairs, std::max(static_cast<int32_t>(vars.size()), 1));
  stack::top = args + 1;
}

// size?: file
void size_q(const int32_t*) {
  Cell* args = stack::arguments;
  const int64_t size = files::size_of(args);
  if (size < 0)
    set_none(args);
  else
    set_count(args, static_cast<double>(size));
  stack::top = args + 1;
}

namespace {

const Definition kSystem[] = {
    {37, "stats", stats, R"spec("Returns interpreter statistics"
        /show "Print formatted results to console" /info "Output formatted results"
        return: [integer! float! block!])spec"},
    {86, "wait", wait, R"spec("Waits for a duration in seconds or specified time"
        value [number! time! block! none!] /all "Returns all events in a block")spec"},
    {93, "set-env", set_env, R"spec("Sets the value of an operating system environment variable (for current process)"
        var [any-string! any-word!] "Variable to set"
        value [string! none!] "Value to set, or NONE to unset it")spec"},
    {94, "get-env", get_env, R"spec("Returns the value of an OS environment variable (for current process)"
        var [any-string! any-word!] "Variable to get" return: [string! none!])spec"},
    {95, "list-env", list_env, R"spec("Returns a map of OS environment variables (for current process)"
        return: [map! block!])spec"},
    {96, "now", now, R"spec("Returns date and time"
        /year "Returns year only" /month "Returns month only" /day "Returns day of the month only"
        /time "Returns time only" /zone "Returns time zone offset from UCT (GMT) only"
        /date "Returns date only" /weekday "Returns day of the week as integer (Monday is day 1)"
        /yearday "Returns day of the year (Julian)" /precise "High precision time"
        /utc "Universal time (no zone)" return: [date! time! integer!])spec"},
    {101, "size?", size_q, R"spec("Returns the size of a file content"
        file [file!] return: [integer! float! none!])spec"},
    {105, "recycle", recycle, R"spec("Recycles unused memory and returns memory amount still in use"
        /on "Turns on garbage collector" /off "Turns off garbage collector"
        return: [integer! float! unset!])spec"},
};

}  // namespace

std::span<const Definition> system_natives() { return kSystem; }

}  // namespace qel::natives
