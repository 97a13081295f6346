// date!: a day of the proleptic Gregorian calendar, optionally with a time
// of day and a time zone, in one cell.
//
// Cell: type 47; data1 = the date word; data2..data3 = the stored time, a
// double (seconds). The date word, from the top bit down:
//   bits 31-17  year (15 bits, signed: read with an arithmetic shift)
//   bit  16     time flag (the date carries a time of day and a zone)
//   bits 15-12  month 1-12
//   bits 11-7   day 1-31
//   bits 6-0    zone code: bit 6 sign (west of UTC), bits 5-2 hours,
//               bits 1-0 quarter hours
// Year, month and day are the *local* date. The stored time is the local
// time of day minus the zone offset, so local = stored + offset; after every
// normalisation the local time lies in [0, 86400). The instant a date stands
// for is its day number x 86400 + its stored time. A bare date has stored
// time 0.
//
// The day number counts days from 1 March of year 0 (day 0). Day numbers
// are 64-bit here so that any integer a script adds stays exact; years that
// leave the 15-bit field are masked into it.
//
// Rules: `form` names the month from system/locale/months (read at each
// form; a missing or malformed list falls back to the English names, so an
// error report near a date always prints); `mold` always writes the English
// names, the only ones the loader reads back. Hour, minute and second are
// set on the local time. Dates in different zones compare as instants
// (`same?` stays bit identity); date - date counts the whole days between
// the two instants (the floor), in any zone. `to integer!` of a date
// outside 32 bits of seconds raises math `overflow`. A zone keeps its sign
// below one hour (-0:30) and a zero offset has none; zones beyond 15 hours
// are refused by the lexer and `make date!`, and the `zone` and `timezone`
// setters refuse 16 hours or more with `out-of-range`. `to date!` of a
// string reads its first value, which must be a date. The loader takes a
// fifth digit in a year written last (the years past 9999 or before -9999
// that arithmetic reaches and mold writes in full); seconds that would show
// as "60" mold rounded up to the minute (on 31-Dec-16383 they stop at
// 59.9999).
//
// The module is in three files: date_calendar.cpp (the calendar arithmetic
// and the small constructors), date.cpp (the actions) and date_load.cpp (the
// lexer's loader of date literals).
#pragma once

#include <cstdint>

#include "core/cell.h"
#include "values/datatype.h"

