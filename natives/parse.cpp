// The `parse` native: reads its refinements, works out the /part limit and
// runs the parse engine (parse/parse.h).
#include <algorithm>
#include <span>

#include "natives/natives.h"
#include "parse/parse.h"
#include "parse/internal.h"
#include "core/stack.h"
#include "core/unwind.h"
#include "core/errors.h"
#include "datatypes/series.h"

namespace qel::natives {

namespace {

// parse input rules /case /part length /trace callback
void parse_(const int32_t* refinements) {
  Cell* args = stack::arguments;
  Cell* input = args;
  const int32_t length = parse::input_length(input);
  input->set_head(std::clamp(input->head(), 0, length));
  const int32_t mode = refinements[0] >= 0 ? parse::kModeSensitive : parse::kModeInsensitive;
  int32_t limit = -1;
  if (refinements[1] >= 0) {
    const Cell* part = args + refinements[1];
    int64_t at;
    if (part->is(TypeId::integer) || part->is(TypeId::float_) || part->is(TypeId::percent)) {
      at = int64_t{input->head()} + get_integer_arg(part);
    } else {
      if (part->type() != input->type() || part->node() != input->node())
        series::fire_invalid_refine("part", part);
      at = part->head();
    }
    // A limit at or before the input's head runs no rule: only an empty
    // input matches then.
    if (at <= input->head()) {
      set_logic(args, length - input->head() == 0);
      stack::keep();
      return;
    }
    limit = static_cast<int32_t>(std::min<int64_t>(at, length));
  }
  const Cell* callback = refinements[2] >= 0 ? args + refinements[2] : nullptr;
  Cell* result = stack::push_slot();
  set_none(result);
  parse::process(result, input, args + 1, mode, limit, callback);
  if (exits::pending) return;
  *args = *result;
  stack::keep();
}

constexpr Definition kParse[] = {
    {40, "parse", parse_, R"spec("Matches a series against grammar rules; answers whether it matched, or what the rules collected"
        input [binary! any-block! any-string!] "The series to match"
        rules [block!] "The grammar rules"
        /case "Uses case-sensitive comparison"
        /part "Limit to a length or position"
        length [number! series!]
        /trace "Reports each step to a callback"
        callback [function!]
        return: [logic! block!])spec"},
};

}  // namespace

std::span<const Definition> parse_natives() { return kParse; }

}  // namespace qel::natives
