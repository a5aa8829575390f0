#pragma once
// Classification and display of the base64 artefacts tools return: raster images (PNG,
// JPEG, GIF, WebP) and whole HTML documents (interactive plots).
#include <string>

#include "norvex/common/json.hpp"
#include "norvex/host/host.hpp"

namespace norvex {

// "png", "jpeg", "gif", "webp", "html" or "unknown", from the magic bytes of the first
// 2000 base64 characters (whitespace ignored). TypeError for a value that is not text.
std::string detect_base64_type(const json& b64);

// Shows one payload (text), each of a list, or each value of a mapping in order; anything
// else shows nothing. Images go out as an HTML <img> with a data URL when use_html_img,
// else as image bytes; HTML documents in an iframe of iframe_size = [width, height].
// An unrecognised payload prints "⚠️ Unknown base64 type — cannot display".
void display_base64_auto(NotebookHost& host, const json& imgs, bool use_html_img = true,
                         const json& iframe_size = json::array({900, 500}));

// Lenient base64 decoding as the classifier needs it: characters outside the alphabet are
// skipped and decoding stops at the padding. Nothing when the data characters do not make
// whole bytes.
bool decode_base64_lenient(const std::string& text, std::string& out);

}  // namespace norvex
