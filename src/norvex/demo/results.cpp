#include "norvex/demo/results.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <numeric>

#include "norvex/demo/stats.hpp"

namespace norvex::demo {
namespace {

enum Stream : uint64_t { kSubsample = 20, kGsea = 21, kCci = 22 };

// A data frame with a 0..n-1 index, as results read back from pandas usually have.
class TableBuilder {
 public:
  explicit TableBuilder(size_t n) {
    std::vector<std::string> index;
    for (size_t i = 0; i < n; ++i) index.push_back(std::to_string(i));
    df_.set_index(std::move(index));
  }
  TableBuilder& text(const std::string& name, std::vector<std::string> v) {
    df_.set(name, plain_column(Array::of_strings(std::move(v))));
    return *this;
  }
  TableBuilder& number(const std::string& name, std::vector<double> v,
                       const std::string& dtype = "float64") {
    df_.set(name, plain_column(Array::of_floats(std::move(v), dtype)));
    return *this;
  }
  DataFrame take() { return std::move(df_); }

 private:
  DataFrame df_;
};

std::string fixed(double v, int digits) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.*f", digits, v);
  return buf;
}

std::string join(const std::vector<std::string>& items, const char* sep) {
  std::string out;
  for (size_t i = 0; i < items.size(); ++i) out += (i ? sep : "") + items[i];
  return out;
}

// Index of each subset's result cell type (-1 for unassigned).
std::vector<int> subset_to_result_type() {
  std::vector<int> out;
  for (auto& t : cell_types()) {
    auto& names = result_celltypes();
    auto it = std::find(names.begin(), names.end(), t.minor);
    out.push_back(it == names.end() ? -1 : static_cast<int>(it - names.begin()));
  }
  return out;
}

GeneColumns columns_of(const Subsample& ss, const std::vector<size_t>& rows, size_t n_genes) {
  GeneColumns gc;
  gc.n_cells = rows.size();
  gc.columns.resize(n_genes);
  for (size_t local = 0; local < rows.size(); ++local) {
    const size_t r = rows[local];
    for (size_t k = ss.indptr[r]; k < ss.indptr[r + 1]; ++k)
      gc.columns[ss.genes[k]].push_back({static_cast<uint32_t>(local), ss.values[k]});
  }
  return gc;
}

// Genes expressed in at least 1% of either group, by decreasing score; when many, the 500
// most up and the 500 most down (the middle is uninformative and would bloat uns).
DataFrame deg_table(const RankResult& r, const std::vector<std::string>& genes) {
  std::vector<size_t> order;
  for (size_t g = 0; g < genes.size(); ++g)
    if (std::max(r.frac1[g], r.frac2[g]) >= 0.01) order.push_back(g);
  std::stable_sort(order.begin(), order.end(),
                   [&](size_t a, size_t b) { return r.scores[a] > r.scores[b]; });
  if (order.size() > 1000) order.erase(order.begin() + 500, order.end() - 500);
  std::vector<std::string> names;
  std::vector<double> scores, lfc, p, padj;
  for (size_t g : order) {
    names.push_back(genes[g]);
    scores.push_back(r.scores[g]);
    lfc.push_back(r.logfoldchanges[g]);
    p.push_back(r.pvals[g]);
    padj.push_back(r.pvals_adj[g]);
  }
  return TableBuilder(order.size())
      .text("names", names)
      .number("scores", scores, "float32")
      .number("logfoldchanges", lfc, "float32")
      .number("pvals", p)
      .number("pvals_adj", padj)
      .take();
}

struct PathwayIndex {
  std::vector<std::string> names;
  std::vector<std::vector<uint32_t>> genes;  // gene indices in var
};

PathwayIndex pathway_index(const DemoModel& model) {
  PathwayIndex pi;
  for (auto& p : pathways()) {
    std::vector<uint32_t> idx;
    for (auto& g : p.genes) {
      const int64_t i = model.gene_index(g);
      if (i >= 0) idx.push_back(static_cast<uint32_t>(i));
    }
    if (idx.size() < 5) continue;
    pi.names.push_back(p.name);
    pi.genes.push_back(std::move(idx));
  }
  return pi;
}

DataFrame gsea_table(const RankResult& r, const std::vector<std::string>& genes,
                     const PathwayIndex& pi, uint64_t seed) {
  const size_t G = genes.size();
  std::vector<size_t> order(G);
  std::iota(order.begin(), order.end(), 0);
  std::stable_sort(order.begin(), order.end(),
                   [&](size_t a, size_t b) { return r.scores[a] > r.scores[b]; });
  std::vector<size_t> position(G);
  std::vector<double> ranked_scores(G);
  std::vector<std::string> ranked_genes(G);
  for (size_t k = 0; k < G; ++k) {
    position[order[k]] = k;
    ranked_scores[k] = r.scores[order[k]];
    ranked_genes[k] = genes[order[k]];
  }
  std::vector<std::vector<size_t>> sets;
  for (auto& idx : pi.genes) {
    std::vector<size_t> pos;
    for (uint32_t g : idx) pos.push_back(position[g]);
    sets.push_back(std::move(pos));
  }
  std::vector<GseaResult> res =
      gsea_prerank(ranked_scores, ranked_genes, pi.names, sets, kGseaPermutations, seed);
  std::stable_sort(res.begin(), res.end(),
                   [](const GseaResult& a, const GseaResult& b) { return a.nes > b.nes; });
  std::vector<std::string> name, term, tag, gene_pct, lead;
  std::vector<double> es, nes, p, fdr, fwer;
  for (auto& x : res) {
    name.push_back("prerank");
    term.push_back(x.term);
    es.push_back(x.es);
    nes.push_back(x.nes);
    p.push_back(x.pval);
    fdr.push_back(x.fdr);
    fwer.push_back(x.fwer);
    tag.push_back(std::to_string(x.n_lead) + "/" + std::to_string(x.set_size));
    gene_pct.push_back(fixed(100.0 * static_cast<double>(x.peak_rank) / G, 2) + "%");
    lead.push_back(join(x.lead_genes, ";"));
  }
  return TableBuilder(res.size())
      .text("Name", name)
      .text("Term", term)
      .number("ES", es)
      .number("NES", nes)
      .number("NOM p-val", p)
      .number("FDR q-val", fdr)
      .number("FWER p-val", fwer)
      .text("Tag %", tag)
      .text("Gene %", gene_pct)
      .text("Lead_genes", lead)
      .take();
}

// Over-representation of the significantly up-regulated genes (Enrichr-style table).
DataFrame gsa_table(const RankResult& r, const std::vector<std::string>& genes,
                    const PathwayIndex& pi) {
  std::vector<size_t> up;
  for (size_t g = 0; g < genes.size(); ++g)
    if (r.pvals_adj[g] < 0.05 && r.logfoldchanges[g] > 0.25 && r.scores[g] > 0) up.push_back(g);
  std::stable_sort(up.begin(), up.end(),
                   [&](size_t a, size_t b) { return r.scores[a] > r.scores[b]; });
  if (up.size() > 300) up.resize(300);
  std::vector<bool> is_up(genes.size(), false);
  for (size_t g : up) is_up[g] = true;

  const size_t N = genes.size(), n = up.size();
  struct Row {
    size_t set, k;
    double p, odds;
    std::vector<std::string> hits;
  };
  std::vector<Row> rows;
  std::vector<double> all_p;
  for (size_t s = 0; s < pi.genes.size(); ++s) {
    Row row{s, 0, 1.0, 0.0, {}};
    for (uint32_t g : pi.genes[s])
      if (is_up[g]) ++row.k, row.hits.push_back(genes[g]);
    const size_t K = pi.genes[s].size();
    row.p = hypergeom_sf(row.k, N, K, n);
    const double a = row.k, b = static_cast<double>(K - row.k), c = static_cast<double>(n - row.k),
                 d = static_cast<double>(N - K - n + row.k);
    row.odds = (a * d) / std::max(b * c, 0.5);
    all_p.push_back(row.p);
    rows.push_back(std::move(row));
  }
  // Adjusted over every set in the library, as Enrichr does.
  const std::vector<double> adj = bh_adjust(all_p);
  std::vector<size_t> keep;
  for (size_t s = 0; s < rows.size(); ++s)
    if (rows[s].k > 0) keep.push_back(s);
  std::stable_sort(keep.begin(), keep.end(),
                   [&](size_t a, size_t b) { return rows[a].p < rows[b].p; });
  std::vector<std::string> gene_set, term, overlap, hit_genes;
  std::vector<double> p, padj, odds, combined;
  for (size_t s : keep) {
    const Row& row = rows[s];
    gene_set.push_back("Pathways_DB");
    term.push_back(pi.names[row.set]);
    overlap.push_back(std::to_string(row.k) + "/" + std::to_string(pi.genes[row.set].size()));
    p.push_back(row.p);
    padj.push_back(adj[s]);
    odds.push_back(row.odds);
    combined.push_back(row.odds * -std::log(std::max(row.p, 1e-300)));
    hit_genes.push_back(join(row.hits, ";"));
  }
  return TableBuilder(keep.size())
      .text("Gene_set", gene_set)
      .text("Term", term)
      .text("Overlap", overlap)
      .number("P-value", p)
      .number("Adjusted P-value", padj)
      .number("Odds Ratio", odds)
      .number("Combined Score", combined)
      .text("Genes", hit_genes)
      .take();
}

// CellPhoneDB's statistical analysis in long form: the mean of the ligand's mean in the
// source and the receptor's mean in the target, for pairs expressed in at least 10% of
// both clusters; p-value by shuffling the cluster labels.
DataFrame cci_table(const DemoModel& model, const Subsample& ss, const std::vector<size_t>& rows,
                    const std::vector<int>& labels, uint64_t seed) {
  const auto& lr = ligand_receptor_pairs();
  const auto& types = result_celltypes();
  const size_t T = types.size();
  std::vector<uint32_t> lr_genes;
  std::map<uint32_t, size_t> column_of;
  for (auto& p : lr) {
    for (auto* g : {&p.ligand, &p.receptor}) {
      const uint32_t gi = static_cast<uint32_t>(model.gene_index(*g));
      if (column_of.emplace(gi, lr_genes.size()).second) lr_genes.push_back(gi);
    }
  }
  const size_t C = lr_genes.size(), n = rows.size();
  std::vector<float> dense(n * C, 0.0f);
  for (size_t local = 0; local < n; ++local) {
    const size_t r = rows[local];
    for (size_t k = ss.indptr[r]; k < ss.indptr[r + 1]; ++k) {
      auto it = column_of.find(ss.genes[k]);
      if (it != column_of.end()) dense[local * C + it->second] = ss.values[k];
    }
  }
  auto cluster_stats = [&](const std::vector<int>& lab, std::vector<double>& mean,
                           std::vector<double>* frac, std::vector<double>& size) {
    mean.assign(T * C, 0.0);
    size.assign(T, 0.0);
    if (frac) frac->assign(T * C, 0.0);
    for (size_t i = 0; i < n; ++i) {
      const size_t t = static_cast<size_t>(lab[i]);
      size[t] += 1;
      for (size_t c = 0; c < C; ++c) {
        const float v = dense[i * C + c];
        mean[t * C + c] += v;
        if (frac && v > 0) (*frac)[t * C + c] += 1;
      }
    }
    for (size_t t = 0; t < T; ++t)
      for (size_t c = 0; c < C; ++c) {
        if (size[t] > 0) mean[t * C + c] /= size[t];
        if (frac && size[t] > 0) (*frac)[t * C + c] /= size[t];
      }
  };
  std::vector<double> mean, frac, size;
  cluster_stats(labels, mean, &frac, size);

  struct Hit {
    size_t pair, src, dst;
    size_t ligand_col, receptor_col;
    double mean;
    double beyond = 0;
  };
  std::vector<Hit> hits;
  for (size_t p = 0; p < lr.size(); ++p) {
    const size_t cl = column_of[static_cast<uint32_t>(model.gene_index(lr[p].ligand))];
    const size_t cr = column_of[static_cast<uint32_t>(model.gene_index(lr[p].receptor))];
    for (size_t a = 0; a < T; ++a) {
      if (size[a] < 5 || frac[a * C + cl] < 0.1) continue;
      for (size_t b = 0; b < T; ++b) {
        if (size[b] < 5 || frac[b * C + cr] < 0.1) continue;
        hits.push_back({p, a, b, cl, cr, (mean[a * C + cl] + mean[b * C + cr]) / 2.0});
      }
    }
  }
  Rng rng(seed);
  std::vector<int> shuffled = labels;
  std::vector<double> pmean, psize;
  for (size_t it = 0; it < kCciPermutations && !hits.empty(); ++it) {
    rng.shuffle(shuffled);
    cluster_stats(shuffled, pmean, nullptr, psize);
    for (Hit& h : hits) {
      if ((pmean[h.src * C + h.ligand_col] + pmean[h.dst * C + h.receptor_col]) / 2.0 >= h.mean)
        h.beyond += 1;
    }
  }
  std::vector<std::string> pair, ga, gb, src, dst;
  std::vector<double> m, pv;
  for (const Hit& h : hits) {
    pair.push_back(lr[h.pair].ligand + "_" + lr[h.pair].receptor);
    ga.push_back(lr[h.pair].ligand);
    gb.push_back(lr[h.pair].receptor);
    src.push_back(types[h.src]);
    dst.push_back(types[h.dst]);
    m.push_back(h.mean);
    pv.push_back(h.beyond / static_cast<double>(kCciPermutations));
  }
  return TableBuilder(hits.size())
      .text("interacting_pair", pair)
      .text("gene_a", ga)
      .text("gene_b", gb)
      .text("source", src)
      .text("target", dst)
      .number("mean", m)
      .number("pvalue", pv)
      .take();
}

}  // namespace

