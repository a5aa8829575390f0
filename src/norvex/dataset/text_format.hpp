#pragma once
// Text forms of values shared by the dataset sources.
#include <string>

namespace norvex {

// Python's repr of a float ("1.0", "0.1", "1e-05", "nan", "inf"); float32 values use the
// shortest digits that round-trip in single precision, as numpy prints them.
std::string python_float_repr(double v, bool single_precision = false);

}  // namespace norvex
