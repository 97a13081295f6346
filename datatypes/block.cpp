// block! storage: the rs routines, construction, single-cell insertion and
// removal, the lookups by value and by word, and cloning. Everything here
// works on cells and buffers directly; the actions are in block_actions.cpp
// and block_modify.cpp.
#include "datatypes/block.h"

#include <cstring>

#include "core/cycle_guard.h"
#include "core/stack.h"
#include "values/actions.h"
#include "core/errors.h"
#include "datatypes/logic.h"
#include "memory/root.h"
#include "values/symbol.h"

namespace qel::block {

namespace {

// Grows a cell buffer so that `extra` more bytes fit after the tail, to
// twice the need (the growth of single-cell insertion).
SeriesBuffer* grow_for(SeriesBuffer* s, uint64_t extra) {
  uint64_t need = uint64_t{s->tail} + extra;
  if (need <= s->size) return s;
  uint64_t used = uint64_t{s->tail - s->offset} + extra;
  return memory::expand_series(s, used * 2);
}

}  // namespace

void (*hash_resync)(const Cell* series) = nullptr;
void (*hash_append_resync)(const Cell* series, int32_t count) = nullptr;

bool rs_next(Cell* blk) {
  int32_t len = rs_length_q(blk);
  if (len >= 1) {
    blk->set_head(blk->head() + 1);
    len--;
  }
  return len <= 0;
}

Cell* rs_head(Cell* blk) {
  int32_t total = total_cells(blk);
  if (blk->head() > total) blk->set_head(total);
  if (blk->head() < 0) blk->set_head(0);
  return first_cell(blk) + blk->head();
}

void rs_clear(Cell* blk) {
  SeriesBuffer* s = buffer(blk);
  int32_t h = blk->head();
  if (h < 0) h = 0;
  if (h < total_cells(blk)) s->tail = s->offset + (static_cast<uint32_t>(h) << 4);
}

void rs_clear_from(Cell* blk, int32_t i) {
  SeriesBuffer* s = buffer(blk);
  s->tail = s->offset + (static_cast<uint32_t>(i) << 4);
}

Cell* rs_append(Cell* blk, const Cell* value) {
  Cell v = *value;  // the value may live in this very buffer
  Cell* slot = append_slot(blk->node());
  *slot = v;
  return slot;
}

Cell* append_cells(Cell* target, const Cell* source) {
  int32_t n = rs_length_q(source);
  if (n <= 0) return target;
  Node src_node = source->node();
  int32_t src_head = source->head();
  uint8_t* dst = memory::reserve_tail(target->node(), uint64_t(n) << 4);
  // Re-read the source after the reservation: it may be the same buffer.
  const Cell* src = memory::series(src_node)->cells() + src_head;
  std::memmove(dst, src, size_t(n) << 4);
  return target;
}

Cell* insert_value(Cell* blk, const Cell* value, Advance advance, InsertAt at) {
  Cell v = *value;
  SeriesBuffer* s = grow_for(buffer(blk), 16);
  int32_t total = static_cast<int32_t>((s->tail - s->offset) >> 4);
  int32_t pos = at == InsertAt::start ? 0 : blk->head();
  if (pos > total) pos = total;
  if (pos < 0) pos = 0;
  Cell* p = s->cells() + pos;
  if (pos < total) std::memmove(p + 1, p, size_t(total - pos) << 4);
  s->tail += 16;
  *p = v;
  if (blk->is(TypeId::hash)) hash_changed(blk);
  if (advance == Advance::yes) blk->set_head(blk->head() + 1);
  return blk;
}

Cell* insert_cells(Cell* target, const Cell* source) {
  int32_t n = rs_length_q(source);
  if (n <= 0) return target;
  // Copy the run first: the source may share the target's buffer.
  Node tmp = memory::alloc_cells(n);
  SeriesBuffer* t = memory::series(tmp);
  std::memcpy(t->cells(), first_cell(source) + source->head(), size_t(n) << 4);
  t->tail = t->offset + (uint32_t(n) << 4);
  SeriesBuffer* s = grow_for(buffer(target), uint64_t(n) << 4);
  int32_t total = static_cast<int32_t>((s->tail - s->offset) >> 4);
  int32_t pos = target->head();
  if (pos > total) pos = total;
  if (pos < 0) pos = 0;
  Cell* p = s->cells() + pos;
  if (pos < total) std::memmove(p + n, p, size_t(total - pos) << 4);
  std::memcpy(p, memory::series(tmp)->cells(), size_t(n) << 4);
  s->tail += uint32_t(n) << 4;
  target->set_head(pos + n);
  if (target->is(TypeId::hash)) hash_changed(target);
  return target;
}

void insert_top() {
  insert_value(stack::arguments - 1, stack::arguments, Advance::yes, InsertAt::head);
}

void append_top() {
  Cell* blk = stack::arguments - 1;
  rs_append(blk, stack::arguments);
  if (blk->is(TypeId::hash)) hash_appended(blk, 1);
}

Cell* append_arg() {
  Cell* blk = stack::arguments;
  rs_append(blk, stack::arguments + 1);
  if (blk->is(TypeId::hash)) hash_appended(blk, 1);
  return blk;
}

const Cell* select_value(Cell* blk, const Cell* value) {
  Cell v = *value;
  Cell* p = rs_head(blk);
  Cell* end = rs_tail(blk);
  for (; p < end; ++p) {
    if (actions::compare_values(&v, p, CompareOp::find) == 0) {
      return p + 1 < end ? p + 1 : &none_value;
    }
  }
  return &none_value;
}

bool remove_value(Cell* blk, const Cell* value, From from) {
  Cell v = *value;
  Cell* base = first_cell(blk);
  Cell* p = from == From::start ? base : rs_head(blk);
  Cell* end = rs_tail(blk);
  for (; p < end; ++p) {
    if (actions::compare_values(&v, p, CompareOp::find) == 0) {
      int32_t index = static_cast<int32_t>(p - base);
      std::memmove(p, p + 1, size_t(end - p - 1) << 4);
      buffer(blk)->tail -= 16;
      if (blk->is(TypeId::hash)) hash_changed(blk);
      return index <= blk->head();
    }
  }
  return false;
}

const Cell* select_word(Cell* blk, const Cell* word, Case c) {
  Cell* p = rs_head(blk);
  Cell* end = rs_tail(blk);
  uint32_t sym = word->symbol();
  uint32_t canon = c == Case::sensitive ? 0 : symbol::resolve(sym);
  for (; p < end; ++p) {
    TypeId t = p->type();
    if (t < TypeId::word || t > TypeId::get_word) continue;
    bool match = p->symbol() == sym || (c == Case::insensitive && symbol::resolve(p->symbol()) == canon);
    if (match) return p + 1 < end ? p + 1 : &none_value;
  }
  return &none_value;
}

Cell* make_at(Cell* cell, int32_t n) {
  set_unset(cell);
  Node node = memory::alloc_cells(n < 1 ? 1 : n);
  set_series(cell, TypeId::block, node);
  return cell;
}

Cell* make_at_fixed(Cell* cell, int32_t n, Fixed fixed) {
  set_unset(cell);
  uint64_t count = n < 1 ? 1 : n;
  Node node = fixed == Fixed::yes ? memory::alloc_series_heap(count, 16) : memory::alloc_unset_cells(count);
  set_series(cell, TypeId::block, node);
  return cell;
}

Cell* make_in(Cell* parent, int32_t n) {
  if (parent) return make_at(append_slot(parent->node()), n);
  Cell blk;
  make_at(&blk, n);
  return root::cell_at(root::append(blk));
}

Cell* make_fixed_in(Cell* parent, int32_t n) {
  if (parent) return make_at_fixed(append_slot(parent->node()), n, Fixed::yes);
  Cell blk;
  make_at_fixed(&blk, n, Fixed::yes);
  return root::cell_at(root::append(blk));
}

bool is_series_type(TypeId t) {
  return is_any_block(t) || is_any_string(t) || t == TypeId::binary || t == TypeId::vector ||
         t == TypeId::image;
}

bool copies_deep(TypeId t) {
  return is_series_type(t) || t == TypeId::bitset || t == TypeId::object || t == TypeId::error ||
         t == TypeId::map;
}

namespace {

// Deep clone of the cells of `node` from `head`: the nested blocks are
// cloned in place inside the new buffer. The cycle guard holds the chain of
// blocks being cloned, so a block that holds itself stops with no-cycle.
void clone_nested(Node node, AnyBlock any) {
  int32_t n = static_cast<int32_t>(memory::series(node)->length());
  for (int32_t i = 0; i < n; i++) {
    Cell* c = memory::series(node)->cells() + i;
    TypeId t = c->type();
    bool nested = t == TypeId::block || (any == AnyBlock::yes && (t == TypeId::paren || is_any_path(t)));
    if (!nested) continue;
    uint32_t header = c->header;
    Cell copy;
    clone_into(c, &copy, Deep::yes, any);
    copy.header = header;
    *(memory::series(node)->cells() + i) = copy;
  }
}

}  // namespace

void clone_into(const Cell* blk, Cell* result, Deep deep, AnyBlock any) {
  Cell src = *blk;
  int32_t total = total_cells(&src);
  int32_t head = src.head();
  if (head > total) head = total;
  if (head < 0) head = 0;
  int32_t count = total - head;
  if (deep == Deep::yes && count > 0) {
    if (cycle_guard::find(src.node())) {
      cycle_guard::reset();
      fire(ErrorCode::internal_no_cycle);
    }
  }
  Node node = memory::alloc_cells(count < 1 ? 1 : count);
  SeriesBuffer* d = memory::series(node);
  std::memcpy(d->cells(), memory::series(src.node())->cells() + head, size_t(count) << 4);
  d->tail = d->offset + (uint32_t(count) << 4);
  if (deep == Deep::yes && count > 0) {
    cycle_guard::push(src.node());
    clone_nested(node, any);
    cycle_guard::pop();
  }
  set_series(result, src.type(), node);
}

void deep_copy_cells(Node node, int32_t first, int32_t end, int32_t step, Deep deep,
                     const Cell* types) {
  for (int32_t i = first; i < end; i += step) {
    Cell* c = memory::series(node)->cells() + i;
    TypeId t = c->type();
    bool match;
    if (!types) {
      match = true;
    } else if (types->is(TypeId::typeset)) {
      uint32_t id = static_cast<uint32_t>(t);
      // The 96 bits are stored most significant first within each byte.
      const uint8_t* bits = reinterpret_cast<const uint8_t*>(&types->data1);
      match = (bits[id >> 3] >> (7 - (id & 7))) & 1;
    } else {
      match = types->is(TypeId::datatype) && types->data1 == static_cast<uint32_t>(t);
    }
    if (!match || !copies_deep(t)) continue;
    Cell item = *c;
    Cell kinds = types ? *types : none_value;
    Cell copy;
    actions::call_copy(&item, &copy, nullptr, deep == Deep::yes, deep == Deep::yes && types ? &kinds : nullptr);
    *(memory::series(node)->cells() + i) = copy;
  }
}

// --- Walking nested lists -------------------------------------------------

ListWalk list_walk;

namespace {
// Areas beyond this many entries are given back after use.
constexpr size_t kKeptEntries = 4096;
}  // namespace

void walk_lists_start() {
  if (list_walk.lists.capacity() > kKeptEntries) std::vector<Cell>().swap(list_walk.lists);
  list_walk.lists.clear();
}

void walk_lists_done() {
  if (list_walk.todo.capacity() > kKeptEntries) std::vector<Cell>().swap(list_walk.todo);
  if (list_walk.index.capacity() > 2 * kKeptEntries) list_walk.index.release();
}

}  // namespace qel::block
