// Boot data (services/qelbin_boot.h): start-up's decode step, the root
// values it leaves, and the build's writer.
#include "services/qelbin_boot.h"

#include <string>

#include "evaluator/interpreter.h"
#include "lexer/lexer.h"
#include "core/stack.h"
#include "library/embedded.h"
#include "memory/collector.h"
#include "memory/series.h"
#include "runtime/startup_slots.h"
#include "services/qelbin.h"
#include "services/qelbin_encoder.h"
#include "services/qelbin_format.h"
#include "datatypes/block.h"
#include "values/context.h"
#include "datatypes/error.h"
#include "datatypes/native.h"
#include "memory/root.h"
#include "datatypes/string.h"

namespace qel {

namespace qelbin::boot {

// The default: no boot data. The generated source linked into the program
// defines the real one.
[[gnu::weak]] std::span<const uint8_t> embedded() { return {}; }

namespace {

// Index of root value 0 in the root block; -1 until decoded.
int64_t root_base = -1;
uint32_t root_count = 0;

}  // namespace

const Cell* root(Root r) {
  if (root_base < 0 || r >= root_count) return nullptr;
  return root::cell_at(static_cast<uint32_t>(root_base) + r);
}

bool take_source(size_t index, std::string_view name, Cell* out) {
  const Cell* sources = root(kSources);
  if (!sources || !sources->is(TypeId::block)) return false;
  const Node node = sources->node();
  SeriesBuffer* s = memory::series(node);
  const size_t at = index * 2;
  if (at + 1 >= s->length()) return false;
  Cell* pair = s->cells() + at;
  if (!pair[0].is(TypeId::string) || !pair[1].is(TypeId::block)) return false;
  std::string text;
  string::to_utf8(pair, text);
  if (text != name) return false;
  *out = pair[1];
  set_none(pair + 1);
  return true;
}

std::vector<uint8_t> build() {
  Cell* base = stack::top;
  detail::Encoder e(Variant::compact, Mode::boot);
  uint32_t records = 0;
  // The global words that have values, each once (a case variant shares
  // its first spelling's value).
  const Node g = context::global;
  const uint32_t n = context::word_count(g);
  for (uint32_t i = 0; i < n; i++) {
    const Cell* w = context::word_cell(g, static_cast<int32_t>(i));
    if (w->word_index() != static_cast<int32_t>(i)) continue;
    const Cell v = context::values(g)[i];
    if (v.is(TypeId::unset) || format::no_record(v.type())) continue;
    if (v.is(TypeId::op) && op::wrapped(&v) == TypeId::routine) continue;
    Cell word = *w;
    word.header = static_cast<uint32_t>(TypeId::word);
    e.set_word(&word, &v);
    records++;
  }
  // The roots.
  const Cell catalog = *error::catalog();
  const Cell prototype = *error::prototype();
  e.note_root_object(catalog.data1, kCatalog);
  e.note_root_object(prototype.data1, kPrototype);
  e.value(&catalog);
  e.value(&prototype);
  Cell* sources = stack::push_slot();
  block::make_at(sources, 64);
  for (const library::EmbeddedSource& src : library::embedded_sources()) {
    Cell name;
    string::make_utf8(&name, src.name);
    block::rs_append(sources, &name);
    Cell* code = stack::push_slot();
    set_none(code);
    lexer::ScanOptions options;
    lexer::scan(code, reinterpret_cast<const uint8_t*>(src.text.data()),
                static_cast<uint32_t>(src.text.size()), options);
    block::rs_append(sources, code);
    stack::pop(1);
  }
  e.value(sources);
  records += kRootCount;
  stack::top = base;
  return e.finish(records, format::kBootVersion);
}

}  // namespace qelbin::boot

namespace qelbin {

// Start-up's step: the boot values from the boot data, or from the boot
// texts when the program has none.
void decode_boot_data() {
  const std::span<const uint8_t> data = boot::embedded();
  if (data.empty()) {
    boot_text::define_words();
  } else {
    codec_q = false;
    // Nothing may be collected while the roots are only on the stack.
    collector::Hold hold;
    Cell* base = stack::top;
    Cell* target = stack::push_slot();
    block::make_at(target, 8);
    decode(data.data(), data.size(), target, Mode::boot, nullptr);
    const Node node = target->node();
    const uint32_t n = memory::series(node)->length();
    boot::root_base = root::size();
    for (uint32_t i = 0; i < n; i++) root::append(memory::series(node)->cells()[i]);
    boot::root_count = n;
    stack::top = base;
    const Cell* catalog = boot::root(boot::kCatalog);
    const Cell* prototype = boot::root(boot::kPrototype);
    const bool objects = catalog && prototype && catalog->is(TypeId::object) &&
                         prototype->is(TypeId::object);
    error::adopt(objects ? catalog : nullptr, objects ? prototype : nullptr);
  }
  boot_text::define_routine();
  interpreter::note_boot_natives();
}

}  // namespace qelbin

}  // namespace qel
