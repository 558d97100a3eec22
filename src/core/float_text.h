// Canonical text of 32-bit floats in stored records.
//
// From the shortest round-trip digits d1..dn and exponent g (value =
// d1.d2..dn x 10^g): "0.0"/"-0.0" for zeros; exponent form "d1[.d2..dn]e±|g|"
// when g < -6 or g > 12; "0.000ddd" when g < 0; "ddd.ddd" when g < n-1; else
// the digits, g-n+1 zeros and ".0". NaN and infinities are written as null.
#pragma once

#include <string>

namespace qv {

void append_f32(std::string& out, float v);

// 64-bit float in plain decimal, shortest round trip, never an exponent:
// 0, 1, 1.5, 0.0000001, NaN, inf, -inf. Used in kernel error messages.
std::string plain_f64(double v);

}  // namespace qv
