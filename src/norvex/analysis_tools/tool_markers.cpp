// plot_markers_and_expression_dot: marker genes of each group (Wilcoxon rank-sum, one group
// against the rest, computed from the expression matrix in one streaming pass) and the dot
// plot of expression across groups.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <unordered_map>

#include "norvex/analysis_tools/comparisons.hpp"
#include "norvex/analysis_tools/params.hpp"
#include "norvex/analysis_tools/rank_tests.hpp"
#include "norvex/analysis_tools/tool_common.hpp"
#include "norvex/common/base64.hpp"
#include "norvex/common/errors.hpp"
#include "norvex/common/table.hpp"
#include "norvex/common/text.hpp"
#include "norvex/plotting/plot.hpp"

namespace norvex::detail {

namespace {

const char* kGenes = "Concrete gene symbols for the species in DATA CONTEXT.";
// More groups than this make an unreadable dot plot and a table nobody reads.
constexpr size_t kMaxGroups = 100;

struct MarkerFindConfig {
  std::string celltype_col;
  long long n_top;
  std::string method;
  std::optional<std::string> layer;
  std::optional<bool> use_raw;
  bool include_unassigned;
};
struct MarkerPlotConfig {
  std::optional<std::string> standard_scale;
  bool swap_axes;
  std::optional<std::string> title;
  double width;
  double height;
};
struct MarkerDotArgs {
  std::optional<TextList> target_genes;
  MarkerFindConfig find;
  MarkerPlotConfig plot;
};

json number(double v) {
  return std::isfinite(v) ? json(v) : json(nullptr);
}

// ---- select: the groups, the expression source and the genes tested ----

struct MarkerSelection {
  std::vector<std::string> groups;  // categories with cells, in category order
  std::vector<int32_t> codes;       // per cell: its group, or -1
  std::string source_label;         // "raw", "X" or "layers['...']"
  ChunkedMatrix source;
  std::vector<std::string> var_names;  // of the source
  // The matrix columns tested: the requested genes, or every gene when markers are searched.
  std::vector<size_t> columns;
  bool requested = false;  // genes were given
  std::string left_out;    // "75 unassigned cells left out", for the subtitle, or empty
};

// Cells without a real label: markers of "unassigned" say nothing, and counting these cells
// in "the rest" blurs every other group's contrast.
bool is_unassigned_label(const std::string& label) {
  const std::string l = ascii_lower(label);
  return l == "unassigned" || l == "nan";
}

// Groups: the categories that have cells, in category order; unlabelled groups left out
// (with their cells) unless `include_unassigned`. ValueError for fewer than two or more
// than kMaxGroups.
void select_groups(MarkerSelection& s, const AnnData& adata, const std::string& column,
                   bool include_unassigned) {
  const Categories cats = obs_categories(adata, column);
  std::vector<long long> sizes(cats.categories.size(), 0);
  for (int32_t c : cats.codes)
    if (c >= 0) ++sizes[static_cast<size_t>(c)];
  std::vector<int32_t> compact(cats.categories.size(), -1);
  std::vector<std::string> dropped;
  long long n_dropped = 0;
  for (size_t c = 0; c < sizes.size(); ++c)
    if (sizes[c] > 0 && !include_unassigned && is_unassigned_label(cats.categories[c])) {
      dropped.push_back("'" + cats.categories[c] + "'");
      n_dropped += sizes[c];
    } else if (sizes[c] > 0) {
      compact[c] = static_cast<int32_t>(s.groups.size());
      s.groups.push_back(cats.categories[c]);
    }
  if (s.groups.size() < 2)
    throw ValueError("Marker genes need at least two groups in obs['" + column + "'] (found " +
                     std::to_string(s.groups.size()) + ")");
  if (s.groups.size() > kMaxGroups)
    throw ValueError("obs['" + column + "'] has " + std::to_string(s.groups.size()) +
                     " groups; marker dot plots take at most " + std::to_string(kMaxGroups) +
                     ". Choose a coarser grouping column.");
  s.codes.assign(cats.codes.size(), -1);
  for (size_t i = 0; i < s.codes.size(); ++i)
    if (cats.codes[i] >= 0) s.codes[i] = compact[static_cast<size_t>(cats.codes[i])];
  // Said in the figure rather than warned about: most annotated datasets have such cells.
  if (!dropped.empty())
    s.left_out = format_count(n_dropped) + " cells labelled " + join_limited(dropped) + " left out";
}

MarkerSelection select_markers(const AnnData& adata, const MarkerDotArgs& args,
                               Warnings& warnings) {
  const MarkerFindConfig& cfg = args.find;
  MarkerSelection s;
  select_groups(s, adata, cfg.celltype_col, cfg.include_unassigned);
  // Expression follows the usual convention: raw when the file has it, else X; a layer or
  // use_raw overrides.
  const ExpressionSource chosen = expression_source(adata, cfg.layer, cfg.use_raw);
  s.source_label = chosen.raw ? "raw" : (cfg.layer ? "layers['" + *cfg.layer + "']" : "X");
  if (chosen.raw) {
    s.source.info = adata.raw_info();
    s.source.visit = [&adata](size_t rows, const std::function<void(const RowChunk&)>& fn) {
      adata.for_each_raw_row_chunk(rows, fn);
    };
  } else {
    s.source.info = adata.x_info(cfg.layer);
    s.source.visit = [&adata, layer = cfg.layer](size_t rows,
                                                 const std::function<void(const RowChunk&)>& fn) {
      adata.for_each_row_chunk(rows, fn, layer);
    };
  }
  s.var_names = source_gene_names(adata, chosen);
  s.requested = args.target_genes.has_value();
  if (args.target_genes) {
    // Exact names first, then case-insensitive; missing ones warned about with close names.
    const std::vector<std::string> names = resolve_genes(
        *args.target_genes, s.var_names, "the gene names of " + s.source_label, warnings);
    std::unordered_map<std::string, size_t> position;
    for (size_t i = s.var_names.size(); i-- > 0;) position[s.var_names[i]] = i;  // first wins
    for (const auto& g : names) s.columns.push_back(position.at(g));
  } else {
    s.columns.resize(s.var_names.size());
    for (size_t i = 0; i < s.columns.size(); ++i) s.columns[i] = i;
  }
  return s;
}

// ---- compute: the tests, the genes of the table and the dot plot, the dot values ----

struct MarkerDots {
  MarkerStats stats;  // every tested gene of every group against the rest
  // "... holds negative values (scaled data) ..." when the source is scaled, else empty.
  std::string scaled_note;
  // Per group, the genes of the table (positions in the selection's columns); the dot
  // plot's genes with the group each one marks (when markers are searched).
  std::vector<std::vector<size_t>> table_genes;
  std::vector<size_t> dot_genes;
  std::vector<std::string> dot_blocks;
  // Per group and dot gene: mean expression, share of cells above zero, and the colour
  // value (the mean, or scaled 0-1 per gene or per group) on [vmin, vmax].
  std::vector<std::vector<double>> mean, fraction, colour;
  std::string scale;  // "", "var" or "group"
  double vmin = 0, vmax = 1;
};

// Per group, its table genes: every requested gene, or the n_top best scores; the dot
// plot's genes, each once, under the first group it marks.
void choose_marker_genes(MarkerDots& d, const MarkerSelection& s, size_t n_top) {
  const size_t n_groups = s.groups.size(), n_cols = s.columns.size();
  d.table_genes.assign(n_groups, {});
  if (s.requested) {
    for (size_t g = 0; g < n_groups; ++g)
      for (size_t k = 0; k < n_cols; ++k) d.table_genes[g].push_back(k);
    for (size_t k = 0; k < n_cols; ++k) d.dot_genes.push_back(k);
    return;
  }
  std::vector<size_t> order(n_cols);
  for (size_t g = 0; g < n_groups; ++g) {
    for (size_t k = 0; k < order.size(); ++k) order[k] = k;
    auto score = [&](size_t k) {
      const double v = d.stats.scores[d.stats.at(g, k)];
      return std::isnan(v) ? -INFINITY : v;
    };
    const size_t take = std::min(n_top, order.size());
    std::partial_sort(
        order.begin(), order.begin() + static_cast<long>(take), order.end(),
        [&](size_t a, size_t b) { return score(a) > score(b) || (score(a) == score(b) && a < b); });
    d.table_genes[g].assign(order.begin(), order.begin() + static_cast<long>(take));
    // A gene that marks two groups is drawn once, under the first.
    for (size_t k : d.table_genes[g])
      if (std::find(d.dot_genes.begin(), d.dot_genes.end(), k) == d.dot_genes.end()) {
        d.dot_genes.push_back(k);
        d.dot_blocks.push_back(s.groups[g]);
      }
  }
}

// The dot plot's values; scaled to 0-1 per gene or per group when asked. "none" (or no
// value) colours by the means themselves.
void dot_values(MarkerDots& d, size_t n_groups, const std::optional<std::string>& standard_scale) {
  d.scale = standard_scale.value_or("none");
  if (d.scale == "none") d.scale.clear();
  const size_t n_dots = d.dot_genes.size();
  d.colour.assign(n_groups, std::vector<double>(n_dots));
  d.fraction = d.colour;
  d.mean = d.colour;
  for (size_t g = 0; g < n_groups; ++g)
    for (size_t j = 0; j < n_dots; ++j) {
      d.mean[g][j] = d.stats.mean_expression[d.stats.at(g, d.dot_genes[j])];
      d.fraction[g][j] = d.stats.fraction_expressing[d.stats.at(g, d.dot_genes[j])];
    }
  d.colour = d.mean;
  auto rescale = [](std::vector<double*> cells) {
    double lo = INFINITY, hi = -INFINITY;
    for (double* v : cells)
      if (std::isfinite(*v)) lo = std::min(lo, *v), hi = std::max(hi, *v);
    for (double* v : cells) *v = hi > lo ? (*v - lo) / (hi - lo) : 0.0;
  };
  if (d.scale == "var") {
    for (size_t j = 0; j < n_dots; ++j) {
      std::vector<double*> cells;
      for (size_t g = 0; g < n_groups; ++g) cells.push_back(&d.colour[g][j]);
      rescale(cells);
    }
  } else if (d.scale == "group") {
    for (size_t g = 0; g < n_groups; ++g) {
      std::vector<double*> cells;
      for (size_t j = 0; j < n_dots; ++j) cells.push_back(&d.colour[g][j]);
      rescale(cells);
    }
  }
  d.vmin = 0;
  d.vmax = 1;
  if (d.scale.empty()) {
    d.vmax = 0;
    for (auto& row : d.colour)
      for (double v : row)
        if (std::isfinite(v)) d.vmin = std::min(d.vmin, v), d.vmax = std::max(d.vmax, v);
    if (d.vmax <= d.vmin) d.vmax = d.vmin + 1;
  }
}

MarkerDots compute_markers(const MarkerSelection& s, const MarkerDotArgs& args,
                           Warnings& warnings) {
  MarkerDots d;
  d.stats = rank_genes_against_rest(s.source, s.codes, s.groups.size(), s.columns);
  if (d.stats.negative_values)
    d.scaled_note = s.source_label +
                    " holds negative values (scaled data): dots count cells above zero, not "
                    "cells expressing";
  if (!d.scaled_note.empty())
    warnings.push_back(d.scaled_note +
                       ". Give find_cfg.layer a layer of normalised counts for the usual "
                       "reading.");
  choose_marker_genes(d, s, static_cast<size_t>(args.find.n_top));
  dot_values(d, s.groups.size(), args.plot.standard_scale);
  return d;
}

// ---- present ----

std::string present_dot_plot(const MarkerSelection& s, const MarkerDots& d,
                             const MarkerDotArgs& args) {
  const MarkerFindConfig& cfg = args.find;
  const MarkerPlotConfig& style = args.plot;
  const std::vector<std::string>& groups = s.groups;
  long long n_cells = 0;
  for (long long n : d.stats.group_sizes) n_cells += n;
  plotting::DotPlot p;
  for (size_t g = 0; g < groups.size(); ++g)
    p.groups.push_back(groups[g] + " (n=" + format_count(d.stats.group_sizes[g]) + ")");
  for (size_t k : d.dot_genes) p.genes.push_back(s.var_names[s.columns[k]]);
  p.gene_blocks = d.dot_blocks;
  p.fraction = d.fraction;
  p.color = d.colour;
  p.vmin = d.vmin;
  p.vmax = d.vmax;
  p.groups_as_columns = style.swap_axes;
  p.group_axis_label = cfg.celltype_col;
  p.colorbar_label = d.scale == "var"     ? "Mean expression\n(scaled 0–1 per gene)"
                     : d.scale == "group" ? "Mean expression\n(scaled 0–1 per group)"
                                          : "Mean expression\nin group";
  p.size_label = "Cells expressing\n(% of group)";
  const size_t n_dots = d.dot_genes.size();
  if (s.requested) {
    p.title = style.title.value_or("Expression of " + std::to_string(n_dots) + " gene" +
                                   (n_dots == 1 ? "" : "s") + " by " + cfg.celltype_col);
    p.subtitle = "Requested genes · " + format_count(n_cells) + " cells · " + s.source_label;
  } else {
    p.title = style.title.value_or("Marker genes of each " + cfg.celltype_col);
    p.subtitle = "Top " + std::to_string(static_cast<size_t>(cfg.n_top)) +
                 " per group by Wilcoxon rank-sum score (group vs rest) · " +
                 format_count(n_cells) + " cells · " + s.source_label;
  }
  // Large enough for every label: about 0.3 inch per dot, room for labels and legends.
  const size_t n_x = style.swap_axes ? groups.size() : n_dots;
  const size_t n_y = style.swap_axes ? n_dots : groups.size();
  p.size.width_in = std::clamp(3.6 + 0.3 * n_x, style.width, 60.0);
  p.size.height_in = std::clamp(2.6 + 0.3 * n_y, style.height, 60.0);
  if (!s.left_out.empty()) p.subtitle += " · " + s.left_out;
  if (!d.scaled_note.empty()) {
    p.subtitle += " · " + d.scaled_note;
    p.size_label = "Cells above zero\n(% of group)";
  }
  return plotting::render_dot_png(p);
}

// The marker table: per group, its genes with their statistics.
Table marker_table(const MarkerSelection& s, const MarkerDots& d) {
  json c_group = json::array(), c_names = json::array(), c_scores = json::array(),
       c_lfc = json::array(), c_p = json::array(), c_padj = json::array();
  for (size_t g = 0; g < s.groups.size(); ++g)
    for (size_t k : d.table_genes[g]) {
      const size_t at = d.stats.at(g, k);
      c_group.push_back(s.groups[g]);
      c_names.push_back(s.var_names[s.columns[k]]);
      c_scores.push_back(number(d.stats.scores[at]));
      c_lfc.push_back(number(d.stats.logfoldchanges[at]));
      c_p.push_back(number(d.stats.pvals[at]));
      c_padj.push_back(number(d.stats.pvals_adj[at]));
    }
  Table markers;
  markers.add_column("group", c_group)
      .add_column("names", c_names)
      .add_column("scores", c_scores)
      .add_column("logfoldchanges", c_lfc)
      .add_column("pvals", c_p)
      .add_column("pvals_adj", c_padj);
  return markers;
}

// What the dot plot shows, dot by dot.
Table dot_table(const MarkerSelection& s, const MarkerDots& d) {
  json d_group = json::array(), d_gene = json::array(), d_n = json::array(), d_expr = json::array(),
       d_frac = json::array(), d_mean = json::array();
  for (size_t g = 0; g < s.groups.size(); ++g)
    for (size_t j = 0; j < d.dot_genes.size(); ++j) {
      const long long n = d.stats.group_sizes[g];
      d_group.push_back(s.groups[g]);
      d_gene.push_back(s.var_names[s.columns[d.dot_genes[j]]]);
      d_n.push_back(n);
      const double f = d.fraction[g][j];
      d_expr.push_back(std::isfinite(f) ? json(std::llround(f * static_cast<double>(n)))
                                        : json(nullptr));
      d_frac.push_back(number(f));
      d_mean.push_back(number(d.mean[g][j]));
    }
  Table dots;
  dots.add_column("group", d_group)
      .add_column("gene", d_gene)
      .add_column("n_cells", d_n)
      .add_column("n_expressing", d_expr)
      .add_column("fraction_expressing", d_frac)
      .add_column("mean_expression", d_mean);
  return dots;
}

json run_plot_markers_and_expression_dot(AnnData& adata, const MarkerDotArgs& args,
                                         Warnings& warnings) {
  const MarkerSelection s = select_markers(adata, args, warnings);
  const MarkerDots d = compute_markers(s, args, warnings);
  const std::string png = present_dot_plot(s, d, args);
  json result = json::object();
  result["data"] = "marker gene";  // headings add the plural "s"
  result["img_base64"] = base64_encode(png);
  result["table_summaries"] =
      json{{"markers", marker_table(s, d).to_json()}, {"dot_plot", dot_table(s, d).to_json()}};
  return result;
}

const char* kDefinition = R"(Tool: plot_markers_and_expression_dot
Finds the marker genes of each group (cell type) from the expression matrix: every gene of
each group against all other cells with the Wilcoxon rank-sum test (z score, p-value,
Benjamini-Hochberg adjusted p-value per group, log2 fold change of expm1(mean log
expression)), and
draws the classic dot plot: dot size is the percent of cells of the group expressing the
gene, colour its mean expression.
- find_cfg.celltype_col: the grouping, usually "celltype_major", "celltype_minor" or
  "celltype_subset" (any obs column with at most 100 groups works).
- find_cfg.n_top: markers per group (default 5).
- Cells labelled "unassigned" or NaN are left out unless find_cfg.include_unassigned is true.
- Expression: raw when the dataset has it, else X; find_cfg.layer (a layer name) or
  find_cfg.use_raw (true/false) overrides.
- target_genes: show these genes instead of the found markers (e.g. canonical markers the
  user names); the table then gives their statistics in every group.
- plot_cfg.standard_scale: "var" scales each gene's colour 0-1 across groups (default),
  "group" scales within each group, "none" shows the means themselves.
- plot_cfg.swap_axes: groups on the columns and genes on the rows.
Returns the figure, the marker table (group, names, scores, logfoldchanges, pvals,
pvals_adj) and the dot values per group and gene.
Use for questions about marker genes, genes that define or distinguish clusters / cell
types, canonical markers' expression across cell types, or dot plots.)";

}  // namespace

void register_plot_markers_and_expression_dot() {
  const RecordParams<MarkerFindConfig> find{
      "MarkerFindConfig",
      "Grouping and marker search",
      {
          param(&MarkerFindConfig::celltype_col, "celltype_col", "celltype_major",
                "obs column whose groups are compared, each against the rest."),
          param(&MarkerFindConfig::n_top, "n_top", 5, "Marker genes per group.")
              .range(1, 50, Enforce::clamp),
          param(&MarkerFindConfig::method, "method", "wilcoxon",
                "Test: the Wilcoxon rank-sum test.")
              .one_of({"wilcoxon"}),
          param(&MarkerFindConfig::layer, "layer", nullptr,
                "Expression layer; omit for raw when present, else X."),
          param(&MarkerFindConfig::use_raw, "use_raw", nullptr,
                "true: raw expression; false: X; omit for raw when present, else X."),
          param(&MarkerFindConfig::include_unassigned, "include_unassigned", false,
                "Also compare the groups labelled \"unassigned\" or NaN (left out by "
                "default, with their cells)."),
      }};
  const RecordParams<MarkerPlotConfig> plot{
      "MarkerPlotConfig",
      "Appearance",
      {
          param(&MarkerPlotConfig::standard_scale, "standard_scale", "var",
                "\"var\": colour scaled 0-1 per gene; \"group\": per group; \"none\": the "
                "means themselves.")
              .one_of({"var", "group", "none"}),
          param(&MarkerPlotConfig::swap_axes, "swap_axes", false,
                "Groups as columns and genes as rows."),
          param(&MarkerPlotConfig::title, "title", nullptr,
                "Figure title; omit for an automatic title."),
          param(&MarkerPlotConfig::width, "width", 9.0,
                "Minimum figure width in inches (grows with the genes).")
              .range(3, 30),
          param(&MarkerPlotConfig::height, "height", 6.0,
                "Minimum figure height in inches (grows with the groups).")
              .range(3, 30),
      }};
  register_builtin_tool("plot_markers_and_expression_dot", kDefinition,
                        ToolParams<MarkerDotArgs>({
                            target_genes_param(&MarkerDotArgs::target_genes, kGenes),
                            record(&MarkerDotArgs::find, "find_cfg", find),
                            record(&MarkerDotArgs::plot, "plot_cfg", plot),
                        }),
                        run_plot_markers_and_expression_dot);
}

}  // namespace norvex::detail