namespace qel::date {

inline constexpr uint32_t kTimeFlag = 0x10000;
inline constexpr uint32_t kZoneMask = 0x7F;
inline constexpr uint32_t kZoneSign = 0x40;
inline constexpr int64_t kEpochDay = 719468;  // the day number of 1-Jan-1970
inline constexpr double kSecondsPerDay = 86400.0;
// The years the date word's 15-bit signed field holds.
inline constexpr int64_t kMinYear = -16384;
inline constexpr int64_t kMaxYear = 16383;

// --- the date word

inline int32_t year(uint32_t w) { return static_cast<int32_t>(w) >> 17; }
inline int32_t month(uint32_t w) { return static_cast<int32_t>((w >> 12) & 15); }
inline int32_t day(uint32_t w) { return static_cast<int32_t>((w >> 7) & 31); }
inline uint32_t zone_code(uint32_t w) { return w & kZoneMask; }
inline bool has_time(uint32_t w) { return (w & kTimeFlag) != 0; }
// A date word from its fields, each masked to its width.
inline uint32_t pack(int32_t y, int32_t m, int32_t d, uint32_t zone, bool time) {
  return (static_cast<uint32_t>(y) << 17) | ((static_cast<uint32_t>(m) & 15) << 12) |
         ((static_cast<uint32_t>(d) & 31) << 7) | (time ? kTimeFlag : 0) | (zone & kZoneMask);
}
// The zone offset of a zone code in seconds.
int32_t zone_seconds(uint32_t zone);
// A zone code from hours (0-15), minutes and a sign.
uint32_t make_zone(int32_t hours, int32_t minutes, bool negative);

// --- cells

inline uint32_t word(const Cell* c) { return c->data1; }
inline double stored(const Cell* c) { return c->real(); }
inline void set_cell(Cell* c, uint32_t w, double stored_time) {
  c->set_type(TypeId::date);
  c->data1 = w;
  c->set_real(stored_time);
}

// --- calendar arithmetic

int64_t to_day_number(uint32_t w);
uint32_t from_day_number(int64_t n, uint32_t zone, bool time);
bool leap_year_q(int32_t year);
// The day number of 1 January of the word's year.
int64_t year_start(uint32_t w);
// The day number of the Monday that begins ISO week 1 of the word's year;
// `jan1_weekday` receives the weekday of 1 January (1 Monday ... 7 Sunday).
int64_t iso_week_start(uint32_t w, int32_t* jan1_weekday);
// Day of the year, 1-based.
int32_t year_day(uint32_t w);
// 1 Monday ... 7 Sunday.
int32_t weekday(int64_t n);
int32_t iso_week(uint32_t w);
// Weeks that begin on Sunday; week 1 holds 1 January.
int32_t sunday_week(uint32_t w);
inline double to_local_time(double stored_time, uint32_t zone) {
  return stored_time + zone_seconds(zone);
}
inline double to_utc_time(double local, uint32_t zone) { return local - zone_seconds(zone); }
// Carries whole days out of the stored time *t into the day number so that
// the local time lies in [0, 86400); returns the new day number. A time so
// large that no date could hold it raises math `overflow`.
int64_t normalize_time(int64_t n, double* t, uint32_t zone);

// --- changing a date cell (each keeps the zone code and time flag unless
// it says otherwise)

// Sets the time (local or stored) and carries days.
void set_time(Cell* d, double t, bool local);
// Sets the month; months outside 1-12 carry into the year, and a day past
// the month's end runs into the next month.
void set_month(Cell* d, int64_t m);
// Sets the zone from an integer! (hours) or time!; script `invalid-arg` for
// any other value. With `keep_instant` the local date and time move into
// the new zone; without it they stay and the instant moves.
void set_zone(Cell* d, const Cell* v, bool keep_instant);
void set_iso_week(Cell* d, int64_t week);
// Day `wd` (1 Monday) of the date's Monday-based week.
void set_week_day(Cell* d, int64_t wd);
void set_year_day(Cell* d, int64_t yd);
// Rebuilds the date word through its day number (out-of-range days and
// 29 February of a common year carry).
void renormalize(Cell* d);

// Seconds since 1-Jan-1970 00:00 UTC; math `overflow` outside 32 bits.
int32_t to_epoch(const Cell* d);
// Makes the cell the date `seconds` after 1-Jan-1970 00:00 UTC, with a time
// and zone 0.
Cell* from_epoch(Cell* c, int64_t seconds);
// The cell a becomes a time! of a - b.
void difference(Cell* a, const Cell* b);
// date + or - the operand (integer! days, time!, or for subtract a date!,
// which gives integer! days), the result in `date`.
void do_math(Cell* date, Cell* operand, MathOp op);

// An integer! on the left of a date!: integer + date adds the days to the
// date; any other operation is refused.
void integer_left(Cell* left, Cell* right, MathOp op);

// --- constructors

// The lexer's: no day carry; the time is local in the given zone.
Cell* make_at(Cell* c, int32_t y, int32_t m, int32_t d, double time, int32_t zone_hours,
              int32_t zone_minutes, bool zone_negative, bool has_time);
// From the operating system's clock: a time and zone 0.
Cell* make_from_os_time(Cell* c, int32_t y, int32_t m, int32_t d, int32_t hour, int32_t minute,
                        int32_t second, int32_t nanoseconds);
Cell* push(uint32_t w, double stored_time);
Cell* make_in(Node block, uint32_t w, double stored_time);

// --- fields (paths and pick)

enum class Field : int32_t {
  none = 0, date = 1, year, month, day, zone, time, hour, minute, second, weekday, yearday,
  timezone, week, isoweek,
};
inline constexpr int32_t kFieldCount = 14;
// The field a word names (julian is yearday), or Field::none.
Field field_of_word(const Cell* word);
// Reads a field into `out`.
void get_field(const Cell* d, Field f, Cell* out);
// Writes a field (the rules of each are at the definition).
void set_field(Cell* d, Field f, const Cell* value);

// --- month names

// Appends the first three characters of the month's name (1-12) and returns
// the budget left, for form. The names are read from system/locale/months at
// each use; the English names serve until that block exists and when it
// lacks a text for the month. mold always writes the English names, which
// the loader reads.
using MonthNameFn = int32_t (*)(int32_t month, Cell* buffer, int32_t limit);
extern MonthNameFn emit_month_name;

// Reads the text of a date literal into `out`; false when it is not one.
bool scan_date(const uint8_t* text, const uint8_t* end, Cell* out);

// --- the type's actions
Cell* make(Cell* proto, Cell* spec, TypeId type);
Cell* to(Cell* proto, Cell* spec, TypeId type);
Cell* random(Cell* value, bool seed, bool secure, bool only);
int32_t form(Cell* value, Cell* buffer, Cell* part, int32_t limit);
int32_t mold(Cell* value, Cell* buffer, bool only, bool all, bool flat, Cell* part, int32_t limit,
             int32_t indent);
Cell* eval_path(Cell* parent, Cell* element, Cell* value, const PathStep& step);
int32_t compare(Cell* a, Cell* b, CompareOp op);
void add();
void subtract();
Cell* pick(Cell* value, int32_t index, Cell* index_cell);

// Registers date! (no parent) and its literal loader.
void register_();

}  // namespace qel::date
