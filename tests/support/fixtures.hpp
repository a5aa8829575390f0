#pragma once
// Small inputs many tests share: images and router records.
#include <string>

#include "norvex/common/json.hpp"

namespace norvex::testing {

// A w x h PNG: a coloured panel with a diagonal, like a small plot.
std::string make_png(int w, int h, double r = 0.2, double g = 0.4, double b = 0.8);
std::string make_png_b64(int w, int h, double r = 0.2, double g = 0.4, double b = 0.8);

// A router record with every flag false and every field "none" (or the like), except
// what `flags_over` and `fields_over` set.
json router_record(const json& flags_over, const json& fields_over = json::object(),
                   int confidence = 8);

// How many pixels of a PNG have (within a small tolerance) the given 8-bit colour.
size_t count_pixels(const std::string& png, int r, int g, int b);

// How many times `part` occurs in `text` (without overlaps).
size_t count_occurrences(const std::string& text, const std::string& part);

}  // namespace norvex::testing
