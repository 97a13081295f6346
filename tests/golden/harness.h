// The hook through which the golden-test driver evaluates Qel text. The
// evaluator provides the real definition (it evaluates the way the console
// does); until then harness_stub.cpp answers that nothing is available and
// the driver skips every file.
#pragma once

#include <string>

namespace qel::testing {

// Evaluates `text` in the running session, as the console evaluates one
// input: definitions persist from one call to the next. On return:
//   printed     everything the text printed (the harness captures the output
//               with output::begin_capture);
//   result      the result as the console shows it after "== " (molded; a
//               float! formed), or empty when the result is unset or an
//               error was raised;
//   error_line  the first line of the error report without its leading
//               "*** " ("Script Error: x has no value"), or empty.
// Returns false when no evaluator is linked in (the stub).
bool eval_case(const std::string& text, std::string& printed, std::string& result,
               std::string& error_line);

}  // namespace qel::testing
