#pragma once
// A small valid dataset built in memory: the obs columns and uns entries every prompt's data
// context reads, four cells and three genes.
#include <memory>

#include "norvex/dataset/anndata.hpp"

namespace norvex::testing {

// obs: condition, celltype_major, celltype_minor, celltype_subset (categorical);
// uns: usr_param {species, tissue, tumor_id=false},
//      analysis_parameters {CCI_DEG_BASE, DEG_REF_GROUP}.
std::shared_ptr<AnnData> tiny_dataset();

}  // namespace norvex::testing
