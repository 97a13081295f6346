// Error raising with a placeholder error! value.
//
// `fire` builds an error! whose context node is a plain block of cells
// [code arg1 arg2 arg3 near where stack] (the collector marks it as it marks
// any context) and hands it to the evaluator's unwinder. The report is built
// from the catalog template with the arguments molded. The error! module,
// with the catalog in system/catalog/errors and the real report, replaces
// this file.
#include "values/errors.h"

#include <string_view>

#include "evaluator/interpreter.h"
#include "evaluator/stack.h"
#include "evaluator/trace.h"
#include "evaluator/unwind.h"
#include "memory/series.h"
#include "runtime/unwind.h"
#include "values/actions.h"
#include "values/datatype.h"
#include "values/string.h"
#include "values/word.h"

namespace qel {

namespace {
struct CatalogRow {
  ErrorCode code;
  const char* id;
  const char* tmpl;
};
constexpr CatalogRow kCatalog[] = {
#define X(category, name, id, code, tmpl) {ErrorCode::name, id, tmpl},
#include "values/error_catalog.def"
#undef X
};

// Fields of the placeholder error's block.
enum Field : int { kCode = 0, kArg1 = 1, kNear = 4, kWhere = 5, kStack = 6, kFields = 7 };

Cell* field(const Cell* err, int i) { return memory::series(err->data1)->cells() + i; }

constexpr const char* kTypeTexts[] = {"Throw Error",     "note",         "Syntax Error",
                                      "Script Error",    "Math Error",   "Access Error",
                                      "Reserved1 Error", "Reserved2 Error", "User Error",
                                      "Internal Error"};

// The value molded (or formed) flat, cut at `limit` characters.
std::string text_of(const Cell* value, bool form, int32_t limit, bool only = false) {
  Cell v = *value;
  if (v.is(TypeId::datatype) && !datatype::is_registered(datatype::named(&v))) {
    // A type whose module is not built yet: its name from the type list.
    const char* n = type_name(datatype::named(&v));
    std::string name = n ? n : "datatype!";
    if (form && !name.empty()) name.pop_back();
    return name;
  }
  const ResolvedRow& row = datatype::row(v.type());
  if ((form && !row.form) || (!form && !row.mold)) {
    const char* n = type_name(v.type());
    return std::string("?") + (n ? n : "value") + "?";
  }
  Cell* buffer = stack::push_slot();
  string::rs_make_at(buffer, 16);
  Cell* saved_top = stack::top;
  if (form)
    actions::call_form(&v, buffer, nullptr, limit);
  else
    actions::call_mold(&v, buffer, only, false, true, nullptr, limit, 0);
  stack::top = saved_top;
  std::string out;
  string::to_utf8(buffer, out, limit);
  stack::pop(1);
  return out;
}

// The message built from a code's template and the error's arguments.
std::string message(const Cell* err, ErrorCode code) {
  const char* tmpl = error_template(code);
  if (!tmpl) return {};
  bool syntax = category_of(code) == ErrorCategory::syntax;
  std::string_view t(tmpl);
  // A single bare word: the message is that field's value (a string written
  // whole).
  if (t.size() >= 4 && t.substr(0, 3) == "arg" && t.find(' ') == std::string_view::npos) {
    const Cell* v = field(err, kArg1 + (t[3] - '1'));
    return v->is(TypeId::string) ? text_of(v, true, 0x7FFFFFFF) : std::string();
  }
  std::string out;
  size_t i = 0;
  bool first = true;
  while (i < t.size()) {
    if (t[i] == ' ') {
      i++;
      continue;
    }
    if (!first) out += ' ';
    first = false;
    if (t[i] == '"') {
      size_t j = t.find('"', i + 1);
      if (j == std::string_view::npos) j = t.size();
      out.append(t.substr(i + 1, j - i - 1));
      i = j + 1;
      continue;
    }
    size_t j = t.find(' ', i);
    if (j == std::string_view::npos) j = t.size();
    std::string_view word = t.substr(i, j - i);
    if (!word.empty() && word[0] == ':') word.remove_prefix(1);
    if (word.size() == 4 && word.substr(0, 3) == "arg" && word[3] >= '1' && word[3] <= '3') {
      // Syntax errors form their arguments (a datatype keeps its "!").
      const Cell* a = field(err, kArg1 + (word[3] - '1'));
      out += text_of(a, syntax && !a->is(TypeId::datatype), 80);
    }
    i = j;
  }
  return out;
}

}  // namespace

const char* error_id_name(ErrorCode code) {
  for (const auto& r : kCatalog)
    if (r.code == code) return r.id;
  return nullptr;
}

const char* error_template(ErrorCode code) {
  for (const auto& r : kCatalog)
    if (r.code == code) return r.tmpl;
  return nullptr;
}

namespace error {

void set_where(Cell* err, const Cell* word) {
  if (!err->is(TypeId::error)) return;
  Cell* w = field(err, kWhere);
  if (w->is(TypeId::none)) *w = *word;
}

void set_stack_position(Cell* err, int32_t position) {
  if (!err->is(TypeId::error)) return;
  Cell* s = field(err, kStack);
  if (!s->is(TypeId::block)) set_integer(s, position);
}

std::string report(const Cell* err) {
  if (!err->is(TypeId::error)) return "*** " + text_of(err, true, 0x7FFFFFFF);
  ErrorCode code = static_cast<ErrorCode>(field(err, kCode)->integer());
  int cat = static_cast<int>(category_of(code));
  std::string out = "*** ";
  out += (cat >= 0 && cat < 10) ? kTypeTexts[cat] : "Internal Error";
  out += ": ";
  out += message(err, code);
  out += "\n*** Where: ";
  const Cell* where = field(err, kWhere);
  out += where->is(TypeId::word) ? text_of(where, true, 0x7FFFFFFF) : std::string("???");
  out += "\n*** Near : ";
  const Cell* near = field(err, kNear);
  if (is_any_block(near->type())) {
    // The block from the expression on, molded flat without brackets.
    out += text_of(near, false, 40, true);
  }
  return out;
}

}  // namespace error

void fire(ErrorCode code, const Cell* arg1, const Cell* arg2, const Cell* arg3) {
  Node n = memory::alloc_cells(kFields);
  SeriesBuffer* s = memory::series(n);
  Cell* c = s->cells();
  set_integer(c + kCode, static_cast<int32_t>(code));
  const Cell* args[3] = {arg1, arg2, arg3};
  for (int i = 0; i < 3; i++) {
    if (args[i])
      c[kArg1 + i] = *args[i];
    else
      set_none(c + kArg1 + i);
  }
  c[kNear] = interpreter::position;
  set_none(c + kWhere);
  set_none(c + kStack);
  s->tail = s->offset + kFields * sizeof(Cell);
  Cell err{static_cast<uint32_t>(TypeId::error), n, 0, 0};
  if (interpreter::tracing_q) interpreter::fire_error(&err);
  stack::throw_error(&err);
}

}  // namespace qel
