// The boot texts: the boot values as start-up makes them when the program
// has no boot data (services/qelbin_boot.h), which is also how the build
// makes them to write the boot data: the datatype words, the standard
// typesets, the logic and none words, the native! values (from the natives'
// tables), the action! values with their specs, the operators, and the
// placeholder `routine`, which has no QELBIN record and is always made here.
//
// Each action's spec is Qel text. The interpreter checks arguments against
// the type blocks; where an action leaves a type block out, the action's
// own dispatch names the argument in its "does not allow" error.
#include <cstring>
#include <string_view>

#include "datatypes/typeset.h"
#include "evaluator/interpreter.h"
#include "lexer/lexer.h"
#include "natives/natives.h"
#include "core/stack.h"
#include "services/qelbin_boot.h"
#include "values/context.h"
#include "values/datatype.h"
#include "core/errors.h"
#include "datatypes/function.h"
#include "datatypes/logic.h"
#include "datatypes/native.h"
#include "datatypes/word.h"

namespace qel {

namespace {

struct ActionSpec {
  ActionId id;
  const char* spec;
};

// The actions with a word (eval-path, set-path and compare have none).
constexpr ActionSpec kActionSpecs[] = {
    {ActionId::make, R"spec("Returns a new value made from a spec for that value's type"
        type [any-type!] "The datatype, an example or prototype value" spec [any-type!] "What the new value is made from")spec"},
    {ActionId::random, R"spec("Returns a random value of the same datatype; or shuffles series"
        value "Maximum value of result (modified when series)"
        /seed "Restart or randomize" /secure "Returns a cryptographically secure random number"
        /only "Pick a random value from a series")spec"},
    {ActionId::reflect, R"spec("Returns internal details about a value via reflection"
        value [any-type!] field [word!] "spec, body, words, etc. Each datatype defines its own reflectors")spec"},
    {ActionId::to, R"spec("Converts to a specified datatype"
        type [any-type!] "The datatype or example value" spec [any-type!] "The attributes of the new value")spec"},
    {ActionId::form, R"spec("Returns a user-friendly string representation of a value"
        value [any-type!] /part "Limit the length of the result" limit [integer!] return: [string!])spec"},
    {ActionId::mold, R"spec("Returns a source format string representation of a value"
        value [any-type!] /only "Exclude outer brackets if value is a block"
        /all "Return value in loadable format" /flat "Exclude all indentation"
        /part "Limit the length of the result" limit [integer!] return: [string!])spec"},
    {ActionId::absolute, R"spec("Returns the non-negative value" value)spec"},
    {ActionId::add, R"spec("Returns the sum of the two values" value1 value2)spec"},
    {ActionId::divide, R"spec("Returns the quotient of two values" value1 "The dividend (numerator)" value2 "The divisor (denominator)")spec"},
    {ActionId::multiply, R"spec("Returns the product of two values" value1 value2)spec"},
    {ActionId::negate, R"spec("Returns the opposite (additive inverse) value" number)spec"},
    {ActionId::power, R"spec("Returns a number raised to a given power (exponent)" number "Base value" exponent "The power (index) to raise the base value by")spec"},
    {ActionId::remainder, R"spec("Returns what is left over when one value is divided by another" value1 value2)spec"},
    {ActionId::round, R"spec("Returns the nearest integer. Halves round up (away from zero) by default"
        n /to "Return the nearest multiple of the scale parameter" scale "Must be a non-zero value"
        /even "Halves round toward even results" /down "Round toward zero, ignoring discarded digits. (truncate)"
        /half-down "Halves round toward zero" /floor "Round in negative direction"
        /ceiling "Round in positive direction" /half-ceiling "Halves round in positive direction")spec"},
    {ActionId::subtract, R"spec("Returns the difference between two values" value1 value2)spec"},
    {ActionId::even_q, R"spec("Returns true if the number is evenly divisible by 2" number return: [logic!])spec"},
    {ActionId::odd_q, R"spec("Returns true if the number has a remainder of 1 when divided by 2" number return: [logic!])spec"},
    {ActionId::and_, R"spec("Returns the first value ANDed with the second" value1 value2)spec"},
    {ActionId::complement, R"spec("Returns the opposite (complementing) value of the input value" value)spec"},
    {ActionId::or_, R"spec("Returns the first value ORed with the second" value1 value2)spec"},
    {ActionId::xor_, R"spec("Returns the first value exclusive ORed with the second" value1 value2)spec"},
    {ActionId::append, R"spec("Inserts value(s) at series tail; returns series head"
        series value [any-type!]
        /part "Limit the number of values inserted" length [number! series!]
        /only "Insert block types as single values (overrides /part)"
        /dup "Duplicate the inserted values" count [integer!])spec"},
    {ActionId::at, R"spec("Returns a series at a given index" series index)spec"},
    {ActionId::back, R"spec("Returns a series at the previous index" series)spec"},
    {ActionId::change, R"spec("Changes a value in a series and returns the series after the change"
        series "Series at point to change" value [any-type!] "The new value"
        /part "Limits the amount to change to a given length or position" range [number! series!]
        /only "Changes a series as a series." /dup "Duplicates the change a specified number of times" count [integer!])spec"},
    {ActionId::clear, R"spec("Removes series values from current index to tail; returns new tail" series)spec"},
    {ActionId::copy, R"spec("Returns a copy of a non-scalar value"
        value /part "Limit the length of the result" length [number! series! pair!]
        /deep "Copy nested values" /types "Copy only specific types of non-scalar values" kind)spec"},
    {ActionId::find, R"spec("Returns the series where a value is found, or NONE"
        series [series! bitset! typeset! port! map! none!] value [any-type!]
        /part "Limit the length of the search" length [number! series!]
        /only "Treat a series search value as a single value" /case "Perform a case-sensitive search"
        /same "Use same? as comparator" /any "Use * and ? wildcards in string searches"
        /with "Use custom wildcards in place of * and ?" wild [string!]
        /skip "Treat the series as fixed size records" size [integer!]
        /last "Find the last occurrence of value, from the tail" /reverse "Find the last occurrence of value, from the current index"
        /tail "Return the tail of the match found, rather than the head" /match "Match at current index only and return tail of match")spec"},
    {ActionId::head, R"spec("Returns a series at its first index" series)spec"},
    {ActionId::head_q, R"spec("Returns true if a series is at its first index" series return: [logic!])spec"},
    {ActionId::index_q, R"spec("Returns the current index of series relative to the head, or of word in a context" series return: [integer!])spec"},
    {ActionId::insert, R"spec("Inserts value(s) at series index; returns series past the insertion"
        series value [any-type!]
        /part "Limit the number of values inserted" length [number! series!]
        /only "Insert block types as single values (overrides /part)"
        /dup "Duplicate the inserted values" count [integer!])spec"},
    {ActionId::length_q, R"spec("Returns the number of values in the series, from the current index to the tail" series)spec"},
    {ActionId::move, R"spec("Moves one or more elements from one series to another position or series"
        origin target /part "Limit the number of values inserted" length [integer!])spec"},
    {ActionId::next, R"spec("Returns a series at the next index" series)spec"},
    {ActionId::pick, R"spec("Returns the series value at a given index" series index)spec"},
    {ActionId::poke, R"spec("Replaces the series value at a given index, and returns the new value"
        series index value [any-type!])spec"},
    {ActionId::put, R"spec("Replaces the value following a key, and returns the new value"
        series key value [any-type!] /case "Perform a case-sensitive search")spec"},
    {ActionId::remove, R"spec("Returns the series at the same index after removing a value"
        series /part "Removes a number of values, or values up to the given series index" length [number! char! series!]
        /key "Removes a key in map" key-arg [scalar! any-string! any-word! issue! refinement! binary! block!])spec"},
    {ActionId::reverse, R"spec("Reverses the order of elements; returns at same position"
        series /part "Limits to a given length or position" length [number! series!]
        /skip "Treat the series as fixed size records" size [integer!])spec"},
    {ActionId::select, R"spec("Find a value in a series and return the next value, or NONE"
        series value [any-type!]
        /part "Limit the length of the search" length [number! series!]
        /only "Treat a series search value as a single value" /case "Perform a case-sensitive search"
        /same "Use same? as comparator" /any "Use * and ? wildcards in string searches"
        /with "Use custom wildcards in place of * and ?" wild [string!]
        /skip "Treat the series as fixed size records" size [integer!]
        /last "Find the last occurrence of value, from the tail" /reverse "Find the last occurrence of value, from the current index")spec"},
    {ActionId::sort, R"spec("Sorts a series (modified); default sort order is ascending"
        series /case "Perform a case-sensitive sort" /skip "Treat the series as fixed size records" size [integer!]
        /compare "Comparator offset, block (TBD) or function" comparator
        /part "Sort only part of a series" length [number! series!]
        /all "Compare all fields (used with /skip)" /reverse "Reverse sort order" /stable "Stable sorting")spec"},
    {ActionId::skip, R"spec("Returns the series relative to the current index" series offset)spec"},
    {ActionId::swap, R"spec("Swaps elements between two series or the same series" series1 series2)spec"},
    {ActionId::tail, R"spec("Returns a series at the index after its last value" series)spec"},
    {ActionId::tail_q, R"spec("Returns true if a series is past its last value" series return: [logic!])spec"},
    {ActionId::take, R"spec("Removes and returns one or more elements"
        series /part "Specifies a length or end position" length [number! series!]
        /deep "Copy nested values" /last "Take it from the tail end")spec"},
    {ActionId::trim, R"spec("Removes space from a string or NONE from a block"
        series /head "Removes only from the head" /tail "Removes only from the tail"
        /auto "Auto indents lines relative to first line" /lines "Removes all line breaks and extra spaces"
        /all "Removes all whitespace" /with "Same as /all, but removes characters in 'str'" str)spec"},
    {ActionId::create, R"spec("Send port a create request" port)spec"},
    {ActionId::close, R"spec("Closes a port" port)spec"},
    {ActionId::delete_, R"spec("Deletes the specified file or empty folder" file)spec"},
    {ActionId::modify, R"spec("Change mode for target aggregate value"
        target field [word!] value [any-type!] /case "Perform a case-sensitive lookup")spec"},
    {ActionId::open, R"spec("Opens a port; makes a new port from a spec if necessary"
        port /new "Create new file - if it exists, deletes it" /read "Open for read access"
        /write "Open for write access" /seek "Optimize for random access" /allow "Specifies right access attributes" access [block!])spec"},
    {ActionId::open_q, R"spec("Returns TRUE if port is open" port)spec"},
    {ActionId::query, R"spec("Returns information about a file" target)spec"},
    {ActionId::read, R"spec("Reads from a file, URL, or other port"
        source /part "Partial read a given number of units (source relative)" length [number!]
        /seek "Read from a specific position (source relative)" index [number!]
        /binary "Preserves contents exactly" /lines "Convert to block of strings"
        /info /as "Read with the specified encoding, default is 'UTF-8" encoding [word!])spec"},
    {ActionId::rename, R"spec("Rename a file" from to)spec"},
    {ActionId::update, R"spec("Updates external and internal states (normally after read/write)" port)spec"},
    {ActionId::write, R"spec("Writes to a file, URL, or other port"
        destination data [any-type!] /binary "Preserves contents exactly"
        /lines "Write each value in a block as a separate line" /info
        /append "Write data at end of file" /part "Partial write a given number of units" length [number!]
        /seek "Write at a specific position" index [number!]
        /allow "Specifies protection attributes" access [block!]
        /as "Write with the specified encoding, default is 'UTF-8" encoding [word!])spec"},
};

// The operators: word, and the action or native they wrap.
struct OperatorSpec {
  const char* word;
  const char* wraps;
};
constexpr OperatorSpec kOperators[] = {
    {"+", "add"},          {"-", "subtract"},     {"*", "multiply"},
    {"/", "divide"},       {"%", "remainder"},   {"**", "power"},
    {"=", "equal?"},       {"<>", "not-equal?"},  {"==", "strict-equal?"},
    {"=?", "same?"},       {"<", "lesser?"},      {">", "greater?"},
    {"<=", "lesser-or-equal?"}, {">=", "greater-or-equal?"},
    {"and", "and~"},       {"or", "or~"},         {"xor", "xor~"},
};

// Scans a spec text into a new block! in `out` (a stack slot).
void scan_spec(Cell* out, const char* text) {
  set_none(out);
  lexer::ScanOptions options;
  lexer::scan(out, reinterpret_cast<const uint8_t*>(text), static_cast<uint32_t>(std::strlen(text)),
              options);
}

void set_global(std::string_view name, const Cell* value) {
  Cell w = word::load(name);
  context::set(&w, value);
}

// The library's placeholder for user routines: scripts cannot make them.
void user_routine() { fire(ErrorCode::internal_routines); }

}  // namespace

namespace natives {

const char* action_spec_text(int32_t id) {
  for (const ActionSpec& a : kActionSpecs)
    if (static_cast<int32_t>(a.id) == id) return a.spec;
  return nullptr;
}

}  // namespace natives

namespace boot_text {

void define_words() {
  Cell* base = stack::top;
  // Every datatype word, also of types whose modules are not built yet
  // (function specs name them).
  for (int32_t t = 1; t < kMaxTypes; t++) {
    const char* name = type_name(static_cast<TypeId>(t));
    if (!name) continue;
    Cell dt;
    set_datatype(&dt, static_cast<TypeId>(t));
    set_global(name, &dt);
  }
  for (const typeset::Standard& s : typeset::standard_typesets()) {
    Cell ts;
    typeset::make_at(&ts, s.bits);
    set_global(s.name, &ts);
  }
  set_global("none", &none_value);
  set_global("true", &true_value);
  set_global("false", &false_value);
  set_global("yes", &true_value);
  set_global("no", &false_value);
  set_global("on", &true_value);
  set_global("off", &false_value);

  natives::define_words();

  for (const ActionSpec& a : kActionSpecs) {
    Cell* spec = stack::push_slot();
    scan_spec(spec, a.spec);
    Cell* value = stack::push_slot();
    set_unset(value);
    native::make_value(value, TypeId::action, spec, static_cast<int32_t>(a.id));
    if (const char* name = action_name(a.id)) set_global(name, value);
    stack::top = base;
  }

  for (const OperatorSpec& o : kOperators) {
    Cell w = word::load(o.wraps);
    Cell* fn = stack::push(context::get(&w));
    Cell* made = op::make(nullptr, fn, TypeId::op);
    set_global(o.word, made);
    stack::top = base;
  }
}

void define_routine() {
  Cell* base = stack::top;
  Cell* spec = stack::push_slot();
  scan_spec(spec, R"spec("Defines a function with a given Qel spec and Qel/System body"
      spec [block!] body [block!])spec");
  Cell* r = routine::push(spec, nullptr, routine::add_entry(user_routine), -1);
  set_global("routine", r);
  stack::top = base;
}

}  // namespace boot_text
}  // namespace qel
