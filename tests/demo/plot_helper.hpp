#pragma once
// Quick looks at the generated data, as a researcher would take them: a UMAP scatter
// coloured by cell subset and a CNV heatmap, rendered with cairo into PNG files.
#include <filesystem>

#include "norvex/dataset/anndata.hpp"

namespace norvex::testing {

void render_umap_png(const AnnData& adata, const std::string& color_by,
                     const std::filesystem::path& out);
// Cells ordered by tumour origin then sample; gains red, losses blue.
void render_cnv_png(const AnnData& adata, const std::filesystem::path& out);

}  // namespace norvex::testing
