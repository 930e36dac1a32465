// Python's repr() of a float, for the messages of the core, which quote the values they refuse
// as Python would show them.
#pragma once

#include <string>

namespace velmor {

// The shortest digits that round-trip, in fixed notation for decimal exponents -4 .. 15 and in
// scientific notation ("1e+39") otherwise; "nan", "inf" and "-inf" as Python spells them.
std::string float_repr(double v);

}  // namespace velmor
