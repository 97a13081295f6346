// The spec cache: a function value's spec read once, at its first call,
// into argument descriptors (the allowed types as a 64-bit mask, the
// argument's kind, a refinement's ordinal) kept after the fixed cells of
// its companion block, with a summary cell whose flags let calls by word
// take their short paths. A native's or action's spec is checked against
// its built-in's own before its first call. Also the type words as
// start-up left them, which a spec's type block still reads.
#include "evaluator/interpreter_internal.h"

#include <array>
#include <unordered_map>
#include <vector>

#include "datatypes/block.h"
#include "datatypes/logic.h"
#include "datatypes/typeset.h"
#include "lexer/lexer.h"
#include "values/symbol.h"

namespace qel::interpreter {

namespace {

// The types a spec's type block allows.
// The type bits of a datatype! or typeset! value; false for another value.
bool type_bits(const Cell& v, uint64_t* m) {
  if (v.is(TypeId::datatype)) {
    *m |= uint64_t{1} << (static_cast<uint32_t>(datatype::named(&v)) & 63);
    return true;
  }
  if (!v.is(TypeId::typeset)) return false;
  typeset::Bits b = typeset::get(&v);
  for (int t = 1; t < 64; t++)
    if (b.has(static_cast<TypeId>(t))) *m |= uint64_t{1} << t;
  return true;
}

// The type words as start-up left them: the canonical symbol of each global
// word holding a datatype or typeset, with its bits (note_type_words).
std::unordered_map<SymbolId, uint64_t>& start_type_words() {
  static std::unordered_map<SymbolId, uint64_t> words;
  return words;
}

uint64_t types_of_block(const Cell& blk) {
  uint64_t m = 0;
  SeriesBuffer* s = buf(blk);
  int32_t n = static_cast<int32_t>(s->length());
  for (int32_t i = blk.head() < 0 ? 0 : blk.head(); i < n; i++) {
    Cell item = buf(blk)->cells()[i];
    Cell v = item;
    if (item.is(TypeId::word)) {
      Cell* p = peek_value(&item);
      v = p ? *p : unset_value;
    }
    if (type_bits(v, &m)) continue;
    if (v.is(TypeId::word)) {
      m |= bit(TypeId::object);
      continue;
    }
    if (v.is(TypeId::block)) continue;
    // A type word a script has set to another value (integer!: 1) still
    // names the type it named at start-up: the built-ins' specs use them.
    if (item.is(TypeId::word)) {
      const auto& words = start_type_words();
      auto it = words.find(symbol::resolve(item.symbol()));
      if (it != words.end()) {
        m |= it->second;
        continue;
      }
    }
    fire(ErrorCode::script_invalid_type_spec, &item);
  }
  return m;
}

// The companion block of a function value and the cell count of its fixed
// part (the descriptors follow it).
inline Node companion_of(const Cell* fn, int32_t* fixed) {
  TypeId t = fn->is(TypeId::op) ? op::wrapped(fn) : fn->type();
  if (t == TypeId::function || t == TypeId::routine) {
    *fixed = function::kExtras;
    return fn->data3;
  }
  *fixed = 2;
  return fn->data3;
}

// The argument descriptors a spec declares (arguments and refinements in
// spec order, /local excluded), its refinement count and the call slots
// /local adds.
struct SpecShape {
  std::vector<Cell> descriptors;
  int32_t refinements = 0;
  int32_t locals = 0;
};

SpecShape spec_shape(const Cell& spec) {
  SpecShape shape;
  std::vector<Cell>& descriptors = shape.descriptors;
  int32_t& refinements = shape.refinements;
  int32_t n = tail_of(spec);
  for (int32_t i = 0; i < n; i++) {
    Cell item = *at(spec, i);
    TypeId t = item.type();
    ArgKind kind;
    if (t == TypeId::word)
      kind = ArgKind::normal;
    else if (t == TypeId::lit_word)
      kind = ArgKind::quoted;
    else if (t == TypeId::get_word)
      kind = ArgKind::literal;
    else if (t == TypeId::refinement) {
      if (symbol::resolve(item.symbol()) == symbol::resolve(sym_local)) {
        shape.locals = 1;
        for (int32_t k = i + 1; k < n; k++)
          if (at(spec, k)->is(TypeId::word)) shape.locals++;
        break;
      }
      refinements++;
      descriptors.push_back(Cell{
          static_cast<uint32_t>(TypeId::integer), 0, 0,
          static_cast<uint32_t>(ArgKind::refinement) | (static_cast<uint32_t>(refinements) << 8)});
      continue;
    } else if (t == TypeId::set_word) {
      // return: and its type block are not arguments.
      if (i + 1 < n && at(spec, i + 1)->is(TypeId::block)) i++;
      continue;
    } else {
      if (t != TypeId::string && t != TypeId::block) fire(ErrorCode::script_bad_func_def, &spec);
      continue;
    }
    uint64_t types = kDefaultTypes;
    if (i + 1 < n && at(spec, i + 1)->is(TypeId::block)) {
      Cell blk = *at(spec, i + 1);
      if (block::rs_length_q(&blk) > 0) types = types_of_block(blk);
      i++;
    }
    descriptors.push_back(Cell{static_cast<uint32_t>(TypeId::integer), static_cast<uint32_t>(types),
                               static_cast<uint32_t>(types >> 32), static_cast<uint32_t>(kind)});
  }
  return shape;
}

// A built-in's entry reads its arguments by position and trusts their
// types, so a native! or action! whose spec (made by make native!, or
// changed through spec-of before the first call) does not declare the
// arguments of its built-in is refused before it is called: the same
// arguments, kinds and refinements, each allowing no type the built-in's
// own spec does not. The built-ins' shapes are read from their spec texts
// once. A native index without an entry raises not-done and reads nothing.
bool fits_builtin(TypeId t, uint32_t index, const SpecShape& shape) {
  static std::array<std::vector<Cell>, natives::kTableSize + kActionCount + 1> references;
  static std::array<bool, natives::kTableSize + kActionCount + 1> known{};
  const char* text = nullptr;
  size_t slot = 0;
  if (t == TypeId::native) {
    if (index < 1 || index > static_cast<uint32_t>(natives::kTableSize)) return false;
    text = natives::spec_text(static_cast<int32_t>(index));
    if (!text) return true;
    slot = index;
  } else {
    if (index < 1 || index > static_cast<uint32_t>(kActionCount)) return false;
    text = natives::action_spec_text(static_cast<int32_t>(index));
    if (!text) return false;
    slot = natives::kTableSize + index;
  }
  // The types a value can have: abstract types' bits do not count (a plain
  // argument allows them all).
  static uint64_t concrete = 0;
  auto scan_text = [](const char* t) {
    Cell* spec = stack::push_slot();
    set_none(spec);
    lexer::ScanOptions options;
    lexer::scan(spec, reinterpret_cast<const uint8_t*>(t), static_cast<uint32_t>(std::strlen(t)),
                options);
    return spec;
  };
  if (!concrete) {
    Cell* saved = stack::top;
    concrete = types_of_block(*scan_text("any-type!"));
    stack::top = saved;
  }
  if (!known[slot]) {
    Cell* saved = stack::top;
    SpecShape ref = spec_shape(*scan_text(text));
    stack::top = saved;
    // The refinement count and locals travel in one last cell.
    ref.descriptors.push_back(Cell{static_cast<uint32_t>(TypeId::integer),
                                   static_cast<uint32_t>(ref.refinements),
                                   static_cast<uint32_t>(ref.locals), 0});
    references[slot] = std::move(ref.descriptors);
    known[slot] = true;
  }
  const std::vector<Cell>& ref = references[slot];
  const size_t count = ref.size() - 1;
  if (shape.descriptors.size() != count || shape.locals != static_cast<int32_t>(ref[count].data2) ||
      shape.refinements != static_cast<int32_t>(ref[count].data1))
    return false;
  auto types = [](const Cell& c) { return c.data1 | (uint64_t{c.data2} << 32); };
  for (size_t i = 0; i < count; i++) {
    const Cell& d = shape.descriptors[i];
    const Cell& r = ref[i];
    if (d.data3 != r.data3 || (types(d) & ~types(r) & concrete)) return false;
  }
  return true;
}

CacheInfo build_cache(const Cell* fn) {
  Cell spec;
  set_series(&spec, TypeId::block, fn->data2, 0);
  // The descriptors are collected aside first: the argument stack's top may
  // be an infix call's left operand.
  SpecShape shape = spec_shape(spec);
  const TypeId called = fn->is(TypeId::op) ? op::wrapped(fn) : fn->type();
  if ((called == TypeId::native || called == TypeId::action) &&
      !fits_builtin(called, fn->data1, shape))
    fire(ErrorCode::script_bad_func_def, &spec);
  const std::vector<Cell>& descriptors = shape.descriptors;
  const int32_t refinements = shape.refinements;
  const int32_t locals = shape.locals;
  int32_t count = static_cast<int32_t>(descriptors.size());
  int32_t fixed = 0;
  Node node = companion_of(fn, &fixed);
  SeriesBuffer* s = memory::series(node);
  // The companion keeps exactly its fixed cells, then the descriptors.
  if (static_cast<int32_t>(s->length()) > fixed) s->tail = s->offset + fixed * sizeof(Cell);
  while (static_cast<int32_t>(memory::series(node)->length()) < fixed) set_unset(append_slot(node));
  for (int32_t i = 0; i < count; i++) *append_slot(node) = descriptors[static_cast<size_t>(i)];
  bool plain_head = true;
  uint32_t head = 0;
  for (const Cell& d : descriptors) {
    const uint32_t kind = d.data3 & 3;
    if (kind == static_cast<uint32_t>(ArgKind::refinement)) break;
    if (kind != static_cast<uint32_t>(ArgKind::normal)) plain_head = false;
    head++;
  }
  if (head >= (1u << (32 - kHeadShift))) plain_head = false;
  const bool plain = plain_head && refinements == 0;
  memory::series(node)->cells()[1] =
      Cell{static_cast<uint32_t>(TypeId::integer) | (plain ? kPlainCall : 0u) |
               (plain_head ? kPlainHead | (head << kHeadShift) : 0u),
           static_cast<uint32_t>(count), static_cast<uint32_t>(refinements),
           static_cast<uint32_t>(locals)};
  return {node, fixed - 1, count, refinements, locals, plain};
}

}  // namespace

CacheInfo spec_cache(const Cell* fn) {
  int32_t fixed = 0;
  Node node = companion_of(fn, &fixed);
  const Cell* summary = memory::series(node)->cells() + 1;
  if (!summary->is(TypeId::integer)) [[unlikely]]
    return build_cache(fn);
  return {node,
          fixed - 1,
          static_cast<int32_t>(summary->data1),
          static_cast<int32_t>(summary->data2),
          static_cast<int32_t>(summary->data3),
          (summary->header & kPlainCall) != 0};
}

Node words_of(const Cell* fn) {
  TypeId t = fn->is(TypeId::op) ? op::wrapped(fn) : fn->type();
  if (t == TypeId::function || t == TypeId::routine) return context::words_node(fn->data1);
  // The companion keeps a copy of the context cell: its word table's block.
  return static_cast<Node>(hashtable::record(native::companion(fn, native::kContext)->data1)->blk);
}

bool start_type_word(const Cell& word) {
  return word.is(TypeId::word) &&
         start_type_words().count(symbol::resolve(word.symbol())) != 0;
}

void note_type_words() {
  auto& words = start_type_words();
  const auto n = static_cast<int32_t>(context::word_count(context::global));
  for (int32_t i = 0; i < n; i++) {
    const Cell* v = global_value(i);
    uint64_t m = 0;
    if (v && type_bits(*v, &m))
      words[symbol::resolve(context::word_cell(context::global, i)->symbol())] = m;
  }
}

}  // namespace qel::interpreter
