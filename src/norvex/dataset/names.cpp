// Unique cell and gene names with anndata's own suffix rule.
#include "norvex/dataset/anndata.hpp"

namespace norvex {

void AnnData::obs_names_make_unique() {
  obs.make_index_unique();
}
void AnnData::var_names_make_unique() {
  var.make_index_unique();
}

}  // namespace norvex
