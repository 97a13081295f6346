// The library's top-level code (start-up's `library::run_top_level`): the
// routines first, then every embedded Qel source in order, then the library
// mark on every function that code defined.
//
// The order of the sources is the start-up order of the library and lives
// in library/CMakeLists.txt; each source is evaluated as a script whose
// optional `Qel [...]` header is skipped. An error in a source ends the
// program as an uncaught error does (its report, status -2), with a line
// naming the source.
#include "library/library.h"

#include <algorithm>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "evaluator/interpreter.h"
#include "lexer/lexer.h"
#include "core/stack.h"
#include "evaluator/trace.h"
#include "core/unwind.h"
#include "library/embedded.h"
#include "library/routines.h"
#include "library/startup_binding.h"
#include "runtime/fatal.h"
#include "runtime/output.h"
#include "runtime/platform.h"
#include "runtime/startup_slots.h"
#include "services/qelbin_boot.h"
#include "datatypes/block.h"
#include "values/context.h"
#include "datatypes/error.h"
#include "datatypes/function.h"
#include "datatypes/object.h"
#include "datatypes/word.h"

namespace qel::library {

namespace {

bool top_level_done = false;

// The folder named by QEL_LIBRARY_DIR, or empty.
const std::string& library_dir() {
  static const std::string dir = platform::get_env("QEL_LIBRARY_DIR").value_or("");
  return dir;
}

// The text of a source: the embedded one, or with QEL_LIBRARY_DIR set the
// file of the same name under that folder.
std::string_view source_text(const EmbeddedSource& src, std::string& storage) {
  const std::string& dir = library_dir();
  if (dir.empty()) return src.text;
  std::string path = dir + "/" + std::string(src.name);
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    output::write_utf8("QEL_LIBRARY_DIR: cannot read " + path + ", the embedded text is used\n");
    return src.text;
  }
  std::stringstream text;
  text << in.rdbuf();
  storage = text.str();
  return storage;
}

bool is_header(const Cell* block) {
  const Cell* first = block::rs_head(const_cast<Cell*>(block));
  return block::rs_length_q(block) >= 2 && first->is(TypeId::word) &&
         word::spelling(first) == "Qel" && first[1].is(TypeId::block);
}

// Evaluates source `index`: its block from the boot data, or (without boot
// data, or with QEL_LIBRARY_DIR set) its text loaded with the lexer.
void evaluate_source(const EmbeddedSource& src, size_t index) {
  exits::Mark mark;
  // Under a try frame, so that an error is reported with the source's name.
  stack::mark_try(interpreter::body_word());
  try {
    Cell* code = stack::push_slot();
    set_none(code);
    if (!library_dir().empty() || !qelbin::boot::take_source(index, src.name, code)) {
      std::string storage;
      std::string_view text = source_text(src, storage);
      lexer::ScanOptions options;
      lexer::scan(code, reinterpret_cast<const uint8_t*>(text.data()),
                  static_cast<uint32_t>(text.size()), options);
    }
    Cell block = *code;
    if (is_header(&block)) block.set_head(block.head() + 2);
    interpreter::eval(&block, interpreter::Chain::no);
  } catch (const NonLocalExit& e) {
    if (e.level != level::error) throw;
    Cell err = unwind::thrown_value;
    mark.restore();
    output::write_utf8(error::form_report(&err));
    output::write_utf8("\n*** while defining the library from " + std::string(src.name) + "\n");
    runtime::quit_return(-2);
  }
  mark.restore();
}

// A set of series, a bitmap by node (nodes are small dense indexes): the
// walk below meets every function of the library at every start.
class NodeSet {
 public:
  // True when `n` was not in the set (and is now).
  bool insert(Node n) {
    const size_t word = n / 64;
    if (word >= bits_.size()) bits_.resize(std::max(word + 1, bits_.size() * 2), 0);
    const uint64_t bit = uint64_t{1} << (n % 64);
    if (bits_[word] & bit) return false;
    bits_[word] |= bit;
    return true;
  }

 private:
  std::vector<uint64_t> bits_;
};

// Gives every function! reachable from the global context (through objects,
// blocks, function bodies and the object contexts their words are bound to,
// each series once) the library mark, in every cell that holds it, and in
// the copy its context keeps of it. (Helpers kept in an unnamed context,
// known only to the words of the library functions that call them, are
// library functions too: unmarked, they fired trace events and gave their
// own code as an error's near.) The blocks and parens such an object holds
// (parse rules whose actions the library's functions run, tables) are
// marked as the functions' code: a decoder's action that fails is reported
// near the user's expression, not inside the grammar.
void mark_library_functions() {
  NodeSet seen;
  NodeSet helpers;
  auto mark_helper_code = [&](Node ctx) {
    if (!ctx || !helpers.insert(ctx)) return;
    Cell* values = context::values(ctx);
    if (!values) return;
    for (uint32_t i = 0, n = context::word_count(ctx); i < n; i++) {
      const Cell& v = context::values(ctx)[i];
      if (v.is(TypeId::block) || v.is(TypeId::paren)) function::mark_library_code(v.node());
    }
  };
  std::vector<std::pair<Cell*, uint32_t>> work;  // first cell, count
  std::vector<Node> contexts;  // met in the body of the function being marked
  auto add_context = [&](Node ctx) {
    if (!ctx || !seen.insert(ctx)) return;
    Cell* values = context::values(ctx);
    if (values) work.emplace_back(values, context::word_count(ctx));
  };
  auto add_block = [&](Node n) {
    if (!n || !seen.insert(n)) return;
    SeriesBuffer* s = memory::series(n);
    work.emplace_back(s->cells(), s->used_bytes() / sizeof(Cell));
  };
  add_context(context::global);
  while (!work.empty()) {
    auto [cells, count] = work.back();
    work.pop_back();
    for (uint32_t i = 0; i < count; i++) {
      Cell* c = cells + i;
      TypeId t = c->type();
      if (t == TypeId::function) {
        contexts.clear();
        function::mark_library(c, &contexts);
        Cell* own = context::owner(c->data1);
        if (own->is(TypeId::function)) function::mark_library(own, &contexts);
        for (Node ctx : contexts) {
          add_context(ctx);
          mark_helper_code(ctx);
        }
      } else if (object::is_object_like(t)) {
        add_context(object::context_of(c));
      } else if (is_any_block(t) || t == TypeId::map) {
        // (A map's pairs are a block: system/codecs holds the JSON and CSV
        // codecs' functions.)
        add_block(c->node());
      }
    }
  }
}

// The interpreter's mirror of system/state/callbacks/bits follows that
// field from now on.
void watch_system_callbacks() {
  Cell* callbacks = object::system_field({"state", "callbacks"});
  if (!callbacks || !callbacks->is(TypeId::object)) return;
  watch_callbacks(object::context_of(callbacks));
  Cell* bits = object::field(callbacks, "bits");
  if (bits && bits->is(TypeId::integer))
    interpreter::callback_bits = static_cast<uint32_t>(bits->integer());
}

}  // namespace

bool started() { return top_level_done; }

void run_top_level() {
  define_boot_value();
  define_base_routines();
  define_predicates();
  size_t index = 0;
  for (const EmbeddedSource& src : embedded_sources()) evaluate_source(src, index++);
  watch_system_callbacks();
  remove_boot_value();
  mark_library_functions();
  keep_startup_values();
  interpreter::note_type_words();
  top_level_done = true;
}

}  // namespace qel::library
