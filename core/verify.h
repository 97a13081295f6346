// VERIFY(cond): the internal assertion of debug builds (check, stress and
// development builds define QEL_DEBUG). A failed VERIFY names the condition
// and its place on the standard error, then ends the process with runtime
// error 98 "assertion failed". Release builds compile the condition away
// without evaluating it.
#pragma once

#include "runtime/fatal.h"

#ifdef QEL_DEBUG
#define VERIFY(cond) ((cond) ? void(0) : ::qel::runtime::verify_failed(#cond, __FILE__, __LINE__))
#else
#define VERIFY(cond) ((void)sizeof(!(cond)))
#endif
