#include "index_offer.hpp"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>

#include "norvex/dataset/gene_index.hpp"

namespace norvex::app {

void build_index_with_progress(const AnnData& adata, NotebookHost& host) {
  const auto start = std::chrono::steady_clock::now();
  host.print("✅ Building the gene index .. ", false);
  int shown = 0;  // tens of percent already printed
  GeneIndexOptions options;
  options.progress = [&](double done) {
    while (shown < 9 && shown < static_cast<int>(done * 10))
      host.print(std::to_string(++shown * 10) + "% ", false);
  };
  std::filesystem::path path;
  try {
    path = build_gene_index(adata, options);
  } catch (...) {
    host.print("");  // ends the progress line before the error is shown
    throw;
  }
  const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  char done[48];
  std::snprintf(done, sizeof done, "done (%.2f)", s);
  host.print(done);
  std::error_code ec;
  const auto bytes = std::filesystem::file_size(path, ec);
  char size[48] = "";
  if (!ec) std::snprintf(size, sizeof size, " (%.1f MB)", static_cast<double>(bytes) / 1e6);
  host.print("ℹ️ INFO: Gene index written to " + path.string() + size);
}

bool reads_genes(const json& kwargs) {
  if (!kwargs.is_object()) {
    return kwargs.is_array() &&
           std::any_of(kwargs.begin(), kwargs.end(), [](const json& v) { return reads_genes(v); });
  }
  for (auto it = kwargs.begin(); it != kwargs.end(); ++it) {
    std::string key = it.key();
    std::transform(key.begin(), key.end(), key.begin(), ::tolower);
    const json& v = it.value();
    const bool named =
        (v.is_string() && !v.get<std::string>().empty()) || (v.is_array() && !v.empty());
    if (key.find("gene") != std::string::npos && named) return true;
    if (v.is_structured() && reads_genes(v)) return true;
  }
  return false;
}

ToolFuncs offering_gene_index(ToolFuncs tools, std::function<NotebookHost&()> host) {
  auto offered = std::make_shared<bool>(false);
  for (auto& [name, tool] : tools) {
    tool.fn = [inner = tool.fn, offered, host](AnnData& adata, const json& kwargs) {
      if (!*offered && reads_genes(kwargs) && gene_index_wanted(adata)) {
        *offered = true;
        NotebookHost& to = host();
        to.print("");  // after the open status line
        const MatrixInfo info = adata.x_info();
        const size_t stored =
            info.format == MatrixInfo::Format::Dense ? info.n_rows * info.n_cols : info.nnz;
        to.print("ℹ️ INFO: This dataset stores " + std::to_string(stored) +
                 " values cell by cell, so every gene read scans all of them. Type :index "
                 "to build a gene index once (in " +
                 gene_index_folder().string() + ") and read genes directly.");
      }
      return inner(adata, kwargs);
    };
  }
  return tools;
}

}  // namespace norvex::app
