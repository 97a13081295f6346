// The parse engine: one loop over an explicit state (see parse.h for the
// stacks and their entries).
//
// The engine walks the current rules block with `pos`, the index of the
// rule value it is working on. Every rule ends with `match` set and goes to
// `check_pending`: when a rule entry is on top of the rules stack, the rule
// just finished was that entry's sub-rule and the entry decides what comes
// next (another iteration, another position for `to`, or its own effect:
// copy, remove, keep ...); otherwise the engine takes the next value of the
// block after a success, or looks for the next alternative after a failure.
// When a sub-rule ends, `pos` is at its last value, so a rule entry knows
// where the rule that follows begins.
//
// Nothing here recurses on the machine stack: a sub-block or a sub-rule is
// an entry pushed on the rules stack, and the loop goes on.
#include "parse/parse.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <iterator>

#include "datatypes/pair.h"
#include "datatypes/triple.h"
#include "evaluator/interpreter.h"
#include "parse/internal.h"
#include "core/stack.h"
#include "core/unwind.h"
#include "memory/collector.h"
#include "memory/series.h"
#include "runtime/startup_slots.h"
#include "core/verify.h"
#include "values/actions.h"
#include "datatypes/block.h"
#include "values/context.h"
#include "core/errors.h"
#include "values/symbol.h"
#include "datatypes/word.h"

namespace qel::parse {

namespace {

// --- keywords ---------------------------------------------------------------

// The words the dialect gives a meaning. `pick`, `only` and `after` are
// keywords only where they follow `keep`, `insert`/`change` and `collect`;
// elsewhere they are words like any other.
enum class Kw : uint8_t {
  none_ = 0, skip, end, none, any, some, opt, while_, to, thru, ahead, not_, fail, reject,
  break_, quote, if_, case_, set, copy, into, remove, insert, change, collect, keep, bar,
  pick, only, after, count_
};
constexpr const char* kKeywordNames[] = {
    "",     "skip",  "end",    "none",   "any",    "some",    "opt",    "while",
    "to",   "thru",  "ahead",  "not",    "fail",   "reject",  "break",  "quote",
    "if",   "case",  "set",    "copy",   "into",   "remove",  "insert", "change",
    "collect", "keep", "|",    "pick",   "only",   "after"};
static_assert(std::size(kKeywordNames) == static_cast<size_t>(Kw::count_));

// The keyword of each canonical symbol id below the table's size.
constexpr uint32_t kKeywordTableSize = 8192;
uint8_t keyword_table[kKeywordTableSize];
// The keyword words themselves (error arguments).
Cell keyword_words[static_cast<size_t>(Kw::count_)];

inline Kw raw_keyword(const Cell& c) {
  if (!c.is(TypeId::word)) return Kw::none_;
  SymbolId s = symbol::resolve(c.symbol());
  return s < kKeywordTableSize ? static_cast<Kw>(keyword_table[s]) : Kw::none_;
}
// The keyword a word is as a rule (contextual keywords are plain words).
inline Kw rule_keyword(const Cell& c) {
  Kw k = raw_keyword(c);
  return (k == Kw::pick || k == Kw::only || k == Kw::after) ? Kw::none_ : k;
}
inline const Cell* keyword_word(Kw k) { return &keyword_words[static_cast<size_t>(k)]; }
// A bar ends the alternative: a keyword's value or word is missing there.
inline bool is_bar(const Cell& c) { return raw_keyword(c) == Kw::bar; }
// A word that `set`, `copy`, `case` and `collect set/into/after` may take.
inline bool named_word(const Cell& c) { return c.is(TypeId::word) && !is_bar(c); }

// --- events -----------------------------------------------------------------

enum class Ev : uint8_t { push, pop, fetch, match, iterate, paren, end, count_ };
constexpr const char* kEventNames[] = {"push", "pop", "fetch", "match", "iterate", "paren", "end"};
Cell event_words[static_cast<size_t>(Ev::count_)];
Cell callback_word;

// --- the stacks ---------------------------------------------------------------

Node rules_stack = 0;
Node series_stack = 0;
Node collect_stack = 0;

inline uint32_t depth(Node n) {
  const SeriesBuffer* s = memory::series(n);
  return (s->tail - s->offset) >> 4;
}
inline Cell* at(Node n, uint32_t i) { return memory::series(n)->cells() + i; }
inline void cut(Node n, uint32_t d) {
  SeriesBuffer* s = memory::series(n);
  if (depth(n) > d) s->tail = s->offset + (d << 4);
}
inline void push_on(Node n, const Cell& c) {
  Cell copy = c;
  *append_slot(n) = copy;
}

// Puts every stack back to the depth a call found, on every way out.
struct StackGuard {
  uint32_t rules = depth(rules_stack);
  uint32_t series = depth(series_stack);
  uint32_t collect = depth(collect_stack);
  ~StackGuard() {
    cut(rules_stack, rules);
    cut(series_stack, series);
    cut(collect_stack, collect);
  }
};

inline bool same_series(const Cell& a, const Cell& b) {
  return a.type() == b.type() && a.node() == b.node();
}

// --- the engine -------------------------------------------------------------

// The registers: cells on the argument stack, so the collector sees them
// while parens and callbacks run.
enum Reg : int {
  kInput,     // the current input (head = the input index)
  kRules,     // the current rules block (positions in `pos`)
  kValue,     // the rule value being dispatched
  kResult,    // the collected block of a top-level collect
  kCallback,  // the trace callback, or none
  kTemp,      // values from parens and words
  kKeep,      // a value being kept
  kTarget,    // the series a modification works on
  kRegCount
};

enum class State : uint8_t {
  next_value, fetch, start_rule, push_block, pop_block, pop_rule, check_pending,
  find_alternative, end, stop, abort
};

class Engine {
 public:
  Engine(Cell* regs, int32_t mode, int32_t limit, bool traced)
      : reg_(regs), mode_(mode), limit_(limit), traced_(traced) {}

  // Runs the rules; leaves the result in kResult unless an exit is pending.
  void run();