const std::vector<std::string>& result_celltypes() {
  static const std::vector<std::string> names = [] {
    std::vector<std::string> out;
    for (auto& t : cell_types())
      if (t.minor != "unassigned" && std::find(out.begin(), out.end(), t.minor) == out.end())
        out.push_back(t.minor);
    return out;
  }();
  return names;
}

Subsample draw_subsample(const DemoModel& model, size_t cap_per_group) {
  const size_t n_types = cell_types().size();
  std::vector<std::vector<uint32_t>> groups(n_types * kConditions);
  for (size_t i = 0; i < model.n_cells(); ++i)
    groups[model.cell_subset(i) * kConditions + model.cell_condition(i)].push_back(
        static_cast<uint32_t>(i));
  Rng rng(stream_seed(model.seed(), kSubsample));
  Subsample ss;
  for (auto& g : groups) {
    if (g.size() > cap_per_group) {
      rng.shuffle(g);
      g.resize(cap_per_group);
    }
    ss.cells.insert(ss.cells.end(), g.begin(), g.end());
  }
  std::sort(ss.cells.begin(), ss.cells.end());
  ss.indptr.push_back(0);
  CellRow row;
  for (uint32_t c : ss.cells) {
    model.cell_row(c, row);
    ss.genes.insert(ss.genes.end(), row.genes.begin(), row.genes.end());
    ss.values.insert(ss.values.end(), row.values.begin(), row.values.end());
    ss.indptr.push_back(ss.genes.size());
  }
  return ss;
}

