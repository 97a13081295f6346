// Non-local exits. Every exit that leaves several C++ calls at once (Qel
// errors, break, continue, return, exit, throw, the lexer's syntax errors) is
// a C++ exception carrying a catch level. A catching site with level L stops
// every exit whose level is at most L (unsigned compare) and rethrows the
// others, so the ordering of the levels decides who stops what.
//
// The value that travels with an exit (the error! of an error, the value of
// `throw`, `break/return` or `return`) sits in `unwind::thrown_value`, a
// collector root, never inside the exception object.
#pragma once

#include <cstdint>

#include "core/cell.h"

namespace qel {

namespace level {
inline constexpr uint32_t root = 0xFFFFFFFF;
inline constexpr uint32_t error = 0x7FFFFFFF;
inline constexpr uint32_t break_ = 0x7FFFFFFE;
inline constexpr uint32_t continue_ = 0x7FFFFFFD;
inline constexpr uint32_t return_ = 0x7FFFFFFC;
inline constexpr uint32_t exit_ = 0x7FFFFFFB;
inline constexpr uint32_t throw_ = 0x7FFFFFFA;
inline constexpr uint32_t power_overflow = 0x7FFFFFF9;
inline constexpr uint32_t platform_guard = 0x7FFFFFF8;
inline constexpr uint32_t alloc_failed = 0x7FFFFFF7;
inline constexpr uint32_t free_failed = 0x7FFFFFF6;
inline constexpr uint32_t lexer = 10;
inline constexpr uint32_t silent_exit = 0xBADCAFE;
}  // namespace level

// The exception every non-local exit throws.
struct NonLocalExit {
  uint32_t level;
};

namespace unwind {

// The value carried by the exit in flight (or the last one caught).
extern Cell thrown_value;
// The level of the last exit caught (`thrown` of the runtime).
extern uint32_t thrown;

// Throws an exit of the given level. Never returns.
[[noreturn]] void throw_level(uint32_t lvl);

// True when a catching site of level `site` stops an exit of level `lvl`.
inline constexpr bool stops(uint32_t site, uint32_t lvl) { return lvl <= site; }

// A catching site of level `site` around `body`: returns 0 when the body
// returns normally, or the level of the exit it stopped (also stored in
// `thrown`); an exit above the site passes on. Level 0 is never thrown, so
// 0 always means a normal return.
//   if (uint32_t lvl = unwind::catch_level(level::platform_guard, [&] { ... }))
//     ... // lvl is level::alloc_failed or level::free_failed
template <class Body>
uint32_t catch_level(uint32_t site, Body&& body) {
  try {
    body();
    return 0;
  } catch (const NonLocalExit& e) {
    if (!stops(site, e.level)) throw;
    thrown = e.level;
    return e.level;
  }
}

// The handler of the root frame, which stops every exit: 0xBADCAFE ends the
// process silently with status 0, any other level with runtime error 95
// "no CATCH for THROW".
[[noreturn]] void root_handler(uint32_t lvl);

}  // namespace unwind
}  // namespace qel