 private:
  // --- input
  int32_t index() const { return reg_[kInput].head(); }
  void set_index(int32_t i) { reg_[kInput].set_head(i); }
  int32_t length() const { return input_length(&reg_[kInput]); }
  int32_t remaining() const { return length() - index(); }
  bool outer() const { return depth(series_stack) == series_base_; }
  int32_t end() const {
    int32_t n = length();
    return (limit_ >= 0 && limit_ < n && outer()) ? limit_ : n;
  }
  void clamp_input() { set_index(std::clamp(index(), 0, length())); }

  // --- rules
  int32_t tail() const { return block::total_cells(&reg_[kRules]); }
  Cell rule_at(int32_t i) const { return *block::rs_abs_at(&reg_[kRules], i); }

  // --- rules stack
  bool rule_on_top() const {
    uint32_t d = depth(rules_stack);
    return d > rules_base_ + 2 && at(rules_stack, d - 1)->is(TypeId::pair);
  }
  void check_stacks() const {
    if (depth(rules_stack) > kStackLimit || depth(series_stack) > kStackLimit ||
        depth(collect_stack) > kStackLimit)
      fire(ErrorCode::script_parse_stack);
  }
  void check_recursion();
  void push_rule(Kind kind, const Cell& first, int32_t flag);
  void abandon_entry();

  // --- states
  State top_block();
  State next_value();
  State fetch();
  State start_rule();
  State push_block();
  State pop_block();
  State pop_rule();
  State check_pending();
  State find_alternative();
  State finish();

  // --- rule kinds
  State keyword(Kw k);
  State literal();
  State by_type();
  State count();
  State repeat(int32_t min, int32_t max, Kind kind);
  State to_thru(Kind kind);
  State into();
  State collect();
  State keep();
  State insert();
  State change();
  State remove();
  State break_(bool reject);
  State matched(bool ok);

  // --- effects
  bool eval_paren(const Cell& paren, Cell* out);
  bool value_of(const Cell& v, Cell* out);
  Cell word_value(const Cell& word) const;
  bool peek(const Cell& word, Cell* out) const;
  bool position_word(const Cell& v, Cell* out) const;
  int32_t skip_rule(int32_t k) const;
  void set_word(const Cell& word, const Cell& value);
  void keep_value(bool splice);
  void keep_one(Cell* value);
  int32_t insert_at(int32_t at, bool only);
  int32_t change_range(int32_t lo, int32_t hi, bool only);
  void remove_range(int32_t lo, int32_t hi);
  void removed(int32_t lo, int32_t hi);
  void inserted(int32_t at, int32_t n);

  // --- events
  bool fire_event(Ev e);
  State halt() const { return aborted_ ? State::abort : State::stop; }

