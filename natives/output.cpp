// Output, text and series natives: print, prin, uppercase, lowercase, dehex,
// enhex, debase, enbase, to-local-file, new-line, new-line?, as.
#include "datatypes/base_n.h"
#include "datatypes/file.h"
#include "datatypes/url.h"
#include "evaluator/interpreter.h"
#include "text/case_map.h"
#include "natives/natives.h"
#include "core/stack.h"
#include "memory/series.h"
#include "runtime/output.h"
#include "runtime/print.h"
#include "runtime/startup_slots.h"
#include "values/actions.h"
#include "datatypes/block.h"
#include "core/errors.h"
#include "datatypes/logic.h"
#include "values/ownership.h"
#include "datatypes/string.h"

namespace qel::natives {

namespace {

inline bool present(const int32_t* refinements, int i) {
  return refinements && refinements[i] >= 0;
}

// Where the values of the print running now begin in the print buffer.
int32_t print_head = 0;

// The print buffer as a block value from a head.
Cell print_block(int32_t head) {
  Cell b;
  set_series(&b, TypeId::block, print_buffer, head);
  return b;
}

// Prints slot 0 of the current frame, formed, with or without a line end.
void print_value(bool newline) {
  Cell* args = stack::arguments;
  if (args->is(TypeId::block)) {
    Cell input = *args;
    int32_t saved_head = print_head;
    Cell buf = print_block(0);
    int32_t start = block::total_cells(&buf);
    print_head = start;
    // The buffer is cut back at its saved position however the print ends.
    struct CutBack {
      int32_t start, head;
      ~CutBack() {
        Cell b = print_block(0);
        if (block::total_cells(&b) > start) block::rs_clear_from(&b, start);
        print_head = head;
      }
    } cut{start, saved_head};
    int32_t pc = input.head() < 0 ? 0 : input.head();
    Cell* mark = stack::top;
    while (pc < block::total_cells(&input)) {
      stack::top = mark;
      pc = interpreter::passing::eval_next(&input, pc, block::total_cells(&input),
                                           interpreter::Chain::no);
      if (exits::pending) return;
      Cell b = print_block(0);
      Cell* v = block::rs_append(&b, mark);
      v->clear_flag(cell_flag::new_line);
    }
    stack::top = mark;
    Cell value = print_block(start);
    Cell* text = stack::push_slot();
    string::rs_make_at(text, 16);
    actions::call_form(&value, text, nullptr, 0x7FFFFFFF);
    print_hook::run_list1(text, newline);
  } else if (args->is(TypeId::string)) {
    Cell s = *args;
    if (s.head() < 0) s.set_head(0);
    print_hook::run_list1(&s, newline);
  } else {
    Cell value = *args;
    Cell* text = stack::push_slot();
    string::rs_make_at(text, 16);
    actions::call_form(&value, text, nullptr, 0x7FFFFFFF);
    print_hook::run_list1(text, newline);
  }
  last_lf_q = newline;
  set_unset(args);
  stack::top = args + 1;
}

void print(const int32_t*) { print_value(true); }
void prin(const int32_t*) { print_value(false); }

// --- case, escapes, base-N and local files

void change_case(const int32_t* refinements, unicode::Case c) {
  Cell* args = stack::arguments;
  const Cell* part = present(refinements, 0) ? args + refinements[0] : nullptr;
  int32_t count = string::change_case(args, part, c);
  // The owner of the string hears of the change once it is made.
  if (count > 0) {
    Cell target = *args;
    ownership::check(&target, c == unicode::Case::upper ? OwnerEvent::uppercase : OwnerEvent::lowercase,
                     nullptr, target.head(), count);
  }
  stack::top = args + 1;
}
void uppercase(const int32_t* r) { change_case(r, unicode::Case::upper); }
void lowercase(const int32_t* r) { change_case(r, unicode::Case::lower); }

// A new string! in a fresh slot, with room for the input's length.
Cell* new_text(const Cell* input) {
  Cell in = *input;
  int32_t n = string::get_rest_length(&in);
  Cell* out = stack::push_slot();
  string::rs_make_at(out, static_cast<uint32_t>(n > 0 ? n : 1));
  return out;
}

void dehex(const int32_t*) {
  Cell* args = stack::arguments;
  Cell* out = new_text(args);
  url::dehex(args, out);
  *args = *out;
  stack::top = args + 1;
}

void enhex(const int32_t*) {
  Cell* args = stack::arguments;
  Cell* out = new_text(args);
  url::enhex(args, out, args->is(TypeId::string) ? url::Escape::strict : url::Escape::lenient);
  *args = *out;
  stack::top = args + 1;
}

// The base of debase and enbase: 64 unless /base gives another.
Cell base_of(const int32_t* refinements) {
  if (present(refinements, 0)) return stack::arguments[refinements[0]];
  Cell b;
  set_integer(&b, 64);
  return b;
}

void debase(const int32_t* refinements) {
  Cell* args = stack::arguments;
  Cell base = base_of(refinements);
  Cell* out = stack::push_slot();
  set_none(out);
  base_n::debase(args, &base, out);
  *args = *out;
  stack::top = args + 1;
}

void enbase(const int32_t* refinements) {
  Cell* args = stack::arguments;
  Cell base = base_of(refinements);
  Cell* out = stack::push_slot();
  set_none(out);
  base_n::enbase(args, &base, out);
  *args = *out;
  stack::top = args + 1;
}

void to_local_file(const int32_t* refinements) {
  Cell* args = stack::arguments;
  Cell* out = new_text(args);
  file::to_local_path(args, out, present(refinements, 0));
  *args = *out;
  stack::top = args + 1;
}

void new_line(const int32_t* refinements) {
  Cell* args = stack::arguments;
  bool on = args[1].logic();
  bool all = present(refinements, 0);
  bool skip = present(refinements, 1);
  Cell pos = *args;
  int32_t n = block::total_cells(&pos);
  int32_t head = pos.head() < 0 ? 0 : pos.head();
  if (!all && !skip) {
    if (head < n) {
      Cell* c = block::rs_abs_at(&pos, head);
      if (on)
        c->set_flag(cell_flag::new_line);
      else
        c->clear_flag(cell_flag::new_line);
    }
  } else {
    int32_t step = 1;
    if (skip) {
      Cell* size = args + refinements[1];
      step = size->integer();
      if (step <= 0) fire(ErrorCode::script_out_of_range, size);
    }
    for (int32_t i = 0; head + i < n; i++) {
      Cell* c = block::rs_abs_at(&pos, head + i);
      bool period = step == 1 || i % step == 0;
      if (period == on)
        c->set_flag(cell_flag::new_line);
      else
        c->clear_flag(cell_flag::new_line);
    }
  }
  stack::top = args + 1;
}

void new_line_q(const int32_t*) {
  Cell* args = stack::arguments;
  Cell pos = *args;
  bool v = pos.head() >= 0 && pos.head() < block::total_cells(&pos) &&
           block::rs_abs_at(&pos, pos.head())->has_flag(cell_flag::new_line);
  set_logic(args, v);
  stack::top = args + 1;
}

bool block_class(TypeId t) {
  return t == TypeId::block || t == TypeId::paren || is_any_path(t);
}

void as(const int32_t*) {
  Cell* args = stack::arguments;
  TypeId target = args[0].is(TypeId::datatype) ? datatype::named(args) : args[0].type();
  TypeId from = args[1].type();
  bool ok = (block_class(target) && block_class(from)) ||
            (is_any_string(target) && is_any_string(from));
  if (!ok) {
    Cell d1, d2;
    set_datatype(&d1, from);
    set_datatype(&d2, target);
    fire(ErrorCode::script_not_same_class, &d1, &d2);
  }
  *args = args[1];
  args->set_type(target);
  stack::top = args + 1;
}

constexpr Definition kOutput[] = {
    {23, "print", print, R"spec("Outputs a value followed by a newline" value [any-type!])spec"},
    {24, "prin", prin, R"spec("Outputs a value" value [any-type!])spec"},
    {47, "dehex", dehex, R"spec("Converts URL-style hex encoded (%xx) strings"
        value [any-string!] "The string to dehex" return: [string!] "Decoded string")spec"},
    {48, "enhex", enhex, R"spec("Encode URL-style hex encoded (%xx) strings"
        value [any-string!] "The string to encode" return: [string!] "Encoded string")spec"},
    {71, "uppercase", uppercase, R"spec("Converts string of characters to uppercase"
        string [any-string! char!] "Value to convert (modified when series)"
        /part "Limits to a given length or position" limit [number! any-string!]
        return: [any-string! char!])spec"},
    {72, "lowercase", lowercase, R"spec("Converts string of characters to lowercase"
        string [any-string! char!] "Value to convert (modified when series)"
        /part "Limits to a given length or position" limit [number! any-string!]
        return: [any-string! char!])spec"},
    {84, "debase", debase, R"spec("Decodes binary-coded string (BASE-64 default) to binary value"
        value [string!] "The string to decode"
        /base "Binary base to use" base-value [integer!] "The base to convert from: 64, 58, 16, or 2")spec"},
    {85, "to-local-file", to_local_file, R"spec("Converts a file path to the operating system's form"
        path [file! string!] /full "Prepends current dir for full path (for relative paths only)"
        return: [string!])spec"},
    {91, "enbase", enbase, R"spec("Encodes a string into a binary-coded string (BASE-64 default)"
        value [binary! string!] "If string, will be UTF8 encoded"
        /base "Binary base to use" base-value [integer!] "The base to convert from: 64, 58, 16, or 2")spec"},
    {89, "new-line", new_line, R"spec("Sets or clears the new-line marker within a list series"
        position [any-list!] "Position to change marker (modified)"
        value [logic!] "Set TRUE for newline"
        /all "Set/clear marker to end of series"
        /skip "Set/clear marker periodically to the end of the series"
        size [integer!] return: [any-list!])spec"},
    {90, "new-line?", new_line_q, R"spec("Returns the state of the new-line marker within a list series"
        position [any-list!] "Position to check marker" return: [logic!])spec"},
    {98, "as", as, R"spec("Coerce a series into a compatible datatype without copying it"
        type [datatype! block! paren! any-path! any-string!] "The datatype or example value"
        spec [block! paren! any-path! any-string!] "The series to coerce")spec"},
};

}  // namespace

std::span<const Definition> output_natives() { return kOutput; }

void print_string(const Cell* value, bool newline) {
  gui::before_print();
  const SeriesBuffer* s = memory::series(value->node());
  uint32_t unit = s->unit();
  if (unit == 1 || unit == 2 || unit == 4) {
    uint64_t start = s->offset + static_cast<uint64_t>(value->head() < 0 ? 0 : value->head()) * unit;
    if (start < s->tail) output::write_string_units(s->data() + start, unit, (s->tail - start) / unit);
    if (newline) output::write_line_end();
  } else {
    output::write_string_units(nullptr, unit, 0);
  }
  gui::after_print();
}


}  // namespace qel::natives