UnsDict pathway_database() {
  UnsDict db;
  size_t n = 0;
  for (auto& p : pathways()) {
    std::vector<std::string> genes = p.genes;
    // Every seventh pathway's last symbol keeps the line break of the file it came from.
    if (n++ % 7 == 3) genes.back() += "\n";
    db.set(p.name, UnsNode(Array::of_strings(std::move(genes))));
  }
  return db;
}

void add_results(const DemoModel& model, const Subsample& ss, UnsDict& uns) {
  const auto& genes = model.genes();
  const auto& conditions = condition_names();
  const std::vector<int> result_type = subset_to_result_type();
  const PathwayIndex pi = pathway_index(model);
  UnsDict deg, deg_ref, gsea, gsea_ref, gsa, gsa_ref;
  uint64_t table_no = 0;

  for (size_t t = 0; t < result_celltypes().size(); ++t) {
    std::vector<size_t> rows;
    for (size_t r = 0; r < ss.cells.size(); ++r)
      if (result_type[model.cell_subset(ss.cells[r])] == static_cast<int>(t)) rows.push_back(r);
    if (rows.empty()) continue;
    const GeneColumns data = columns_of(ss, rows, genes.size());
    std::vector<int> cond(rows.size());
    for (size_t k = 0; k < rows.size(); ++k) cond[k] = model.cell_condition(ss.cells[rows[k]]);

    UnsDict d_rest, d_ref, g_rest, g_ref, o_rest, o_ref;
    auto compare = [&](int c, bool vs_ref, UnsDict& d, UnsDict& g, UnsDict& o) {
      std::vector<int8_t> group(rows.size(), 0);
      size_t n1 = 0, n2 = 0;
      for (size_t k = 0; k < rows.size(); ++k) {
        if (cond[k] == c)
          group[k] = 1, ++n1;
        else if (!vs_ref || cond[k] == 0)
          group[k] = 2, ++n2;
      }
      if (n1 < kMinCellsPerGroup || n2 < kMinCellsPerGroup) return;
      const RankResult r = wilcoxon_rank_sum(data, group);
      const std::string key = conditions[c] + (vs_ref ? "_vs_" + conditions[0] : "_vs_rest");
      d.set(key, UnsNode(deg_table(r, genes)));
      g.set(key, UnsNode(gsea_table(r, genes, pi, stream_seed(model.seed(), kGsea, table_no++))));
      o.set(key, UnsNode(gsa_table(r, genes, pi)));
    };
    for (int c = 0; c < kConditions; ++c) compare(c, false, d_rest, g_rest, o_rest);
    for (int c = 1; c < kConditions; ++c) compare(c, true, d_ref, g_ref, o_ref);
    const std::string& name = result_celltypes()[t];
    if (!d_rest.empty()) {
      deg.set(name, UnsNode(std::move(d_rest)));
      gsea.set(name, UnsNode(std::move(g_rest)));
      gsa.set(name, UnsNode(std::move(o_rest)));
    }
    if (!d_ref.empty()) {
      deg_ref.set(name, UnsNode(std::move(d_ref)));
      gsea_ref.set(name, UnsNode(std::move(g_ref)));
      gsa_ref.set(name, UnsNode(std::move(o_ref)));
    }
  }
  uns.set("DEG", UnsNode(std::move(deg)));
  uns.set("DEG_vs_ref", UnsNode(std::move(deg_ref)));
  uns.set("GSEA", UnsNode(std::move(gsea)));
  uns.set("GSEA_vs_ref", UnsNode(std::move(gsea_ref)));
  uns.set("GSA_up", UnsNode(std::move(gsa)));
  uns.set("GSA_vs_ref_up", UnsNode(std::move(gsa_ref)));

  // Interactions per condition and per sample, among the typed cells of each.
  auto interactions = [&](auto in_group, uint64_t stream_index) {
    std::vector<size_t> rows;
    std::vector<int> labels;
    for (size_t r = 0; r < ss.cells.size(); ++r) {
      const int t = result_type[model.cell_subset(ss.cells[r])];
      if (t < 0 || !in_group(ss.cells[r])) continue;
      rows.push_back(r);
      labels.push_back(t);
    }
    return cci_table(model, ss, rows, labels, stream_seed(model.seed(), kCci, stream_index));
  };
  UnsDict cci, cci_sample;
  for (int c = 0; c < kConditions; ++c)
    cci.set(conditions[c],
            UnsNode(interactions([&](uint32_t i) { return model.cell_condition(i) == c; }, c)));
  for (size_t s = 0; s < model.samples().size(); ++s)
    cci_sample.set(
        model.samples()[s],
        UnsNode(interactions(
            [&](uint32_t i) { return static_cast<size_t>(model.cell_sample(i)) == s; }, 100 + s)));
  uns.set("CCI", UnsNode(std::move(cci)));
  uns.set("CCI_sample", UnsNode(std::move(cci_sample)));
}

}  // namespace norvex::demo
