#include "norvex/demo/model.hpp"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "norvex/common/errors.hpp"

namespace norvex::demo {

AliasTable::AliasTable(const std::vector<double>& weights)
    : n_(weights.size()), prob_(weights.size(), 1.0), alias_(weights.size(), 0) {
  double total = 0;
  for (double w : weights) total += w;
  if (n_ == 0 || !(total > 0)) throw ValueError("an alias table needs positive weights");
  std::vector<double> scaled(n_);
  std::vector<uint32_t> small, large;
  for (size_t i = 0; i < n_; ++i) {
    scaled[i] = weights[i] * static_cast<double>(n_) / total;
    (scaled[i] < 1.0 ? small : large).push_back(static_cast<uint32_t>(i));
  }
  while (!small.empty() && !large.empty()) {
    const uint32_t s = small.back(), l = large.back();
    small.pop_back();
    prob_[s] = scaled[s];
    alias_[s] = l;
    scaled[l] = (scaled[l] + scaled[s]) - 1.0;
    if (scaled[l] < 1.0) {
      large.pop_back();
      small.push_back(l);
    }
  }
  // Left-overs are 1 up to rounding.
  for (uint32_t i : small) prob_[i] = 1.0, alias_[i] = i;
  for (uint32_t i : large) prob_[i] = 1.0, alias_[i] = i;
}

namespace {

// Random streams, so that adding a use of randomness somewhere leaves the others alone.
enum Stream : uint64_t {
  kLayout = 1,
  kGeneBase = 2,
  kCellMeta = 3,
  kCounts = 4,
  kEmbedding = 5,
  kCnvCell = 6,
  kCnvClone = 7,
};

constexpr int kUnassigned = 17;
const int kMalignant[] = {12, 13};

// Hand-placed cluster centres: lineages sit together as they do in a real embedding.
const double kCentres[][2] = {
    {7.0, 5.5},     // Naive CD4 T
    {10.0, 6.5},    // Regulatory T
    {6.0, 1.5},     // Effector memory CD8 T
    {9.5, 1.0},     // Exhausted CD8 T
    {5.5, -2.5},    // Cytotoxic NK
    {0.5, 10.5},    // Naive B
    {-3.0, 12.5},   // IgG plasma cell
    {-5.0, 5.0},    // Classical monocyte
    {-9.5, 2.0},    // Alveolar macrophage
    {-6.0, -0.5},   // SPP1+ TAM
    {-2.0, 7.0},    // cDC2
    {-4.0, -7.0},   // AT2 cell
    {0.5, -10.0},   // Proliferating malignant
    {4.5, -8.5},    // EMT-like malignant
    {12.0, -6.0},   // Alveolar fibroblast
    {10.5, -10.0},  // Myofibroblastic CAF
    {14.0, -1.0},   // Capillary EC
    {0.0, 0.0},     // unassigned (placed between its two partners)
};

// Bins per chromosome (about proportional to gene count), two per unit.
const int kChromBins[22] = {9, 6, 5, 4, 4, 5, 4, 3, 4, 4, 5, 5, 2, 3, 3, 4, 5, 2, 5, 2, 1, 2};

}  // namespace

DemoModel::DemoModel(size_t n_cells, size_t n_genes, uint64_t seed)
    : n_cells_(n_cells), seed_(seed), genes_(gene_symbols(n_genes)) {
  for (size_t g = 0; g < genes_.size(); ++g) gene_lookup_[genes_[g]] = static_cast<uint32_t>(g);
  for (size_t c = 0; c < sample_names().size(); ++c) {
    for (auto& s : sample_names()[c]) {
      samples_.push_back(s);
      sample_condition_.push_back(static_cast<int>(c));
    }
  }
  build_profiles();
  assign_cells();
  build_cnv_events();
}

int64_t DemoModel::gene_index(const std::string& symbol) const {
  auto it = gene_lookup_.find(symbol);
  return it == gene_lookup_.end() ? -1 : static_cast<int64_t>(it->second);
}

namespace {

// Background expression: named genes a little higher than unnamed loci. The total is
// fixed so that the number of detected genes per cell does not depend on G.
struct Background {
  std::vector<double> level;
  std::vector<double> ribo_jitter;
};

Background background_expression(uint64_t seed, const std::vector<std::string>& genes,
                                 const std::unordered_map<std::string, uint32_t>& lookup) {
  const size_t G = genes.size();
  const size_t n_required = required_genes().size();
  Rng base_rng(stream_seed(seed, kGeneBase));
  Background bg;
  bg.level.assign(G, 0.0);
  std::vector<bool> is_background_real(G, false);
  for (auto& g : background_genes()) {
    auto it = lookup.find(g);
    if (it != lookup.end()) is_background_real[it->second] = true;
  }
  double bg_total = 0;
  for (size_t g = 0; g < G; ++g) {
    const double median = g < n_required ? 1.0 : is_background_real[g] ? 0.7 : 0.12;
    bg.level[g] = median * base_rng.lognormal(0.0, 1.3);
    bg_total += bg.level[g];
  }
  for (double& b : bg.level) b *= 3200.0 / bg_total;
  for (size_t r = 0; r < ribosomal_genes().size(); ++r)
    bg.ribo_jitter.push_back(base_rng.lognormal(0.0, 0.35));
  return bg;
}

// Sample effects: a mild batch effect on every gene, and each tumour's own malignant
// programme (a few genes strongly up in that patient's malignant cells only).
struct SampleEffects {
  std::vector<std::vector<float>> batch;
  std::vector<std::vector<std::pair<size_t, double>>> private_genes;
};

SampleEffects sample_effects(Rng& layout, const std::vector<int>& sample_condition, size_t G) {
  const size_t S = sample_condition.size();
  const size_t n_required = required_genes().size();
  SampleEffects e;
  e.batch.assign(S, std::vector<float>(G));
  e.private_genes.resize(S);
  for (size_t s = 0; s < S; ++s) {
    for (size_t g = 0; g < G; ++g) e.batch[s][g] = static_cast<float>(layout.lognormal(0.0, 0.12));
    if (sample_condition[s] != 0) {
      for (int k = 0; k < 12; ++k) {
        size_t g = layout.below(n_required);
        e.private_genes[s].push_back({g, 3.0 + 3.0 * layout.uniform()});
      }
    }
  }
  return e;
}

}  // namespace

size_t DemoModel::required_index(const std::string& g) const {
  auto it = gene_lookup_.find(g);
  if (it == gene_lookup_.end()) throw KeyError("'" + g + "': not among the demo genes");
  return it->second;
}

void DemoModel::build_program_tables(std::vector<bool>& special) {
  for (auto& g : mitochondrial_genes()) {
    mito_genes_.push_back(static_cast<uint32_t>(required_index(g.gene)));
    special[mito_genes_.back()] = true;
  }
  std::vector<double> mito_w;
  for (auto& g : mitochondrial_genes()) mito_w.push_back(g.level);
  mito_table_ = AliasTable(mito_w);
  std::vector<double> cycling_w;
  for (auto& g : cycling_program()) {
    cycling_genes_.push_back(static_cast<uint32_t>(required_index(g.gene)));
    cycling_w.push_back(g.level);
  }
  cycling_table_ = AliasTable(cycling_w);
}

// The expression weights of cell type t in sample s.
void DemoModel::type_weights(size_t t, size_t s, const std::vector<double>& background,
                             const std::vector<double>& ribo_jitter,
                             const std::vector<bool>& special, const std::vector<float>& batch,
                             const std::vector<std::pair<size_t, double>>& private_genes,
                             std::vector<double>& w) const {
  const auto& types = cell_types();
  const size_t G = genes_.size();
  const int c = sample_condition_[s];
  for (size_t g = 0; g < G; ++g) w[g] = special[g] ? 0.0 : background[g];
  for (auto& h : housekeeping_genes()) w[required_index(h.gene)] += h.level;
  for (size_t r = 0; r < ribosomal_genes().size(); ++r)
    w[required_index(ribosomal_genes()[r])] += 35.0 * types[t].ribosomal * ribo_jitter[r];
  for (auto& m : types[t].markers) w[required_index(m.gene)] += m.level;
  for (auto& p : condition_programs()) {
    if (p.scale[c] == 0 ||
        std::find(p.subsets.begin(), p.subsets.end(), static_cast<int>(t)) == p.subsets.end())
      continue;
    for (auto& g : p.genes) {
      if (p.multiplicative)
        w[required_index(g.gene)] *= std::pow(g.level, p.scale[c]);
      else
        w[required_index(g.gene)] += g.level * p.scale[c];
    }
  }
  for (size_t g = 0; g < G; ++g) w[g] *= batch[g];
  if (t == 12 || t == 13)
    for (auto& [g, fold] : private_genes) w[g] *= fold;
}

void DemoModel::build_profiles() {
  const size_t G = genes_.size();
  std::vector<bool> special(G, false);
  const Background bg = background_expression(seed_, genes_, gene_lookup_);
  build_program_tables(special);

  const size_t S = samples_.size();
  Rng layout(stream_seed(seed_, kLayout));
  const SampleEffects effects = sample_effects(layout, sample_condition_, G);

  const auto& types = cell_types();
  profiles_.resize(types.size() * S);
  std::vector<double> w(G);
  for (size_t t = 0; t < types.size(); ++t) {
    for (size_t s = 0; s < S; ++s) {
      type_weights(t, s, bg.level, bg.ribo_jitter, special, effects.batch[s],
                   effects.private_genes[s], w);
      // Unassigned cells are mixtures of two others; their own table is never drawn from,
      // but keep it valid.
      profiles_[t * S + s] = AliasTable(w);
    }
  }
  place_clusters(layout);
}

// Embedding clusters: each subset an elongated cloud of its own orientation.
void DemoModel::place_clusters(Rng& layout) {
  for (size_t t = 0; t < cell_types().size(); ++t) {
    Cluster cl;
    cl.cx = kCentres[t][0];
    cl.cy = kCentres[t][1];
    cl.angle = layout.uniform() * std::numbers::pi;
    cl.sd_major = 0.7 + 0.35 * layout.uniform();
    cl.sd_minor = 0.35 + 0.2 * layout.uniform();
    clusters_.push_back(cl);
  }
  for (size_t s = 0; s < samples_.size(); ++s) {
    const double a = layout.uniform() * 2 * std::numbers::pi;
    sample_shift_.push_back(std::cos(a));
    sample_shift_.push_back(std::sin(a));
  }
}

void DemoModel::assign_cells() {
  const size_t S = samples_.size();
  const auto& types = cell_types();
  Rng layout(stream_seed(seed_, kLayout, 1));

  // Samples hold contiguous cell ranges, as when per-sample matrices are concatenated.
  std::vector<double> sample_weight(S);
  double total_weight = 0;
  for (size_t s = 0; s < S; ++s) total_weight += sample_weight[s] = 0.8 + 0.4 * layout.uniform();
  std::vector<size_t> sample_end(S);
  double acc = 0;
  for (size_t s = 0; s < S; ++s) {
    acc += sample_weight[s];
    sample_end[s] = static_cast<size_t>(std::llround(acc / total_weight * n_cells_));
  }
  sample_end[S - 1] = n_cells_;

  // Composition per sample: the condition's shares with patient-to-patient variation.
  std::vector<std::vector<double>> shares(S);
  for (size_t s = 0; s < S; ++s) {
    for (auto& t : types)
      shares[s].push_back(t.share[sample_condition_[s]] * layout.lognormal(0.0, 0.25));
  }

  cell_sample_.resize(n_cells_);
  cell_subset_.resize(n_cells_);
  partner_.assign(n_cells_, 0);
  second_.assign(n_cells_, 0);
  tumor_origin_.assign(n_cells_, 0);
  cycling_.assign(n_cells_, 0);
  total_.resize(n_cells_);
  mito_frac_.resize(n_cells_);
  size_t s = 0;
  for (size_t i = 0; i < n_cells_; ++i) {
    while (i >= sample_end[s]) ++s;
    Rng rng(stream_seed(seed_, kCellMeta, i));
    const int c = sample_condition_[s];
    const int t = static_cast<int>(rng.pick(shares[s]));
    cell_sample_[i] = static_cast<uint8_t>(s);
    cell_subset_[i] = static_cast<uint8_t>(t);
    if (t == kUnassigned) {
      // Doublets and low-quality cells: a blend of one other type with a second; in a
      // tumour about a third of them carry malignant material (and its aneuploidy).
      std::vector<double> w = shares[s];
      w[kUnassigned] = 0;
      int partner;
      if (c != 0 && rng.uniform() < 0.3) {
        partner = kMalignant[rng.below(2)];
        tumor_origin_[i] = 1;
      } else {
        partner = static_cast<int>(rng.pick(w));
        if (partner == 12 || partner == 13) tumor_origin_[i] = 1;
      }
      partner_[i] = static_cast<uint8_t>(partner);
      second_[i] = static_cast<uint8_t>(rng.pick(w));
    } else if (t == 12 || t == 13) {
      tumor_origin_[i] = 1;
    }
    cycling_[i] = rng.uniform() < types[t].cycling[c] ? 1 : 0;
    double size = 400.0 * types[t].size_factor * rng.lognormal(0.0, 0.4);
    total_[i] = static_cast<uint32_t>(std::clamp(size, 80.0, 8000.0));
    double mito = 0.035 * rng.lognormal(0.0, 0.45) * (tumor_origin_[i] ? 1.6 : 1.0);
    mito_frac_[i] = static_cast<float>(std::min(mito, 0.35));
  }
}

void DemoModel::cell_row(size_t i, CellRow& row) const {
  const size_t S = samples_.size();
  Rng rng(stream_seed(seed_, kCounts, i));
  const int t = cell_subset_[i];
  const size_t s = cell_sample_[i];
  const AliasTable* first = &profiles_[t * S + s];
  const AliasTable* second = first;
  double second_share = 0;
  if (t == kUnassigned) {
    first = &profiles_[partner_[i] * S + s];
    // The second half of the blend comes from a random other type of the same sample.
    second = &profiles_[second_[i] * S + s];
    second_share = 0.35 * rng.uniform();
  }
  const double p_mito = mito_frac_[i];
  const double p_cycle = cycling_[i] ? 0.15 : 0.0;

  std::vector<uint32_t>& drawn = row.genes;  // reused as scratch, then compacted
  drawn.clear();
  row.mito = 0;
  for (uint32_t k = 0; k < total_[i]; ++k) {
    const double u = rng.uniform();
    uint32_t g;
    if (u < p_mito) {
      g = mito_genes_[mito_table_.draw(rng)];
      ++row.mito;
    } else if (u < p_mito + p_cycle) {
      g = cycling_genes_[cycling_table_.draw(rng)];
    } else if (u < p_mito + p_cycle + second_share) {
      g = second->draw(rng);
    } else {
      g = first->draw(rng);
    }
    drawn.push_back(g);
  }
  std::sort(drawn.begin(), drawn.end());
  row.counts.clear();
  size_t out = 0;
  for (size_t k = 0; k < drawn.size();) {
    size_t e = k;
    while (e < drawn.size() && drawn[e] == drawn[k]) ++e;
    drawn[out++] = drawn[k];
    row.counts.push_back(static_cast<uint32_t>(e - k));
    k = e;
  }
  drawn.resize(out);
  row.total = total_[i];
  row.values.resize(out);
  const double scale = 1e4 / static_cast<double>(row.total);
  for (size_t k = 0; k < out; ++k)
    row.values[k] = static_cast<float>(std::log1p(row.counts[k] * scale));
}

void DemoModel::cell_umap(size_t i, double out[2]) const {
  Rng rng(stream_seed(seed_, kEmbedding, i));
  const int t = cell_subset_[i];
  const size_t s = cell_sample_[i];
  if (t == kUnassigned) {
    // Between its two sources, nearer the dominant one, and loosely spread.
    const Cluster& a = clusters_[partner_[i]];
    const Cluster& b = clusters_[second_[i]];
    const double f = 0.15 + 0.35 * rng.uniform();
    out[0] = a.cx + f * (b.cx - a.cx) + 1.1 * rng.normal();
    out[1] = a.cy + f * (b.cy - a.cy) + 1.1 * rng.normal();
    return;
  }
  const Cluster& cl = clusters_[t];
  const double u = cl.sd_major * rng.normal(), v = cl.sd_minor * rng.normal();
  double x = cl.cx + u * std::cos(cl.angle) - v * std::sin(cl.angle);
  double y = cl.cy + u * std::sin(cl.angle) + v * std::cos(cl.angle);
  // Malignant cells separate partly by patient; other types only slightly by sample.
  const double shift = (t == 12 || t == 13) ? 0.8 : 0.15;
  x += shift * sample_shift_[2 * s];
  y += shift * sample_shift_[2 * s + 1];
  if (cycling_[i]) {
    x += 0.6 * std::cos(cl.angle + 1.2);
    y += 0.6 * std::sin(cl.angle + 1.2);
  }
  out[0] = x;
  out[1] = y;
}

void DemoModel::build_cnv_events() {
  for (int c = 0; c < 22; ++c)
    for (int b = 0; b < 2 * kChromBins[c]; ++b) cnv_chrom_.push_back(c);
  const size_t B = cnv_chrom_.size();
  std::vector<size_t> first(22, 0), count(22, 0);
  for (size_t b = 0; b < B; ++b) {
    if (count[cnv_chrom_[b]]++ == 0) first[cnv_chrom_[b]] = b;
  }
  // An arm is half a chromosome (p first); amplitude in log2-ratio-like units.
  auto add_arm = [&](std::vector<double>& prof, int chrom, int arm, double amp) {
    const size_t n = count[chrom], f = first[chrom];
    const size_t lo = arm == 1 ? f + n / 2 : f, hi = arm == 0 ? f + n / 2 : f + n;
    for (size_t b = lo; b < hi; ++b) prof[b] += amp;
  };
  // Events shared by the lung tumours (1q, 5p, 7, 8q, 14q, 20 gained; 3p, 9p, 13q, 17p lost).
  struct Event {
    int chrom, arm;  // arm 0 = p, 1 = q, 2 = whole
    double amp;
  };
  const std::vector<Event> trunk = {{0, 1, 0.16},   {4, 0, 0.14},  {6, 2, 0.12},  {7, 1, 0.15},
                                    {13, 1, 0.1},   {19, 2, 0.13}, {2, 0, -0.16}, {8, 0, -0.15},
                                    {12, 1, -0.12}, {16, 0, -0.14}};
  Rng rng(stream_seed(seed_, kCnvClone));
  clone_profiles_.assign(samples_.size() * 2, std::vector<double>(B, 0.0));
  for (size_t s = 0; s < samples_.size(); ++s) {
    if (sample_condition_[s] == 0) continue;
    std::vector<double> base(B, 0.0);
    for (const Event& e : trunk)
      if (rng.uniform() < 0.75) add_arm(base, e.chrom, e.arm, e.amp * (0.8 + 0.4 * rng.uniform()));
    for (int k = 0; k < 3; ++k) {
      const int chrom = static_cast<int>(rng.below(22));
      add_arm(base, chrom, static_cast<int>(rng.below(3)), (rng.uniform() < 0.5 ? -1 : 1) * 0.13);
    }
    clone_profiles_[2 * s] = base;
    // A subclone with one further event.
    std::vector<double> sub = base;
    add_arm(sub, static_cast<int>(rng.below(22)), static_cast<int>(rng.below(2)),
            (rng.uniform() < 0.5 ? -1 : 1) * 0.15);
    clone_profiles_[2 * s + 1] = sub;
  }
}

void DemoModel::cell_cnv(size_t i, double* out) const {
  const size_t B = cnv_chrom_.size();
  Rng rng(stream_seed(seed_, kCnvCell, i));
  std::vector<double> noise(B);
  const double sd = tumor_origin_[i] ? 0.045 : 0.025;
  for (double& n : noise) n = sd * rng.normal();
  // Neighbouring windows share genes, so estimates are smooth along a chromosome.
  for (size_t b = 0; b < B; ++b) {
    double sum = noise[b];
    int k = 1;
    if (b > 0 && cnv_chrom_[b - 1] == cnv_chrom_[b]) sum += noise[b - 1], ++k;
    if (b + 1 < B && cnv_chrom_[b + 1] == cnv_chrom_[b]) sum += noise[b + 1], ++k;
    out[b] = sum / k;
  }
  if (tumor_origin_[i]) {
    const size_t s = cell_sample_[i];
    const auto& clone = clone_profiles_[2 * s + (rng.uniform() < 0.3 ? 1 : 0)];
    const double strength = cell_subset_[i] == kUnassigned ? 0.7 : 1.0;
    for (size_t b = 0; b < B; ++b) out[b] += strength * clone[b];
  }
}

std::vector<std::pair<std::string, size_t>> DemoModel::cnv_chr_pos() const {
  std::vector<std::pair<std::string, size_t>> out;
  for (size_t b = 0; b < cnv_chrom_.size(); ++b) {
    if (b == 0 || cnv_chrom_[b] != cnv_chrom_[b - 1])
      out.push_back({"chr" + std::to_string(cnv_chrom_[b] + 1), b});
  }
  return out;
}

}  // namespace norvex::demo
