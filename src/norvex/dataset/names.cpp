// Unique cell and gene names with anndata's own suffix rule.
#include <unordered_map>
#include <unordered_set>

#include "norvex/dataset/anndata.hpp"

namespace norvex {

namespace {

// Later occurrences of a name get "-1", "-2", ... (counting per name, skipping any
// candidate already present), so files keep the names anndata would give them.
void make_index_unique(std::vector<std::string>& index) {
  std::unordered_set<std::string> taken(index.begin(), index.end());
  if (taken.size() == index.size()) return;
  std::unordered_set<std::string> seen;
  std::unordered_map<std::string, size_t> counter;
  std::vector<size_t> duplicates;
  for (size_t i = 0; i < index.size(); ++i) {
    if (!seen.insert(index[i]).second) duplicates.push_back(i);
  }
  for (size_t i : duplicates) {
    const std::string base = index[i];
    while (true) {
      std::string candidate = base + "-" + std::to_string(++counter[base]);
      if (taken.insert(candidate).second) {
        index[i] = std::move(candidate);
        break;
      }
    }
  }
}

}  // namespace

void AnnData::obs_names_make_unique() {
  make_index_unique(obs.index);
}
void AnnData::var_names_make_unique() {
  make_index_unique(var.index);
}

}  // namespace norvex
