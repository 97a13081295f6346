// Two small numeric helpers of the runtime: rounding a size up to a power of
// two, and bringing an angle in degrees into the range where the
// trigonometric natives compute with full precision.
#pragma once

#include <cstdint>

namespace qel::runtime {

// `a` rounded up to a multiple of `b`, a power of two.
constexpr uint64_t align_up(uint64_t a, uint64_t b) { return (a + b - 1) & ~(b - 1); }

// What a normalized angle is for.
enum class AngleUse : int32_t { tangent = 0, cosine = 1, sine = 2 };

// Reduces `degrees` to an angle with the same tangent, cosine or sine
// (within -90..90 for tangent and sine, -180..180 for cosine) and returns it
// in radians.
double normalize_degrees(double degrees, AngleUse use);

}  // namespace qel::runtime
