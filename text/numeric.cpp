// The runtime's numeric helpers.
#include "text/numeric.h"

#include <cmath>

namespace qel::runtime {

double normalize_degrees(double degrees, AngleUse use) {
  constexpr double kPi = 3.141592653589793;
  double x = std::fmod(degrees, 360.0);
  if (x > 180.0 || x < -180.0) x += x < 0.0 ? 360.0 : -360.0;
  if (x > 90.0 || x < -90.0) {
    if (use == AngleUse::tangent)
      x += x < 0.0 ? 180.0 : -180.0;
    else if (use == AngleUse::sine)
      x = x >= 0.0 ? 180.0 - x : -180.0 - x;
  }
  return x * kPi / 180.0;
}

}  // namespace qel::runtime
