// The error catalog: the boot text generated from core/error_catalog.def,
// and the catalog and error-prototype objects start-up loads from it.
//
// The text holds one entry per category, in catalog order:
//   script: [code: 300 type: "Script Error" no-value: [:arg1 "has no value"] ...]
// A template that is one string stays a string!, one bare word a word! (the
// user category's `arg1`), anything else becomes a block!. The objects are
// built without evaluating anything (as `construct/only` builds them), so
// they exist before the interpreter does.
#include <string>
#include <string_view>

#include "lexer/lexer.h"
#include "core/stack.h"
#include "memory/series.h"
#include "runtime/startup_slots.h"
#include "services/qelbin_boot.h"
#include "values/context.h"
#include "datatypes/error.h"
#include "datatypes/object.h"
#include "memory/root.h"

namespace qel::error {

namespace {

struct Category {
  std::string_view word;
  std::string_view text;
};
// The categories in catalog order with their report texts.
constexpr Category kCategories[kCategoryCount] = {
    {"throw", "Throw Error"},         {"note", "note"},
    {"syntax", "Syntax Error"},       {"script", "Script Error"},
    {"math", "Math Error"},           {"access", "Access Error"},
    {"reserved1", "Reserved1 Error"}, {"reserved2", "Reserved2 Error"},
    {"user", "User Error"},           {"internal", "Internal Error"},
};

struct Row {
  int32_t code;
  std::string_view id;
  std::string_view tmpl;
};
constexpr Row kRows[] = {
#define X(category, name, id, code, tmpl) {code, id, tmpl},
#include "core/error_catalog.def"
#undef X
};

// The fields of the standard error prototype, in order.
constexpr std::string_view kPrototypeText =
    "code: type: id: arg1: arg2: arg3: near: where: stack: files:";

bool built = false;
bool building = false;
// With boot data the catalog comes from it, at the boot-data step (adopt).
bool boot_step_done = false;
uint32_t catalog_root = 0;
uint32_t prototype_root = 0;
Node category_nodes[kCategoryCount] = {};

// The template as Qel source: a single string or word as it is, anything
// else inside brackets.
void append_template(std::string& out, std::string_view t) {
  const bool one_string = t.size() >= 2 && t.front() == '"' && t.back() == '"' &&
                          t.find('"', 1) == t.size() - 1;
  const bool one_word = t.find_first_of(" \"[]") == std::string_view::npos;
  if (one_string || one_word) {
    out += t;
  } else {
    out += '[';
    out += t;
    out += ']';
  }
}

// Loads Qel text into a new block in `dst` (a stack slot).
void load_text(Cell* dst, std::string_view text) {
  set_none(dst);
  lexer::ScanOptions options;
  lexer::scan(dst, reinterpret_cast<const uint8_t*>(text.data()),
              static_cast<uint32_t>(text.size()), options);
}

}  // namespace

std::string catalog_text() {
  std::string out;
  for (int32_t c = 0; c < kCategoryCount; c++) {
    out += kCategories[c].word;
    out += ": [\n    code: ";
    out += std::to_string(c * 100);
    out += " type: \"";
    out += kCategories[c].text;
    out += "\"\n";
    for (const Row& r : kRows) {
      if (r.code / 100 != c) continue;
      out += "    ";
      out += r.id;
      out += ": ";
      append_template(out, r.tmpl);
      out += '\n';
    }
    out += "]\n";
  }
  return out;
}

bool ready() { return built; }

void init() {
  if (built || building) return;
  if (qelbin::boot::present() && !boot_step_done) return;
  // An error raised while the catalog is being built carries its bare code
  // (fire asks `available` first).
  building = true;
  lexer::init();
  Cell* saved = stack::top;
  Cell* text = stack::push_slot();
  load_text(text, catalog_text());
  Cell* categories = object::construct(text, nullptr, true, object::kCatalogClass);
  const Node cats = categories->data1;
  for (int32_t c = 0; c < kCategoryCount; c++) {
    Cell spec = context::values(cats)[c];
    Cell* made = object::construct(&spec, nullptr, true, object::kCatalogClass);
    context::values(cats)[c] = *made;
    category_nodes[c] = made->data1;
  }
  catalog_root = root::append(*categories);
  load_text(text, kPrototypeText);
  Cell* proto = object::construct(text, nullptr, false, object::kErrorClass);
  prototype_root = root::append(*proto);
  stack::top = saved;
  install_call_argument();
  built = true;
  building = false;
}

void adopt(const Cell* categories, const Cell* proto) {
  boot_step_done = true;
  if (built) return;
  if (!categories || !proto) {
    init();
    return;
  }
  const Node cats = categories->data1;
  for (int32_t c = 0; c < kCategoryCount; c++)
    category_nodes[c] = context::values(cats)[c].data1;
  catalog_root = root::append(*categories);
  prototype_root = root::append(*proto);
  install_call_argument();
  built = true;
}

bool available() {
  if (!built && !building) init();
  return built;
}

const Cell* catalog() {
  init();
  return root::cell_at(catalog_root);
}

const Cell* prototype() {
  init();
  return root::cell_at(prototype_root);
}

Node categories_context() { return catalog()->data1; }

Node category_context(int32_t category) {
  init();
  return category_nodes[category];
}

Cell category_word(int32_t category) {
  Cell w = *object::word_at(categories_context(), category);
  w.header = static_cast<uint32_t>(TypeId::word);
  return w;
}

Cell id_word(int32_t category, int32_t id_index) {
  Cell w = *object::word_at(category_context(category), id_index);
  w.header = static_cast<uint32_t>(TypeId::word);
  return w;
}

}  // namespace qel::error
