// Reading five genes for all cells from a large CSR file, every way the engine can: through
// HDF5 (the path before direct reads), reading the file directly on one core and on all cores,
// and through the gene index; against anndata (Debian's Python) reading the same genes
// from the matrix it loaded. Also the cost of building the index: time, peak memory and
// size on disk against the file's size.
//
// The rounds interleave the variants and the baseline (the machine is shared, timings are
// noisy) and the medians are printed. Warm cache on both sides: one untimed read first.
//
//   norvex demo-data big.h5ad --cells 1000000
//   gene_access_bench big.h5ad [--rounds N] [--python /usr/bin/python3 | --ours-only]
//
// The index goes into a folder "gene-access-bench-cache" beside the file (removed at the
// end), not into the user's cache.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "bench_support.hpp"
#include "norvex/common/json.hpp"
#include "norvex/dataset/anndata.hpp"
#include "norvex/dataset/gene_index.hpp"
#include "norvex/dataset/scan_tuning.hpp"

using bench::in_child;
using bench::vm_hwm_kb;
namespace fs = std::filesystem;

namespace {

const std::vector<std::string> kGenes = {"CD3E", "CD8A", "MS4A1", "LYZ", "EPCAM"};

double since(std::chrono::steady_clock::time_point t) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty()      ? 0
         : v.size() % 2 ? v[v.size() / 2]
                        : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

struct Variant {
  const char* name;
  bool direct;
  size_t threads;
  bool indexed;
};

const Variant kVariants[] = {{"HDF5 reads, 1 core (before)", false, 1, false},
                             {"direct reads, 1 core", true, 1, false},
                             {"direct reads, all cores", true, 0, false},
                             {"gene index", true, 0, true}};

void select(const Variant& v, const fs::path& index_cache, const fs::path& empty_cache) {
  norvex::detail::use_direct_reads = v.direct;
  norvex::detail::scan_threads = v.threads;
  setenv("XDG_CACHE_HOME", (v.indexed ? index_cache : empty_cache).c_str(), 1);
}

// Seconds for the five genes, and their sum (to check that every variant reads the same).
std::pair<double, double> five_genes(const std::string& path) {
  auto adata = norvex::AnnData::read_h5ad(path);
  const auto t = std::chrono::steady_clock::now();
  const auto values = adata->gene_expression(kGenes);
  const double s = since(t);
  double sum = 0;
  for (auto& v : values)
    for (float x : v) sum += x;
  return {s, sum};
}

double python_five_genes(const std::string& python, const std::string& path) {
  std::string genes;
  for (auto& g : kGenes) genes += (genes.empty() ? "" : ",") + g;
  const std::string cmd =
      python + " " NORVEX_BENCH_DIR "/demo_open_baseline.py '" + path + "' " + genes;
  FILE* p = popen(cmd.c_str(), "r");
  if (!p) throw std::runtime_error("cannot run " + python);
  std::string out;
  char buf[65536];
  for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
  if (pclose(p) != 0) throw std::runtime_error("the Python baseline failed");
  return norvex::json::parse(out)["expression_s"].get<double>();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::cerr << "usage: gene_access_bench FILE.h5ad [--rounds N] [--python PY | --ours-only]\n";
    return 2;
  }
  const std::string path = argv[1];
  int rounds = 5;
  std::string python = "/usr/bin/python3";
  for (int i = 2; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--rounds" && i + 1 < argc) rounds = std::atoi(argv[++i]);
    if (a == "--python" && i + 1 < argc) python = argv[++i];
    if (a == "--ours-only") python.clear();
  }
  const fs::path cache = fs::absolute(path).parent_path() / "gene-access-bench-cache";
  const fs::path index_cache = cache / "with-index", empty_cache = cache / "none";
  fs::create_directories(index_cache);
  fs::create_directories(empty_cache);

  // The index, built in a child so that its peak is its own.
  setenv("XDG_CACHE_HOME", index_cache.c_str(), 1);
  const norvex::json built = in_child([&] {
    const auto t = std::chrono::steady_clock::now();
    const fs::path index = norvex::build_gene_index(*norvex::AnnData::read_h5ad(path));
    return norvex::json{
        {"seconds", since(t)}, {"hwm_kb", vm_hwm_kb()}, {"bytes", fs::file_size(index)}};
  });
  const double file_mb = static_cast<double>(fs::file_size(path)) / 1e6;
  const double index_mb = built["bytes"].get<double>() / 1e6;
  std::printf("index build: %.2f s, peak %.0f MiB, %.0f MB on disk for a %.0f MB file (%.2fx)\n",
              built["seconds"].get<double>(), built["hwm_kb"].get<double>() / 1024, index_mb,
              file_mb, index_mb / file_mb);

  // Peak memory of one five-gene read per variant, each in a fresh process.
  std::vector<double> peaks;
  for (const Variant& v : kVariants) {
    const norvex::json r = in_child([&] {
      select(v, index_cache, empty_cache);
      five_genes(path);
      return norvex::json{{"hwm_kb", vm_hwm_kb()}};
    });
    peaks.push_back(r["hwm_kb"].get<double>() / 1024);
  }

  std::vector<std::vector<double>> times(std::size(kVariants));
  std::vector<double> sums(std::size(kVariants)), baseline;
  for (const Variant& v : kVariants) {  // warm the cache for every path once, untimed
    select(v, index_cache, empty_cache);
    five_genes(path);
  }
  for (int r = 0; r < rounds; ++r) {
    for (size_t k = 0; k < std::size(kVariants); ++k) {
      select(kVariants[k], index_cache, empty_cache);
      auto [s, sum] = five_genes(path);
      times[k].push_back(s);
      sums[k] = sum;
    }
    if (!python.empty()) baseline.push_back(python_five_genes(python, path));
  }

  const double base = median(baseline);
  std::printf("five genes, all cells: medians of %d interleaved rounds (shared machine: noisy)\n",
              rounds);
  std::printf("%-30s %10s %10s %12s %12s\n", "", "seconds", "peak MiB", "vs HDF5 path",
              "vs anndata");
  for (size_t k = 0; k < std::size(kVariants); ++k) {
    const double m = median(times[k]);
    std::printf("%-30s %10.3f %10.0f %11.1fx", kVariants[k].name, m, peaks[k],
                median(times[0]) / m);
    if (!baseline.empty()) std::printf(" %11.1fx", base / m);
    std::printf("\n");
  }
  if (!baseline.empty()) std::printf("%-30s %10.3f (expression only, X loaded)\n", "anndata", base);
  bool same = true;
  for (double s : sums) same = same && std::abs(s - sums[0]) <= 1e-9 * std::max(1.0, sums[0]);
  std::printf("every variant read the same values: %s\n", same ? "yes" : "NO");
  fs::remove_all(cache);
  return same ? 0 : 1;
}
