// The golden-test hook: loads a case's text, evaluates it as the console
// evaluates one input (errors caught under a try frame), and answers what
// was printed, the molded result and the first line of an error report.
#include "tests/golden/harness.h"

#include "evaluator/interpreter.h"
#include "lexer/lexer.h"
#include "core/stack.h"
#include "core/unwind.h"
#include "runtime/output.h"
#include "values/actions.h"
#include "values/datatype.h"
#include "core/errors.h"
#include "datatypes/string.h"
#include "datatypes/word.h"

namespace qel::testing {

namespace {

// The text the console shows for a result: molded, a float! formed.
std::string shown(const Cell* value) {
  Cell v = *value;
  if (v.is(TypeId::datatype) && !datatype::is_registered(datatype::named(&v))) {
    const char* n = type_name(datatype::named(&v));
    return n ? n : "datatype!";
  }
  Cell* buffer = stack::push_slot();
  string::rs_make_at(buffer, 16);
  if (v.is(TypeId::float_))
    actions::call_form(&v, buffer, nullptr, 0x7FFFFFFF);
  else
    actions::call_mold(&v, buffer, {}, nullptr, 0x7FFFFFFF, 0);
  std::string out;
  string::to_utf8(buffer, out);
  return out;
}

std::string first_line(const std::string& report) {
  std::string line = report.substr(0, report.find('\n'));
  if (line.rfind("*** ", 0) == 0) line = line.substr(4);
  return line;
}

}  // namespace

bool eval_case(const std::string& text, std::string& printed, std::string& result,
               std::string& error_line) {
  printed.clear();
  result.clear();
  error_line.clear();
  output::begin_capture(&printed);
  exits::Mark mark;
  Cell name = word::load("try");
  stack::mark_try(&name);
  try {
    Cell* code = stack::push_slot();
    set_none(code);
    lexer::ScanOptions options;
    lexer::scan(code, reinterpret_cast<const uint8_t*>(text.data()),
                static_cast<uint32_t>(text.size()), options);
    Cell block = *code;
    interpreter::eval(&block, interpreter::Chain::no);
    Cell value = stack::top[-1];
    if (!value.is(TypeId::unset)) {
      try {
        result = shown(&value);
      } catch (const NonLocalExit&) {
        result = "<cannot mold the result>";
      }
    }
  } catch (const NonLocalExit& e) {
    mark.restore();
    stack::mark_try(&name);
    if (e.level == level::error) {
      Cell err = unwind::thrown_value;
      try {
        error_line = first_line(error::report(&err));
      } catch (const NonLocalExit&) {
        error_line = "<cannot form the error>";
      }
    } else {
      error_line = "<uncaught exit, level " + std::to_string(e.level) + ">";
    }
  }
  exits::pending = 0;
  mark.restore();
  output::flush();
  output::end_capture();
  return true;
}

}  // namespace qel::testing
