// Control natives: conditionals, loops, and the natives that start or stop
// non-local exits (break, continue, exit, return, throw, catch, try).
//
// A loop pushes a loop frame for its duration; each iteration empties the
// frame and evaluates the body, whose value lands in the loop frame's slot 0.
// break and continue arrive either as the pending signal or as an exception
// (from code that raises the signal); `run_body` turns both into an outcome.
#include <algorithm>
#include <cstring>
#include <vector>

#include "datatypes/map.h"
#include "datatypes/series.h"
#include "values/datatype.h"
#include "memory/series.h"
#include "evaluator/interpreter.h"
#include "natives/natives.h"
#include "core/stack.h"
#include "core/unwind.h"
#include "values/actions.h"
#include "datatypes/block.h"
#include "values/context.h"
#include "datatypes/error.h"
#include "core/errors.h"
#include "datatypes/logic.h"
#include "values/symbol.h"
#include "datatypes/word.h"

namespace qel::natives {

namespace {

using interpreter::Chain;
namespace passing = interpreter::passing;

// A word naming the current call (the native's own frame).
Cell call_word() {
  Cell w;
  stack::Frame* f = stack::get_ctop();
  set_word_cell(&w, TypeId::word, f ? f->word_context : 0, f ? f->symbol : stack::anon_symbol,
                -1);
  return w;
}

inline bool present(const int32_t* refinements, int i) {
  return refinements && refinements[i] >= 0;
}

enum class Outcome { done, broke, continued, passing };

// Evaluates a block in the loop frame the mark was taken in; its value (or
// the value break/return gave) is left in the loop frame's slot 0.
Outcome run_body(const Cell& body, const exits::Mark& mark) {
  stack::Frame* loop = mark.frame_top - 1;
  stack::top = mark.arguments;
  uint32_t stopped = 0;
  try {
    passing::eval(&body, Chain::no);
  } catch (const NonLocalExit& e) {
    if ((e.level != level::break_ && e.level != level::continue_) || exits::target != loop) throw;
    stopped = e.level;
  }
  if (!stopped) {
    if (!exits::pending) return Outcome::done;
    if ((exits::pending != level::break_ && exits::pending != level::continue_) ||
        exits::target != loop)
      return Outcome::passing;
    stopped = exits::pending;
    exits::pending = 0;
  }
  mark.restore();
  if (stopped == level::break_) {
    *mark.arguments = unwind::thrown_value;
    stack::top = mark.arguments + 1;
    return Outcome::broke;
  }
  set_unset(mark.arguments);
  stack::top = mark.arguments + 1;
  return Outcome::continued;
}

// A loop body made only of pure expressions runs in its prepared form (see
// interpreter::PureBody) for as long as its values allow; the first time
// they do not, the iteration goes on the general way from that expression
// and the loop keeps the general way from then on.
struct PureLoop {
  interpreter::PureBody body;
  bool on = false;

