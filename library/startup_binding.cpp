// Start-up bindings: library code that must keep working after a script
// overwrites common global words (`back: 1`, `append: none`).
//
// Start-up keeps a copy of the global values. On the first call of a JSON or
// CSV codec function (each calls the routine that does it), the code of
// those functions and of the object contexts their words reach (the codecs'
// rules and helpers) is bound, in place, to a private context whose words
// hold the start-up values of the global words that code reads. A library
// function among those values is copied, and its copy's code is bound the
// same way (an operator made from one, //, wraps the copy); a word of a
// library helper context (mod's) holding a library function reads a copy
// of it too. So the functions the codecs call (first, rejoin, collect,
// replace, modulo ...) are protected as well; the originals stay as they are
// for everyone else. A path `system/words/name` in that code becomes the
// word `name`, which then reads the start-up value. Done on first use, so
// that scripts that never use the codecs do not pay for it.
//
// Only reads are redirected (word! and get-word!, the heads of paths, the
// type words of specs); set-words and lit-words keep their binding, and a
// global word unset at start-up (`keep`, which collect binds as it runs) is
// left to the global context.
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "core/stack.h"
#include "library/startup_binding.h"
#include "datatypes/block.h"
#include "values/context.h"
#include "datatypes/function.h"
#include "datatypes/native.h"
#include "memory/root.h"
#include "values/symbol.h"
#include "datatypes/word.h"

namespace qel::library {

namespace {

// The root cell holding the copy of the global values made at the end of
// start-up (a block; none once the bindings are made).
uint32_t startup_values = 0;
bool startup_values_kept = false;

// The start-up value of the global word at index g, or null for a word made
// later.
const Cell* startup_value(int32_t g) {
  Cell* values = root::cell_at(startup_values);
  if (g < 0 || g >= block::rs_length_q(values)) return nullptr;
  return block::rs_head(values) + g;
}

bool is_object_context(Node ctx) {
  return ctx && context::kind(context::context_cell(ctx)) == context::Kind::object;
}

class Binder {
 public:
  Binder()
      : system_(symbol::resolve(symbol::make("system"))),
        words_(symbol::resolve(symbol::make("words"))) {}

  // Binds a global function's code in place (its own code: object contexts
  // its words reach are bound too).
  void add_root(std::string_view name) {
    int32_t i = context::find_word(context::global, symbol::make(name), context::Case::insensitive);
    const Cell* fn = startup_value(i);
    if (fn && fn->is(TypeId::function)) add_body(*fn, true);
  }

  void run() {
    while (!work_.empty()) {
      auto [node, own] = work_.back();
      work_.pop_back();
      walk(node, own);
    }
  }

 private:
  // A series to walk; `own`: object contexts its words reach are walked too.
  void add_series(Node n, bool own) {
    if (n && seen_.insert(n).second) work_.emplace_back(n, own);
  }
  // The body and the type blocks of the spec (their words name types).
  void add_body(const Cell& fn, bool own) {
    const Cell& body = *function::extra(&fn, function::kBody);
    if (!is_any_block(body.type())) return;
    add_series(body.node(), own);
    SeriesBuffer* spec = memory::series(fn.data2);
    for (uint32_t i = 0, n = spec->used_bytes() / sizeof(Cell); i < n; i++)
      if (spec->cells()[i].is(TypeId::block)) add_series(spec->cells()[i].node(), own);
  }
  // The codecs' own object contexts: their rules and helpers, in place.
  void add_context(Node ctx) {
    if (!contexts_.insert(ctx).second) return;
    if (!context::values(ctx)) return;
    for (uint32_t i = 0, n = context::word_count(ctx); i < n; i++) {
      const Cell& v = context::values(ctx)[i];
      if (v.is(TypeId::block) || v.is(TypeId::paren))
        add_series(v.node(), true);
      else if (v.is(TypeId::function))
        add_body(v, true);
    }
  }

  bool is_global_word(const Cell& c, SymbolId canon) const {
    return c.is(TypeId::word) && c.context() == context::global &&
           symbol::resolve(c.symbol()) == canon;
  }

  void walk(Node n, bool own) {
    // Cells are re-read on every step: copying a function allocates.
    for (uint32_t i = 0; i < memory::series(n)->used_bytes() / sizeof(Cell); i++) {
      Cell* c = memory::series(n)->cells() + i;
      TypeId t = c->type();
      if (t == TypeId::block || t == TypeId::paren || t == TypeId::get_path ||
          t == TypeId::set_path) {
        add_series(c->node(), own);
      } else if (t == TypeId::path) {
        // system/words/name reads the global word `name`.
        if (block::rs_length_q(c) == 3) {
          const Cell* p = block::rs_head(c);
          if (is_global_word(p[0], system_) && p[1].is(TypeId::word) &&
              symbol::resolve(p[1].symbol()) == words_ && p[2].is(TypeId::word)) {
            *c = context::add_global_word(p[2].symbol(), context::Case::insensitive,
                                          context::KeepSpelling::yes);
            rebind(n, i);
            continue;
          }
        }
        add_series(c->node(), own);
      } else if (t == TypeId::word || t == TypeId::get_word) {
        Node ctx = c->context();
        if (ctx == context::global || (!own && is_object_context(ctx) && !is_private(ctx)))
          rebind(n, i);
        else if (own && is_object_context(ctx) && !is_private(ctx))
          add_context(ctx);
      }
    }
  }

