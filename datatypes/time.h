// time!: a signed duration or time of day, held as seconds in a double.
//
// time! is a child of float!: it keeps float!'s random, compare, absolute,
// negate and remainder and brings its own construction, h:mm:ss text,
// hour/minute/second fields (paths and pick), the arithmetic rules that
// differ (time / time is a float!, time * time and time - date are refused)
// and rounding. date! reuses the field routines and the text for its time of
// day, and the lexer's time loader lives here.
//
// Cell: type 43, the seconds as a double in data2..data3 (as float!).
//
// Field words (`hour`, `month`, `x` ...) are matched without regard to case
// by `field_index`. The fields of a negative time are written as they read
// (a signed hour, the minutes of the magnitude), so a field reads back as
// written: a written hour gives the time its sign (a zero hour keeps the
// time's), written minutes keep the hour and the sign. `to integer!` rounds
// half up (the floor of seconds + 0.5) for negative times too. A time molds
// its hours in all their digits and the loader reads hours up to a double's
// range, so every finite time loads back (`mold/all` past 2^53 seconds
// writes the rest of the hour as seconds, `-41652777777777:00:2816`). A
// time so large that no date can hold it raises math `overflow` when added
// to a date.
#pragma once

#include <cstdint>

#include "core/cell.h"
#include "values/datatype.h"

namespace qel::time {

inline constexpr double kSecondsPerHour = 3600.0;
inline constexpr double kSecondsPerMinute = 60.0;
// Seconds below this form as "00" and move even?/odd? off a boundary.
inline constexpr double kTolerance = 0.000001;

// Field indexes of hour, minute and second (paths and pick).
enum class Field : int32_t { none = 0, hour = 1, minute = 2, second = 3 };

// --- cells

inline double get(const Cell* c) { return c->real(); }
// Makes the cell a time! holding the seconds, keeping its header flags.
inline Cell* make_at(Cell* c, double seconds) {
  c->set_type(TypeId::time);
  c->set_real(seconds);
  return c;
}
// Pushes a new time! on the argument stack.
Cell* push(double seconds);
// Appends a time! whose double is given as its high and low 32-bit halves
// (the boot-data decoders).
Cell* make_in(Node block, uint32_t high, uint32_t low);

// --- fields

// Whole hours of a duration, truncated toward zero (-1:30:00 has -1).
int32_t get_hours(double seconds);
// Minutes within the hour of the duration's magnitude (0-59).
int32_t get_minutes(double seconds);
// The field a word names (hour, minute, second, in any letter case), or
// Field::none.
Field field_of_word(const Cell* word);
// The 1-based position of a word's name among the first `count` of
// `names`, compared without regard to letter case; 0 when it is none of them
// or not a word. `cache` (as many zeroed entries as `names`, owned by the
// caller) keeps the names' canonical symbols after the first lookup. The
// field words of date!, pair! and the points go through this too.
int32_t field_index(const Cell* word, const char* const* names, int32_t count, uint32_t* cache);
// Reads a field into `out`: hour and minute as integer!, second as float!
// (fmod of the seconds by 60, keeping their sign).
void read_field(double seconds, Field field, Cell* out);
// Writes a field and returns the new seconds. hour and minute take an
// integer!, second an integer! or float!; another type raises script
// `invalid-arg` with the value. A negative duration keeps its sign: the
// field is set on its magnitude.
double write_field(double seconds, Field field, const Cell* value);

// --- text

// Appends the h:mm:ss text of the seconds ("-" first for a negative
// duration; the seconds with at most six significant digits and their
// fraction) and returns the budget less what was appended.
int32_t form_value(double seconds, Cell* buffer, int32_t limit);
// The same with the seconds in the fewest decimals that read back as the
// same time (`mold/all`: six digits lose what lies below a microsecond).
int32_t form_exact(double seconds, Cell* buffer, int32_t limit);

// Reads the text of a time literal ([-]h:mm[:ss[.f]] or [-]m:ss.f, "'"
// separators in the hours and minutes, "," for "."); false when it is not
// one.
bool scan_time(const uint8_t* text, const uint8_t* end, double* seconds);

// --- the type's actions
Cell* make(Cell* proto, Cell* spec, TypeId type);  // also `to`
int32_t form(Cell* value, Cell* buffer, Cell* part, int32_t limit);
int32_t mold(Cell* value, Cell* buffer, bool only, bool all, bool flat, Cell* part, int32_t limit,
             int32_t indent);
Cell* eval_path(Cell* parent, Cell* element, Cell* value, const PathStep& step);
void add();
void divide();
void multiply();
Cell* round(Cell* value, Cell* scale, RoundFlags flags);
void subtract();
bool even_q(Cell* value);
bool odd_q(Cell* value);
Cell* pick(Cell* value, int32_t index, Cell* index_cell);

// Registers time! (parent float!, which registers first) and its literal
// loader.
void register_();

}  // namespace qel::time
