#pragma once
// A readable tree of a dataset (X, obs, var, obsm, uns) or of one uns entry, as text with
// box-drawing branches. Wide levels are cut after a number of children and deep ones
// after a number of levels, with a note saying how much was left out.
#include <cstddef>
#include <string>

namespace norvex {

class AnnData;
class UnsNode;

struct ShowTreeOptions {
  size_t max_children = 30;  // children shown per node before "… (N more)"
  size_t max_depth = 8;      // levels below the root
};

std::string show_tree(const AnnData& adata, const ShowTreeOptions& options = {});
std::string show_tree(const UnsNode& node, const ShowTreeOptions& options = {});

}  // namespace norvex
