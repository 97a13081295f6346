// Stand-in for the evaluator's harness: nothing can be evaluated yet, so the
// driver skips every golden file. The evaluator replaces this file with the
// real definition of qel::testing::eval_case.
#include "tests/golden/harness.h"

namespace qel::testing {

bool eval_case(const std::string&, std::string&, std::string&, std::string&) { return false; }

}  // namespace qel::testing
