// error!: making errors (from a catalog code, a block, an integer or a
// string), the message builder and the report, mold, paths, comparison and
// the error! row.
#include "datatypes/error.h"

#include <algorithm>

#include "core/cycle_guard.h"
#include "evaluator/interpreter.h"
#include "core/stack.h"
#include "memory/series.h"
#include "runtime/output.h"
#include "values/actions.h"
#include "datatypes/block.h"
#include "values/context.h"
#include "datatypes/logic.h"
#include "datatypes/object.h"
#include "datatypes/object_internal.h"
#include "datatypes/string.h"
#include "datatypes/word.h"

namespace qel::error {

namespace {

// Field values are cut to these many characters in a message and in the
// Near and Files lines.
constexpr int32_t kArgumentCut = 80;
constexpr int32_t kNearCut = 40;

inline Cell* values_of(const Cell* err) { return context::values(err->data1); }

// A word cell made into a plain word! (flags dropped).
Cell plain_word(Cell w) {
  w.header = static_cast<uint32_t>(TypeId::word);
  return w;
}

// The index of a word's symbol among a context's words (case-insensitive),
// or -1.
int32_t index_in(Node ctx, const Cell* word) {
  if (!is_any_word(word->type())) return -1;
  return context::find_word(ctx, word->symbol(), context::Case::insensitive);
}

// A new error! in a pushed slot: a plain copy of the prototype.
Cell* push_blank() {
  Cell* result = stack::push_slot();
  set_unset(result);
  Cell proto = *prototype();
  object::copy_object(&proto, result, nullptr, false, nullptr, false);
  result->header = static_cast<uint32_t>(TypeId::error);
  result->data2 = static_cast<uint32_t>(object::kErrorClass);
  result->data3 = 0;
  object::store_self(result);
  return result;
}

void set_code_fields(Cell* err, int32_t category, int32_t id_index) {
  Cell* v = values_of(err);
  set_integer(v + kCode, category * 100 + id_index - 2);
  v[kType] = category_word(category);
  v = values_of(err);
  v[kId] = id_word(category, id_index);
}

void set_near(Cell* err) {
  Cell near = interpreter::position;
  near.clear_flag(cell_flag::new_line);
  values_of(err)[kNear] = near;
}

// A value of `system/state` (null when system or the field does not exist).
const Cell* system_state(std::string_view name) { return object::system_field({"state", name}); }

int32_t stack_trace_depth() {
  const Cell* d = system_state("stack-trace");
  return d && d->is(TypeId::integer) ? d->integer() : 0;
}

// Forms or molds (flat, only) a value into the buffer, cut at `cut`
// characters; returns the limit less what stayed.
int32_t write_cut(Cell* buffer, const Cell* value, bool mold, bool only, int32_t cut,
                  int32_t limit) {
  Cell v = *value;
  if (v.type() == TypeId::none_id) set_unset(&v);
  const int32_t start = string::buffer_length(string::buffer(buffer));
  // A value formed inside a report that is itself cut gets no more room
  // than is left, so that an error holding itself ends. The room is given
  // as a /part too, so that a block stops being walked once it is used
  // (a report near a block of millions of values molded all of them).
  const int32_t part = std::min(cut, limit);
  Cell part_cell;
  set_integer(&part_cell, part);
  if (mold)
    actions::call_mold(&v, buffer, {.only = only, .flat = true}, &part_cell, part, 0);
  else
    actions::call_form(&v, buffer, &part_cell, part);
  SeriesBuffer* s = string::buffer(buffer);
  const int32_t written = string::buffer_length(s) - start;
  if (written > cut) string::truncate_buffer(s, start + cut);
  return limit - std::min(written, cut);
}

// Writes the message of a block template; returns the limit left.
int32_t write_message_block(const Cell* tmpl, Cell* buffer, const Cell* err, bool syntax,
                            int32_t limit) {
  Cell t = *tmpl;
  const int32_t n = block::total_cells(&t);
  // Values are formed inside a frame named <body>, so an error raised while
  // forming one does not name the call that raised the error being reported.
  stack::Frame* const frame = stack::frame_top;
  Cell* const arguments = stack::arguments;
  Cell* const top = stack::top;
  stack::mark_native(interpreter::body_word());
  for (int32_t i = std::max(t.head(), 0); i < n; i++) {
    Cell item = *block::rs_abs_at(&t, i);
    if (item.is(TypeId::string)) {
      limit = actions::call_form(&item, buffer, nullptr, limit);
    } else if (item.is(TypeId::word) || item.is(TypeId::get_word)) {
      Cell v = *object::find_value(err, &item);
      limit = write_cut(buffer, &v, !syntax, false, kArgumentCut, limit);
    }
    if (i + 1 < n) limit = string::emit_char(buffer, ' ', limit);
  }
  stack::frame_top = frame;
  stack::arguments = arguments;
  stack::top = top;
  return limit;
}

// Turns the error into internal invalid-error with `culprit` in arg1.
void make_invalid(Cell* err, const Cell* culprit) {
  Cell c = *culprit;
  const int32_t invalid = static_cast<int32_t>(ErrorCode::internal_invalid_error);
  set_code_fields(err, invalid / 100, invalid % 100 + 2);
  values_of(err)[kArg1] = c;
}

}  // namespace

// --- making and reading ------------------------------------------------------------

Cell* create(ErrorCode code, const Cell* arg1, const Cell* arg2, const Cell* arg3) {
  const int32_t c = static_cast<int32_t>(code);
  Cell args[3];
  const Cell* given[3] = {arg1, arg2, arg3};
  for (int i = 0; i < 3; i++) args[i] = given[i] ? *given[i] : none_value;
  Cell* err = push_blank();
  set_code_fields(err, c / 100, c % 100 + 2);
  Cell* v = values_of(err);
  for (int i = 0; i < 3; i++) v[kArg1 + i] = args[i];
  set_near(err);
  // A syntax error met while no expression is evaluated (a script being
  // loaded before it runs) is near the source text it names, its last
  // argument, rather than near nothing.
  if (c / 100 == static_cast<int32_t>(ErrorCategory::syntax) && v[kNear].is(TypeId::unset)) {
    for (int i = 2; i >= 0; i--) {
      if (!given[i]) continue;
      v[kNear] = args[i];
      break;
    }
  }
  return err;
}

Cell* create_from_words(const Cell* category, const Cell* id, const Cell* arg1,
                        const Cell* arg2, const Cell* arg3) {
  Cell* saved = stack::top;
  Cell* spec = block::push_only(2);
  block::rs_append(spec, category);
  block::rs_append(spec, id);
  Cell dt;
  set_datatype(&dt, TypeId::error);
  Cell s = *spec;
  Cell err = *make(&dt, &s, TypeId::error);
  const Cell* given[3] = {arg1, arg2, arg3};
  for (int i = 0; i < 3; i++)
    if (given[i]) values_of(&err)[kArg1 + i] = *given[i];
  stack::top = saved;
  return stack::push(&err);
}

Cell* field(const Cell* err, Field f) { return values_of(err) + f; }

int32_t code_of(const Cell* err) {
  if (!object::is_object_like(err->type())) return -1;
  const Cell* c = field(err, kCode);
  return c->is(TypeId::integer) ? c->integer() : -1;
}

SymbolId get_type(const Cell* err) {
  const Cell* c = field(err, kType);
  return is_any_word(c->type()) ? c->symbol() : 0;
}

SymbolId get_id(const Cell* err) {
  const Cell* c = field(err, kId);
  return is_any_word(c->type()) ? c->symbol() : 0;
}

void store_where(Cell* err, const Cell* value) {
  if (!err->is(TypeId::error)) return;
  Cell* w = field(err, kWhere);
  if (w->is(TypeId::none)) {
    *w = *value;
    w->clear_flag(cell_flag::new_line);
  }
}

void store_stack_position(Cell* err, int32_t position) {
  if (!err->is(TypeId::error)) return;
  Cell* s = field(err, kStack);
  if (!s->is(TypeId::block)) set_integer(s, position);
}

void capture_stack(Cell* err) {
  if (!err->is(TypeId::error) || !field(err, kStack)->is(TypeId::integer)) return;
  int32_t depth = stack_trace_depth();
  if (depth < 1) depth = 1;
  const int32_t position = field(err, kStack)->integer();
  const stack::Frame* end =
      stack::frame_bottom + std::clamp<int32_t>(position, 0, static_cast<int32_t>(stack::frame_count()));
  Cell* blk = block::push_only(20);
  stack::trace_calls(depth, blk->node(), end);
  *field(err, kStack) = *blk;
  const Cell* files = system_state("source-files");
  if (files && files->is(TypeId::block) && block::rs_length_q(files) > 0) {
    Cell f = *files;
    Cell copy;
    block::clone_into(&f, &copy, block::Deep::no, block::AnyBlock::no);
    *field(err, kFiles) = copy;
  }
  stack::pop(1);
}

// --- the report ------------------------------------------------------------------------

int32_t form(Cell* value, Cell* buffer, Cell*, int32_t limit) {
  // Nothing more fits (a report formed inside a report that is cut).
  if (limit <= 0) return limit;
  Cell err = *value;
  limit = string::emit(buffer, "*** ", limit);
  const Node cats = categories_context();
  int32_t category = index_in(cats, field(&err, kType));
  if (category < 0) {
    make_invalid(&err, field(&err, kType));
    category = static_cast<int32_t>(ErrorCategory::internal);
  }
  Node cat_ctx = category_context(category);
  int32_t id = index_in(cat_ctx, field(&err, kId));
  if (id < 2) {
    make_invalid(&err, field(&err, kId));
    category = static_cast<int32_t>(ErrorCategory::internal);
    cat_ctx = category_context(category);
    id = index_in(cat_ctx, field(&err, kId));
  }
  Cell tmpl = context::values(cat_ctx)[id];
  const bool from_field = tmpl.is(TypeId::word);
  if (from_field) tmpl = *object::find_value(&err, &tmpl);
  const bool syntax = category == static_cast<int32_t>(ErrorCategory::syntax);
  Cell type_text = context::values(cat_ctx)[1];
  limit = actions::call_form(&type_text, buffer, nullptr, limit);
  limit = string::emit(buffer, ": ", limit);
  if (tmpl.is(TypeId::string)) {
    limit = actions::call_form(&tmpl, buffer, nullptr, limit);
  } else if (tmpl.is(TypeId::block)) {
    limit = write_message_block(&tmpl, buffer, &err, syntax, limit);
  } else if (from_field) {
    // A field that holds no text (cause-error 'user 'message [42]) is the
    // message as a block template would write it.
    limit = write_cut(buffer, &tmpl, !syntax, false, kArgumentCut, limit);
  } else {
    Cell previous = *field(&err, kType);
    make_invalid(&err, &previous);
  }

  limit = string::emit(buffer, "\n*** Where: ", limit);
  Cell where = *field(&err, kWhere);
  if (where.is(TypeId::word))
    limit = actions::call_form(&where, buffer, nullptr, limit);
  else if (where.is(TypeId::string))
    limit = actions::call_form(&where, buffer, nullptr, limit);
  else
    limit = string::emit(buffer, "???", limit);

  limit = string::emit(buffer, "\n*** Near : ", limit);
  limit = write_cut(buffer, field(&err, kNear), true, true, kNearCut, limit);

  const int32_t depth = stack_trace_depth();
  if (depth > 0) {
    Cell s = *field(&err, kStack);
    if (s.is(TypeId::integer)) {
      limit = string::emit(buffer, "\n*** Stack: ", limit);
      const stack::Frame* end =
          stack::frame_bottom +
          std::clamp<int32_t>(s.integer(), 0, static_cast<int32_t>(stack::frame_count()));
      limit = stack::form_calls(depth, end, buffer, limit);
    } else if (s.is(TypeId::block)) {
      limit = string::emit(buffer, "\n*** Stack: ", limit);
      limit = actions::call_form(&s, buffer, nullptr, limit);
    }
  }
  Cell files = *field(&err, kFiles);
  if (files.is(TypeId::block)) {
    limit = string::emit(buffer, "\n*** Files: ", limit);
    limit = write_cut(buffer, &files, true, true, kNearCut, limit);
  }
  return limit;
}

std::string form_report(const Cell* err) {
  Cell* saved = stack::top;
  Cell v = *err;
  Cell* buffer = stack::push_slot();
  string::rs_make_at(buffer, 128);
  if (v.is(TypeId::error)) {
    form(&v, buffer, nullptr, string::kNoLimit);
  } else {
    string::emit(buffer, "*** ", string::kNoLimit);
    actions::call_form(&v, buffer, nullptr, string::kNoLimit);
  }
  std::string out;
  string::to_utf8(buffer, out);
  stack::top = saved;
  return out;
}

void create_and_print(ErrorCode code, const Cell* arg1, const Cell* arg2, const Cell* arg3) {
  stack::Frame* const frame = stack::frame_top;
  Cell* const arguments = stack::arguments;
  Cell* const top = stack::top;
  stack::mark_native(interpreter::body_word());
  Cell* err = create(code, arg1, arg2, arg3);
  std::string text = form_report(err);
  output::write_utf8(text);
  output::write_line_end();
  stack::frame_top = frame;
  stack::arguments = arguments;
  stack::top = top;
}

// --- make ----------------------------------------------------------------------------------

Cell* make(Cell*, Cell* spec, TypeId) {
  if (spec->is(TypeId::string)) {
    Cell text = *spec;
    return create(ErrorCode::user_message, &text);
  }
  if (!spec->is(TypeId::integer) && !spec->is(TypeId::block)) {
    Cell dt;
    set_datatype(&dt, TypeId::error);
    fire(ErrorCode::script_bad_make_arg, &dt, spec);
  }
  const Cell s = *spec;
  Cell* err = push_blank();
  const Node cats = categories_context();
  if (s.is(TypeId::integer)) {
    const int32_t code = s.integer();
    const int32_t category = code / 100;
    const int32_t id = code % 100 + 2;
    if (code < 0 || category >= kCategoryCount ||
        static_cast<uint32_t>(id) >= context::word_count(category_context(category)))
      fire(ErrorCode::script_out_of_range, &s);
    set_code_fields(err, category, id);
  } else {
    auto spec_field = [](const char* name) {
      Cell w = word::load(name);
      fire(ErrorCode::script_invalid_spec_field, &w);
    };
    const int32_t n = block::total_cells(&s);
    const int32_t head = std::max(s.head(), 0);
    const Cell first = head < n ? *block::rs_abs_at(&s, head) : none_value;
    int32_t category = -1;
    int32_t id = -1;
    if (first.is(TypeId::word)) {
      category = index_in(cats, &first);
      if (category < 0) spec_field("type");
      if (head + 1 >= n) spec_field("id");
      const Cell second = *block::rs_abs_at(&s, head + 1);
      if (!second.is(TypeId::word)) fire(ErrorCode::script_invalid_arg, &second);
      id = index_in(category_context(category), &second);
      if (id < 2) spec_field("id");
      Cell* v = values_of(err);
      v[kType] = plain_word(first);
      v[kId] = plain_word(second);
    } else if (first.is(TypeId::set_word)) {
      Cell body = s;
      context::bind(&body, err->data1, context::SelfRef::no);
      object::eval_block(&body);
      Cell type = *field(err, kType);
      category = type.is(TypeId::word) ? index_in(cats, &type) : -1;
      if (category < 0) spec_field("type");
      Cell idw = *field(err, kId);
      id = idw.is(TypeId::word) ? index_in(category_context(category), &idw) : -1;
      if (id < 2) spec_field("id");
    } else {
      fire(ErrorCode::internal_invalid_error);
    }
    set_integer(field(err, kCode), category * 100 + id - 2);
  }
  set_near(err);
  object::store_self(err);
  return err;
}

// --- mold, paths, compare --------------------------------------------------------------------

int32_t mold(Cell* value, Cell* buffer, bool only, bool all, bool flat, Cell* part, int32_t limit,
             int32_t indent) {
  // An error met again inside itself (an argument holding the error) is
  // written as a marker, as an object is.
  if (cycle_guard::detect(value, buffer, limit, cycle_guard::Output::mold)) return limit;
  if (!only) limit = string::emit(buffer, "make error! [", limit);
  object::FieldsStyle style;
  style.only = only;
  style.all = all;
  style.flat = flat;
  style.indent = true;
  style.level = indent + 1;
  style.leading_newline = true;
  limit = object::serialize(value, buffer, part, limit, style);
  // Back to the caller's level before the closing bracket, as an object
  // does; a flat mold writes no indentation at all.
  if (!flat && indent > 0) limit = string::indent(buffer, indent, limit);
  if (!only) limit = string::emit_char(buffer, ']', limit);
  return limit;
}

Cell* eval_path(Cell* parent, Cell* element, Cell* value, const PathStep& step) {
  return object::eval_path(parent, element, value, step);
}

int32_t compare(Cell* value1, Cell* value2, CompareOp op) {
  if (!value2->is(TypeId::error)) return kNotComparable;
  Cell a = *value1;
  Cell b = *value2;
  a.set_type(TypeId::object);
  b.set_type(TypeId::object);
  return object::compare(&a, &b, op);
}

namespace {

// The value of a word when it can be read without raising an error, else
// null: the lookup runs while an error is being raised.
const Cell* quiet_value(const Cell* word) {
  const Node ctx = word->context();
  const int32_t idx = word->word_index();
  if (!ctx || !memory::is_live_node(ctx) || idx < 0) return nullptr;
  const Cell* vals = context::values(ctx);
  if (!vals) return nullptr;
  const Cell* cc = context::context_cell(ctx);
  const uint32_t room =
      context::on_stack(cc)
          ? (vals < stack::top ? static_cast<uint32_t>(stack::top - vals) : 0)
          : memory::series(cc->data2)->length();
  return static_cast<uint32_t>(idx) < room ? vals + idx : nullptr;
}

// The word of argument `index` (0-based) of the innermost call's spec:
// word!, lit-word!, get-word! and refinement! entries count. `<anon>` when
// the call's value is not a function or its spec is shorter.
Cell call_argument(int32_t index) {
  Cell result;
  word::make_at_symbol(stack::anon_symbol, &result);
  const Cell where = stack::get_call();
  if (!is_any_word(where.type())) return result;
  const Cell* fn = quiet_value(&where);
  if (!fn || !is_any_function(fn->type()) || !fn->data2) return result;
  SeriesBuffer* spec = memory::series(fn->data2);
  const Cell* c = spec->cells();
  const Cell* end = spec->cell_tail();
  for (int32_t n = 0; c < end; c++) {
    const TypeId t = c->type();
    if (t != TypeId::word && t != TypeId::lit_word && t != TypeId::get_word &&
        t != TypeId::refinement)
      continue;
    if (n++ == index) {
      result = *c;
      result.reset_header(TypeId::word);
      return result;
    }
  }
  return result;
}

}  // namespace

void install_call_argument() { actions::call_argument = call_argument; }

void register_() {
  static constexpr ActionRow row{
      .make = make,
      .form = form,
      .mold = mold,
      .eval_path = eval_path,
      .compare = compare,
      .put = unsupported,
      .modify = unsupported,
  };
  datatype::register_type(TypeId::error, TypeId::object, "error!", row);
}

}  // namespace qel::error
