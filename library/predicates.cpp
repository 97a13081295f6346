// The type predicates: routines answering whether a value is of one datatype
// (`block?`, `string?` ...) or of one of the standard typesets (`any-list?`,
// `series?` ...). They are the most called words of the library, so each is
// a routine of its own: an exact test is one comparison of the value's type
// id, a typeset test one read of the typeset word's value and one bit test.
//
// Both tables are the whole definition: the entries are instantiated from
// them, one per row.
#include <array>
#include <string>
#include <utility>

#include "datatypes/typeset.h"
#include "core/stack.h"
#include "library/routines.h"
#include "datatypes/word.h"

namespace qel::library {

namespace {

struct ExactPredicate {
  const char* name;
  TypeId type;
};

// In their order of definition.
constexpr ExactPredicate kExact[] = {
    {"bitset?", TypeId::bitset},     {"binary?", TypeId::binary},
    {"block?", TypeId::block},       {"char?", TypeId::char_},
    {"email?", TypeId::email},       {"file?", TypeId::file},
    {"float?", TypeId::float_},      {"get-path?", TypeId::get_path},
    {"get-word?", TypeId::get_word}, {"hash?", TypeId::hash},
    {"integer?", TypeId::integer},   {"issue?", TypeId::issue},
    {"lit-path?", TypeId::lit_path}, {"lit-word?", TypeId::lit_word},
    {"logic?", TypeId::logic},       {"map?", TypeId::map},
    {"none?", TypeId::none},         {"pair?", TypeId::pair},
    {"paren?", TypeId::paren},       {"path?", TypeId::path},
    {"percent?", TypeId::percent},   {"refinement?", TypeId::refinement},
    {"set-path?", TypeId::set_path}, {"set-word?", TypeId::set_word},
    {"string?", TypeId::string},     {"tag?", TypeId::tag},
    {"time?", TypeId::time},         {"typeset?", TypeId::typeset},
    {"tuple?", TypeId::tuple},       {"unset?", TypeId::unset},
    {"url?", TypeId::url},           {"word?", TypeId::word},
    {"image?", TypeId::image},       {"date?", TypeId::date},
    {"money?", TypeId::money},       {"ref?", TypeId::ref},
    {"point2D?", TypeId::point2d},   {"point3D?", TypeId::point3d},
    {"handle?", TypeId::handle},     {"error?", TypeId::error},
    {"action?", TypeId::action},     {"native?", TypeId::native},
    {"datatype?", TypeId::datatype}, {"function?", TypeId::function},
    {"object?", TypeId::object},     {"op?", TypeId::op},
    {"routine?", TypeId::routine},   {"vector?", TypeId::vector},
};
static_assert(std::size(kExact) == 48);

struct TypesetPredicate {
  const char* name;
  const char* typeset;  // the global word read at every call
  const char* doc;
};

// In their order of definition.
constexpr TypesetPredicate kTypeset[] = {
    {"any-list?", "any-list!", "any-list"},
    {"any-block?", "any-block!", "any-block"},
    {"any-function?", "any-function!", "any-function"},
    {"any-object?", "any-object!", "any-object"},
    {"any-path?", "any-path!", "any-path"},
    {"any-string?", "any-string!", "any-string"},
    {"any-word?", "any-word!", "any-word"},
    {"series?", "series!", "series"},
    {"number?", "number!", "number"},
    {"immediate?", "immediate!", "immediate"},
    {"scalar?", "scalar!", "scalar"},
    {"all-word?", "all-word!", "all-word"},
    {"any-point?", "any-point!", "any-point"},
    {"planar?", "planar!", "planar"},
};
static_assert(std::size(kTypeset) == 14);

// The global words of the typesets, bound at definition (context, index).
Cell typeset_words[std::size(kTypeset)];

template <size_t I>
void exact_q() {
  set_logic(stack::arguments, stack::arguments->type() == kExact[I].type);
}

// A typeset word that a script has set to something other than a typeset!
// answers false.
template <size_t I>
void typeset_q() {
  const Cell& w = typeset_words[I];
  const Cell* ts = word::get_in(w.context(), static_cast<int32_t>(w.data3));
  TypeId t = stack::arguments->type();
  set_logic(stack::arguments, ts->is(TypeId::typeset) && typeset::has(ts, t));
}

template <size_t... I>
constexpr std::array<void (*)(), sizeof...(I)> exact_entries(std::index_sequence<I...>) {
  return {exact_q<I>...};
}
template <size_t... I>
constexpr std::array<void (*)(), sizeof...(I)> typeset_entries(std::index_sequence<I...>) {
  return {typeset_q<I>...};
}

constexpr auto kExactEntries = exact_entries(std::make_index_sequence<std::size(kExact)>());
constexpr auto kTypesetEntries =
    typeset_entries(std::make_index_sequence<std::size(kTypeset)>());

}  // namespace

void define_predicates() {
  for (size_t i = 0; i < std::size(kExact); i++) {
    RoutineDef def{kExact[i].name, kExactEntries[i],
                   R"spec("Returns true if the value is this type" value [any-type!] return: [logic!])spec",
                   TypeId::logic};
    define_global_routines(&def, 1);
  }
  for (size_t i = 0; i < std::size(kTypeset); i++) {
    typeset_words[i] = word::load(kTypeset[i].typeset);
    std::string spec = std::string("\"Returns true if the value is any type of ") +
                       kTypeset[i].doc + "\" value [any-type!] return: [logic!]";
    RoutineDef def{kTypeset[i].name, kTypesetEntries[i], spec.c_str(), TypeId::logic};
    define_global_routines(&def, 1);
  }
}

}  // namespace qel::library
