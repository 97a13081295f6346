// word! and its subtypes: making words, access routines, actions and
// registration.
#include "datatypes/word.h"

#include "core/stack.h"
#include "memory/series.h"
#include "text/unicode.h"
#include "values/context.h"
#include "values/datatype.h"
#include "core/errors.h"
#include "datatypes/logic.h"
#include "memory/root.h"
#include "datatypes/string.h"
#include "runtime/startup_slots.h"

namespace qel {

namespace {

// The scanner used until the lexer installs its own: accepts a plain word
// spelling only (no delimiters, blanks or leading digit), answering word!.
TypeId plain_word_scan(std::string_view text) {
  if (text.empty()) return TypeId::none_id;
  const unsigned char first = static_cast<unsigned char>(text[0]);
  if (first >= '0' && first <= '9') return TypeId::none_id;
  for (unsigned char ch : text) {
    if (ch <= ' ') return TypeId::none_id;
    switch (ch) {
      case '[': case ']': case '(': case ')': case '{': case '}': case '"': case ';':
      case '/': case ':': case '\'': case '@': case '#': case '$': case '%': case ',':
      case '<': case '>':
        return TypeId::none_id;
      default:
        break;
    }
  }
  return TypeId::word;
}

inline Cell* ctx_values_or_fail(Node ctx, int32_t index) {
  Cell* v = context::values(ctx);
  if (!v) {
    Cell w = *context::word_cell(ctx, index);
    fire(ErrorCode::script_not_defined, &w);
  }
  return v;
}

}  // namespace

namespace word {

ScanFn scan_hook = plain_word_scan;

namespace {
bool recording = false;
}  // namespace

void set_recording(bool on) { recording = on; }
bool recording_q() { return recording; }

// --- making

Cell load(std::string_view name) {
  SymbolId sym = symbol::make(name);
  Cell w = context::add_global_word(sym, context::Case::insensitive, context::KeepSpelling::yes);
  // While start-up records, a copy stays in the root block (case variants
  // carry their own spelling only in such copies).
  if (recording) root::append(w);
  return w;
}

Cell* make_at_symbol(SymbolId sym, Cell* c) {
  Cell w{static_cast<uint32_t>(TypeId::word), 0, sym, static_cast<uint32_t>(-1)};
  int32_t idx = context::add_word(context::global, &w);
  return set_word_cell(c, TypeId::word, context::global, sym, idx);
}

Cell* push_symbol(SymbolId sym) {
  Cell w;
  make_at_symbol(sym, &w);
  return stack::push(&w);
}

// --- access by (context, index)

Cell* push_copy(const Cell* value) { return stack::push(value); }

Cell* word_at(Node ctx, int32_t index) { return context::word_cell(ctx, index); }

Cell* push_local(Node ctx, int32_t index) {
  Cell w = *word_at(ctx, index);
  return stack::push(&w);
}

Cell* get_in(Node ctx, int32_t index) {
  return memory::series(context::context_cell(ctx)->data2)->cells() + index;
}

Cell* push_local_value(Node ctx, int32_t index) {
  Cell* v = ctx_values_or_fail(ctx, index);
  Cell value = v[index];
  return stack::push(&value);
}

void assign_local(Node ctx, int32_t index) {
  Cell value = *stack::get_top();
  Cell* slot = get_in(ctx, index);
  Cell old = *slot;
  stack::push(&old);
  slot = get_in(ctx, index);
  *slot = value;
  if (context::kind(context::context_cell(ctx)) == context::Kind::object)
    word_at(ctx, index)->set_flag(cell_flag::assigned);
}

void replace_local(Node ctx, int32_t index) {
  *get_in(ctx, index) = *stack::get_top();
  if (context::kind(context::context_cell(ctx)) == context::Kind::object)
    word_at(ctx, index)->set_flag(cell_flag::assigned);
}

// --- get and set

Cell* get(const Cell* word) {
  Cell value = *context::get(word);
  if (value.is(TypeId::unset)) fire(ErrorCode::script_no_value, word);
  return stack::push(&value);
}

Cell* set_from_stack() {
  Cell* w = stack::arguments;
  Cell* value = stack::arguments + 1;
  if (value->is(TypeId::unset)) fire(ErrorCode::script_need_value, w);
  Cell word = *w;
  context::set(&word, value);
  return stack::set_last(value);
}

void set(Cell* word) {
  Cell value = *stack::get_top();
  if (value.is(TypeId::unset)) fire(ErrorCode::script_need_value, word);
  context::set(word, &value);
  stack::reset();
}

void set_in_context(Node ctx, int32_t index) {
  Cell* v = ctx_values_or_fail(ctx, index);
  v[index] = *stack::get_top();
  if (context::kind(context::context_cell(ctx)) == context::Kind::object)
    word_at(ctx, index)->set_flag(cell_flag::assigned);
  stack::reset();
}

// --- names

Cell* symbol_cell(const Cell* word) { return symbol::get(word->symbol()); }

Cell* push_name(const Cell* word) {
  Node n = symbol::string_node(word->symbol());
  Cell* c = stack::push_slot();
  set_series(c, TypeId::string, n);
  return c;
}

std::string_view spelling(const Cell* word) { return symbol::name(word->symbol()); }

TypeId scan_type(const Cell* word) { return scan_hook(spelling(word)); }

// --- actions

namespace {
[[noreturn]] void bad_to(TypeId type, const Cell* spec) {
  Cell dt;
  set_datatype(&dt, type);
  fire(ErrorCode::script_bad_to_arg, &dt, spec);
}

// The code points the loader skips before a token besides ASCII blanks (a
// word spelled after one would load as another word).
bool skipped_space(uint32_t cp) { return cp >= 0x80 && (string::is_white(cp) || cp == 0x200B || cp == 0x200C); }

// Makes a word of the given type from text: the text must scan as a word
// type, and the word made must load back as itself (as that type, with that
// spelling): "/1" is no word!, "=" no set-word! ("1" and "=:" load as other
// values).
void word_from_text(Cell* out, const Cell* text, TypeId type) {
  std::string utf8;
  string::to_utf8(text, utf8);
  // Blanks and control characters around the word are not part of it (the
  // text loads as the word alone): " a" is the word a, not a word spelled
  // with a space that would mold as something else.
  std::string_view name = utf8;
  auto blank = [](char c) { return c != 0 && static_cast<unsigned char>(c) <= 32; };
  while (!name.empty() && blank(name.front())) name.remove_prefix(1);
  while (!name.empty() && blank(name.back())) name.remove_suffix(1);
  TypeId t = scan_hook(name);
  if (!is_any_word(t)) fire(ErrorCode::script_invalid_chars);
  // Strip the decoration the scanner recognised.
  switch (t) {
    case TypeId::set_word:
      name.remove_suffix(1);
      break;
    case TypeId::lit_word:
    case TypeId::get_word:
    case TypeId::refinement:
    case TypeId::issue:
      name.remove_prefix(1);
      break;
    default:
      break;
  }
  uint32_t n = static_cast<uint32_t>(name.size());
  if (name.empty() ||
      skipped_space(static_cast<uint32_t>(
          unicode::decode_utf8_char_checked(reinterpret_cast<const uint8_t*>(name.data()), &n))))
    fire(ErrorCode::script_invalid_chars);
  std::string molded(name);
  switch (type) {
    case TypeId::set_word: molded += ':'; break;
    case TypeId::lit_word: molded.insert(0, 1, '\''); break;
    case TypeId::get_word: molded.insert(0, 1, ':'); break;
    case TypeId::refinement: molded.insert(0, 1, '/'); break;
    default: break;
  }
  if (scan_hook(molded) != type) fire(ErrorCode::script_invalid_chars);
  *out = load(name);
}
}  // namespace

Cell* make(Cell* proto, Cell* spec, TypeId type) {
  Cell result;
  switch (spec->type()) {
    case TypeId::datatype: {
      // A type not registered yet has no word in its record: its word is
      // made from the name of its fixed id.
      const TypeId t = datatype::named(spec);
      result = datatype::record(t).word;
      if (!result.is(TypeId::word)) {
        const char* name = type_name(t);
        if (!name) bad_to(type, spec);
        result = load(name);
      }
      break;
    }
    case TypeId::logic:
      result = load(spec->logic() ? "true" : "false");
      break;
    case TypeId::string:
      word_from_text(&result, spec, type);
      break;
    case TypeId::char_: {
      Cell text;
      string::rs_make_at(&text, 4);
      string::append_char(string::buffer(&text), spec->integer() < 0 ? 0 : spec->data3);
      word_from_text(&result, &text, type);
      break;
    }
    case TypeId::word:
    case TypeId::set_word:
    case TypeId::lit_word:
    case TypeId::get_word:
      result = *spec;
      break;
    case TypeId::refinement:
    case TypeId::issue: {
      TypeId t = scan_type(spec);
      if (t != TypeId::word && t != TypeId::set_word && t != TypeId::lit_word &&
          t != TypeId::get_word)
        bad_to(type, spec);
      result = *spec;
      context::bind_word(context::global, &result);
      break;
    }
    default:
      bad_to(type, spec);
  }
  result.reset_header(type);
  *proto = result;
  return proto;
}

int32_t form(Cell* value, Cell* buffer, Cell*, int32_t limit) {
  Cell* sym = symbol::get(value->symbol());
  Cell name;
  set_series(&name, TypeId::string, sym->data2);
  string::concatenate(buffer, &name, -1, 0, string::Keep::yes, string::Mode::append);
  return limit - string::get_rest_length(&name);
}

int32_t mold(Cell* value, Cell* buffer, bool, bool, bool, Cell* part, int32_t limit, int32_t) {
  return form(value, buffer, part, limit);
}

int32_t compare(Cell* value1, Cell* value2, CompareOp op) {
  const TypeId t1 = value1->type(), t2 = value2->type();
  if (!is_any_word(t2) || (t2 == TypeId::issue && t1 != TypeId::issue)) return kNotComparable;
  const SymbolId s1 = value1->symbol(), s2 = value2->symbol();
  const bool word_vs_lit = (t1 == TypeId::word && t2 == TypeId::lit_word) ||
                           (t1 == TypeId::lit_word && t2 == TypeId::word);
  bool equal;
  switch (op) {
    case CompareOp::same:
      equal = s1 == s2 && value1->context() == value2->context() && t1 == t2;
      break;
    case CompareOp::parse_strict_equal:
      equal = word_vs_lit ? s1 == s2 : (t1 == t2 && s1 == s2);
      break;
    case CompareOp::strict_equal:
      equal = t1 == t2 && s1 == s2;
      break;
    case CompareOp::parse_equal:
      equal = word_vs_lit ? symbol::resolve(s1) == symbol::resolve(s2)
                          : (t1 == t2 && symbol::resolve(s1) == symbol::resolve(s2));
      break;
    case CompareOp::equal:
    case CompareOp::not_equal:
    case CompareOp::find:
      equal = symbol::resolve(s1) == symbol::resolve(s2);
      break;
    default: {
      // Orderings (and sorting) compare the spellings as strings.
      Cell a, b;
      set_series(&a, TypeId::string, symbol::string_node(s1));
      set_series(&b, TypeId::string, symbol::string_node(s2));
      return string::compare_values(&a, &b, op);
    }
  }
  return equal ? 0 : 1;
}

void index_q() {
  Cell* w = stack::arguments;
  const int32_t idx = w->word_index();
  if (idx < 0)
    set_none(w);
  else
    set_integer(w, idx + 1);
}

void register_() {
  static constexpr ActionRow word_row{
      .make = make,
      .to = make,
      .form = form,
      .mold = mold,
      .compare = compare,
      .index_q = index_q,
  };
  datatype::register_type(TypeId::word, TypeId::symbol, "word!", word_row);
}

}  // namespace word

// --- subtypes

namespace {
constexpr ActionRow subtype_row(action_fn::mold mold, bool index_q) {
  ActionRow r{
      .make = inherit,
      .to = inherit,
      .form = inherit,
      .mold = mold,
      .compare = inherit,
  };
  if (index_q) r.index_q = inherit;
  return r;
}
}  // namespace

namespace set_word {
int32_t mold(Cell* value, Cell* buffer, bool, bool, bool, Cell* part, int32_t limit, int32_t) {
  limit = word::form(value, buffer, part, limit);
  return string::emit(buffer, ":", limit);
}
void register_() {
  static constexpr ActionRow row = subtype_row(mold, true);
  datatype::register_type(TypeId::set_word, TypeId::word, "set-word!", row);
}
}  // namespace set_word

namespace lit_word {
int32_t mold(Cell* value, Cell* buffer, bool, bool, bool, Cell* part, int32_t limit, int32_t) {
  limit = string::emit(buffer, "'", limit);
  return word::form(value, buffer, part, limit);
}
void register_() {
  static constexpr ActionRow row = subtype_row(mold, true);
  datatype::register_type(TypeId::lit_word, TypeId::word, "lit-word!", row);
}
}  // namespace lit_word

namespace get_word {
int32_t mold(Cell* value, Cell* buffer, bool, bool, bool, Cell* part, int32_t limit, int32_t) {
  limit = string::emit(buffer, ":", limit);
  return word::form(value, buffer, part, limit);
}
Cell* push(const Cell* w) {
  Cell* c = stack::push(w);
  c->set_type(TypeId::get_word);
  return c;
}
Cell* push_local(Node ctx, int32_t index) {
  Cell w = *context::word_cell(ctx, index);
  return push(&w);
}
Cell* get(const Cell* w) {
  Cell value = *context::get(w);
  return stack::push(&value);
}
void register_() {
  static constexpr ActionRow row = subtype_row(mold, true);
  datatype::register_type(TypeId::get_word, TypeId::word, "get-word!", row);
}
}  // namespace get_word

namespace refinement {
int32_t mold(Cell* value, Cell* buffer, bool, bool, bool, Cell* part, int32_t limit, int32_t) {
  limit = string::emit(buffer, "/", limit);
  return word::form(value, buffer, part, limit);
}
Cell load(std::string_view name) {
  Cell r{static_cast<uint32_t>(TypeId::refinement), 0, symbol::make(name),
         static_cast<uint32_t>(-1)};
  root::append(r);
  return r;
}
Cell* push(const Cell* w) {
  Cell* c = stack::push(w);
  c->set_type(TypeId::refinement);
  return c;
}
Cell* push_local(Node ctx, int32_t index) {
  Cell* c = word::push_local(ctx, index);
  c->reset_header(TypeId::refinement);
  return c;
}
void register_() {
  static constexpr ActionRow row = subtype_row(mold, false);
  datatype::register_type(TypeId::refinement, TypeId::word, "refinement!", row);
}
}  // namespace refinement

}  // namespace qel