  bool is_private(Node ctx) const { return privates_.count(ctx) != 0; }

  // Points the word at cell i of series n to its private word, if it has one.
  void rebind(Node n, uint32_t i) {
    Cell word = memory::series(n)->cells()[i];
    auto [ctx, slot] = private_slot(word);
    if (slot < 0) return;
    Cell* c = memory::series(n)->cells() + i;
    c->data1 = ctx;
    c->data3 = static_cast<uint32_t>(slot);
  }

  // The private word (context, index) standing for a word (made on first
  // need), or index -1 when the word keeps its binding: a global word unset
  // at start-up, or a word of a library helper context (mod's) whose value
  // is no library function. Each context read gets its private context (a
  // helper's word may have the spelling of a global one).
  std::pair<Node, int32_t> private_slot(const Cell& word) {
    Node ctx = word.context();
    int32_t i = word.word_index();
    auto [found, added] = slots_[ctx].try_emplace(i, Node{0}, -1);
    std::pair<Node, int32_t>& slot = found->second;
    if (!added) return slot;
    Cell value;
    if (ctx == context::global) {
      const Cell* startup = startup_value(i);
      if (!startup || startup->is(TypeId::unset)) return slot;
      value = *startup;
    } else {
      const Cell* values = context::values(ctx);
      if (!values || i < 0 || static_cast<uint32_t>(i) >= context::word_count(ctx)) return slot;
      value = values[i];
      if (!library_function(value)) return slot;
    }
    Node& priv = privates_[ctx];
    if (!priv)
      priv = context::create(ctx == context::global ? 64 : 4, context::OnStack::no,
                             context::SelfRef::no, 0, context::Kind::object);
    int32_t index = context::add_word(priv, &word);
    slot = {priv, index};
    if (value.is(TypeId::function)) {
      value = copy_function(value);
    } else if (library_function(value)) {
      // An operator made from a library function (//) wraps its copy.
      Cell copy = copy_function(op::unwrap(&value));
      value.data1 = copy.data1;
      value.data2 = copy.data2;
      value.data3 = copy.data3;
    }
    context::values(priv)[index] = value;
    return {priv, index};
  }

  static bool library_function(const Cell& v) {
    return v.is(TypeId::function) || (v.is(TypeId::op) && op::wrapped(&v) == TypeId::function);
  }

  // A copy of a library function whose code gets its own start-up bindings
  // (one copy per function, whatever the words that name it).
  Cell copy_function(const Cell& fn) {
    auto found = copies_.find(fn.data1);
    if (found != copies_.end()) return found->second;
    const Cell& body = *function::extra(&fn, function::kBody);
    if (!is_any_block(body.type())) return fn;
    Cell* top = stack::top;
    // The spec is copied too: its type words get bound.
    Cell original_spec, spec;
    set_series(&original_spec, TypeId::block, fn.data2);
    block::clone_into(&original_spec, &spec, block::Deep::yes, block::AnyBlock::no);
    Cell body_cell = body;
    uint32_t flags = fn.header & (function_flag::no_trace | function_flag::trace |
                                  function_flag::library);
    Cell copy = *function::push(&spec, &body_cell, 0, 0, flags);
    stack::top = top;
    copies_.emplace(fn.data1, copy);
    add_body(copy, false);
    return copy;
  }

  SymbolId system_;
  SymbolId words_;
  std::vector<std::pair<Node, bool>> work_;
  std::unordered_set<Node> seen_;
  std::unordered_set<Node> contexts_;
  // Context read -> its private context; (context, index) -> private word.
  std::unordered_map<Node, Node> privates_;
  std::unordered_map<Node, std::unordered_map<int32_t, std::pair<Node, int32_t>>> slots_;
  std::unordered_map<Node, Cell> copies_;  // function context -> copy
};

}  // namespace

void keep_startup_values() {
  Cell values, copy;
  set_series(&values, TypeId::block, context::global_values);
  block::clone_into(&values, &copy, block::Deep::no, block::AnyBlock::no);
  startup_values = root::append(copy);
  startup_values_kept = true;
}

void bind_to_startup_values(std::initializer_list<std::string_view> roots) {
  if (!startup_values_kept) return;
  startup_values_kept = false;
  Binder binder;
  for (std::string_view name : roots) binder.add_root(name);
  binder.run();
  set_none(root::cell_at(startup_values));
}

}  // namespace qel::library
