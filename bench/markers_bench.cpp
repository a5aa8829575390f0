// Marker genes of every group against the rest: our streaming rank-sum pass against
// scipy.stats.ranksums vectorised over the genes in Debian's Python, both from the file,
// time and peak memory side by side. Each side runs in its own process.
//
//   norvex demo-data demo.h5ad --cells 100000
//   markers_bench --prepare demo.h5ad m.h5ad    (adds obs "cluster": 20 groups)
//   markers_bench m.h5ad [--col cluster] [--genes N] [--python /usr/bin/python3]
//   markers_bench m.h5ad --ours-only
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <string>

#include "bench_support.hpp"
#include "norvex/analysis_tools/rank_tests.hpp"
#include "norvex/analysis_tools/tool_common.hpp"
#include "norvex/common/json.hpp"
#include "norvex/dataset/anndata.hpp"

using bench::in_child;
using bench::vm_hwm_kb;

namespace {

norvex::json run_ours(const std::string& path, const std::string& column, size_t n_genes) {
  const auto t0 = std::chrono::steady_clock::now();
  auto adata = norvex::AnnData::read_h5ad(path);
  const auto cats = norvex::detail::obs_categories(*adata, column);
  const std::vector<int32_t>& codes = cats.codes;
  const size_t n_groups = cats.categories.size();
  std::vector<size_t> columns(n_genes ? std::min(n_genes, adata->n_vars()) : adata->n_vars());
  for (size_t k = 0; k < columns.size(); ++k) columns[k] = k;
  const auto s =
      norvex::detail::rank_genes_against_rest(*adata, codes, n_groups, columns, std::nullopt);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  double score_sum = 0;
  norvex::json top = norvex::json::array();
  size_t groups = 0;
  for (size_t g = 0; g < n_groups; ++g) {
    if (s.group_sizes[g] == 0) continue;
    ++groups;
    size_t best = 0;
    for (size_t k = 0; k < columns.size(); ++k) {
      const double z = s.scores[s.at(g, k)];
      if (std::isfinite(z)) score_sum += std::fabs(z);
      if (z > s.scores[s.at(g, best)]) best = k;
    }
    top.push_back(best);
  }
  return {{"seconds", seconds}, {"hwm_kb", vm_hwm_kb()},   {"score_sum", score_sum}, {"top", top},
          {"groups", groups},   {"genes", columns.size()}, {"passes", s.passes}};
}

norvex::json run_python(const std::string& python, const std::string& path,
                        const std::string& column, size_t n_genes) {
  const std::string cmd = python + " " NORVEX_BENCH_DIR "/markers_baseline.py '" + path + "' '" +
                          column + "' " + std::to_string(n_genes) + " 1000";
  FILE* p = popen(cmd.c_str(), "r");
  if (!p) throw std::runtime_error("cannot run " + python);
  std::string out;
  char buf[65536];
  for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
  if (pclose(p) != 0) throw std::runtime_error("the Python baseline failed");
  return norvex::json::parse(out);
}

// The demo's 18 finest cell types, with the two largest split in two: 20 groups of
// unequal sizes, most with real markers.
void prepare(const std::string& in, const std::string& out) {
  auto adata = norvex::AnnData::read_h5ad(in);
  const auto cats = norvex::detail::obs_categories(*adata, "celltype_subset");
  std::vector<size_t> sizes(cats.categories.size(), 0);
  for (int32_t c : cats.codes)
    if (c >= 0) ++sizes[static_cast<size_t>(c)];
  std::vector<size_t> order(sizes.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::sort(order.begin(), order.end(), [&](size_t a, size_t b) { return sizes[a] > sizes[b]; });
  std::vector<std::string> cluster(adata->n_obs());
  for (size_t i = 0; i < cluster.size(); ++i) {
    const int32_t c = cats.codes[i];
    std::string name = c >= 0 ? cats.categories[static_cast<size_t>(c)] : "unlabelled";
    const size_t needed = 20 - sizes.size();
    for (size_t k = 0; k < needed && k < order.size(); ++k)
      if (c == static_cast<int32_t>(order[k]) && i % 2) name += " (b)";
    cluster[i] = name;
  }
  adata->obs.set("cluster", norvex::Column::categorical(cluster));
  adata->write_h5ad(out);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::cerr << "usage: markers_bench FILE.h5ad [--col COLUMN] [--genes N] [--python PY] "
                 "[--ours-only]\n";
    return 2;
  }
  if (std::string(argv[1]) == "--prepare" && argc == 4) {
    prepare(argv[2], argv[3]);
    return 0;
  }
  const std::string path = argv[1];
  std::string column = "cluster", python = "/usr/bin/python3";
  size_t n_genes = 0;
  bool ours_only = false;
  for (int i = 2; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--col" && i + 1 < argc)
      column = argv[++i];
    else if (a == "--genes" && i + 1 < argc)
      n_genes = std::stoul(argv[++i]);
    else if (a == "--python" && i + 1 < argc)
      python = argv[++i];
    else if (a == "--ours-only")
      ours_only = true;
  }
  const norvex::json ours = in_child([&] { return run_ours(path, column, n_genes); });
  std::printf("%zu groups of '%s', %zu genes, %zu pass(es) over the matrix\n",
              ours["groups"].get<size_t>(), column.c_str(), ours["genes"].get<size_t>(),
              ours["passes"].get<size_t>());
  if (ours_only) {
    std::printf("norvex: %.3f s, peak %.1f MiB\n", ours["seconds"].get<double>(),
                ours["hwm_kb"].get<double>() / 1024);
    return 0;
  }
  const norvex::json base = run_python(python, path, column, n_genes);
  auto row = [](const char* what, double a, double b, const char* unit) {
    std::printf("%-30s %12.3f %12.3f %s   ratio %.1fx\n", what, a, b, unit, b / a);
  };
  std::printf("%-30s %12s %12s\n", "", "norvex", "scipy");
  row("markers, read + test (time)", ours["seconds"], base["seconds"], "s ");
  row("peak memory", ours["hwm_kb"].get<double>() / 1024, base["hwm_kb"].get<double>() / 1024,
      "MiB");
  const double a = ours["score_sum"], b = base["score_sum"];
  std::printf("sum of |z| agrees (1e-9 relative): %s; top gene of every group identical: %s\n",
              std::fabs(a - b) <= 1e-9 * std::fabs(b) ? "yes" : "NO",
              ours["top"] == base["top"] ? "yes" : "NO");
  return 0;
}
