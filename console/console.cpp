// The console's routines and its launch (see console/console.h).
#include "console/console.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "console/complete.h"
#include "console/stdin_reader.h"
#include "console/terminal.h"
#include "datatypes/binary.h"
#include "datatypes/pair.h"
#include "evaluator/interpreter.h"
#include "lexer/lexer.h"
#include "core/stack.h"
#include "core/unwind.h"
#include "library/routines.h"
#include "memory/series.h"
#include "runtime/output.h"
#include "runtime/signals.h"
#include "runtime/startup_slots.h"
#include "datatypes/block.h"
#include "values/context.h"
#include "datatypes/object.h"
#include "datatypes/string.h"
#include "datatypes/word.h"

namespace qel {

namespace console {

namespace {

Cell* arg(int i) { return stack::arguments + i; }

// The console's state that the collector must see: the buffer string and
// the history block `ask` hands over, kept in a block of the root block.
enum StateCell : int32_t { kLine = 0, kHistory = 1, kStateCells = 2 };
Cell state_block;
bool state_made = false;

Cell* state(StateCell i) { return block::rs_abs_at(&state_block, i); }

void make_state() {
  if (state_made) return;
  state_made = true;
  state_block = *block::make_in(nullptr, kStateCells);
  Cell none;
  set_none(&none);
  for (int32_t i = 0; i < kStateCells; ++i) block::rs_append(&state_block, &none);
}

// The terminal, when standard input and output are both terminals.
struct Console {
  PosixTerminal terminal;
  KeyReader keys{terminal};
  LineEditor editor;
};
std::unique_ptr<Console> console_terminal;
StdinReader stdin_reader(0);
CompletionHook completion;

Console* terminal_console() {
  if (!console_terminal && PosixTerminal::available()) {
    console_terminal = std::make_unique<Console>();
    if (completion) console_terminal->editor.set_completion(completion);
  }
  return console_terminal.get();
}

// The text of any string value from its head.
Text text_of(const Cell* s) {
  Text t;
  SeriesBuffer* b = string::buffer(s);
  uint32_t unit = b->unit();
  int32_t n = string::rest_length(s);
  const uint8_t* p = string::char_at(b, s->head());
  t.reserve(static_cast<size_t>(n));
  uint32_t shift = string::unit_shift(unit);
  for (int32_t i = 0; i < n; ++i)
    t.push_back(string::get_char(p + (static_cast<uint32_t>(i) << shift), unit));
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

// The history block `ask` hands over, read an entry at a time as the keys
// walk it (copying every entry for each line made a long session's lines
// slower and slower). The block stays in the console's state, and every
// read goes through it afresh: completion runs code in between. Entries
// that are not strings take their place in the walk, empty. An entered
// line goes into the block once the line is done (read_input).
class BlockHistory final : public History {
 public:
  explicit BlockHistory(const Cell& block) : block_(block) {}
  size_t size() const override {
    return static_cast<size_t>(std::max(block::rs_length_q(const_cast<Cell*>(&block_)), 0));
  }
  Text entry(size_t index) const override {
    if (index >= size()) return Text();
    const Cell* cell = block::rs_head(const_cast<Cell*>(&block_)) + index;
    return is_any_string(cell->type()) ? text_of(cell) : Text();
  }
  // read_input inserts the buffer string itself once the line is done.
  void add(const Text&) override {}

 private:
  Cell block_;
};

// Replaces the content of a string (from its head) with the text.
void set_text(Cell* s, const Text& t) {
  SeriesBuffer* b = string::buffer(s);
  if (s->head() < string::buffer_length(b)) string::truncate_buffer(b, s->head());
  string::append_utf8(s, utf8_of(t));
}

// The value of `system`, or null.
Cell* system_object() {
  Cell w = word::load("system");
  if (!w.context()) return nullptr;
  Cell* v = const_cast<Cell*>(word::get_in(w.context(), static_cast<int32_t>(w.data3)));
  return v->is(TypeId::object) ? v : nullptr;
}

// `system/console`, or null when no console object exists.
Cell* console_object() {
  Cell* sys = system_object();
  if (!sys) return nullptr;
  Cell* c = object::field(sys, "console");
  return c && c->is(TypeId::object) ? c : nullptr;
}

// system/console/size: the terminal's size, 80x50 when it is unknown.
void update_size() {
  ScreenSize size{0, 0};
  if (Console* c = terminal_console())
    if (std::optional<ScreenSize> s = c->terminal.size()) size = *s;
  Cell* con = console_object();
  if (!con) return;
  Cell* field = object::field(con, "size");
  if (!field) return;
  if (size.width <= 0 || size.height <= 0) size = ScreenSize{80, 50};
  pair::make_at(field, size.width, size.height);
}

// --- the routines

// _set-buffer-history line hist
void set_buffer_history() {
  make_state();
  *state(kLine) = *arg(0);
  *state(kHistory) = *arg(1);
  set_unset(arg(0));
}

// _read-input prompt hidden?: true once a line is in the buffer; false at
// the end of the input.
void read_input() {
  make_state();
  Cell line = *state(kLine);
  if (!is_any_string(line.type())) {
    set_logic(arg(0), false);
    return;
  }
  Console* c = terminal_console();
  if (!c) {
    // Whatever was printed goes out before the program waits for input.
    output::flush();
    Text text;
    bool got = stdin_reader.read_line(text);
    set_text(&line, text);
    set_logic(arg(0), got);
    return;
  }
  update_size();
  Text prompt = text_of(arg(0));
  bool hidden = !is_falsy(arg(1));
  Cell history = *state(kHistory);
  bool has_history = history.is(TypeId::block);
  BlockHistory entries(history);
  std::optional<EditEnd> end = edit_line(c->terminal, c->keys, c->editor, std::move(prompt),
                                         hidden, has_history ? &entries : nullptr);
  if (!end) {
    set_logic(arg(0), false);
    return;
  }
  // The terminal may have been resized while the line was typed: the
  // result of the line is cut to the width it has now.
  update_size();
  set_text(&line, c->editor.line());
  // An accepted line goes to the head of the history: the buffer string
  // itself, as the editor's list has it.
  if (has_history && c->editor.history_added())
    block::insert_value(&history, &line, block::Advance::no, block::InsertAt::head);
  set_logic(arg(0), true);
}

void terminate_console() { set_unset(arg(0)); }

// The words `halt` throws, made when the routines are defined.
Cell halt_request;
Cell halt_name;

// An interrupt during an evaluation at the interactive console: unwinds it
// as `halt` does (throw/name 'halt-request 'console), so the loop prints
// "(halted)" and prompts again with the session kept. Only while a catch
// is on the stack: one that comes when the command is over (the console's
// own code has not yet disarmed it) is dropped, where it would otherwise
// leave the loop as an error nothing catches and end the session.
void halt_evaluation() {
  bool caught = false;
  for (stack::Frame* f = stack::frame_top - 1; f >= stack::frame_bottom && !caught; --f)
    caught = f->kind == stack::FrameKind::catch_;
  if (!caught) return;
  stack::arguments = stack::top;
  stack::push(&halt_request);
  stack::push(&halt_name);
  stack::throw_(level::throw_);
}

// _halt-on-interrupt on?: while on, Ctrl-C halts the evaluation instead of
// ending the program; only at the interactive console (a script, or input
// that is no terminal, ends with status 130 as before).
void halt_on_interrupt() {
  const bool on = !is_falsy(arg(0)) && terminal_console();
  runtime::set_interrupt_halt(on ? halt_evaluation : nullptr);
  set_unset(arg(0));
}

// _print-warning text: the text and a line end on the standard error, after
// what the standard output holds, so that a script's own output never
// carries the console's warnings.
void print_warning() {
  output::flush();
  std::string line = utf8_of(text_of(arg(0)));
  line.push_back('\n');
  const char* p = line.data();
  size_t left = line.size();
  while (left > 0) {
    const ssize_t n = ::write(2, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    p += n;
    left -= static_cast<size_t>(n);
  }
  set_unset(arg(0));
}

// input-stdin: one line of standard input, or none at its end.
void input_stdin() {
  output::flush();
  Text text;
  if (!stdin_reader.read_line(text)) {
    set_none(arg(0));
    return;
  }
  string::make_utf8(arg(0), utf8_of(text));
}

// read-stdin buffer buflen: the bytes read replace the binary from its head.
void read_stdin() {
  Cell* buffer = arg(0);
  int32_t wanted = arg(1)->integer();
  if (wanted > 0) {
    output::flush();
    constexpr int32_t kLargestRead = 1 << 20;
    std::vector<uint8_t> bytes(static_cast<size_t>(std::min(wanted, kLargestRead)));
    long n = stdin_reader.read_bytes(bytes.data(), bytes.size());
    if (n > 0) {
      SeriesBuffer* s = memory::series(buffer->node());
      uint32_t head = std::min(static_cast<uint32_t>(std::max(buffer->head(), 0)), s->used_bytes());
      s->tail = s->offset + head;
      binary::append_bytes(buffer, bytes.data(), static_cast<size_t>(n));
    }
  }
  set_unset(arg(0));
}

// system/console/init title: the terminal's title (only when standard
// output is a terminal), then the console size.
void init() {
  if (output::is_terminal()) {
    std::string title = utf8_of(text_of(arg(0)));
    // Control characters would end the title sequence early.
    auto control = [](char ch) { return static_cast<unsigned char>(ch) < 32 || ch == 127; };
    title.erase(std::remove_if(title.begin(), title.end(), control), title.end());
    output::write_utf8("\x1b]0;" + title + "\x07");
    output::flush();
  }
  update_size();
  set_unset(arg(0));
}

constexpr library::RoutineDef kGlobalRoutines[] = {
    {"_set-buffer-history", set_buffer_history,
     R"spec("Internal Use Only" line [string!] hist [block!])spec", TypeId::none_id},
    {"_read-input", read_input,
     R"spec("Internal Use Only" prompt [string!] hidden? [logic!] return: [logic!])spec",
     TypeId::logic},
    {"_terminate-console", terminate_console, "", TypeId::none_id},
    {"_halt-on-interrupt", halt_on_interrupt, R"spec("Internal Use Only" on? [logic!])spec",
     TypeId::none_id},
    {"_print-warning", print_warning, R"spec("Internal Use Only" text [string!])spec",
     TypeId::none_id},
    {"input-stdin", input_stdin, R"spec("Temporary function, internal use only")spec",
     TypeId::none_id},
    {"read-stdin", read_stdin,
     R"spec("Temporary function, internal use only" buffer [binary!] buflen [integer!])spec",
     TypeId::none_id},
};

constexpr library::RoutineDef kInit = {"init", init, R"spec(title [string!])spec", TypeId::none_id};

// Evaluates Qel source text of the console in the global context.
void evaluate(std::string_view text) {
  Cell* base = stack::top;
  Cell* code = stack::push_slot();
  set_none(code);
  lexer::ScanOptions options;
  lexer::scan(code, reinterpret_cast<const uint8_t*>(text.data()), static_cast<uint32_t>(text.size()),
              options);
  Cell block = *code;
  // Console code, not the user's: an error's `near` names what the user
  // typed or ran, never this call.
  memory::series(block.node())->flags |= series_flag::library;
  interpreter::eval(&block, interpreter::Chain::no);
  stack::top = base;
}

}  // namespace

void define_routines() {
  static bool defined = false;
  if (defined) return;
  defined = true;
  make_state();
  halt_request = word::load("halt-request");
  halt_name = word::load("console");
  library::define_global_routines(kGlobalRoutines, static_cast<int32_t>(std::size(kGlobalRoutines)));
  Cell* base = stack::top;
  Cell* routine = library::push_routine(kInit);
  if (Cell* con = console_object())
    if (Cell* field = object::field(con, "init")) *field = *routine;
  stack::top = base;
}

void set_completion_hook(CompletionHook hook) {
  completion = std::move(hook);
  if (console_terminal) console_terminal->editor.set_completion(completion);
}

}  // namespace console

void cli_console::launch() {
  console::define_routines();
  console::install_completion();
  console::evaluate("cli-console-ctx/launch");
}

}  // namespace qel
