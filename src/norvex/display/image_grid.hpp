#pragma once
// Several plot images shown as one picture: a grid of base64 PNGs at their natural sizes
// (never stretched), 10 px apart on a white background.
#include <string>

#include "norvex/common/json.hpp"
#include "norvex/host/host.hpp"

namespace norvex {

// A column count for a grid of the given images (one base64 PNG, or a list or mapping of
// them): a grid close to a 4:3 page with few empty cells, at most 4 columns.
int auto_ncols_from_imgs(const json& imgs, bool verbose = true);

// One base64 PNG holding the images in `ncols` columns, `pad` pixels apart; each image is
// centred in its cell, cells as wide as their column's widest image and as tall as their
// row's tallest. Images that are not readable PNGs are skipped (with a warning when
// verbose, on `host`); the result is empty when nothing could be merged. ValueError when the merged
// picture would be unreasonably large.
std::string merge_base64_pngs_grid_nostretch(NotebookHost& host, const json& imgs, int ncols,
                                             int pad = 10, bool verbose = true);

// The SVG documents of those images (`svgs` in the shape of `imgs`) laid out as one SVG
// document exactly as the PNGs are merged (cell sizes from the PNGs' pixel sizes); each
// figure stays vector, embedded whole. Empty when an image or its SVG is missing.
std::string merge_svgs_grid_nostretch(const json& imgs, const json& svgs, int ncols, int pad = 10);

// Shows one base64 image (PNG, JPEG, GIF or WebP) as image bytes. ValueError when the text
// is not base64 or not one of those image types.
void display_img_base64(NotebookHost& host, const std::string& b64);

}  // namespace norvex
