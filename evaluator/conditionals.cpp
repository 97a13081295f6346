// if, unless and either called by their words (the boot natives, known
// by their companion blocks): their arguments read without the general
// argument machinery, a pure condition followed by literal branch blocks
// read in place, and a branch of one pure expression (or `return` and
// one) taken without evaluating the block. The frame of a branch that is
// evaluated is pushed by framed_branch (interpreter_internal.h), which the
// compiled bodies use too.
#include "evaluator/interpreter_internal.h"

#include "datatypes/logic.h"
#include "datatypes/word.h"

namespace qel::interpreter {

Node return_companion = 0;

namespace {

// What pure_branch did.
enum class Branch : uint8_t { general, value, returned };

// A branch block of if, unless or either, when no trace runs and the block
// is no library block entered from user code or the reverse: one pure
// expression gives its value in `out` (Branch::value); `return` (the boot
// native) and a pure expression signal the return as the native would
// from its frame (Branch::returned). Anything else, or a return that would
// raise an error (no function to return from, a try/all frame on the way),
// is left to the general path (Branch::general, nothing changed).
[[gnu::always_inline]] inline Branch pure_branch(const Cell& block, Cell* out) {
  SeriesBuffer* s = buf(block);
  const int32_t pc = block.head() < 0 ? 0 : block.head();
  const int32_t lim = static_cast<int32_t>((s->tail - s->offset) >> 4);
  if (pc >= lim) return Branch::general;
  const Cell* cells = s->cells();
  const Cell* c = cells + pc;
  const uint64_t tb = uint64_t{1} << static_cast<uint8_t>(c->type());
  if (!(tb & (kSelfTypes | bit(TypeId::word))) || tracing_q || !pure_room() ||
      ((s->flags & series_flag::library) != 0) != in_library)
    return Branch::general;
  if (tb & kSelfTypes) {
    *out = *c;
  } else {
    const Cell* v = peek_value(c);
    if (!v) return Branch::general;
    if ((uint64_t{1} << static_cast<uint8_t>(v->type())) & kWordSpecial) {
      if (!v->is(TypeId::native) || v->data3 != return_companion || !return_companion ||
          lim - pc < 2 || !pure_operand(c + 1, out, false) ||
          pure_chain(cells, pc + 2, lim, out, true) != lim)
        return Branch::general;
      stack::Frame* f = stack::return_frame();
      if (!f) return Branch::general;
      unwind::thrown_value = *out;
      exits::target = f;
      exits::pending = level::return_;
      return Branch::returned;
    }
    *out = *v;
  }
  return pure_chain(cells, pc + 1, lim, out, true) == lim ? Branch::value : Branch::general;
}

}  // namespace

namespace passing {

// if, unless and either called by their words, evaluated here without the
// generic argument machinery (their frame is still pushed, so errors name
// them). The three natives are the boot ones (recognised by their companion
// block); `kind` is their native index 1, 2 or 3. Answers the position after
// the call.
Node conditional_companions[4] = {0, 0, 0, 0};

int32_t eval_conditional(const Cell& fnv, const Cell& word, const Cell& code, int32_t pc,
                         int32_t end, int32_t kind) {
  Cell* fn_slot = stack::push(&fnv);
  Cell* base = stack::top;
  push_frame(&word, stack::FrameKind::native);
  const int32_t lim = limit_of(code, end);
  if (pc >= lim) no_arg(word, fn_slot, 1);
  pc = eval_arg(code, pc, end, false, lim);
  if (exits::pending) return pc;
  // The branch blocks: literal blocks in the code, or expressions giving
  // blocks.
  const int32_t branches = kind == 3 ? 2 : 1;
  for (int32_t i = 0; i < branches; i++) {
    SeriesBuffer* s = buf(code);
    int32_t lim = static_cast<int32_t>((s->tail - s->offset) >> 4);
    if (end < lim) lim = end;
    if (pc >= lim) no_arg(word, fn_slot, i + 2);
    const Cell* c = s->cells() + pc;
    if (c->is(TypeId::block)) {
      stack::push(c);
      pc++;
    } else {
      pc = passing::eval_expression(code, pc, end, false, false);
      if (exits::pending) return pc;
      if (!stack::top[-1].is(TypeId::block)) expect_arg(&word, fn_slot, i + 2, stack::top - 1);
    }
  }
  bool truth;
  if (kind == 3) {
    if (base->is(TypeId::unset)) fire(ErrorCode::script_no_return);
    truth = !is_falsy(base);
  } else {
    truth = !is_falsy(base);
    if (kind == 2) truth = !truth;
  }
  if (kind != 3 && !truth) {
    set_none(base);
  } else {
    Cell body = base[(kind == 3 && !truth) ? 2 : 1];
    Cell v;
    const Branch b = pure_branch(body, &v);
    if (b == Branch::value) {
      *base = v;
    } else if (b == Branch::returned) {
      return pc;
    } else {
      passing::eval(&body, Chain::yes);
      if (exits::pending) return pc;
    }
  }
  pop_frame();
  *fn_slot = *base;
  stack::top = fn_slot + 1;
  return pc;
}

// if, unless and either (`kind` 1, 2 or 3) called by their words. A pure
// condition followed by literal branch blocks is read in place; when the
// branch is not taken, or is pure too, or is `return` and a pure
// expression, nothing can fail and no frame is pushed. Anything else goes
// the general way.
int32_t eval_if(const Cell& fnv, const Cell& word, const Cell& code, int32_t pc, int32_t end,
                int32_t kind) {
  const bool either = kind == 3;
  if (tracing_q || !pure_room() || stack::frame_top >= stack::frame_limit) [[unlikely]]
    return eval_conditional(fnv, word, code, pc, end, kind);
  const int32_t lim = limit_of(code, end);
  const Cell* cells = buf(code)->cells();
  Cell cond;
  if (pc >= lim || !pure_operand(cells + pc, &cond, false))
    return eval_conditional(fnv, word, code, pc, end, kind);
  const int32_t e = pure_chain(cells, pc + 1, lim, &cond, true);
  const int32_t after = either ? e + 2 : e + 1;
  if (e < 0 || after > lim || cond.is(TypeId::unset) || !cells[e].is(TypeId::block) ||
      !cells[after - 1].is(TypeId::block))
    return eval_conditional(fnv, word, code, pc, end, kind);
  bool truth = !is_falsy(&cond);
  if (kind == 2) truth = !truth;
  if (!truth && !either) {
    set_none(stack::push_slot());
    return after;
  }
  const Cell* taken = cells + (truth ? e : e + 1);
  Cell v;
  const Branch b = pure_branch(*taken, &v);
  if (b == Branch::value) {
    *stack::push_slot() = v;
    return after;
  }
  if (b == Branch::returned) return after;
  framed_branch(fnv, word, cond, cells + e, either, *taken,
                [](const Cell& code) { passing::eval(&code, Chain::yes); });
  return after;
}

}  // namespace passing

void note_boot_natives() {
  for (int32_t i = 1; i <= 3; i++) {
    static constexpr const char* kNames[] = {nullptr, "if", "unless", "either"};
    Cell w = word::load(kNames[i]);
    Cell* v = peek_value(&w);
    passing::conditional_companions[i] = (v && v->is(TypeId::native)) ? v->data3 : 0;
  }
  Cell w = word::load("return");
  Cell* v = peek_value(&w);
  return_companion = (v && v->is(TypeId::native)) ? v->data3 : 0;
}

}  // namespace qel::interpreter
