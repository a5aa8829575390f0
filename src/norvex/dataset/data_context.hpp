#pragma once
// The plain-text description of the dataset that every dataset-related prompt carries.
// Its wording, line prefixes and section order are part of the prompts: do not reword.
#include <optional>
#include <string>

namespace norvex {

class AnnData;

std::string get_data_description_str(const AnnData& adata);
// "\n\n[DATA CONTEXT]\n" + "An AnnData (obtained from single-cell RNA-seq data) is given: \n"
// + the description.
std::string get_data_context(const AnnData& adata);
// The tumour-origin cell-type label, or nullopt when uns['usr_param']['tumor_id'] is falsy.
std::optional<std::string> find_tumor_origin_celltype(const AnnData& adata);

}  // namespace norvex
