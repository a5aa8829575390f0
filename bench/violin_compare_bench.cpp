// The violin comparison tool (five genes, two cell types, every pair of conditions tested,
// the figure drawn) against anndata + scipy doing the same tests in Debian's Python. Each
// side runs in its own process so that the peaks (VmHWM) are its own; the p-values of the
// two sides are compared. Ours runs twice more: without a gene index, then with one (built
// beforehand into a folder "violin-bench-cache" beside the file, removed at the end, not
// into the user's cache). Warm cache on both sides: each side runs twice and the second
// run counts.
//
//   norvex demo-data big.h5ad --cells 1000000
//   violin_compare_bench big.h5ad [/usr/bin/python3]
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>

#include "bench_support.hpp"
#include "norvex/analysis_tools/registry.hpp"
#include "norvex/common/json.hpp"
#include "norvex/common/table.hpp"
#include "norvex/dataset/anndata.hpp"
#include "norvex/dataset/gene_index.hpp"

using bench::in_child;
using bench::vm_hwm_kb;
namespace fs = std::filesystem;

namespace {

const char* kGenes[] = {"CD3E", "CD8A", "MS4A1", "LYZ", "EPCAM"};
const char* kCellTypes[] = {"T cell", "Myeloid cell"};

norvex::json run_ours(const std::string& path) {
  const auto t0 = std::chrono::steady_clock::now();
  auto adata = norvex::AnnData::read_h5ad(path);
  norvex::json args = {
      {"target_genes",
       norvex::json(std::vector<std::string>(std::begin(kGenes), std::end(kGenes)))},
      {"obs_filter",
       {{"celltypes", std::vector<std::string>(std::begin(kCellTypes), std::end(kCellTypes))}}},
      {"show", false}};
  const norvex::json r = norvex::builtin_tool_funcs().at(
      "plot_violin_for_gene_expression_with_signif_difference")(*adata, args);
  const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  const norvex::Table t = norvex::Table::from_json(r["table_summaries"]["comparisons"]);
  return {{"seconds", s},
          {"hwm_kb", vm_hwm_kb()},
          {"pval", t.column("pval")},
          {"pval_adj", t.column("pval_adj")}};
}

norvex::json run_python(const std::string& python, const std::string& path) {
  std::string genes, cts;
  for (const char* g : kGenes) genes += std::string(genes.empty() ? "" : ",") + g;
  for (const char* c : kCellTypes) cts += std::string(cts.empty() ? "" : ",") + c;
  const std::string cmd = python + " " NORVEX_BENCH_DIR "/violin_compare_baseline.py '" + path +
                          "' '" + genes + "' '" + cts + "'";
  FILE* p = popen(cmd.c_str(), "r");
  if (!p) throw std::runtime_error("cannot run " + python);
  std::string out;
  char buf[65536];
  for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
  if (pclose(p) != 0) throw std::runtime_error("the Python baseline failed");
  return norvex::json::parse(out);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::cerr << "usage: violin_compare_bench FILE.h5ad [python]\n";
    return 2;
  }
  const std::string path = argv[1];
  const std::string python = argc > 2 ? argv[2] : "/usr/bin/python3";
  const fs::path cache = fs::absolute(path).parent_path() / "violin-bench-cache";
  const fs::path index_cache = cache / "with-index", empty_cache = cache / "none";
  fs::create_directories(index_cache);
  fs::create_directories(empty_cache);
  setenv("XDG_CACHE_HOME", index_cache.c_str(), 1);
  in_child([&] {
    norvex::build_gene_index(*norvex::AnnData::read_h5ad(path));
    return norvex::json{};
  });
  auto ours_with = [&](const fs::path& cache_home) {
    setenv("XDG_CACHE_HOME", cache_home.c_str(), 1);
    in_child([&] { return run_ours(path); });
    return in_child([&] { return run_ours(path); });
  };
  const norvex::json ours = ours_with(empty_cache);
  const norvex::json indexed = ours_with(index_cache);
  run_python(python, path);
  const norvex::json base = run_python(python, path);
  fs::remove_all(cache);
  auto row = [](const char* what, double a, double b, const char* unit) {
    std::printf("%-52s %10.2f %10.2f %s   ratio %.1fx\n", what, a, b, unit, b / a);
  };
  std::printf("%-52s %10s %10s\n", "", "norvex", "anndata");
  row("violin, 5 genes x 2 cell types (time)", ours["seconds"], base["seconds"], "s  ");
  row("violin, 5 genes x 2 cell types (peak memory)", ours["hwm_kb"].get<double>() / 1024,
      base["hwm_kb"].get<double>() / 1024, "MiB");
  row("violin with the gene index (time)", indexed["seconds"], base["seconds"], "s  ");
  row("violin with the gene index (peak memory)", indexed["hwm_kb"].get<double>() / 1024,
      base["hwm_kb"].get<double>() / 1024, "MiB");
  if (indexed["pval"] != ours["pval"] || indexed["pval_adj"] != ours["pval_adj"])
    std::printf("the indexed run's p-values DIFFER from the direct run's\n");
  double worst = 0;
  const size_t n = ours["pval"].size();
  bool same_count = n == base["pval"].size();
  for (size_t i = 0; same_count && i < n; ++i) {
    for (const char* k : {"pval", "pval_adj"}) {
      const double a = ours[k][i].is_null() ? NAN : ours[k][i].get<double>();
      const double b = base[k][i].is_null() ? NAN : base[k][i].get<double>();
      if (std::isnan(a) != std::isnan(b)) worst = INFINITY;
      if (!std::isnan(a) && b != 0) worst = std::max(worst, std::fabs(a - b) / std::fabs(b));
    }
  }
  std::printf("comparisons: %zu; largest relative p-value difference to scipy: %s%.2g\n", n,
              same_count ? "" : "(counts differ) ", worst);
  return 0;
}
