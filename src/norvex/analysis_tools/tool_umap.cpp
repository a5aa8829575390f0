// plot_umap: the embedding coloured by an obs column or by gene expression.
#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>

#include "norvex/analysis_tools/comparisons.hpp"
#include "norvex/analysis_tools/params.hpp"
#include "norvex/analysis_tools/tool_common.hpp"
#include "norvex/common/base64.hpp"
#include "norvex/common/errors.hpp"
#include "norvex/common/table.hpp"
#include "norvex/common/text.hpp"
#include "norvex/plotting/plot.hpp"

namespace norvex::detail {

namespace {

constexpr size_t kMaxGenePanels = 12;

// The arguments, filled from the parameter table in register_plot_umap.
struct UMAPEmbedConfig {
  std::string basis;
  std::string celltype_col;
  std::optional<TextList> celltypes;
  std::string condition_col;
  std::optional<TextList> conditions;
  std::optional<std::string> layer;
  std::optional<bool> use_raw;
};
struct UMAPPlotConfig {
  std::optional<std::string> color_by;
  std::string legend_loc;
  std::optional<double> point_size;
  std::string cmap;
  double vmax_quantile;
  std::optional<std::string> title;
  double width;
  double height;
};
struct UmapArgs {
  std::optional<TextList> target_genes;
  UMAPEmbedConfig embed;
  UMAPPlotConfig plot;
};

// The gene name among `names` for a requested gene symbol (exact, then case-insensitive),
// or nullopt.
std::optional<std::string> find_gene(const std::vector<std::string>& names,
                                     const std::string& gene) {
  if (std::find(names.begin(), names.end(), gene) != names.end()) return gene;
  const std::string lg = ascii_lower(gene);
  for (const auto& n : names)
    if (ascii_lower(n) == lg) return n;
  return std::nullopt;
}

std::string gene_examples(const std::vector<std::string>& names) {
  std::vector<std::string> first;
  for (size_t i = 0; i < names.size() && i < 8; ++i) first.push_back(names[i]);
  return join_limited(first) + (names.size() > 8 ? ", ..." : "");
}

double quantile(std::vector<float> v, double q) {
  if (v.empty()) return 0;
  q = std::clamp(q, 0.0, 1.0);
  size_t k = static_cast<size_t>(std::floor(q * (v.size() - 1)));
  std::nth_element(v.begin(), v.begin() + k, v.end());
  return v[k];
}

// ---- select: the cells shown and what colours them ----

struct UmapSelection {
  DenseMatrix embedding;       // obsm[basis]
  std::vector<char> keep;      // per cell: shown
  std::vector<size_t> shown;   // the shown cells, in order
  std::string selection_note;  // the chosen cell types / conditions, for the subtitle
  // Colour: genes (one panel each) from `source`, else an obs column.
  std::vector<std::string> genes;
  std::optional<std::string> obs_target;
  ExpressionSource source;
};

// The cells of the chosen cell types and conditions (all when none is chosen).
void select_shown_cells(UmapSelection& s, const AnnData& adata, const UMAPEmbedConfig& embed) {
  s.keep.assign(adata.n_obs(), 1);
  auto restrict = [&](const std::string& col, const std::optional<std::vector<std::string>>& want) {
    if (!want) return;
    Categories cats = obs_categories(adata, col);
    auto matched = match_values(*want, cats.categories, col + " value(s)");
    std::vector<char> ok(cats.categories.size(), 0);
    for (auto& m : matched) ok[cats.find(m)] = 1;
    for (size_t i = 0; i < s.keep.size(); ++i)
      if (cats.codes[i] < 0 || !ok[cats.codes[i]]) s.keep[i] = 0;
    s.selection_note += (s.selection_note.empty() ? "" : "; ") + join_limited(matched, 6);
  };
  restrict(embed.celltype_col, embed.celltypes);
  restrict(embed.condition_col, embed.conditions);
  for (size_t i = 0; i < s.keep.size(); ++i)
    if (s.keep[i]) s.shown.push_back(i);
  if (s.shown.empty()) throw ValueError("No cells match the requested cell types and conditions");
}

// Colour targets: explicit genes, else color_by (an obs column or a gene), else cell type.
void select_colour(UmapSelection& s, const AnnData& adata, const UmapArgs& args,
                   Warnings& warnings) {
  const std::string color_by = args.plot.color_by.value_or(args.embed.celltype_col);
  if (!args.target_genes && adata.obs.has(color_by)) {
    s.obs_target = color_by;
    return;
  }
  // Genes come from the same source as in every other tool: a layer, else use_raw, else raw
  // when the dataset has it.
  s.source = expression_source(adata, args.embed.layer, args.embed.use_raw);
  const std::vector<std::string> names = source_gene_names(adata, s.source);
  const std::string where = s.source.raw ? "raw var names" : "var names";
  if (args.target_genes) {
    std::vector<std::string> missing;
    for (const auto& g : *args.target_genes) {
      auto found = find_gene(names, g);
      if (found) {
        if (std::find(s.genes.begin(), s.genes.end(), *found) == s.genes.end())
          s.genes.push_back(*found);
      } else {
        missing.push_back("'" + g + "'");
      }
    }
    // A pathway's gene list rarely exists whole in one dataset: draw the genes that do and
    // name the rest; only a list with no gene present is an error.
    if (s.genes.empty())
      throw KeyError("Gene(s) not in " + where + ": " + join_limited(missing) +
                     ". Gene names look like: " + gene_examples(names));
    if (!missing.empty())
      warnings.push_back("Gene(s) not in " + where + ", left out: " + join_limited(missing));
    return;
  }
  if (auto g = find_gene(names, color_by)) {
    s.genes.push_back(*g);
  } else {
    throw KeyError("'" + color_by + "' is neither an obs column nor a gene in " + where + ". " +
                   "Obs columns: " + join_limited(adata.obs.columns()) +
                   ". Gene names look like: " + gene_examples(names));
  }
}

UmapSelection select_umap(const AnnData& adata, const UmapArgs& args, Warnings& warnings) {
  const std::string& basis = args.embed.basis;
  if (!adata.has_obsm(basis))
    throw KeyError("obsm['" + basis +
                   "'] not found. Available obsm keys: " + join_limited(adata.obsm_keys()));
  UmapSelection s;
  s.embedding = adata.obsm(basis);
  if (s.embedding.n_cols < 2 || s.embedding.n_rows != adata.n_obs())
    throw ValueError("obsm['" + basis + "'] must have one row per cell and at least 2 columns");
  select_shown_cells(s, adata, args.embed);
  select_colour(s, adata, args, warnings);
  return s;
}

// ---- compute: counts per category, or each gene's values and per-cell-type summary ----

struct UmapCategoryCounts {
  Categories categories;          // obs[obs_target]
  std::vector<long long> counts;  // shown cells per category
  long long missing = 0;          // shown cells without a value
};
struct UmapGeneValues {
  std::vector<float> values;  // per shown cell
  double vmin = 0, vmax = 1;  // the colour scale
  // Per cell type among the shown cells: cells, their summed value, cells above zero.
  std::vector<double> sum;
  std::vector<long long> cnt, pos;
};
struct UmapStats {
  std::optional<UmapCategoryCounts> by_category;
  Categories celltypes;  // obs[celltype_col], for the genes' summaries
  std::vector<UmapGeneValues> genes;
};

UmapStats compute_umap(const AnnData& adata, const UmapSelection& s, const UmapArgs& args) {
  UmapStats out;
  if (s.obs_target) {
    UmapCategoryCounts c;
    c.categories = obs_categories(adata, *s.obs_target);
    c.counts.assign(c.categories.categories.size(), 0);
    for (size_t i : s.shown) {
      if (c.categories.codes[i] >= 0)
        ++c.counts[c.categories.codes[i]];
      else
        ++c.missing;
    }
    out.by_category = std::move(c);
    return out;
  }
  const auto expr = source_expression(adata, s.source, s.genes);
  out.celltypes = obs_categories(adata, args.embed.celltype_col);
  const Categories& groups = out.celltypes;
  for (size_t g = 0; g < s.genes.size(); ++g) {
    UmapGeneValues v;
    v.values.reserve(s.shown.size());
    for (size_t i : s.shown) v.values.push_back(expr[g][i]);
    v.vmin =
        std::min(0.0, static_cast<double>(*std::min_element(v.values.begin(), v.values.end())));
    v.vmax = quantile(v.values, args.plot.vmax_quantile);
    if (!(v.vmax > v.vmin)) v.vmax = v.vmin + 1;
    v.sum.assign(groups.categories.size(), 0);
    v.cnt.assign(groups.categories.size(), 0);
    v.pos.assign(groups.categories.size(), 0);
    for (size_t k = 0; k < s.shown.size(); ++k) {
      int32_t c = groups.codes[s.shown[k]];
      if (c < 0) continue;
      v.sum[c] += v.values[k];
      ++v.cnt[c];
      if (v.values[k] > 0) ++v.pos[c];
    }
    out.genes.push_back(std::move(v));
  }
  return out;
}

// ---- present ----

// The scatter every panel starts from: the shown cells, the others in grey behind them.
plotting::ScatterPlot base_scatter(const UmapSelection& s, const UmapArgs& args) {
  const std::string& basis = args.embed.basis;
  const UMAPPlotConfig& style = args.plot;
  plotting::ScatterPlot base;
  base.size.width_in = style.width;
  base.size.height_in = style.height;
  if (style.point_size) base.point_radius_px = *style.point_size;
  base.x_label = basis == "X_umap" ? "UMAP1" : basis + " 1";
  base.y_label = basis == "X_umap" ? "UMAP2" : basis + " 2";
  base.labels_on_data = style.legend_loc == "on data";
  base.cmap = style.cmap;
  for (size_t i : s.shown) {
    base.x.push_back(static_cast<float>(s.embedding.at(i, 0)));
    base.y.push_back(static_cast<float>(s.embedding.at(i, 1)));
  }
  if (s.shown.size() < s.keep.size()) {
    for (size_t i = 0; i < s.keep.size(); ++i) {
      if (s.keep[i]) continue;
      base.background_x.push_back(static_cast<float>(s.embedding.at(i, 0)));
      base.background_y.push_back(static_cast<float>(s.embedding.at(i, 1)));
    }
  }
  return base;
}

// The figure coloured by the category and its table of shown cells per category.
Table present_categories(const UmapSelection& s, const UmapCategoryCounts& c,
                         plotting::ScatterPlot p, const std::string& cells_note,
                         const UmapArgs& args, std::vector<std::string>& pngs) {
  const Categories& cats = c.categories;
  p.categories = cats.categories;
  for (size_t k = 0; k < cats.categories.size(); ++k)
    p.category_colors.push_back(category_color(cats.categories[k], k));
  for (size_t i : s.shown) p.codes.push_back(cats.codes[i]);
  p.title = args.plot.title.value_or("UMAP coloured by " + *s.obs_target);
  p.subtitle = cells_note;
  p.legend_title = *s.obs_target;
  pngs.push_back(plotting::render_scatter_png(p));

  std::vector<std::string> idx;
  json n = json::array(), pct = json::array();
  const double total = static_cast<double>(s.shown.size());
  for (size_t k = 0; k < c.counts.size(); ++k) {
    if (!c.counts[k]) continue;
    idx.push_back(cats.categories[k]);
    n.push_back(c.counts[k]);
    pct.push_back(100.0 * c.counts[k] / total);
  }
  if (c.missing) {
    idx.push_back("(missing)");
    n.push_back(c.missing);
    pct.push_back(100.0 * c.missing / total);
  }
  Table t(idx);
  t.add_column("n_cells", n).add_column("percent_of_shown_cells", pct);
  return t;
}

// The colour bar names where the values come from and how the colours map onto them, so a
// panel read alone is not mistaken for another source or for an uncapped scale.
std::string colorbar_label(const ExpressionSource& source, const UmapGeneValues& v,
                           double vmax_quantile) {
  std::string scale;
  if (vmax_quantile >= 1) {
    scale = "up to the maximum";
  } else {
    char pct[32];
    std::snprintf(pct, sizeof pct, "%g", vmax_quantile * 100);
    scale = std::string("capped at the ") + pct + "th percentile";
  }
  return "Expression (" + source.label + ")\n" + (v.vmin < 0 ? "scaled values, " : "") + scale;
}

// A gene's panel (the first kMaxGenePanels genes are drawn) and its per-cell-type table.
Table present_gene(const UmapSelection& s, const UmapStats& stats, size_t g,
                   const plotting::ScatterPlot& base, const std::string& cells_note,
                   const UmapArgs& args, std::vector<std::string>& pngs) {
  const UmapGeneValues& v = stats.genes[g];
  const auto& user_title = args.plot.title;
  if (g < kMaxGenePanels) {
    plotting::ScatterPlot p = base;
    p.values = v.values;
    p.vmin = v.vmin;
    p.vmax = v.vmax;
    p.title =
        user_title ? *user_title + (s.genes.size() > 1 ? " · " + s.genes[g] : "") : s.genes[g];
    p.subtitle = "Expression on UMAP · " + s.source.label + " · " + cells_note;
    p.colorbar_label = colorbar_label(s.source, v, args.plot.vmax_quantile);
    pngs.push_back(plotting::render_scatter_png(p));
  }
  std::vector<std::string> idx;
  json n = json::array(), mean = json::array(), pct = json::array();
  for (size_t c = 0; c < v.cnt.size(); ++c) {
    if (!v.cnt[c]) continue;
    idx.push_back(stats.celltypes.categories[c]);
    n.push_back(v.cnt[c]);
    mean.push_back(v.sum[c] / v.cnt[c]);
    pct.push_back(100.0 * v.pos[c] / v.cnt[c]);
  }
  Table t(idx);
  t.add_column("n_cells", n)
      .add_column("mean_expression", mean)
      .add_column("percent_expressing", pct);
  return t;
}

json present_umap(const UmapSelection& s, const UmapStats& stats, const UmapArgs& args) {
  const plotting::ScatterPlot base = base_scatter(s, args);
  const std::string cells_note = format_count(static_cast<long long>(s.shown.size())) + " cells" +
                                 (s.selection_note.empty() ? "" : " · " + s.selection_note);
  std::vector<std::string> pngs;
  json tables = json::object();
  std::string data_noun = "cell group";
  if (stats.by_category) {
    tables[*s.obs_target] =
        present_categories(s, *stats.by_category, base, cells_note, args, pngs).to_json();
  } else {
    data_noun = "cell type";
    for (size_t g = 0; g < s.genes.size(); ++g)
      tables[s.genes[g]] = present_gene(s, stats, g, base, cells_note, args, pngs).to_json();
  }
  json result = json::object();
  result["data"] = data_noun;
  if (pngs.size() == 1) {
    result["img_base64"] = base64_encode(pngs[0]);
  } else {
    json list = json::array();
    for (auto& p : pngs) list.push_back(base64_encode(p));
    result["img_base64"] = list;
  }
  result["table_summaries"] = tables;
  return result;
}

json run_plot_umap(AnnData& adata, const UmapArgs& args, Warnings& warnings) {
  const UmapSelection s = select_umap(adata, args, warnings);
  const UmapStats stats = compute_umap(adata, s, args);
  return present_umap(s, stats, args);
}

const char* kDefinition = R"(Tool: plot_umap
Draws the precomputed UMAP embedding (obsm['X_umap']) of the cells as a scatter plot.
- Colour by a cell annotation: set plot_cfg.color_by to an obs column, e.g. "celltype_major",
  "celltype_minor", "celltype_subset", "condition" or a sample column listed under obs columns.
- Colour by gene expression: set target_genes to gene symbols (one panel per gene, at most 12),
  or plot_cfg.color_by to a single gene symbol. Gene symbols must suit the species.
  Expression: raw when the dataset has it, else X; embed_cfg.layer or embed_cfg.use_raw
  overrides.
- Restrict the cells shown: embed_cfg.celltypes (values of the column named in
  embed_cfg.celltype_col, default celltype_major) and/or embed_cfg.conditions (values of
  obs['condition']). Other cells stay in light grey for orientation.
- plot_cfg.legend_loc "on data" writes the category names onto the clusters (useful with many
  cell types); "right margin" (default) draws a legend beside the plot.
Returns the figure(s) and a table of cell counts per category (or, for genes, mean expression
and percent of expressing cells per cell type).
Use when the user asks for a UMAP, an embedding view, where cells or cell types lie, or how a
gene's expression is distributed over the cells.)";

}  // namespace

void register_plot_umap() {
  const RecordParams<UMAPEmbedConfig> embed{
      "UMAPEmbedConfig",
      "Which embedding and which cells",
      {
          param(&UMAPEmbedConfig::basis, "basis", "X_umap",
                "obsm key of the embedding. Keep \"X_umap\" unless the user names another."),
          // Any obs column works; the planner is offered the cell-type levels.
          param(&UMAPEmbedConfig::celltype_col, "celltype_col", "celltype_major",
                "Cell-type level that `celltypes` refers to.")
              .one_of({"celltype_major", "celltype_minor", "celltype_subset"},
                      Enforce::schema_only),
          param(&UMAPEmbedConfig::celltypes, "celltypes", nullptr,
                "Show only these cell types: values EXACTLY as listed for the chosen "
                "celltype_col in DATA CONTEXT. Omit to show all cells."),
          param(&UMAPEmbedConfig::condition_col, "condition_col", "condition",
                "obs column holding conditions; keep \"condition\"."),
          param(&UMAPEmbedConfig::conditions, "conditions", nullptr,
                "Show only cells of these conditions: values EXACTLY as listed under conditions "
                "in DATA CONTEXT. Omit for all."),
          param(&UMAPEmbedConfig::layer, "layer", nullptr,
                "Expression layer for gene colouring; omit for raw when present, else X."),
          param(&UMAPEmbedConfig::use_raw, "use_raw", nullptr,
                "true: raw expression; false: X; omit for raw when present, else X. A layer "
                "overrides both."),
      }};
  const RecordParams<UMAPPlotConfig> plot{
      "UMAPPlotConfig",
      "Appearance",
      {
          param(&UMAPPlotConfig::color_by, "color_by", nullptr,
                "An obs column from DATA CONTEXT (e.g. celltype_major, celltype_minor, "
                "condition) or ONE gene symbol. Omit to colour by celltype_col."),
          // Anything but "on data" draws the legend beside the plot.
          param(&UMAPPlotConfig::legend_loc, "legend_loc", "right margin",
                "Legend beside the plot, or labels on the clusters.")
              .one_of({"right margin", "on data"}, Enforce::schema_only),
          param(&UMAPPlotConfig::point_size, "point_size", nullptr,
                "Point radius in pixels; omit for automatic.")
              .range(0.3, 12.0, Enforce::clamp),
          param(&UMAPPlotConfig::cmap, "cmap", "viridis", "Colour map for gene expression.")
              .one_of(plotting::sequential_cmaps()),
          // Quantiles below 0.5 still work (a lower cap); the planner is offered 0.5..1.
          param(&UMAPPlotConfig::vmax_quantile, "vmax_quantile", 0.99,
                "Upper quantile that caps the expression colour scale.")
              .range(0.5, 1.0, Enforce::schema_only),
          param(&UMAPPlotConfig::title, "title", nullptr,
                "Figure title; omit for an automatic title."),
          param(&UMAPPlotConfig::width, "width", 8.0, "Figure width in inches.").range(3, 30),
          param(&UMAPPlotConfig::height, "height", 6.0, "Figure height in inches.").range(3, 30),
      }};
  register_builtin_tool("plot_umap", kDefinition,
                        ToolParams<UmapArgs>({
                            target_genes_param(&UmapArgs::target_genes,
                                               "Gene symbols to colour by expression, one panel "
                                               "each (max 12). Concrete symbols only."),
                            record(&UmapArgs::embed, "embed_cfg", embed),
                            record(&UmapArgs::plot, "plot_cfg", plot),
                        }),
                        run_plot_umap);
}

}  // namespace norvex::detail
