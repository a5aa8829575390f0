#pragma once
// The generative model of the demonstration data: which sample and cell type each cell
// is, its expression counts, its embedding and its copy-number profile. Every cell draws
// from its own random stream, so any cell can be generated alone and in any order: the
// million-cell file is streamed, and the statistics reuse a subsample without holding X.
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "norvex/demo/catalog.hpp"
#include "norvex/demo/random.hpp"

namespace norvex::demo {

// One cell's counts: sorted gene indices with their counts, and the log-normalised values.
struct CellRow {
  std::vector<uint32_t> genes;
  std::vector<uint32_t> counts;
  std::vector<float> values;  // log1p(count / total * 10,000)
  uint32_t total = 0;
  uint32_t mito = 0;
};

class DemoModel {
 public:
  DemoModel(size_t n_cells, size_t n_genes, uint64_t seed);

  size_t n_cells() const { return n_cells_; }
  size_t n_genes() const { return genes_.size(); }
  uint64_t seed() const { return seed_; }
  const std::vector<std::string>& genes() const { return genes_; }
  // Index of a gene symbol, or -1.
  int64_t gene_index(const std::string& symbol) const;

  // Flat sample list (N01..M03) and the condition of each.
  const std::vector<std::string>& samples() const { return samples_; }
  int sample_condition(size_t sample) const { return sample_condition_[sample]; }

  int cell_sample(size_t i) const { return cell_sample_[i]; }
  int cell_condition(size_t i) const { return sample_condition_[cell_sample_[i]]; }
  int cell_subset(size_t i) const { return cell_subset_[i]; }
  bool tumor_origin(size_t i) const { return tumor_origin_[i] != 0; }

  // Generates the counts of cell i (deterministic for a given random seed).
  void cell_row(size_t i, CellRow& row) const;
  // 2-d embedding of cell i.
  void cell_umap(size_t i, double out[2]) const;
  // Copy-number estimates of cell i over n_cnv_bins() windows.
  void cell_cnv(size_t i, double* out) const;

  size_t n_cnv_bins() const { return cnv_chrom_.size(); }
  // Chromosome name -> first bin, in genome order.
  std::vector<std::pair<std::string, size_t>> cnv_chr_pos() const;

 private:
  void build_profiles();
  size_t required_index(const std::string& gene) const;  // KeyError when not a demo gene
  void build_program_tables(std::vector<bool>& special);
  void type_weights(size_t t, size_t s, const std::vector<double>& background,
                    const std::vector<double>& ribo_jitter, const std::vector<bool>& special,
                    const std::vector<float>& batch,
                    const std::vector<std::pair<size_t, double>>& private_genes,
                    std::vector<double>& w) const;
  void place_clusters(Rng& layout);
  void assign_cells();
  void build_cnv_events();

  size_t n_cells_;
  uint64_t seed_;
  std::vector<std::string> genes_;
  std::unordered_map<std::string, uint32_t> gene_lookup_;
  std::vector<std::string> samples_;
  std::vector<int> sample_condition_;

  // Per cell.
  std::vector<uint8_t> cell_sample_, cell_subset_, partner_, second_, tumor_origin_, cycling_;
  std::vector<uint32_t> total_;
  std::vector<float> mito_frac_;

  // Expression profile of each (subset, sample), plus the shared programs.
  std::vector<AliasTable> profiles_;  // index subset * n_samples + sample
  AliasTable cycling_table_, mito_table_;
  std::vector<uint32_t> cycling_genes_, mito_genes_;

  // Embedding: centre, axes and spread per subset.
  struct Cluster {
    double cx, cy, angle, sd_major, sd_minor;
  };
  std::vector<Cluster> clusters_;
  std::vector<double> sample_shift_;  // per sample, x and y

  // Copy-number windows and the tumour clones of each sample.
  std::vector<int> cnv_chrom_;
  std::vector<std::vector<double>> clone_profiles_;  // per sample * 2 clones
};

}  // namespace norvex::demo