  void prepare(const Cell& block, const Cell* written = nullptr) {
    on = interpreter::prepare_pure_body(block, written, &body);
  }
  Outcome run(const Cell& block, const exits::Mark& mark) {
    if (on) {
      stack::top = mark.arguments;
      const int32_t pc = interpreter::run_pure_body(body, mark.arguments);
      if (pc < 0) [[likely]] {
        stack::top = mark.arguments + 1;
        return Outcome::done;
      }
      on = false;
      Cell rest = block;
      rest.set_head(pc);
      return run_body(rest, mark);
    }
    return run_body(block, mark);
  }
};

// Opens a loop frame above the native's arguments; its slot 0 starts unset.
exits::Mark open_loop(Cell* args, int32_t nargs) {
  stack::top = args + nargs;
  Cell w = call_word();
  stack::mark_loop(&w);
  exits::Mark mark;
  set_unset(stack::push_slot());
  return mark;
}

// Pops the loop frame and makes its slot 0 the native's result.
void close_loop(const exits::Mark& mark, Cell* args) {
  Cell result = *mark.arguments;
  exits::pop_frames_to(mark.frame_top - 1);
  stack::arguments = args;
  *args = result;
  stack::top = args + 1;
}

// The truth of a condition for either, while, until and case: an unset
// value raises no-return.
bool condition_true(const Cell* v) {
  if (v->is(TypeId::unset)) fire(ErrorCode::script_no_return);
  return !is_falsy(v);
}

// The count of loop and repeat.
int32_t loop_count(const Cell* v) { return get_integer_arg(v); }

// --- conditionals

void if_(const int32_t*) {
  Cell* args = stack::arguments;
  if (is_falsy(args)) {
    set_none(args);
    return;
  }
  Cell body = args[1];
  passing::eval(&body, Chain::yes);
}

void unless(const int32_t*) {
  Cell* args = stack::arguments;
  if (!is_falsy(args)) {
    set_none(args);
    return;
  }
  Cell body = args[1];
  passing::eval(&body, Chain::yes);
}

void either(const int32_t*) {
  Cell* args = stack::arguments;
  Cell body = condition_true(args) ? args[1] : args[2];
  passing::eval(&body, Chain::yes);
}

void any(const int32_t*) {
  Cell* args = stack::arguments;
  Cell blk = args[0];
  int32_t pc = blk.head() < 0 ? 0 : blk.head();
  Cell* mark = stack::top;
  while (pc < block::total_cells(&blk)) {
    stack::top = mark;
    pc = passing::eval_next(&blk, pc, block::total_cells(&blk), Chain::no);
    if (exits::pending) return;
    if (!is_falsy(mark)) {
      *args = *mark;
      stack::top = args + 1;
      return;
    }
  }
  set_none(args);
  stack::top = args + 1;
}

void all(const int32_t*) {
  Cell* args = stack::arguments;
  Cell blk = args[0];
  int32_t pc = blk.head() < 0 ? 0 : blk.head();
  Cell* mark = stack::top;
  Cell last = none_value;
  while (pc < block::total_cells(&blk)) {
    stack::top = mark;
    pc = passing::eval_next(&blk, pc, block::total_cells(&blk), Chain::no);
    if (exits::pending) return;
    if (is_falsy(mark)) {
      last = none_value;
      break;
    }
    last = *mark;
  }
  *args = last;
  stack::top = args + 1;
}

void switch_(const int32_t* refinements) {
  Cell* args = stack::arguments;
  Cell cases = args[1];
  Cell value = args[0];
  if (!value.is(TypeId::block)) {
    int32_t n = block::total_cells(&cases);
    for (int32_t i = cases.head() < 0 ? 0 : cases.head(); i < n; i++) {
      Cell c = *block::rs_abs_at(&cases, i);
      if (c.type() != value.type() || !actions::compare(&c, &value, CompareOp::equal)) continue;
      for (int32_t j = i + 1; j < block::total_cells(&cases); j++) {
        Cell b = *block::rs_abs_at(&cases, j);
        if (b.is(TypeId::block)) {
          passing::eval(&b, Chain::yes);
          return;
        }
      }
      set_none(args);
      return;
    }
  }
  if (present(refinements, 0)) {
    Cell def = args[refinements[0]];
    passing::eval(&def, Chain::yes);
    return;
  }
  set_none(args);
}

void case_(const int32_t* refinements) {
  Cell* args = stack::arguments;
  bool all_cases = present(refinements, 0);
  Cell cases = args[0];
  int32_t pc = cases.head() < 0 ? 0 : cases.head();
  Cell result = none_value;
  Cell* mark = stack::top;
  while (pc < block::total_cells(&cases)) {
    stack::top = mark;
    pc = passing::eval_next(&cases, pc, block::total_cells(&cases), Chain::no);
    if (exits::pending) return;
    if (pc >= block::total_cells(&cases)) {
      Cell cond = *mark;
      fire(ErrorCode::script_need_value, &cond);
    }
    bool truth = condition_true(mark);
    stack::top = mark;
    if (!truth) {
      pc++;
      continue;
    }
    Cell next = *block::rs_abs_at(&cases, pc);
    if (next.is(TypeId::block)) {
      passing::eval(&next, Chain::no);
      pc++;
    } else {
      pc = passing::eval_next(&cases, pc, block::total_cells(&cases), Chain::no);
    }
    if (exits::pending) return;
    result = *mark;
    if (!all_cases) break;
  }
  *args = result;
  stack::top = args + 1;
}

// --- loops

void loop(const int32_t*) {
  Cell* args = stack::arguments;
  int32_t n = loop_count(args);
  if (n <= 0) {
    set_none(args);
    return;
  }
  Cell body = args[1];
  exits::Mark mark = open_loop(args, 2);
  PureLoop pure;
  pure.prepare(body);
  for (int32_t i = 0; i < n; i++) {
    Outcome o = pure.run(body, mark);
    if (o == Outcome::passing) return;
    if (o == Outcome::broke) break;
  }
  close_loop(mark, args);
}

void repeat(const int32_t*) {
  Cell* args = stack::arguments;
  int32_t n = loop_count(args + 1);
  if (n <= 0) {
    set_none(args);
    return;
  }
  set_integer(args + 1, 1);
  Cell body = args[2];
  exits::Mark mark = open_loop(args, 3);
  PureLoop pure;
  for (int32_t remaining = n; remaining > 0; remaining--) {
    if (pure.on)
      *pure.body.written = args[1];
    else
      interpreter::set_word(args, args + 1);
    if (remaining == n) pure.prepare(body, args);
    Outcome o = pure.run(body, mark);
    if (o == Outcome::passing) return;
    if (o == Outcome::broke) break;
    if (remaining > 1) args[1].set_integer(args[1].integer() + 1);
  }
  close_loop(mark, args);
}

void forever(const int32_t*) {
  Cell* args = stack::arguments;
  Cell body = args[0];
  exits::Mark mark = open_loop(args, 1);
  for (;;) {
    Outcome o = run_body(body, mark);
    if (o == Outcome::passing) return;
    if (o == Outcome::broke) break;
  }
  close_loop(mark, args);
}

void while_(const int32_t*) {
  Cell* args = stack::arguments;
  Cell cond = args[0];
  Cell body = args[1];
  exits::Mark mark = open_loop(args, 2);
  // The pure forms only when both blocks have one (either may run code that
  // changes the other).
  PureLoop pure_cond, pure_body;
  pure_cond.prepare(cond);
  if (pure_cond.on) pure_body.prepare(body);
  pure_cond.on = pure_body.on;
  for (;;) {
    Outcome c = pure_cond.run(cond, mark);
    if (c == Outcome::passing) return;
    if (c != Outcome::done) fire(ErrorCode::throw_while_cond);
    if (!condition_true(mark.arguments)) break;
    pure_body.on = pure_body.on && pure_cond.on;
    Outcome o = pure_body.run(body, mark);
    pure_cond.on = pure_body.on;
    if (o == Outcome::passing) return;
    if (o == Outcome::broke) break;
  }
  set_unset(mark.arguments);
  close_loop(mark, args);
}

void until(const int32_t*) {
  Cell* args = stack::arguments;
  Cell body = args[0];
  exits::Mark mark = open_loop(args, 1);
  for (;;) {
    Outcome o = run_body(body, mark);
    if (o == Outcome::passing) return;
    if (o == Outcome::broke) break;
    if (o == Outcome::continued) continue;
    if (condition_true(mark.arguments)) break;
  }
  close_loop(mark, args);
}

// The value at a series position (a block's cell, another series' pick).
Cell value_at(const Cell* series, int32_t offset) {
  if (is_any_block(series->type())) {
    int32_t i = series->head() + offset;
    if (i < 0 || i >= block::total_cells(series)) return none_value;
    return *block::rs_abs_at(series, i);
  }
  Cell s = *series;
  Cell index;
  set_integer(&index, offset + 1);
  Cell* mark = stack::top;
  Cell r = *actions::call_pick(&s, offset + 1, &index);
  stack::top = mark;
  return r;
}

// One step of foreach and remove-each: sets the word (or words) from the
// values at the position held in `pos` and advances it; false at the tail.
bool foreach_step(Cell* words, Cell* pos, int32_t count) {
  if (!series_more_q(pos)) return false;
  if (words->is(TypeId::block)) {
    if (pos->is(TypeId::map)) return map::foreach_next(words, pos, count);
    if (is_any_block(pos->type())) {
      set_many(words, pos, count, true, false, false);
    } else {
      // Each name must be a word before any is set (a date or a string
      // taken for a word reached a context that does not exist).
      for (int32_t i = 0; i < count; i++) {
        const Cell* w = block::rs_abs_at(words, words->head() + i);
        if (w->type() < TypeId::word || w->type() > TypeId::get_word)
          fire(ErrorCode::script_invalid_arg, w);
      }
      for (int32_t i = 0; i < count; i++) {
        Cell w = *block::rs_abs_at(words, words->head() + i);
        Cell* v = stack::push_slot();
        *v = value_at(pos, i);
        context::set(&w, v);
        stack::top = v;
      }
    }
  } else {
    Cell* v = stack::push_slot();
    *v = value_at(pos, 0);
    context::set(words, v);
    stack::top = v;
  }
  pos->set_head(pos->head() + count);
  return true;
}

int32_t word_count(const Cell* words) {
  if (!words->is(TypeId::block)) return 1;
  int32_t n = block::rs_length_q(words);
  if (n < 1) fire(ErrorCode::script_invalid_arg, words);
  return n;
}

void foreach(const int32_t*) {
  Cell* args = stack::arguments;
  int32_t count = word_count(args);
  if (!args[0].is(TypeId::block) && args[1].is(TypeId::map))
    fire(ErrorCode::script_invalid_arg, args);
  Cell body = args[2];
  exits::Mark mark = open_loop(args, 3);
  for (;;) {
    Cell* base = stack::top;
    if (!foreach_step(args, args + 1, count)) break;
    stack::top = base;
    Outcome o = run_body(body, mark);
    if (o == Outcome::passing) return;
    if (o == Outcome::broke) break;
  }
  close_loop(mark, args);
}

bool forall_type(TypeId t) {
  switch (t) {
    case TypeId::path: case TypeId::lit_path: case TypeId::set_path: case TypeId::get_path:
    case TypeId::block: case TypeId::paren: case TypeId::hash: case TypeId::string:
    case TypeId::file: case TypeId::url: case TypeId::tag: case TypeId::email: case TypeId::ref:
    case TypeId::binary: case TypeId::vector: case TypeId::image:
      return true;
    default:
      return false;
  }
}

void forall(const int32_t*) {
  Cell* args = stack::arguments;
  Cell* v = context::get(args);
  if (!forall_type(v->type())) {
    Cell w = call_word();
    Cell dt;
    set_datatype(&dt, v->type());
    Cell name = word::load("word");
    fire(ErrorCode::script_expect_arg, &w, &dt, &name);
  }
  Cell body = args[1];
  // The starting position is kept in slot 2.
  stack::top = args + 2;
  stack::push(v);
  exits::Mark mark = open_loop(args, 3);
  if (!series_more_q(args + 2)) {
    close_loop(mark, args);
    return;
  }
  bool broke = false;
  for (;;) {
    Outcome o = run_body(body, mark);
    if (o == Outcome::passing) return;
    if (o == Outcome::broke) {
      broke = true;
      break;
    }
    Cell* now = context::get(args);
    if (now->node() != args[2].node() || !forall_type(now->type())) {
      Cell bad = *now;
      fire(ErrorCode::script_bad_loop_series, &bad);
    }
    now->set_head(now->head() + 1);
    if (!series_more_q(now)) break;
  }
  Cell result = *mark.arguments;
  if (!broke) context::set(args, args + 2);
  *mark.arguments = result;
  close_loop(mark, args);
}

// remove-each judges the values from the series' head in steps of `count`
// and removes those the body answered truthy for, all at once when the loop
// ends: normally, by break, by return or exit passing through, or by an
// error or throw (the steps judged so far are applied, the rest stays). The
// body sees the series as it was until then, so the loop is one pass
// whatever the share of removed values. A series whose owner must be told
// of each change (on-deep-change*), and map! and image!, which remove
// through their own actions, take the step-by-step path: each judged step
// is removed at once, through `remove`, and the owner hears of it.
struct Judged {
  int32_t start = 0;                // the first judged value's index
  int32_t count = 1;                // values per step
  std::vector<uint8_t> remove;      // per step: 1 when the body answered truthy
  bool any = false;
};

// Cuts the judged values out of `data` with one read and one write position;
// the values after the judged ones (not reached, or appended by the body)
// follow the kept ones. A series the body shortened is cut only where its
// values still are; one that became owned meanwhile is cut through `remove`,
// a run at a time from the last, so its owner hears of each run.
void apply_removals(Cell* data, const Judged& j) {
  if (!j.any) return;
  const int32_t len = series::get_length(data);
  if (j.start >= len) return;
  if (series::buffer(data)->flags & series_flag::owned) {
    Cell* saved = stack::top;
    for (size_t last = j.remove.size(); last-- > 0;) {
      if (!j.remove[last]) continue;
      size_t first = last;
      while (first > 0 && j.remove[first - 1]) first--;
      const int64_t from = j.start + int64_t(first) * j.count;
      const int64_t n = int64_t(last - first + 1) * j.count;
      last = first;
      if (from >= series::get_length(data)) continue;
      Cell* at = stack::push(data);
      at->set_head(static_cast<int32_t>(from));
      Cell* part = stack::push_slot();
      set_integer(part, static_cast<int32_t>(std::min<int64_t>(n, 0x7FFFFFFF)));
      actions::call_remove(at, part, nullptr);
      stack::top = saved;
    }
    return;
  }
  SeriesBuffer* b = series::buffer(data);
  const uint32_t sh = series::unit_shift(b);
  uint8_t* base = b->head_ptr();
  int64_t w = j.start;
  int64_t r = j.start;
  for (size_t i = 0; i < j.remove.size() && r < len; i++) {
    const int64_t span = std::min<int64_t>(j.count, len - r);
    if (!j.remove[i]) {
      if (w != r) std::memmove(base + (w << sh), base + (r << sh), size_t(span) << sh);
      w += span;
    }
    r += span;
  }
  if (r < len) {
    if (w != r) std::memmove(base + (w << sh), base + (r << sh), size_t(len - r) << sh);
    w += len - r;
  }
  b->tail = b->offset + (uint32_t(w) << sh);
  if (data->is(TypeId::hash)) block::hash_changed(data);
}

void remove_each(const int32_t*) {
  Cell* args = stack::arguments;
  int32_t count = word_count(args);
  Cell body = args[2];
  // Slot 3: the walking position; slot 4: the count as an integer!.
  stack::top = args + 3;
  stack::push(args + 1);
  set_integer(stack::push_slot(), count);
  exits::Mark mark = open_loop(args, 5);
  Cell* pos = args + 3;
  const bool at_once = datatype::row(args[1].type()).remove != series::remove ||
                       args[1].head() < 0 ||
                       (series::buffer(args + 1)->flags & series_flag::owned);
  Judged judged;
  judged.start = args[1].head();
  judged.count = count;
  try {
    for (;;) {
      Cell* base = stack::top;
      if (!foreach_step(args, pos, count)) break;
      stack::top = base;
      Outcome o = run_body(body, mark);
      if (o == Outcome::passing) {
        apply_removals(args + 1, judged);
        return;
      }
      if (o == Outcome::broke) break;
      const bool drop = o == Outcome::done && !is_falsy(mark.arguments);
      if (!at_once) {
        judged.remove.push_back(drop ? 1 : 0);
        judged.any = judged.any || drop;
        continue;
      }
      if (!drop) continue;
      pos->set_head(pos->head() - count);
      Cell* saved = stack::top;
      Cell* part = stack::push(args + 4);
      Cell* at = stack::push(pos);
      actions::call_remove(at, count == 1 ? nullptr : part, nullptr);
      stack::top = saved;
    }
  } catch (const NonLocalExit&) {
    apply_removals(args + 1, judged);
    throw;
  }
  apply_removals(args + 1, judged);
  Cell data = args[1];
  close_loop(mark, args);
  *args = data;
}

// --- exits

void break_(const int32_t* refinements) {
  stack::throw_break(present(refinements, 0), false);
}

void continue_(const int32_t*) { stack::throw_break(false, true); }

void exit_(const int32_t*) { stack::throw_exit(false, false); }

void return_(const int32_t*) { stack::throw_exit(true, false); }

void throw_(const int32_t* refinements) {
  if (!present(refinements, 0)) {
    stack::top = stack::arguments + 1;
    set_unset(stack::push_slot());
  }
  interpreter::fire_throw();
  stack::throw_(level::throw_);
}

bool name_matches(const Cell& name, const Cell& want) {
  if (!name.is(TypeId::word)) return false;
  SymbolId s = symbol::resolve(name.symbol());
  if (is_any_word(want.type())) return symbol::resolve(want.symbol()) == s;
  if (want.is(TypeId::block)) {
    bool match = false;
    int32_t n = block::total_cells(&want);
    for (int32_t i = want.head() < 0 ? 0 : want.head(); i < n; i++) {
      Cell e = *block::rs_abs_at(&want, i);
      if (!e.is(TypeId::word)) {
        Cell refine = word::load("name");
        fire(ErrorCode::script_invalid_refine_arg, &refine, &want);
      }
      if (symbol::resolve(e.symbol()) == s) match = true;
    }
    return match;
  }
  return false;
}

void catch_(const int32_t* refinements) {
  Cell* args = stack::arguments;
  Cell body = args[0];
  stack::top = args + 1 + (present(refinements, 0) ? 1 : 0);
  Cell w = call_word();
  stack::mark_catch(&w);
  exits::Mark mark;
  stack::Frame* frame = mark.frame_top - 1;
  try {
    passing::eval(&body, Chain::no);
  } catch (const NonLocalExit& e) {
    if (e.level != level::throw_ || exits::target != frame) throw;
    mark.restore();
    Cell value = unwind::thrown_value;
    Cell name = exits::thrown_name;
    if (present(refinements, 0) && !name_matches(name, args[refinements[0]])) {
      // Not ours: drop the catch frame and throw on to the next catch, from
      // where the value was thrown.
      exits::pop_frames_to(frame);
      interpreter::position = interpreter::throw_near;
      stack::arguments = args;
      args[0] = value;
      args[1] = name;
      stack::top = args + 2;
      stack::throw_(level::throw_);
    }
    exits::pop_frames_to(frame);
    set_unset(&interpreter::throw_near);
    stack::arguments = args;
    *args = value;
    stack::top = args + 1;
    interpreter::fire_catch();
    return;
  }
  if (exits::pending) return;
  Cell result = *mark.arguments;
  exits::pop_frames_to(frame);
  stack::arguments = args;
  *args = result;
  stack::top = args + 1;
}

void try_(const int32_t* refinements) {
  Cell* args = stack::arguments;
  bool all_codes = present(refinements, 0);
  Cell body = args[0];
  stack::top = args + 1;
  Cell w = call_word();
  if (all_codes)
    stack::mark_try_all(&w);
  else
    stack::mark_try(&w);
  exits::Mark mark;
  stack::Frame* frame = mark.frame_top - 1;
  try {
    passing::eval(&body, Chain::no);
  } catch (const NonLocalExit& e) {
    bool stop = all_codes ? e.level <= level::error : e.level == level::error;
    if (!stop) throw;
    // /keep: the call stack goes into the error while the frames of the
    // calls it left are still there to be read (with room on the argument
    // stack for the block; after an overflow the position stays an integer).
    if (present(refinements, 1) && unwind::thrown_value.is(TypeId::error) &&
        stack::limit - stack::top > 64) {
      Cell* err = stack::top++;  // held on the stack while the block is made
      *err = unwind::thrown_value;
      error::capture_stack(err);
      unwind::thrown_value = *err;
    }
    mark.restore();
    exits::pop_frames_to(frame);
    stack::arguments = args;
    *args = unwind::thrown_value;
    stack::top = args + 1;
    return;
  }
  if (exits::pending) return;
  Cell result = *mark.arguments;
  exits::pop_frames_to(frame);
  stack::arguments = args;
  *args = result;
  stack::top = args + 1;
}

constexpr Definition kControl[] = {
    {1, "if", if_, R"spec("If conditional expression is truthy, evaluate block; else return NONE"
        cond [any-type!] then-blk [block!])spec"},
    {2, "unless", unless, R"spec("If conditional expression is falsy, evaluate block; else return NONE"
        cond [any-type!] then-blk [block!])spec"},
    {3, "either", either, R"spec("If conditional expression is true, eval true-block; else eval false-blk"
        cond [any-type!] true-blk [block!] false-blk [block!])spec"},
    {4, "any", any, R"spec("Evaluates, returning at the first that is true" conds [block!])spec"},
    {5, "all", all, R"spec("Evaluates, returning at the first that is not true" conds [block!])spec"},
    {6, "while", while_, R"spec("Evaluates body as long as condition block evaluates to truthy value"
        cond [block!] "Condition block to evaluate on each iteration"
        body [block!] "Block to evaluate on each iteration")spec"},
    {7, "until", until, R"spec("Evaluates body until it is truthy" body [block!])spec"},
    {8, "loop", loop, R"spec("Evaluates body a number of times" count [integer! float!] body [block!])spec"},
    {9, "repeat", repeat, R"spec("Evaluates body a number of times, tracking iteration count"
        'word [word!] "Iteration counter; not local to loop" value [integer! float!] "Number of times to evaluate body"
        body [block!])spec"},
    {10, "forever", forever, R"spec("Evaluates body repeatedly forever" body [block!])spec"},
    {11, "foreach", foreach, R"spec("Evaluates body for each value in a series"
        'word [word! block!] "Word, or words, to set on each iteration"
        series [series! map!] body [block!])spec"},
    {12, "forall", forall, R"spec("Evaluates body for all values in a series"
        'word [word!] "Word referring to series to iterate over" body [block!])spec"},
    {13, "remove-each", remove_each, R"spec("Removes values for each block that returns truthy value"
        'word [word! block!] "Word or block of words to set each time" data [series!] "The series to traverse (modified)"
        body [block!] "Block to evaluate (return truthy value to remove)")spec"},
    {18, "switch", switch_, R"spec("Evaluates the first block following the value found in cases"
        value [any-type!] "The value to match" cases [block!]
        /default "Specify a default block, if value is not found in cases" case [block!] "Default block to evaluate")spec"},
    {19, "case", case_, R"spec("Evaluates the block following the first true condition"
        cases [block!] "Block of condition-block pairs"
        /all "Test all conditions, evaluating the block following each true condition")spec"},
    {70, "try", try_, R"spec("Tries to DO a block and returns its value or an error"
        block [block!]
        /all "Catch also BREAK, CONTINUE, RETURN, EXIT and THROW exceptions"
        /keep "Capture and save the call stack in the error object")spec"},
    {77, "break", break_, R"spec("Breaks out of a loop, while, until, repeat, foreach, etc"
        /return "Forces the loop function to return a value" value [any-type!])spec"},
    {78, "continue", continue_, R"spec("Throws control back to top of loop")spec"},
    {79, "exit", exit_, R"spec("Exits a function, returning no value")spec"},
    {80, "return", return_, R"spec("Returns a value from a function" value [any-type!])spec"},
    {81, "throw", throw_, R"spec("Throws control back to a previous catch"
        value [any-type!] "Value returned from catch" /name "Throws to a named catch" word [word!])spec"},
    {82, "catch", catch_, R"spec("Catches a throw from a block and returns its value"
        block [block!] "Block to evaluate"
        /name "Catches a named throw" word [word! block!] "One or more names")spec"},
};

}  // namespace

std::span<const Definition> control_natives() { return kControl; }

}  // namespace qel::natives
