// The base routines of the library: the process exit, quiet setters that
// raise no object events, bit shifts, the current directory, file existence,
// the operating-system description, tuple packing, UTF-8 counting, display
// columns of text (the console's cuts and columns), the data
// stack for the debugger, the clipboard and standard output.
//
// Each is bound to its global word at start-up (define_base_routines). The
// interpreter checks the arguments against the spec before the body runs,
// so a body reads them as the declared types.
#include "library/routines.h"

#include <algorithm>
#include <string>
#include <string_view>

#include <sys/stat.h>
#include <sys/types.h>

#include "datatypes/binary.h"
#include "datatypes/file.h"
#include "datatypes/tuple.h"
#include "lexer/lexer.h"
#include "natives/natives.h"
#include "core/stack.h"
#include "evaluator/trace.h"
#include "text/unicode.h"
#include "text/char_width.h"
#include "runtime/fatal.h"
#include "runtime/output.h"
#include "runtime/platform.h"
#include "services/clipboard.h"
#include "services/env.h"
#include "values/actions.h"
#include "datatypes/block.h"
#include "values/context.h"
#include "core/errors.h"
#include "datatypes/function.h"
#include "datatypes/object.h"
#include "datatypes/string.h"
#include "datatypes/word.h"

namespace qel::library {

namespace {

Cell* arg(int i) { return stack::arguments + i; }

// Raises script `expect-arg` naming the routine, the argument's type and the
// argument word.
[[noreturn]] void refuse(const char* routine_name, const Cell* value, const char* arg_name) {
  Cell name = word::load(routine_name);
  Cell type;
  set_datatype(&type, value->type());
  Cell argw = word::load(arg_name);
  fire(ErrorCode::script_expect_arg, &name, &type, &argw);
}

// The name of a file! argument as the system takes it.
std::string os_path(const Cell* file) { return file::to_os_path(file); }

// --- the mirror of system/state/callbacks/bits

Node callbacks_ctx = 0;

void sync_callback_bits(Node ctx, int32_t index) {
  if (!callbacks_ctx || ctx != callbacks_ctx) return;
  Cell* w = word::word_at(ctx, index);
  if (symbol::resolve(w->data2) != symbol::resolve(symbol::make("bits"))) return;
  Cell* v = word::get_in(ctx, index);
  interpreter::callback_bits = v->is(TypeId::integer) ? static_cast<uint32_t>(v->integer()) : 0;
}

// --- exit and quiet setters

void quit_return() { runtime::quit_return(arg(0)->integer()); }

void set_quiet() {
  Cell* w = arg(0);
  switch (w->type()) {
    case TypeId::word:
    case TypeId::set_word:
    case TypeId::get_word:
    case TypeId::lit_word:
      break;
    default:
      refuse("set-quiet", w, "word");
  }
  Cell word = *w;
  Cell value = *arg(1);
  Node ctx = word.context();
  context::set_in(&word, &value, ctx, false);
  if (ctx && static_cast<int32_t>(word.data3) >= 0)
    sync_callback_bits(ctx, static_cast<int32_t>(word.data3));
  *arg(0) = value;
}

void set_slot_quiet() {
  Cell* s = arg(0);
  switch (s->type()) {
    case TypeId::block:
    case TypeId::paren:
    case TypeId::path:
    case TypeId::lit_path:
    case TypeId::set_path:
    case TypeId::get_path:
      break;
    default:
      refuse("set-slot-quiet", s, "series");
  }
  // A position at or past the tail (the block shortened after it was
  // taken) sets nothing: the cell there lies beyond the block's values.
  if (block::rs_length_q(s) > 0) *block::rs_head(s) = *arg(1);
  set_unset(arg(0));
}

// --- shifts, with the rules of the `shift` native: a negative count counts
// as 0; a count above 31 shifts everything out.

int32_t shift(int32_t data, int32_t bits, bool left, bool logical) {
  if (bits < 0) bits = 0;
  uint32_t u = static_cast<uint32_t>(data);
  if (left) return bits > 31 ? 0 : static_cast<int32_t>(u << bits);
  if (logical) return bits > 31 ? 0 : static_cast<int32_t>(u >> bits);
  if (bits > 31) return data < 0 ? -1 : 0;
  return data >> bits;
}

void shift_right() { set_integer(arg(0), shift(arg(0)->integer(), arg(1)->integer(), false, false)); }
void shift_left() { set_integer(arg(0), shift(arg(0)->integer(), arg(1)->integer(), true, false)); }
void shift_logical() {
  set_integer(arg(0), shift(arg(0)->integer(), arg(1)->integer(), false, true));
}

void last_lf_q() { set_logic(arg(0), natives::last_lf_q); }

// --- directories and files

void get_current_dir() {
  std::string dir = platform::get_current_dir().value_or("");
  if (dir.empty() || dir.back() != '/') dir += '/';
  string::make_utf8(arg(0), dir);
}

void set_current_dir() {
  if (!platform::set_current_dir(os_path(arg(0)))) {
    Cell path = *arg(0);
    fire(ErrorCode::access_cannot_open, &path);
  }
  set_unset(arg(0));
}

void create_dir() {
  if (::mkdir(os_path(arg(0)).c_str(), 0777) != 0) {
    Cell path = *arg(0);
    fire(ErrorCode::access_no_create, &path);
  }
  set_unset(arg(0));
}

void exists_q() {
  struct stat st;
  set_logic(arg(0), ::stat(os_path(arg(0)).c_str(), &st) == 0);
}

// --- the operating system

// An object of `name` (the system's name and release), `arch` (a word),
// `version` (the release's first three numbers as a tuple) and `build` (the
// number after the release's "-", or 0), from uname(2).
void os_info() {
  env::OsInfo info = env::os_info();
  Cell* base = stack::top;
  Cell* obj = stack::push_slot();
  object::make_at(obj, 8);
  Node ctx = object::context_of(obj);
  Cell v;
  Cell w = word::load("name");
  string::make_utf8(&v, info.name);
  context::put_word_value(ctx, &w, &v);
  w = word::load("arch");
  v = word::load(info.arch);
  context::put_word_value(ctx, &w, &v);
  w = word::load("version");
  uint8_t bytes[3];
  for (int i = 0; i < 3; i++) bytes[i] = static_cast<uint8_t>(info.version[i] & 0xFF);
  tuple::make_at(&v, bytes, 3);
  context::put_word_value(ctx, &w, &v);
  w = word::load("build");
  set_integer(&v, info.build);
  context::put_word_value(ctx, &w, &v);
  *arg(0) = *obj;
  stack::top = base;
}

// --- tuples

// The tuple of `count` components from frame slots 0..count-1, each taken
// modulo 256; a negative component raises `invalid-arg`.
void make_tuple(int count) {
  uint8_t bytes[4] = {};
  for (int i = 0; i < count; i++) {
    int32_t v = arg(i)->integer();
    if (v < 0) {
      Cell bad = *arg(i);
      fire(ErrorCode::script_invalid_arg, &bad);
    }
    bytes[i] = static_cast<uint8_t>(v & 0xFF);
  }
  tuple::make_at(arg(0), bytes, count);
}

void as_color() { make_tuple(3); }
void as_ipv4() { make_tuple(4); }
void as_rgba() { make_tuple(4); }

// --- UTF-8 counting

// Counts the sequences from start's position up to pos's position, each as
// long as its lead byte announces (a lone continuation byte is one). The
// walk never leaves the buffer: it stops at its tail, and a sequence that
// the tail cuts short counts as one character.
void count_chars() {
  const Cell* start = arg(0);
  const Cell* pos = arg(1);
  SeriesBuffer* s = memory::series(start->node());
  const uint8_t* data = s->head_ptr();
  int32_t tail = static_cast<int32_t>(s->length());
  int32_t i = start->head() < 0 ? 0 : start->head();
  int32_t end = pos->head();
  if (end > tail) end = tail;
  int32_t count = 0;
  while (i < end) {
    int len = unicode::utf8_lead_length(data[i]);
    if (len == 0) len = 1;
    i += len;
    count++;
  }
  set_integer(arg(0), count);
}

// --- display columns

// The characters of the string from its head that fit in `limit` terminal
// columns (all of them when limit is negative), and the columns they take.
struct Fit {
  int32_t chars = 0;
  int32_t columns = 0;
};
Fit fit_columns(const Cell* s, int32_t limit) {
  SeriesBuffer* b = string::buffer(s);
  const uint32_t unit = b->unit(), shift = string::unit_shift(unit);
  const int32_t n = string::rest_length(s);
  const uint8_t* p = string::char_at(b, s->head());
  Fit fit;
  for (; fit.chars < n; ++fit.chars) {
    int32_t w = char_width::get(string::get_char(p + (static_cast<uint32_t>(fit.chars) << shift), unit));
    if (limit >= 0 && fit.columns + w > limit) break;
    fit.columns += w;
  }
  return fit;
}

void text_columns() { set_integer(arg(0), fit_columns(arg(0), -1).columns); }

void chars_in_columns() {
  set_integer(arg(0), fit_columns(arg(0), std::max(arg(1)->integer(), 0)).chars);
}

// --- the data stack

void stack_size_q() { set_integer(arg(0), static_cast<int32_t>(stack::top - stack::bottom)); }

void pick_stack() {
  int32_t idx = arg(0)->integer();
  int32_t size = static_cast<int32_t>(stack::top - stack::bottom);
  if (idx >= 1 && idx < size)
    *arg(0) = stack::bottom[idx - 1];
  else
    set_none(arg(0));
}

void frame_index_q() {
  set_integer(arg(0), static_cast<int32_t>(stack::arguments - stack::bottom));
}

void collect_calls() {
  Cell blk = *arg(0);
  stack::collect_calls(blk.node());
  *arg(0) = blk;
}

void tracing_q() { set_logic(arg(0), interpreter::tracing_q); }
void set_tracing() { interpreter::set_paused(!(arg(0)->is(TypeId::logic) && arg(0)->logic())); }

// --- the clipboard (services/clipboard.h)

void read_clipboard() { clipboard::read(arg(0)); }
void write_clipboard() { set_logic(arg(0), clipboard::write(arg(0))); }

// --- standard output

void write_stdout() {
  Cell* v = arg(0);
  if (v->is(TypeId::binary)) {
    output::write_utf8(reinterpret_cast<const char*>(binary::rs_head(v)),
                       static_cast<size_t>(binary::rs_length(v)));
  } else if (v->is(TypeId::string)) {
    std::string text;
    string::to_utf8(v, text);
    output::write_utf8(text);
  } else {
    // Any other value is written as its molded text, as `write` writes it
    // to a file.
    Cell* buffer = stack::push_slot();
    string::rs_make_at(buffer, 16);
    Cell value = *v;
    actions::call_mold(&value, buffer, {}, nullptr, 0x7FFFFFFF, 0);
    std::string text;
    string::to_utf8(buffer, text);
    output::write_utf8(text);
    stack::top = buffer;
  }
  set_unset(arg(0));
}

constexpr RoutineDef kBase[] = {
    {"quit-return", quit_return,
     R"spec("Stops evaluation and exits the program with a given status"
        status [integer!] "Process termination value to return")spec",
     TypeId::none_id},
    {"set-quiet", set_quiet,
     R"spec("Set an object's field to a value without triggering eventual object's events"
        word [any-type!] value [any-type!] return: [any-type!])spec",
     TypeId::none_id},
    {"set-slot-quiet", set_slot_quiet,
     R"spec("Set a value in series without triggering eventual owner's events"
        series [any-type!] value [any-type!])spec",
     TypeId::none_id},
    {"shift-right", shift_right,
     R"spec("Shift bits to the right" data [integer!] bits [integer!])spec", TypeId::none_id},
    {"shift-left", shift_left,
     R"spec("Shift bits to the left" data [integer!] bits [integer!])spec", TypeId::none_id},
    {"shift-logical", shift_logical,
     R"spec("Shift bits to the right (unsigned)" data [integer!] bits [integer!])spec", TypeId::none_id},
    {"last-lf?", last_lf_q, R"spec("Internal Use Only")spec", TypeId::none_id},
    {"get-current-dir", get_current_dir,
     R"spec("Returns the platform's current directory for the process")spec", TypeId::none_id},
    {"set-current-dir", set_current_dir,
     R"spec("Sets the platform's current process directory" path [file!])spec", TypeId::none_id},
    {"create-dir", create_dir, R"spec("Create the given directory" path [file!])spec", TypeId::none_id},
    {"exists?", exists_q,
     R"spec("Returns TRUE if the file exists" path [file!] return: [logic!])spec", TypeId::logic},
    {"os-info", os_info, R"spec("Returns detailed operating system version information")spec",
     TypeId::none_id},
    {"as-color", as_color,
     R"spec("Combine R, G and B values into a tuple" r [integer!] g [integer!] b [integer!])spec",
     TypeId::none_id},
    {"as-ipv4", as_ipv4,
     R"spec("Combine a, b, c and d values into a tuple"
        a [integer!] b [integer!] c [integer!] d [integer!])spec",
     TypeId::none_id},
    {"as-rgba", as_rgba,
     R"spec("Combine R, G, B and A color components into a tuple"
        r [integer!] g [integer!] b [integer!] a [integer!])spec",
     TypeId::none_id},
    {"count-chars", count_chars,
     R"spec("Count UTF-8 encoded characters between two positions in a binary series"
        start [binary!] pos [binary!] return: [integer!])spec",
     TypeId::integer},
    {"text-columns", text_columns,
     R"spec("Terminal columns a text takes (wide characters two, combining marks none)"
        str [string!] return: [integer!])spec",
     TypeId::integer},
    {"chars-in-columns", chars_in_columns,
     R"spec("Number of characters from the text's head that fit in a number of terminal columns"
        str [string!] columns [integer!] return: [integer!])spec",
     TypeId::integer},
    {"stack-size?", stack_size_q, R"spec(return: [integer!])spec", TypeId::integer},
    {"pick-stack", pick_stack, R"spec(idx [integer!])spec", TypeId::none_id},
    {"frame-index?", frame_index_q, R"spec(return: [integer!])spec", TypeId::integer},
    {"collect-calls", collect_calls, R"spec(blk [block!])spec", TypeId::none_id},
    {"tracing?", tracing_q, "", TypeId::none_id},
    {"set-tracing", set_tracing, R"spec("Internal Use Only" on [logic!])spec", TypeId::none_id},
    {"read-clipboard", read_clipboard,
     R"spec("Return the contents of the system clipboard"
        return: [any-type!] "false on failure, none if empty, otherwise: string!, block! of files!, or an image!")spec",
     TypeId::none_id},
    {"write-clipboard", write_clipboard,
     R"spec("Write content to the system clipboard"
        data [any-type!] "string!, block! of files!, an image! or none!"
        return: [logic!] "indicates success")spec",
     TypeId::logic},
    {"write-stdout", write_stdout, R"spec("Write data to STDOUT" data [any-type!])spec", TypeId::none_id},
};

}  // namespace

Cell* push_routine(const RoutineDef& def) {
  Cell* spec = stack::push_slot();
  set_none(spec);
  lexer::ScanOptions options;
  std::string_view text = def.spec;
  lexer::scan(spec, reinterpret_cast<const uint8_t*>(text.data()),
              static_cast<uint32_t>(text.size()), options);
  int32_t returns = def.returns == TypeId::none_id ? -1 : static_cast<int32_t>(def.returns);
  Cell* value = routine::push(spec, nullptr, routine::add_entry(def.fn, def.name), returns);
  *spec = *value;
  stack::top = spec + 1;
  return spec;
}

void define_global_routines(const RoutineDef* defs, int32_t count) {
  Cell* base = stack::top;
  for (int32_t i = 0; i < count; i++) {
    Cell* value = push_routine(defs[i]);
    Cell w = word::load(defs[i].name);
    context::set(&w, value);
    stack::top = base;
  }
}

void define_base_routines() {
  define_global_routines(kBase, static_cast<int32_t>(std::size(kBase)));
}

void watch_callbacks(Node ctx) { callbacks_ctx = ctx; }

}  // namespace qel::library
