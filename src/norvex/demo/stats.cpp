#include "norvex/demo/stats.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>

#include "norvex/common/fold_change.hpp"
#include "norvex/demo/random.hpp"

namespace norvex::demo {

double normal_two_sided(double z) {
  return std::erfc(std::fabs(z) / std::sqrt(2.0));
}

std::vector<double> bh_adjust(const std::vector<double>& pvals) {
  const size_t m = pvals.size();
  std::vector<size_t> order(m);
  std::iota(order.begin(), order.end(), 0);
  std::stable_sort(order.begin(), order.end(),
                   [&](size_t a, size_t b) { return pvals[a] < pvals[b]; });
  std::vector<double> adj(m);
  double running = 1.0;
  for (size_t r = m; r-- > 0;) {
    const double v = pvals[order[r]] * static_cast<double>(m) / static_cast<double>(r + 1);
    running = std::min(running, v);
    adj[order[r]] = std::min(1.0, running);
  }
  return adj;
}

RankResult wilcoxon_rank_sum(const GeneColumns& data, const std::vector<int8_t>& group) {
  double n1 = 0, n2 = 0;
  for (int8_t g : group) n1 += g == 1, n2 += g == 2;
  const double N = n1 + n2;
  const size_t G = data.columns.size();
  RankResult r;
  r.scores.assign(G, 0.0);
  r.logfoldchanges.assign(G, 0.0);
  r.pvals.assign(G, 1.0);
  r.frac1.assign(G, 0.0);
  r.frac2.assign(G, 0.0);
  std::vector<std::pair<float, int8_t>> nz;
  for (size_t g = 0; g < G; ++g) {
    nz.clear();
    double sum1 = 0, sum2 = 0;  // of the log-scale values, for the fold change
    for (auto& [cell, v] : data.columns[g]) {
      const int8_t k = group[cell];
      if (k == 0) continue;
      nz.push_back({v, k});
      (k == 1 ? sum1 : sum2) += static_cast<double>(v);
    }
    double nz1 = 0;
    for (auto& e : nz) nz1 += e.second == 1;
    const double nz2 = static_cast<double>(nz.size()) - nz1;
    r.frac1[g] = n1 > 0 ? nz1 / n1 : 0;
    r.frac2[g] = n2 > 0 ? nz2 / n2 : 0;
    const double mean1 = n1 > 0 ? sum1 / n1 : 0, mean2 = n2 > 0 ? sum2 / n2 : 0;
    r.logfoldchanges[g] = log2_fold_change(mean1, mean2);
    if (nz.empty() || n1 == 0 || n2 == 0) continue;

    // Zeros tie at the lowest ranks; the non-zero values follow in order.
    std::sort(nz.begin(), nz.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    const double zeros = N - static_cast<double>(nz.size());
    const double zeros1 = n1 - nz1;
    double rank_sum1 = zeros1 * (zeros + 1.0) / 2.0;
    double tie_term = zeros * zeros * zeros - zeros;
    for (size_t k = 0; k < nz.size();) {
      size_t e = k;
      while (e < nz.size() && nz[e].first == nz[k].first) ++e;
      const double t = static_cast<double>(e - k);
      const double avg = zeros + (static_cast<double>(k) + 1.0 + static_cast<double>(e)) / 2.0;
      for (size_t j = k; j < e; ++j)
        if (nz[j].second == 1) rank_sum1 += avg;
      tie_term += t * t * t - t;
      k = e;
    }
    const double expected = n1 * (N + 1.0) / 2.0;
    const double var = n1 * n2 / 12.0 * ((N + 1.0) - tie_term / (N * (N - 1.0)));
    if (var <= 0) continue;
    const double z = (rank_sum1 - expected) / std::sqrt(var);
    r.scores[g] = z;
    r.pvals[g] = normal_two_sided(z);
  }
  r.pvals_adj = bh_adjust(r.pvals);
  return r;
}

namespace {

double log_choose(double n, double k) {
  return std::lgamma(n + 1) - std::lgamma(k + 1) - std::lgamma(n - k + 1);
}

struct Walk {
  double es = 0;
  size_t peak = 0;  // index into the hit list where the extreme lies
};

// Enrichment score from the sorted hit positions, without walking all N genes: the
// running sum only rises at hits, so its extremes lie at a hit or just before one.
Walk enrichment(const std::vector<double>& abs_scores, const std::vector<size_t>& hits, size_t N) {
  // All-zero scores (nothing detected) fall back to unweighted steps.
  double norm = 0;
  for (size_t p : hits) norm += abs_scores[p];
  const bool weighted = norm > 0;
  if (!weighted) norm = static_cast<double>(hits.size());
  const double k = static_cast<double>(hits.size());
  const double miss_step = 1.0 / (static_cast<double>(N) - k);
  Walk best;
  double hit_sum = 0, max_dev = 0, min_dev = 0;
  size_t max_at = 0, min_at = 0;
  for (size_t j = 0; j < hits.size(); ++j) {
    const double misses = static_cast<double>(hits[j] - j);
    const double before = hit_sum / norm - misses * miss_step;
    if (before < min_dev) min_dev = before, min_at = j;
    hit_sum += weighted ? abs_scores[hits[j]] : 1.0;
    const double at = hit_sum / norm - misses * miss_step;
    if (at > max_dev) max_dev = at, max_at = j;
  }
  if (max_dev >= -min_dev) {
    best.es = max_dev;
    best.peak = max_at;
  } else {
    best.es = min_dev;
    best.peak = min_at;
  }
  return best;
}

// The observed enrichment of one set and its leading edge: the hits up to the peak
// (positive score) or from it on (negative).
GseaResult observed_enrichment(const std::vector<double>& abs_scores,
                               const std::vector<std::string>& ranked_genes,
                               const std::string& name, const std::vector<size_t>& hits) {
  const size_t N = abs_scores.size();
  GseaResult r;
  r.term = name;
  r.set_size = hits.size();
  const Walk w = enrichment(abs_scores, hits, N);
  r.es = w.es;
  if (w.es >= 0) {
    for (size_t j = 0; j <= w.peak && j < hits.size(); ++j)
      r.lead_genes.push_back(ranked_genes[hits[j]]);
    r.peak_rank = hits.empty() ? 0 : hits[w.peak] + 1;
  } else {
    for (size_t j = w.peak; j < hits.size(); ++j) r.lead_genes.push_back(ranked_genes[hits[j]]);
    r.peak_rank = hits.empty() ? 0 : N - hits[w.peak];
  }
  r.n_lead = r.lead_genes.size();
  return r;
}

// Enrichment scores of `n_perm` random sets of `set_size` genes. Floyd's sampling keeps
// each draw O(set size); `taken` is all zeros before and after.
std::vector<double> null_enrichments(const std::vector<double>& abs_scores, size_t set_size,
                                     size_t n_perm, Rng& rng, std::vector<uint8_t>& taken) {
  const size_t N = abs_scores.size();
  std::vector<double> null_es;
  std::vector<size_t> perm_hits;
  for (size_t p = 0; p < n_perm; ++p) {
    perm_hits.clear();
    for (size_t j = N - set_size; j < N; ++j) {
      size_t t = rng.below(j + 1);
      if (taken[t]) t = j;
      taken[t] = 1;
      perm_hits.push_back(t);
    }
    for (size_t t : perm_hits) taken[t] = 0;
    std::sort(perm_hits.begin(), perm_hits.end());
    null_es.push_back(enrichment(abs_scores, perm_hits, N).es);
  }
  return null_es;
}

// Normalises by the mean null score of the same sign and takes the nominal p from the
// same-sign nulls. Returns the normalised nulls, which the FDR compares across sets.
std::vector<double> normalise(GseaResult& r, const std::vector<double>& null_es) {
  double pos_sum = 0, neg_sum = 0, pos_n = 0, neg_n = 0;
  for (double e : null_es) {
    if (e >= 0)
      pos_sum += e, ++pos_n;
    else
      neg_sum += e, ++neg_n;
  }
  const double pos_mean = pos_n ? pos_sum / pos_n : 0, neg_mean = neg_n ? -neg_sum / neg_n : 0;
  if (r.es >= 0) {
    r.nes = pos_mean > 0 ? r.es / pos_mean : 0;
    double ge = 0;
    for (double e : null_es) ge += e >= 0 && e >= r.es;
    r.pval = (ge + 1) / (pos_n + 1);
  } else {
    r.nes = neg_mean > 0 ? r.es / neg_mean : 0;
    double le = 0;
    for (double e : null_es) le += e < 0 && e <= r.es;
    r.pval = (le + 1) / (neg_n + 1);
  }
  std::vector<double> null_nes;
  for (double e : null_es)
    null_nes.push_back(e >= 0 ? (pos_mean > 0 ? e / pos_mean : 0)
                              : (neg_mean > 0 ? e / neg_mean : 0));
  return null_nes;
}

// FDR: the share of same-sign normalised nulls (of all sets) beyond this NES over the share
// of observed ones. FWER: how often the most extreme null NES of a permutation reaches it.
void multiple_testing(std::vector<GseaResult>& out,
                      const std::vector<std::vector<double>>& null_nes, size_t n_perm) {
  std::vector<double> all_null;
  for (auto& v : null_nes) all_null.insert(all_null.end(), v.begin(), v.end());
  for (GseaResult& r : out) {
    const bool pos = r.es >= 0;
    double null_same = 0, null_beyond = 0, obs_same = 0, obs_beyond = 0;
    for (double v : all_null) {
      if ((v >= 0) != pos) continue;
      ++null_same;
      null_beyond += pos ? v >= r.nes : v <= r.nes;
    }
    for (auto& o : out) {
      if ((o.es >= 0) != pos) continue;
      ++obs_same;
      obs_beyond += pos ? o.nes >= r.nes : o.nes <= r.nes;
    }
    const double null_frac = null_same ? null_beyond / null_same : 0;
    const double obs_frac = obs_same ? obs_beyond / obs_same : 1;
    r.fdr = std::min(1.0, obs_frac > 0 ? null_frac / obs_frac : 1.0);
    double beyond = 0;
    for (size_t p = 0; p < n_perm; ++p) {
      double extreme = 0;
      for (const auto& nulls : null_nes) {
        const double v = nulls[p];
        if (pos ? v > extreme : v < extreme) extreme = v;
      }
      beyond += pos ? extreme >= r.nes : extreme <= r.nes;
    }
    r.fwer = n_perm ? std::min(1.0, beyond / static_cast<double>(n_perm)) : 1.0;
  }
}

}  // namespace

double hypergeom_sf(size_t k, size_t N, size_t K, size_t n) {
  if (k == 0) return 1.0;
  const size_t hi = std::min(K, n);
  if (k > hi) return 0.0;
  const double denom = log_choose(static_cast<double>(N), static_cast<double>(n));
  double total = 0;
  for (size_t x = k; x <= hi; ++x) {
    if (n - x > N - K) continue;
    total += std::exp(log_choose(static_cast<double>(K), static_cast<double>(x)) +
                      log_choose(static_cast<double>(N - K), static_cast<double>(n - x)) - denom);
  }
  return std::min(1.0, total);
}

std::vector<GseaResult> gsea_prerank(const std::vector<double>& ranked_scores,
                                     const std::vector<std::string>& ranked_genes,
                                     const std::vector<std::string>& set_names,
                                     const std::vector<std::vector<size_t>>& set_positions,
                                     size_t n_perm, uint64_t seed) {
  const size_t N = ranked_scores.size();
  std::vector<double> abs_scores(N);
  for (size_t i = 0; i < N; ++i) abs_scores[i] = std::fabs(ranked_scores[i]);
  const size_t S = set_positions.size();
  std::vector<GseaResult> out(S);
  std::vector<std::vector<double>> null_nes(S);
  // One generator shared by the gene sets, drawn in order: a seed gives the same null scores.
  Rng rng(seed);
  std::vector<uint8_t> taken(N, 0);
  for (size_t s = 0; s < S; ++s) {
    std::vector<size_t> hits = set_positions[s];
    std::sort(hits.begin(), hits.end());
    out[s] = observed_enrichment(abs_scores, ranked_genes, set_names[s], hits);
    null_nes[s] = normalise(out[s], null_enrichments(abs_scores, hits.size(), n_perm, rng, taken));
  }
  multiple_testing(out, null_nes, n_perm);
  return out;
}

}  // namespace norvex::demo
