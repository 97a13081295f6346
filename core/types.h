// Type ids and action ids: the two fixed numberings every module of Qel
// speaks. Both lists are X-macros so that enums, names and tables are
// generated from one place and cannot drift apart.
#pragma once

#include <cstdint>

namespace qel {

// Every datatype with its fixed id. Ids are part of the value encoding
// (cell headers, QELBIN), so they never change. The tables have room for
// kMaxTypes ids; id 0 is never used.
#define QEL_TYPE_LIST(X)      \
  X(datatype, 1, "datatype!") \
  X(unset, 2, "unset!")       \
  X(none, 3, "none!")         \
  X(logic, 4, "logic!")       \
  X(block, 5, "block!")       \
  X(paren, 6, "paren!")       \
  X(string, 7, "string!")     \
  X(file, 8, "file!")         \
  X(url, 9, "url!")           \
  X(char_, 10, "char!")       \
  X(integer, 11, "integer!")  \
  X(float_, 12, "float!")     \
  X(symbol, 13, "symbol!")    \
  X(context, 14, "context!")  \
  X(word, 15, "word!")        \
  X(set_word, 16, "set-word!") \
  X(lit_word, 17, "lit-word!") \
  X(get_word, 18, "get-word!") \
  X(refinement, 19, "refinement!") \
  X(issue, 20, "issue!")      \
  X(native, 21, "native!")    \
  X(action, 22, "action!")    \
  X(op, 23, "op!")            \
  X(function, 24, "function!") \
  X(path, 25, "path!")        \
  X(lit_path, 26, "lit-path!") \
  X(set_path, 27, "set-path!") \
  X(get_path, 28, "get-path!") \
  X(routine, 29, "routine!")  \
  X(bitset, 30, "bitset!")    \
  X(triple, 31, "triple!")    \
  X(object, 32, "object!")    \
  X(typeset, 33, "typeset!")  \
  X(error, 34, "error!")      \
  X(vector, 35, "vector!")    \
  X(hash, 36, "hash!")        \
  X(pair, 37, "pair!")        \
  X(percent, 38, "percent!")  \
  X(tuple, 39, "tuple!")      \
  X(map, 40, "map!")          \
  X(binary, 41, "binary!")    \
  X(series, 42, "series!")    \
  X(time, 43, "time!")        \
  X(tag, 44, "tag!")          \
  X(email, 45, "email!")      \
  X(handle, 46, "handle!")    \
  X(date, 47, "date!")        \
  X(port, 48, "port!")        \
  X(money, 49, "money!")      \
  X(ref, 50, "ref!")          \
  X(point2d, 51, "point2D!")  \
  X(point3d, 52, "point3D!")  \
  X(image, 53, "image!")      \
  X(event, 54, "event!")

enum class TypeId : uint8_t {
  none_id = 0,  // no type (id 0 is never registered)
#define QEL_X(name, id, text) name = id,
  QEL_TYPE_LIST(QEL_X)
#undef QEL_X
};

inline constexpr int kMaxTypes = 57;  // ids 1..56 fit the tables

// The 62 actions in their fixed order (id 1 = make ... 62 = write).
// X(c++-name, qel-word). Slot 8 ("set-path") has no entry point.
#define QEL_ACTION_LIST(X)        \
  X(make, "make")                 \
  X(random, "random")             \
  X(reflect, "reflect")           \
  X(to, "to")                     \
  X(form, "form")                 \
  X(mold, "mold")                 \
  X(eval_path, "eval-path")       \
  X(set_path, "set-path")         \
  X(compare, "compare")           \
  X(absolute, "absolute")         \
  X(add, "add")                   \
  X(divide, "divide")             \
  X(multiply, "multiply")         \
  X(negate, "negate")             \
  X(power, "power")               \
  X(remainder, "remainder")       \
  X(round, "round")               \
  X(subtract, "subtract")         \
  X(even_q, "even?")              \
  X(odd_q, "odd?")                \
  X(and_, "and~")                 \
  X(complement, "complement")     \
  X(or_, "or~")                   \
  X(xor_, "xor~")                 \
  X(append, "append")             \
  X(at, "at")                     \
  X(back, "back")                 \
  X(change, "change")             \
  X(clear, "clear")               \
  X(copy, "copy")                 \
  X(find, "find")                 \
  X(head, "head")                 \
  X(head_q, "head?")              \
  X(index_q, "index?")            \
  X(insert, "insert")             \
  X(length_q, "length?")          \
  X(move, "move")                 \
  X(next, "next")                 \
  X(pick, "pick")                 \
  X(poke, "poke")                 \
  X(put, "put")                   \
  X(remove, "remove")             \
  X(reverse, "reverse")           \
  X(select, "select")             \
  X(sort, "sort")                 \
  X(skip, "skip")                 \
  X(swap, "swap")                 \
  X(tail, "tail")                 \
  X(tail_q, "tail?")              \
  X(take, "take")                 \
  X(trim, "trim")                 \
  X(create, "create")             \
  X(close, "close")               \
  X(delete_, "delete")            \
  X(modify, "modify")             \
  X(open, "open")                 \
  X(open_q, "open?")              \
  X(query, "query")               \
  X(read, "read")                 \
  X(rename, "rename")             \
  X(update, "update")             \
  X(write, "write")

enum class ActionId : uint8_t {
  none_id = 0,
#define QEL_X(name, text) name,
  QEL_ACTION_LIST(QEL_X)
#undef QEL_X
};

inline constexpr int kActionCount = 62;

// The word that names an action ("append", "open?"); null for none_id or
// an id past the list.
constexpr const char* action_name(ActionId a) {
  constexpr const char* kNames[] = {
      nullptr,
#define QEL_X(name, text) text,
      QEL_ACTION_LIST(QEL_X)
#undef QEL_X
  };
  const auto i = static_cast<uint32_t>(a);
  return i < sizeof kNames / sizeof kNames[0] ? kNames[i] : nullptr;
}

// Comparison operator codes shared by every type's compare function.
// Code 12 (find: the equality of `find`, `select` and `put`) is the plain,
// case-insensitive equality. The sort codes 7 and 8 order values for `sort`
// only (actions::compare refuses them); word! orders its spellings under
// them so that words sort.
enum class CompareOp : int32_t {
  equal = 0,
  not_equal = 1,
  strict_equal = 2,
  lesser = 3,
  lesser_or_equal = 4,
  greater = 5,
  greater_or_equal = 6,
  sort = 7,
  case_sort = 8,
  same = 9,
  parse_strict_equal = 10,
  parse_equal = 11,
  find = 12,
};

// A compare function's answer for values that cannot be compared.
inline constexpr int32_t kNotComparable = -2;

// The operators under which values that have no order of their own still
// compare: the equalities and the two sort orders.
inline bool is_unordered_code(CompareOp op) {
  switch (op) {
    case CompareOp::equal:
    case CompareOp::not_equal:
    case CompareOp::strict_equal:
    case CompareOp::sort:
    case CompareOp::case_sort:
    case CompareOp::same:
    case CompareOp::find:
      return true;
    default:
      return false;
  }
}

// The compare function of values that are only equal or not, and sort by a
// number that tells them apart (`a` and `b`, of two values of one type):
// every equality and sort operator compares the numbers; the ordering
// operators cannot compare such values.
inline int32_t compare_by_identity(int32_t a, int32_t b, CompareOp op) {
  if (!is_unordered_code(op)) return kNotComparable;
  return a < b ? -1 : a > b ? 1 : 0;
}

// Arithmetic, logic and set operator codes of the do-math routines.
enum class MathOp : int32_t {
  add = 0,
  subtract = 1,
  multiply = 2,
  divide = 3,
  remainder = 4,
  or_ = 5,
  and_ = 6,
  xor_ = 7,
  unique = 8,
  union_ = 9,
  intersect = 10,
  exclude = 11,
  difference = 12,
};

// The Qel name of a type ("integer!"), or nullptr for an unknown id.
const char* type_name(TypeId type);

}  // namespace qel