  Cell* reg_;
  int32_t mode_;
  int32_t limit_;
  bool traced_;
  bool match_ = true;
  bool resolved_ = false;  // kValue came from a word
  bool collected_ = false;
  bool aborted_ = false;
  int32_t pos_ = 0;
  uint32_t rules_base_ = depth(rules_stack);
  uint32_t series_base_ = depth(series_stack);
  uint32_t collect_base_ = depth(collect_stack);
};

// --- events -----------------------------------------------------------------

bool Engine::fire_event(Ev e) {
  if (!traced_) return true;
  Cell* saved = stack::top;
  Cell* args[5];
  args[0] = stack::push(&event_words[static_cast<size_t>(e)]);
  args[1] = stack::push_slot();
  set_logic(args[1], match_);
  args[2] = stack::push(&reg_[kRules]);
  args[2]->set_head(std::clamp(pos_, std::min(reg_[kRules].head(), tail()), tail()));
  args[3] = stack::push(&reg_[kInput]);
  // The callback sees a copy of this call's part of the rules stack, so
  // that nothing it does can upset the engine.
  args[4] = stack::push_slot();
  uint32_t n = depth(rules_stack) - rules_base_;
  block::make_at(args[4], static_cast<int32_t>(n));
  Cell view;
  set_series(&view, TypeId::block, rules_stack, static_cast<int32_t>(rules_base_));
  block::append_cells(args[4], &view);
  Cell* r = interpreter::passing::call_function(&reg_[kCallback], args, 5, &callback_word,
                                                interpreter::CallbackKind::parse);
  if (exits::pending) {
    aborted_ = true;
    return false;
  }
  bool go = !is_falsy(r);
  stack::top = saved;
  clamp_input();
  return go;
}

// --- helpers ------------------------------------------------------------------

bool Engine::eval_paren(const Cell& paren, Cell* out) {
  Cell* saved = stack::top;
  Cell* code = stack::push(&paren);
  interpreter::passing::eval(code, interpreter::Chain::no);
  if (exits::pending) {
    aborted_ = true;
    return false;
  }
  *out = stack::top[-1];
  stack::top = saved;
  clamp_input();
  return true;
}

Cell Engine::word_value(const Cell& word) const {
  Cell w = word;
  Cell v = *context::get(&w);
  if (v.is(TypeId::unset)) fire(ErrorCode::script_no_value, &w);
  return v;
}

bool Engine::peek(const Cell& word, Cell* out) const {
  if (!word.context() || word.word_index() < 0) return false;
  Cell w = word;
  *out = *context::get(&w);
  return !out->is(TypeId::unset);
}

// A word (not a keyword) that holds a position in the input series.
bool Engine::position_word(const Cell& v, Cell* out) const {
  return v.is(TypeId::word) && rule_keyword(v) == Kw::none_ && peek(v, out) &&
         same_series(*out, reg_[kInput]);
}

// The value an `insert`, `change` or `keep` takes from the rules: a paren's
// result, a word's value, or the value itself.
bool Engine::value_of(const Cell& v, Cell* out) {
  if (v.is(TypeId::paren)) return eval_paren(v, out);
  *out = v.is(TypeId::word) ? word_value(v) : v;
  return true;
}

void Engine::set_word(const Cell& word, const Cell& value) {
  Cell w = word;
  Cell v = value;
  interpreter::set_word(&w, &v);
  clamp_input();
}

// The last value of the rule that starts at k (for a rule that is skipped:
// a count of 0, or `into` at a value that is not a series).
int32_t Engine::skip_rule(int32_t k) const {
  const int32_t n = tail();
  int32_t extra = 0;
  auto is_count = [&](int32_t i) {
    if (i >= n) return false;
    Cell v = rule_at(i);
    if (v.is(TypeId::integer)) return true;
    Cell val;
    return v.is(TypeId::word) && rule_keyword(v) == Kw::none_ && peek(v, &val) &&
           val.is(TypeId::integer);
  };
  Cell val;
  while (k < n) {
    if (is_count(k)) {
      k += is_count(k + 1) ? 2 : 1;
      continue;
    }
    Cell v = rule_at(k);
    bool done = false;
    switch (rule_keyword(v)) {
      case Kw::any: case Kw::some: case Kw::opt: case Kw::while_: case Kw::not_:
      case Kw::ahead: case Kw::to: case Kw::thru: case Kw::into:
        k += 1;
        break;
      case Kw::copy: case Kw::set: case Kw::case_:
        k += 2;
        break;
      case Kw::collect: {
        Kw next = k + 1 < n ? raw_keyword(rule_at(k + 1)) : Kw::none_;
        k += (next == Kw::set || next == Kw::into || next == Kw::after) ? 3 : 1;
        break;
      }
      case Kw::keep:
        k += 1;
        if (k < n && raw_keyword(rule_at(k)) == Kw::pick) k++;
        break;
      case Kw::remove:
        k += 1;
        if (k < n && position_word(rule_at(k), &val)) done = true;
        break;
      case Kw::insert:
        k += 1;
        if (k < n && raw_keyword(rule_at(k)) == Kw::only) k++;
        if (k + 1 < n && position_word(rule_at(k), &val)) k++;
        done = true;
        break;
      case Kw::change:
        k += 1;
        if (k < n && raw_keyword(rule_at(k)) == Kw::only) k++;
        if (k + 1 < n && position_word(rule_at(k), &val)) {
          k++;
          done = true;
        } else {
          extra++;
        }
        break;
      case Kw::if_: case Kw::quote:
        k += 1;
        done = true;
        break;
      default:
        done = true;
        break;
    }
    if (done) break;
  }
  return std::min(k + extra, n - 1);
}

void Engine::push_rule(Kind kind, const Cell& first, int32_t flag) {
  check_stacks();
  Cell c1 = first;
  Cell c2, c3;
  triple::make_at(&c2, pos_, index(), remaining());
  pair::make_at(&c3, static_cast<int32_t>(kind), flag);
  push_on(rules_stack, c1);
  push_on(rules_stack, c2);
  push_on(rules_stack, c3);
}

// Entering a block from the same place of the same rules at the same input
// position as an entry still open can only recurse for ever. The search
// stops at an `into` entry: below it the input was another series.
void Engine::check_recursion() {
  const Node parent = reg_[kRules].node();
  const int32_t i = index(), len = remaining();
  uint32_t d = depth(rules_stack);
  while (d > rules_base_) {
    const Cell* last = at(rules_stack, d - 1);
    if (last->is(TypeId::pair)) {
      if (pair::x(last) == static_cast<int32_t>(Kind::into)) return;
      d -= 3;
      continue;
    }
    const Cell* t = at(rules_stack, d - 2);
    if (last->node() == parent && triple::first(t) == pos_ && triple::second(t) == i &&
        triple::third(t) == len) {
      Cell rule = rule_at(pos_);
      fire(ErrorCode::script_parse_infinite, &rule);
    }
    d -= 2;
  }
}

// Drops the top entry without finishing its rule (`break` and `reject`
// leaving the rules inside a loop), undoing what the entry changed.
void Engine::abandon_entry() {
  uint32_t d = depth(rules_stack);
  Cell last = *at(rules_stack, d - 1);
  if (!last.is(TypeId::pair)) {
    Cell t = *at(rules_stack, d - 2);
    reg_[kRules] = last;
    pos_ = triple::first(&t);
    cut(rules_stack, d - 2);
    return;
  }
  Cell first = *at(rules_stack, d - 3);
  switch (static_cast<Kind>(pair::x(&last))) {
    case Kind::case_:
      mode_ = triple::first(&first);
      break;
    case Kind::into: {
      uint32_t s = depth(series_stack);
      reg_[kInput] = *at(series_stack, s - 1);
      cut(series_stack, s - 1);
      clamp_input();
      break;
    }
    case Kind::collect:
      cut(collect_stack, depth(collect_stack) - 2);
      break;
    default:
      break;
  }
  cut(rules_stack, d - 3);
}

// --- modifications --------------------------------------------------------------

// Keeps the /part limit on the same input after a modification before it.
void Engine::removed(int32_t lo, int32_t hi) {
  if (limit_ < 0 || !outer()) return;
  if (hi <= limit_)
    limit_ -= hi - lo;
  else if (lo < limit_)
    limit_ = lo;
}
void Engine::inserted(int32_t at, int32_t n) {
  if (limit_ >= 0 && outer() && at <= limit_) limit_ += n;
}

// Inserts kTemp at an input index; answers the units inserted.
int32_t Engine::insert_at(int32_t at, bool only) {
  reg_[kTarget] = reg_[kInput];
  reg_[kTarget].set_head(at);
  Cell* r = actions::call_insert(&reg_[kTarget], &reg_[kTemp], -1, only, 1);
  int32_t n = r->head() - at;
  clamp_input();
  inserted(at, n);
  return n;
}

// Changes the input's units [lo, hi) into kTemp; answers the index after
// the new material.
int32_t Engine::change_range(int32_t lo, int32_t hi, bool only) {
  reg_[kTarget] = reg_[kInput];
  reg_[kTarget].set_head(lo);
  Cell* r = actions::call_change(&reg_[kTarget], &reg_[kTemp], hi - lo, only, 1);
  int32_t after = r->head();
  clamp_input();
  removed(lo, hi);
  inserted(lo, after - lo);
  return std::clamp(after, 0, length());
}

void Engine::remove_range(int32_t lo, int32_t hi) {
  if (hi <= lo) return;
  reg_[kTarget] = reg_[kInput];
  reg_[kTarget].set_head(lo);
  Cell part;
  set_integer(&part, hi - lo);
  actions::call_remove(&reg_[kTarget], &part, nullptr);
  clamp_input();
  removed(lo, hi);
}

// Appends one value to the innermost collection.
void Engine::keep_one(Cell* value) {
  uint32_t d = depth(collect_stack);
  Cell target = *at(collect_stack, d - 2);
  int32_t how = at(collect_stack, d - 1)->integer();
  if (how <= 1) {
    block::rs_append(&target, value);
    return;
  }
  // `collect into` and `collect after`: insert at the target's position,
  // which then moves past the value.
  reg_[kTarget] = target;
  Cell* r = actions::call_insert(&reg_[kTarget], value, -1, true, 1);
  int32_t h = r->head();
  at(collect_stack, depth(collect_stack) - 2)->set_head(h);
  clamp_input();
}

// Keeps kKeep (with `splice`, each value of the block it holds).
void Engine::keep_value(bool splice) {
  if (!splice) {
    keep_one(&reg_[kKeep]);
    return;
  }
  Cell items = reg_[kKeep];
  for (int32_t i = std::max(items.head(), 0); i < block::total_cells(&items); i++) {
    // kKeep keeps the block rooted while an owner's handler may run.
    reg_[kTemp] = *block::rs_abs_at(&items, i);
    keep_one(&reg_[kTemp]);
  }
}

// --- states -----------------------------------------------------------------------

State Engine::top_block() {
  check_stacks();
  reg_[kRules].set_head(std::clamp(reg_[kRules].head(), 0, tail()));
  Cell t;
  triple::make_at(&t, -1, index(), remaining());
  push_on(rules_stack, t);
  push_on(rules_stack, reg_[kRules]);
  pos_ = reg_[kRules].head() - 1;
  match_ = true;
  if (!fire_event(Ev::push)) return halt();
  return State::next_value;
}

State Engine::push_block() {
  check_stacks();
  check_recursion();
  Cell t;
  triple::make_at(&t, pos_, index(), remaining());
  push_on(rules_stack, t);
  push_on(rules_stack, reg_[kRules]);
  reg_[kRules] = reg_[kValue];
  reg_[kRules].set_head(std::clamp(reg_[kRules].head(), 0, tail()));
  pos_ = reg_[kRules].head() - 1;
  match_ = true;
  if (!fire_event(Ev::push)) return halt();
  return State::next_value;
}

State Engine::pop_block() {
  if (depth(rules_stack) <= rules_base_ + 2) return State::end;
  if (!fire_event(Ev::pop)) return halt();
  uint32_t d = depth(rules_stack);
  Cell t = *at(rules_stack, d - 2);
  reg_[kRules] = *at(rules_stack, d - 1);
  cut(rules_stack, d - 2);
  pos_ = triple::first(&t);
  return State::check_pending;
}

State Engine::check_pending() {
  if (rule_on_top()) return State::pop_rule;
  return match_ ? State::next_value : State::find_alternative;
}

State Engine::next_value() {
  pos_++;
  if (pos_ >= tail()) return State::pop_block;
  if (!fire_event(Ev::fetch)) return halt();
  if (pos_ >= tail()) return State::pop_block;
  reg_[kValue] = rule_at(pos_);
  resolved_ = false;
  return State::fetch;
}

// The sub-rule of a rule entry, at pos (again for each iteration or try).
State Engine::start_rule() {
  if (pos_ < tail() && !fire_event(Ev::fetch)) return halt();
  if (pos_ >= tail()) {
    // The rules were cut short by a paren: the rule has nothing to match.
    match_ = false;
    return State::check_pending;
  }
  reg_[kValue] = rule_at(pos_);
  resolved_ = false;
  return State::fetch;
}

State Engine::find_alternative() {
  uint32_t d = depth(rules_stack);
  set_index(triple::second(at(rules_stack, d - 2)));
  clamp_input();
  const int32_t n = tail();
  for (int32_t k = pos_ + 1; k < n; k++) {
    Cell v = rule_at(k);
    Kw kw = rule_keyword(v);
    if (kw == Kw::quote) {
      k++;
    } else if (kw == Kw::bar) {
      if (k + 1 >= n) fire(ErrorCode::script_parse_end, &v);
      pos_ = k;
      match_ = true;
      return State::next_value;
    }
  }
  pos_ = n;
  match_ = false;
  return State::pop_block;
}

State Engine::matched(bool ok) {
  match_ = ok;
  if (!fire_event(Ev::match)) return halt();
  return State::check_pending;
}

State Engine::fetch() {
  Cell& v = reg_[kValue];
  switch (v.type()) {
    case TypeId::word:
      if (!resolved_) {
        Kw k = rule_keyword(v);
        if (k != Kw::none_) return keyword(k);
        reg_[kValue] = word_value(v);
        resolved_ = true;
        return State::fetch;
      }
      // A word held by a word is matched as a value.
      return literal();
    case TypeId::block:
      return State::push_block;
    case TypeId::paren:
      if (!eval_paren(v, &reg_[kTemp])) return State::abort;
      if (!fire_event(Ev::paren)) return halt();
      return State::check_pending;
    case TypeId::set_word:
      set_word(v, reg_[kInput]);
      if (exits::pending) return State::abort;
      return State::check_pending;
    case TypeId::get_word: {
      Cell w = v;
      Cell p = word_value(w);
      if (!same_series(p, reg_[kInput])) fire(ErrorCode::script_parse_invalid_ref, &w);
      set_index(p.head());
      clamp_input();
      return State::check_pending;
    }
    case TypeId::integer:
      return count();
    case TypeId::datatype:
    case TypeId::typeset:
      return by_type();
    case TypeId::path:
    case TypeId::set_path:
    case TypeId::get_path: {
      Cell rule = v;
      fire(ErrorCode::script_parse_rule, &rule);
    }
    default:
      return literal();
  }
}

State Engine::literal() {
  Cell rule = reg_[kValue];
  int32_t n = match_literal(&reg_[kInput], end(), &rule, mode_);
  if (n >= 0) set_index(index() + n);
  return matched(n >= 0);
}

State Engine::by_type() {
  Cell type = reg_[kValue];
  bool ok = false;
  switch (input_kind(&reg_[kInput])) {
    case InputKind::string:
      fire(ErrorCode::script_parse_unsupported);
    case InputKind::block:
      ok = index() < end() && type_matches(block::rs_abs_at(&reg_[kInput], index())->type(), &type);
      if (ok) set_index(index() + 1);
      break;
    case InputKind::binary: {
      int32_t n = 0;
      ok = scan_type(&reg_[kInput], end(), &type, &n);
      if (ok) set_index(index() + n);
      break;
    }
  }
  return matched(ok);
}

// n rule, or n m rule: a repetition between n and m times.
State Engine::count() {
  Cell first = reg_[kValue];
  const int32_t n = first.integer();
  if (n < 0) fire(ErrorCode::script_out_of_range, &first);
  int32_t k = pos_ + 1;
  const int32_t size = tail();
  if (k >= size) fire(ErrorCode::script_parse_rule, &first);
  int32_t m = n;
  Cell second = rule_at(k);
  Cell val;
  if (second.is(TypeId::word) && rule_keyword(second) == Kw::none_ && peek(second, &val) &&
      val.is(TypeId::integer))
    second = val;
  if (second.is(TypeId::integer)) {
    m = second.integer();
    if (m < 0) fire(ErrorCode::script_out_of_range, &second);
    if (m < n) fire(ErrorCode::script_parse_rule, &second);
    k++;
    if (k >= size) fire(ErrorCode::script_parse_rule, &second);
  }
  if (m == 0) {
    pos_ = skip_rule(k);
    match_ = true;
    return State::check_pending;
  }
  pos_ = k;
  return repeat(n, m, Kind::repeat);
}

// A repetition of the sub-rule at pos, min to max times (-1: no limit).
State Engine::repeat(int32_t min, int32_t max, Kind kind) {
  if (!traced_) {
    Cell sub = rule_at(pos_);
    bool is_skip = false;
    bool plain = true;
    if (sub.is(TypeId::word)) {
      Kw k = rule_keyword(sub);
      if (k == Kw::skip)
        is_skip = true;
      else if (k != Kw::none_)
        plain = false;
      else
        plain = peek(sub, &sub) && !sub.is(TypeId::word);
    }
    if (plain) {
      int32_t units = 0;
      int32_t c = match_run(&reg_[kInput], end(), &sub, is_skip, max, mode_, &units);
      if (c >= 0) {
        set_index(index() + units);
        match_ = c >= min;
        return State::check_pending;
      }
    }
  }
  Cell bounds;
  triple::make_at(&bounds, min, max, 1);
  push_rule(kind, bounds, 0);
  if (!fire_event(Ev::push)) return halt();
  return State::start_rule;
}

State Engine::to_thru(Kind kind) {
  Cell sub = rule_at(pos_);
  if (sub.is(TypeId::word)) {
    Kw k = rule_keyword(sub);
    if (k == Kw::end) {
      set_index(end());
      return matched(true);
    }
    Cell val;
    if (k == Kw::none_ && peek(sub, &val) && !val.is(TypeId::word)) sub = val;
  }
  if (!sub.is(TypeId::word)) {
    int32_t len = 0;
    int32_t found = find_value(&reg_[kInput], end(), &sub, mode_, &len);
    if (found != -2) {
      if (found >= 0) set_index(kind == Kind::to ? found : found + len);
      return matched(found >= 0);
    }
  }
  Cell start;
  triple::make_at(&start, index(), 0, 0);
  push_rule(kind, start, 0);
  if (!fire_event(Ev::push)) return halt();
  return State::start_rule;
}

State Engine::into() {
  if (input_kind(&reg_[kInput]) != InputKind::block) {
    Cell input = reg_[kInput];
    fire(ErrorCode::script_parse_block, &input);
  }
  const int32_t k = pos_ + 1;
  Cell inner;
  bool ok = index() < end();
  if (ok) {
    inner = *block::rs_abs_at(&reg_[kInput], index());
    TypeId t = inner.type();
    ok = is_any_block(t) || is_any_string(t) || t == TypeId::binary;
  }
  if (!ok) {
    pos_ = skip_rule(k);
    return matched(false);
  }
  check_stacks();
  push_on(series_stack, reg_[kInput]);
  pos_ = k;
  Cell none;
  triple::make_at(&none, 0, 0, 0);
  push_rule(Kind::into, none, 0);
  reg_[kInput] = inner;
  clamp_input();
  if (!fire_event(Ev::push)) return halt();
  return State::start_rule;
}

State Engine::collect() {
  const Cell* kw = keyword_word(Kw::collect);
  const int32_t n = tail();
  int32_t k = pos_ + 1;
  if (k >= n) fire(ErrorCode::script_parse_end, kw);
  int32_t how = 0;  // 0 plain, 1 set, 2 into, 3 after
  Cell word;
  set_none(&word);
  Cell v = rule_at(k);
  switch (raw_keyword(v)) {
    case Kw::set: how = 1; break;
    case Kw::into: how = 2; break;
    case Kw::after: how = 3; break;
    default: break;
  }
  if (how) {
    if (k + 1 >= n || !named_word(rule_at(k + 1))) fire(ErrorCode::script_parse_end, &v);
    word = rule_at(k + 1);
    k += 2;
  }
  if (k >= n || is_bar(rule_at(k))) fire(ErrorCode::script_parse_end, kw);
  if (how <= 1) {
    block::make_at(&reg_[kTemp], 8);
  } else {
    Cell target = word_value(word);
    const TypeId t = target.type();
    if (!(is_any_block(t) || is_any_string(t) || t == TypeId::binary))
      fire(ErrorCode::script_parse_into_type);
    if (t != reg_[kInput].type() &&
        (t == TypeId::binary ||
         (is_any_string(t) && input_kind(&reg_[kInput]) == InputKind::block)))
      fire(ErrorCode::script_parse_into_type);
    if (target.node() == reg_[kInput].node()) fire(ErrorCode::script_parse_into_bad);
    target.set_head(std::clamp(target.head(), 0, input_length(&target)));
    reg_[kTemp] = target;
  }
  check_stacks();
  push_on(collect_stack, reg_[kTemp]);
  Cell mode;
  set_integer(&mode, how);
  push_on(collect_stack, mode);
  pos_ = k;
  push_rule(Kind::collect, word, how);
  if (!fire_event(Ev::push)) return halt();
  return State::start_rule;
}

State Engine::keep() {
  const Cell* kw = keyword_word(Kw::keep);
  const int32_t n = tail();
  int32_t k = pos_ + 1;
  bool pick = false;
  if (k < n && raw_keyword(rule_at(k)) == Kw::pick) {
    pick = true;
    k++;
  }
  if (k >= n || is_bar(rule_at(k))) fire(ErrorCode::script_parse_end, kw);
  if (depth(collect_stack) <= collect_base_) fire(ErrorCode::script_parse_keep);
  Cell v = rule_at(k);
  pos_ = k;
  if (v.is(TypeId::paren)) {
    if (!eval_paren(v, &reg_[kKeep])) return State::abort;
    if (!fire_event(Ev::paren)) return halt();
    keep_value(pick && is_any_block(reg_[kKeep].type()));
    match_ = true;
    return State::check_pending;
  }
  Cell none;
  triple::make_at(&none, 0, 0, 0);
  push_rule(Kind::keep, none, pick ? 1 : 0);
  if (!fire_event(Ev::push)) return halt();
  return State::start_rule;
}

// insert [only] [position-word] value
State Engine::insert() {
  const int32_t n = tail();
  int32_t k = pos_ + 1;
  bool only = false;
  if (k < n && raw_keyword(rule_at(k)) == Kw::only) {
    only = true;
    k++;
  }
  if (k >= n) fire(ErrorCode::script_parse_end, keyword_word(Kw::insert));
  int32_t where = index();
  bool positional = false;
  Cell p;
  if (k + 1 < n && position_word(rule_at(k), &p)) {
    where = std::clamp(p.head(), 0, length());
    positional = true;
    k++;
  }
  // A bar ends the alternative: the value is missing, not the word `|`.
  if (is_bar(rule_at(k)))
    fire(ErrorCode::script_parse_end, keyword_word(Kw::insert));
  pos_ = k;
  if (!value_of(rule_at(k), &reg_[kTemp])) return State::abort;
  const int32_t before = index();
  int32_t count = insert_at(where, only);
  if (!positional)
    set_index(where + count);
  else if (where <= before)
    set_index(before + count);
  clamp_input();
  return matched(true);
}

// change [only] (position-word | rule) value
State Engine::change() {
  const int32_t n = tail();
  int32_t k = pos_ + 1;
  bool only = false;
  if (k < n && raw_keyword(rule_at(k)) == Kw::only) {
    only = true;
    k++;
  }
  if (k >= n) fire(ErrorCode::script_parse_rule, keyword_word(Kw::change));
  Cell p;
  if (k + 1 < n && position_word(rule_at(k), &p)) {
    int32_t from = std::clamp(p.head(), 0, length());
    int32_t lo = std::min(from, index()), hi = std::max(from, index());
    pos_ = k + 1;
    if (is_bar(rule_at(pos_)))
      fire(ErrorCode::script_parse_rule, keyword_word(Kw::change));
    if (!value_of(rule_at(pos_), &reg_[kTemp])) return State::abort;
    set_index(change_range(lo, hi, only));
    return matched(true);
  }
  if (is_bar(rule_at(k)))
    fire(ErrorCode::script_parse_end, keyword_word(Kw::change));
  pos_ = k;
  Cell none;
  triple::make_at(&none, 0, 0, 0);
  push_rule(only ? Kind::change_only : Kind::change, none, 0);
  if (!fire_event(Ev::push)) return halt();
  return State::start_rule;
}

// remove (position-word | rule)
State Engine::remove() {
  const int32_t k = pos_ + 1;
  if (k >= tail() || is_bar(rule_at(k)))
    fire(ErrorCode::script_parse_end, keyword_word(Kw::remove));
  Cell v = rule_at(k);
  if (is_any_path(v.type()) && !v.is(TypeId::lit_path)) fire(ErrorCode::script_parse_rule, &v);
  Cell p;
  if (position_word(v, &p)) {
    int32_t from = std::clamp(p.head(), 0, length());
    int32_t lo = std::min(from, index()), hi = std::max(from, index());
    pos_ = k;
    remove_range(lo, hi);
    set_index(lo);
    clamp_input();
    return matched(true);
  }
  pos_ = k;
  Cell none;
  triple::make_at(&none, 0, 0, 0);
  push_rule(Kind::remove, none, 0);
  if (!fire_event(Ev::push)) return halt();
  return State::start_rule;
}

// `break` (the enclosing loop stops and succeeds) and `reject` (it stops and
// fails); without a loop, the enclosing block stops so.
State Engine::break_(bool reject) {
  uint32_t d = depth(rules_stack);
  uint32_t loop_top = 0;
  while (d > rules_base_ + 2) {
    const Cell* last = at(rules_stack, d - 1);
    if (last->is(TypeId::pair)) {
      int32_t k = pair::x(last);
      if (k == static_cast<int32_t>(Kind::repeat) || k == static_cast<int32_t>(Kind::while_)) {
        loop_top = d;
        break;
      }
      d -= 3;
    } else {
      d -= 2;
    }
  }
  // Each entry left behind is popped as far as a trace can tell, so that
  // its pushes and pops stay paired.
  if (loop_top) {
    while (depth(rules_stack) > loop_top) {
      if (!fire_event(Ev::pop)) return halt();
      abandon_entry();
    }
    if (reject) {
      set_index(triple::second(at(rules_stack, loop_top - 2)));
      clamp_input();
    }
    match_ = !reject;
    if (!fire_event(Ev::pop)) return halt();
    cut(rules_stack, loop_top - 3);
    return State::check_pending;
  }
  while (rule_on_top()) {
    if (!fire_event(Ev::pop)) return halt();
    abandon_entry();
  }
  if (reject) {
    set_index(triple::second(at(rules_stack, depth(rules_stack) - 2)));
    clamp_input();
  }
  match_ = !reject;
  pos_ = tail();
  return State::pop_block;
}

State Engine::keyword(Kw k) {
  const Cell* kw = keyword_word(k);
  const int32_t n = tail();
  auto need_rule = [&](int32_t i) {
    if (i >= n || is_bar(rule_at(i))) fire(ErrorCode::script_parse_end, kw);
  };
  switch (k) {
    case Kw::skip: {
      bool ok = index() < end();
      if (ok) set_index(index() + 1);
      return matched(ok);
    }
    case Kw::end:
      return matched(index() >= end());
    case Kw::none:
      return matched(true);
    case Kw::fail:
      return matched(false);
    case Kw::bar:
      if (rule_on_top()) fire(ErrorCode::script_parse_rule, kw);
      if (pos_ + 1 >= n) fire(ErrorCode::script_parse_end, kw);
      pos_ = n;
      match_ = true;
      return State::pop_block;
    case Kw::any:
    case Kw::some:
    case Kw::opt:
    case Kw::while_:
      need_rule(pos_ + 1);
      pos_++;
      return repeat(k == Kw::some ? 1 : 0, k == Kw::opt ? 1 : -1,
                    k == Kw::while_ ? Kind::while_ : Kind::repeat);
    case Kw::to:
    case Kw::thru:
      need_rule(pos_ + 1);
      pos_++;
      return to_thru(k == Kw::to ? Kind::to : Kind::thru);
    case Kw::ahead:
    case Kw::not_: {
      need_rule(pos_ + 1);
      pos_++;
      Cell none;
      triple::make_at(&none, 0, 0, 0);
      push_rule(k == Kw::not_ ? Kind::not_ : Kind::ahead, none, 0);
      if (!fire_event(Ev::push)) return halt();
      return State::start_rule;
    }
    case Kw::reject:
      return break_(true);
    case Kw::break_:
      return break_(false);
    case Kw::quote:
      if (pos_ + 1 >= n) fire(ErrorCode::script_parse_end, kw);
      pos_++;
      reg_[kValue] = rule_at(pos_);
      return literal();
    case Kw::if_: {
      if (pos_ + 1 >= n || !rule_at(pos_ + 1).is(TypeId::paren))
        fire(ErrorCode::script_parse_end, kw);
      pos_++;
      if (!eval_paren(rule_at(pos_), &reg_[kTemp])) return State::abort;
      if (!fire_event(Ev::paren)) return halt();
      return matched(!is_falsy(&reg_[kTemp]));
    }
    case Kw::case_: {
      if (pos_ + 1 >= n || !named_word(rule_at(pos_ + 1)))
        fire(ErrorCode::script_parse_end, kw);
      reg_[kTemp] = word_value(rule_at(pos_ + 1));
      const int32_t next = is_falsy(&reg_[kTemp]) ? kModeInsensitive : kModeSensitive;
      need_rule(pos_ + 2);
      pos_ += 2;
      Cell saved;
      triple::make_at(&saved, mode_, 0, 0);
      push_rule(Kind::case_, saved, 0);
      mode_ = next;
      if (!fire_event(Ev::push)) return halt();
      return State::start_rule;
    }
    case Kw::set:
    case Kw::copy: {
      if (pos_ + 1 >= n || !named_word(rule_at(pos_ + 1)))
        fire(ErrorCode::script_parse_end, kw);
      need_rule(pos_ + 2);
      Cell word = rule_at(pos_ + 1);
      pos_ += 2;
      push_rule(k == Kw::set ? Kind::set : Kind::copy, word, 0);
      if (!fire_event(Ev::push)) return halt();
      return State::start_rule;
    }
    case Kw::into:
      need_rule(pos_ + 1);
      return into();
    case Kw::remove:
      return remove();
    case Kw::insert:
      return insert();
    case Kw::change:
      return change();
    case Kw::collect:
      return collect();
    case Kw::keep:
      return keep();
    default:
      break;
  }
  return literal();
}

State Engine::pop_rule() {
  const uint32_t d = depth(rules_stack);
  const Cell first = *at(rules_stack, d - 3);
  const Cell place = *at(rules_stack, d - 2);
  const Cell kind_cell = *at(rules_stack, d - 1);
  const Kind kind = static_cast<Kind>(pair::x(&kind_cell));
  const int32_t flag = pair::y(&kind_cell);
  const int32_t sub = triple::first(&place);
  const int32_t start = triple::second(&place);
  auto restore = [&] {
    set_index(start);
    clamp_input();
  };
  switch (kind) {
    case Kind::repeat:
    case Kind::while_: {
      const int32_t min = triple::first(&first), max = triple::second(&first);
      const int32_t iteration = triple::third(&first);
      int32_t done;
      if (match_) {
        bool progress =
            kind == Kind::while_ || index() != start || remaining() < triple::third(&place);
        if (progress && (max < 0 || iteration < max)) {
          // A `while` that never moves may run for ever: the count stops
          // short of overflowing.
          const int32_t next = iteration < INT32_MAX ? iteration + 1 : iteration;
          triple::make_at(at(rules_stack, d - 3), min, max, next);
          triple::make_at(at(rules_stack, d - 2), sub, index(), remaining());
          if (!fire_event(Ev::iterate)) return halt();
          pos_ = sub;
          return State::start_rule;
        }
        done = iteration;
      } else {
        restore();
        done = iteration - 1;
      }
      match_ = done >= min;
      break;
    }
    case Kind::to:
    case Kind::thru:
      if (match_) {
        if (kind == Kind::to) restore();
      } else if (start >= end()) {
        set_index(triple::first(&first));
        clamp_input();
      } else {
        // Try the rule one position further on.
        triple::make_at(at(rules_stack, d - 2), sub, start + 1, 0);
        set_index(start + 1);
        pos_ = sub;
        return State::start_rule;
      }
      break;
    case Kind::copy:
      if (match_) {
        copy_part(&reg_[kTemp], &reg_[kInput], start, index());
        set_word(first, reg_[kTemp]);
        if (exits::pending) return State::abort;
      } else {
        restore();
      }
      break;
    case Kind::set:
      if (match_ && index() > start) {
        unit_value(&reg_[kTemp], &reg_[kInput], start);
        set_word(first, reg_[kTemp]);
        if (exits::pending) return State::abort;
      } else if (!match_) {
        restore();
      }
      break;
    case Kind::not_:
      match_ = !match_;
      restore();
      break;
    case Kind::ahead:
      restore();
      break;
    case Kind::into: {
      bool whole = match_ && index() >= length();
      uint32_t s = depth(series_stack);
      reg_[kInput] = *at(series_stack, s - 1);
      cut(series_stack, s - 1);
      clamp_input();
      if (whole && index() < length()) set_index(index() + 1);
      match_ = whole;
      break;
    }
    case Kind::remove:
      if (match_) remove_range(start, index());
      restore();
      break;
    case Kind::keep:
      if (match_ && index() > start) {
        const int32_t stop = index();
        if (flag) {
          for (int32_t i = start; i < stop && i < length(); i++) {
            unit_value(&reg_[kKeep], &reg_[kInput], i);
            keep_one(&reg_[kKeep]);
          }
        } else {
          if (stop - start == 1)
            unit_value(&reg_[kKeep], &reg_[kInput], start);
          else
            copy_part(&reg_[kKeep], &reg_[kInput], start, stop);
          keep_one(&reg_[kKeep]);
        }
      } else if (!match_) {
        restore();
      }
      break;
    case Kind::collect: {
      uint32_t c = depth(collect_stack);
      reg_[kKeep] = *at(collect_stack, c - 2);
      cut(collect_stack, c - 2);
      switch (flag) {
        case 0:
          if (depth(collect_stack) <= collect_base_) {
            reg_[kResult] = reg_[kKeep];
            collected_ = true;
          } else {
            keep_one(&reg_[kKeep]);
          }
          break;
        case 1:
        case 3:
          set_word(first, reg_[kKeep]);
          if (exits::pending) return State::abort;
          break;
        default:
          break;
      }
      if (!match_) restore();
      break;
    }
    case Kind::change:
    case Kind::change_only: {
      const int32_t k = pos_ + 1;
      // The value is missing at the end of the rules or of the alternative.
      if (k >= tail() || is_bar(rule_at(k)))
        fire(ErrorCode::script_parse_rule, keyword_word(Kw::change));
      pos_ = k;
      if (match_) {
        if (!value_of(rule_at(k), &reg_[kTemp])) return State::abort;
        set_index(change_range(start, std::max(start, index()), kind == Kind::change_only));
      } else {
        restore();
      }
      break;
    }
    case Kind::case_:
      mode_ = triple::first(&first);
      if (!match_) restore();
      break;
    default:
      break;
  }
  // The callback sees the entry it is told about.
  if (!fire_event(Ev::pop)) return halt();
  cut(rules_stack, d - 3);
  return State::check_pending;
}

State Engine::finish() {
  const bool ok = match_ && index() >= end();
  if (collected_)
    reg_[kTemp] = reg_[kResult];
  else
    set_logic(&reg_[kTemp], ok);
  match_ = ok;
  fire_event(Ev::end);
  if (aborted_) return State::abort;
  reg_[kResult] = reg_[kTemp];
  return State::end;
}

void Engine::run() {
  State s = top_block();
  for (;;) {
    switch (s) {
      case State::next_value:
        // Between two rule values the engine's state is in its registers
        // and stacks, which the collector sees: a collection may run here,
        // so rules that make values (copy, keep, insert) in a long loop
        // without parens give the garbage back.
        collector::safe_point();
        s = next_value();
        break;
      case State::fetch: s = fetch(); break;
      case State::start_rule: s = start_rule(); break;
      case State::push_block: s = push_block(); break;
      case State::pop_block: s = pop_block(); break;
      case State::pop_rule: s = pop_rule(); break;
      case State::check_pending: s = check_pending(); break;
      case State::find_alternative: s = find_alternative(); break;
      case State::end:
        finish();
        return;
      case State::stop:
        set_logic(&reg_[kResult], match_);
        return;
      case State::abort:
        return;
    }
  }
}

}  // namespace

void process(Cell* result, const Cell* input, const Cell* rules, int32_t mode, int32_t limit,
             const Cell* callback) {
  Cell* regs = stack::top;
  for (int i = 0; i < kRegCount; i++) set_none(stack::push_slot());
  regs[kInput] = *input;
  regs[kInput].set_head(std::clamp(input->head(), 0, input_length(input)));
  regs[kRules] = *rules;
  if (callback) regs[kCallback] = *callback;
  StackGuard guard;
  Engine engine(regs, mode, limit, callback != nullptr);
  engine.run();
  if (exits::pending) return;
  *result = regs[kResult];
  stack::top = regs;
}

uint32_t rules_depth() { return depth(rules_stack); }
uint32_t series_depth() { return depth(series_stack); }
uint32_t collect_depth() { return depth(collect_stack); }

void init() {
  if (!rules_stack) {
    rules_stack = block::make_in(nullptr, 100)->node();
    series_stack = block::make_in(nullptr, 8)->node();
    collect_stack = block::make_in(nullptr, 8)->node();
  }
  std::memset(keyword_table, 0, sizeof keyword_table);
  for (size_t k = 1; k < std::size(kKeywordNames); k++) {
    Cell w = word::load(kKeywordNames[k]);
    keyword_words[k] = w;
    SymbolId s = symbol::resolve(w.symbol());
    // Start-up interns the keywords among the first few hundred symbols.
    VERIFY(s < kKeywordTableSize);
    if (s < kKeywordTableSize) keyword_table[s] = static_cast<uint8_t>(k);
  }
  for (size_t e = 0; e < std::size(kEventNames); e++) event_words[e] = word::load(kEventNames[e]);
  callback_word = word::load("<parse-callback>");
}

}  // namespace qel::parse
