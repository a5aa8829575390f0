// Opening a large generated dataset and describing it: the lazy reader against
// anndata.read_h5ad in Debian's Python, time and peak memory side by side, then the
// expression of five named genes for all cells. Each side runs in its own process so that
// the peaks (VmHWM) are its own.
//
//   norvex demo-data big.h5ad --cells 1000000 --genes 20000
//   demo_open_bench big.h5ad [/usr/bin/python3]
//   demo_open_bench big.h5ad --ours-only     (no baseline; for profiling our side)
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

#include "bench_support.hpp"
#include "norvex/common/json.hpp"
#include "norvex/dataset/anndata.hpp"
#include "norvex/dataset/data_context.hpp"

using bench::in_child;
using bench::vm_hwm_kb;

namespace {

const char* kGenes[] = {"CD3E", "CD8A", "MS4A1", "LYZ", "EPCAM"};

double since(std::chrono::steady_clock::time_point t) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
}

norvex::json run_ours(const std::string& path) {
  using clock = std::chrono::steady_clock;
  const auto t0 = clock::now();
  auto adata = norvex::AnnData::read_h5ad(path);
  const std::string context = norvex::get_data_context(*adata);
  const double open_s = since(t0);
  const long hwm_context = vm_hwm_kb();
  const auto t1 = clock::now();
  std::vector<std::string> genes(std::begin(kGenes), std::end(kGenes));
  const auto values = adata->gene_expression(genes);
  const double expr_s = since(t1);
  norvex::json sums = norvex::json::array();
  for (auto& v : values) {
    double s = 0;
    for (float x : v) s += x;
    sums.push_back(s);
  }
  return {{"open_context_s", open_s},    {"context_hwm_kb", hwm_context}, {"expression_s", expr_s},
          {"total_hwm_kb", vm_hwm_kb()}, {"expression_sum", sums},        {"context", context}};
}

norvex::json run_python(const std::string& python, const std::string& path) {
  std::string genes;
  for (const char* g : kGenes) genes += std::string(genes.empty() ? "" : ",") + g;
  const std::string cmd =
      python + " " NORVEX_BENCH_DIR "/demo_open_baseline.py '" + path + "' " + genes;
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
    std::cerr << "usage: demo_open_bench FILE.h5ad [python]\n";
    return 2;
  }
  const std::string path = argv[1];
  const std::string python = argc > 2 ? argv[2] : "/usr/bin/python3";
  if (python == "--ours-only") {
    const norvex::json ours = run_ours(path);
    std::printf("open + data context %.3f s, peak %.1f MiB; five genes %.3f s\n",
                ours["open_context_s"].get<double>(), ours["context_hwm_kb"].get<double>() / 1024,
                ours["expression_s"].get<double>());
    return 0;
  }
  const norvex::json ours = in_child([&] { return run_ours(path); });
  const norvex::json base = run_python(python, path);
  auto row = [](const char* what, double a, double b, const char* unit) {
    std::printf("%-34s %12.3f %12.3f %s   ratio %.1fx\n", what, a, b, unit, b / a);
  };
  std::printf("%-34s %12s %12s\n", "", "norvex", "anndata");
  row("open + data context (time)", ours["open_context_s"], base["open_context_s"], "s ");
  row("open + data context (peak memory)", ours["context_hwm_kb"].get<double>() / 1024,
      base["context_hwm_kb"].get<double>() / 1024, "MiB");
  row("five genes, all cells (time)", ours["expression_s"], base["expression_s"], "s ");
  row("whole run (peak memory)", ours["total_hwm_kb"].get<double>() / 1024,
      base["total_hwm_kb"].get<double>() / 1024, "MiB");
  const bool same_context = ours["context"] == base["context"];
  bool same_values = true;
  for (size_t g = 0; g < 5; ++g) {
    const double a = ours["expression_sum"][g], b = base["expression_sum"][g];
    same_values = same_values && std::abs(a - b) <= 1e-6 * std::max(1.0, std::abs(b));
  }
  std::printf("data context identical: %s; gene expression identical: %s\n",
              same_context ? "yes" : "NO", same_values ? "yes" : "NO");
  if (!same_context) {
    std::printf("--- norvex ---%s\n--- anndata ---%s\n", ours["context"].get<std::string>().c_str(),
                base["context"].get<std::string>().c_str());
  }
  return 0;
}
