// The completion hook (see console/complete.h). On Tab the editor hands the
// line and the cursor; the hook evaluates
//
//     attempt [qel-complete-ctx/complete-input LINE true]
//
// with LINE a string of the whole line positioned at the cursor, and turns
// the block it answers into a Completion: the first string is the new line,
// positioned where the cursor goes; the others, when there are any, are
// the candidates the editor lists. An empty block, or an error inside the
// completion code (which `attempt` turns into none), means no completion,
// and Tab stays an ordinary character.
#include "console/complete.h"

#include <algorithm>
#include <optional>
#include <string>
#include <string_view>

#include "console/console.h"
#include "evaluator/interpreter.h"
#include "lexer/lexer.h"
#include "core/stack.h"
#include "memory/series.h"
#include "runtime/output.h"
#include "datatypes/block.h"
#include "datatypes/string.h"

namespace qel::console {

namespace {

constexpr std::string_view kCall = "attempt [qel-complete-ctx/complete-input \"\" true]";
// Where the line goes in the scanned call: the second cell of its inner block.
constexpr int32_t kInnerBlock = 1;
constexpr int32_t kLineCell = 1;

// The characters of a string value from `from` to its tail.
Text text_from(const Cell* s, int32_t from) {
  Text t;
  SeriesBuffer* b = string::buffer(s);
  uint32_t unit = b->unit();
  uint32_t shift = string::unit_shift(unit);
  int32_t n = string::buffer_length(b);
  if (from < 0) from = 0;
  for (int32_t i = from; i < n; ++i)
    t.push_back(string::get_char(string::char_at(b, 0) + (static_cast<uint32_t>(i) << shift), unit));
  return t;
}

std::string utf8_of(const Text& t) {
  std::string s;
  s.reserve(t.size());
  for (char32_t c : t) {
    char b[4];
    s.append(b, output::encode_utf8(c, b));
  }
  return s;
}

std::optional<Completion> complete(const Text& line, size_t cursor) {
  Cell* base = stack::top;
  Cell* code = stack::push_slot();
  set_none(code);
  lexer::ScanOptions options;
  lexer::scan(code, reinterpret_cast<const uint8_t*>(kCall.data()), static_cast<uint32_t>(kCall.size()),
              options);
  Cell* inner = block::rs_abs_at(code, kInnerBlock);
  // Console code, not the user's: no trace events, no `near` in it.
  memory::series(code->node())->flags |= series_flag::library;
  memory::series(inner->node())->flags |= series_flag::library;
  Cell* text = block::rs_abs_at(inner, kLineCell);
  string::make_utf8(text, utf8_of(line));
  text->set_head(static_cast<int32_t>(std::min(cursor, line.size())));

  Cell call = *code;
  interpreter::eval(&call, interpreter::Chain::no);
  Cell result = *(stack::top - 1);

  std::optional<Completion> answer;
  if (result.is(TypeId::block) && block::rs_length_q(&result) > 0) {
    int32_t n = block::rs_length_q(&result);
    Cell* items = block::rs_head(&result);
    if (is_any_string(items[0].type())) {
      Completion c;
      c.line = text_from(&items[0], 0);
      c.cursor = static_cast<size_t>(std::max(items[0].head(), 0));
      for (int32_t i = 1; i < n; ++i)
        if (is_any_string(items[i].type())) c.others.push_back(text_from(&items[i], items[i].head()));
      answer = std::move(c);
    }
  }
  stack::top = base;
  return answer;
}

}  // namespace

void install_completion() { set_completion_hook(complete); }

}  // namespace qel::console
