// plot_umap: the embedding coloured by an obs column or by gene expression.
#include <algorithm>
#include <cctype>
#include <cmath>

#include "norvex/analysis_tools/params.hpp"
#include "norvex/analysis_tools/tool_common.hpp"
#include "norvex/common/base64.hpp"
#include "norvex/common/errors.hpp"
#include "norvex/common/table.hpp"
#include "norvex/common/text.hpp"
#include "norvex/host/host.hpp"
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

// The var name for a requested gene symbol (exact, then case-insensitive), or nullopt.
std::optional<std::string> find_gene(const AnnData& adata, const std::string& gene) {
  const auto& names = adata.var.index();
  if (std::find(names.begin(), names.end(), gene) != names.end()) return gene;
  const std::string lg = ascii_lower(gene);
  for (const auto& n : names)
    if (ascii_lower(n) == lg) return n;
  return std::nullopt;
}

std::string gene_examples(const AnnData& adata) {
  const auto& names = adata.var.index();
  std::vector<std::string> first;
  for (size_t i = 0; i < names.size() && i < 8; ++i) first.push_back(names[i]);
  return join_limited(first) + (adata.n_vars() > 8 ? ", ..." : "");
}

double quantile(std::vector<float> v, double q) {
  if (v.empty()) return 0;
  q = std::clamp(q, 0.0, 1.0);
  size_t k = static_cast<size_t>(std::floor(q * (v.size() - 1)));
  std::nth_element(v.begin(), v.begin() + k, v.end());
  return v[k];
}

std::string png_b64(const std::string& png) {
  return base64_encode(png);
}

json run_plot_umap(AnnData& adata, const UmapArgs& args, bool show) {
  const UMAPEmbedConfig& embed = args.embed;
  const UMAPPlotConfig& style = args.plot;
  const auto& target_genes = args.target_genes;

  const std::string& basis = embed.basis;
  if (!adata.has_obsm(basis))
    throw KeyError("obsm['" + basis +
                   "'] not found. Available obsm keys: " + join_limited(adata.obsm_keys()));
  const DenseMatrix emb = adata.obsm(basis);
  if (emb.n_cols < 2 || emb.n_rows != adata.n_obs())
    throw ValueError("obsm['" + basis + "'] must have one row per cell and at least 2 columns");

  // Which cells are shown.
  const std::string& ct_col = embed.celltype_col;
  const std::string& cond_col = embed.condition_col;
  std::vector<char> keep(adata.n_obs(), 1);
  std::string selection_note;
  auto restrict = [&](const std::string& col, const std::optional<std::vector<std::string>>& want) {
    if (!want) return;
    Categories cats = obs_categories(adata, col);
    auto matched = match_values(*want, cats.categories, col + " value(s)");
    std::vector<char> ok(cats.categories.size(), 0);
    for (auto& m : matched) ok[cats.find(m)] = 1;
    for (size_t i = 0; i < keep.size(); ++i)
      if (cats.codes[i] < 0 || !ok[cats.codes[i]]) keep[i] = 0;
    selection_note += (selection_note.empty() ? "" : "; ") + join_limited(matched, 6);
  };
  restrict(ct_col, embed.celltypes);
  restrict(cond_col, embed.conditions);
  std::vector<size_t> shown;
  for (size_t i = 0; i < keep.size(); ++i)
    if (keep[i]) shown.push_back(i);
  if (shown.empty()) throw ValueError("No cells match the requested cell types and conditions");

  plotting::ScatterPlot base;
  base.size.width_in = style.width;
  base.size.height_in = style.height;
  if (style.point_size) base.point_radius_px = *style.point_size;
  base.x_label = basis == "X_umap" ? "UMAP1" : basis + " 1";
  base.y_label = basis == "X_umap" ? "UMAP2" : basis + " 2";
  base.labels_on_data = style.legend_loc == "on data";
  base.cmap = style.cmap;
  for (size_t i : shown) {
    base.x.push_back(static_cast<float>(emb.at(i, 0)));
    base.y.push_back(static_cast<float>(emb.at(i, 1)));
  }
  if (shown.size() < adata.n_obs()) {
    for (size_t i = 0; i < keep.size(); ++i) {
      if (keep[i]) continue;
      base.background_x.push_back(static_cast<float>(emb.at(i, 0)));
      base.background_y.push_back(static_cast<float>(emb.at(i, 1)));
    }
  }
  const std::string cells_note = format_count(static_cast<long long>(shown.size())) + " cells" +
                                 (selection_note.empty() ? "" : " · " + selection_note);
  const auto& user_title = style.title;

  std::vector<std::string> pngs;
  json tables = json::object();
  std::string data_noun = "cell group";

  // Colour targets: explicit genes, else color_by (an obs column or a gene), else cell type.
  std::vector<std::string> genes;
  std::optional<std::string> obs_target;
  if (target_genes) {
    std::vector<std::string> missing;
    for (const auto& g : *target_genes) {
      auto found = find_gene(adata, g);
      if (found) {
        if (std::find(genes.begin(), genes.end(), *found) == genes.end()) genes.push_back(*found);
      } else {
        missing.push_back("'" + g + "'");
      }
    }
    // A pathway's gene list rarely exists whole in one dataset: draw the genes that do and
    // name the rest; only a list with no gene present is an error.
    if (genes.empty())
      throw KeyError("Gene(s) not in var names: " + join_limited(missing) +
                     ". Gene names look like: " + gene_examples(adata));
    if (!missing.empty())
      current_host().print("⚠️ WARNING: Gene(s) not in var names, left out: " +
                           join_limited(missing));
  } else {
    const std::string color_by = style.color_by.value_or(ct_col);
    if (adata.obs.has(color_by)) {
      obs_target = color_by;
    } else if (auto g = find_gene(adata, color_by)) {
      genes.push_back(*g);
    } else {
      throw KeyError("'" + color_by + "' is neither an obs column nor a gene in var names. " +
                     "Obs columns: " + join_limited(adata.obs.columns()) +
                     ". Gene names look like: " + gene_examples(adata));
    }
  }

  if (obs_target) {
    Categories cats = obs_categories(adata, *obs_target);
    plotting::ScatterPlot p = base;
    p.categories = cats.categories;
    for (size_t k = 0; k < cats.categories.size(); ++k)
      p.category_colors.push_back(category_color(cats.categories[k], k));
    std::vector<long long> counts(cats.categories.size(), 0);
    long long missing = 0;
    for (size_t i : shown) {
      p.codes.push_back(cats.codes[i]);
      if (cats.codes[i] >= 0)
        ++counts[cats.codes[i]];
      else
        ++missing;
    }
    p.title = user_title.value_or("UMAP coloured by " + *obs_target);
    p.subtitle = cells_note;
    p.legend_title = *obs_target;
    pngs.push_back(plotting::render_scatter_png(p));

    std::vector<std::string> idx;
    json n = json::array(), pct = json::array();
    const double total = static_cast<double>(shown.size());
    for (size_t k = 0; k < counts.size(); ++k) {
      if (!counts[k]) continue;
      idx.push_back(cats.categories[k]);
      n.push_back(counts[k]);
      pct.push_back(100.0 * counts[k] / total);
    }
    if (missing) {
      idx.push_back("(missing)");
      n.push_back(missing);
      pct.push_back(100.0 * missing / total);
    }
    Table t(idx);
    t.add_column("n_cells", n).add_column("percent_of_shown_cells", pct);
    tables[*obs_target] = t.to_json();
  } else {
    data_noun = "cell type";
    const auto& layer = embed.layer;
    const auto expr = adata.gene_expression(genes, layer);
    Categories groups = obs_categories(adata, ct_col);
    const double q = style.vmax_quantile;
    for (size_t g = 0; g < genes.size(); ++g) {
      std::vector<float> vals;
      vals.reserve(shown.size());
      for (size_t i : shown) vals.push_back(expr[g][i]);
      if (g < kMaxGenePanels) {
        plotting::ScatterPlot p = base;
        p.values = vals;
        p.vmin = std::min(0.0, static_cast<double>(*std::min_element(vals.begin(), vals.end())));
        p.vmax = quantile(vals, q);
        if (!(p.vmax > p.vmin)) p.vmax = p.vmin + 1;
        p.title = user_title ? *user_title + (genes.size() > 1 ? " · " + genes[g] : "") : genes[g];
        p.subtitle = "Expression on UMAP · " + cells_note;
        p.colorbar_label = layer ? "Expression (" + *layer + ")" : "Expression";
        pngs.push_back(plotting::render_scatter_png(p));
      }
      // Per cell type among the shown cells: how many express the gene, and how much.
      std::vector<double> sum(groups.categories.size(), 0);
      std::vector<long long> cnt(groups.categories.size(), 0), pos(groups.categories.size(), 0);
      for (size_t k = 0; k < shown.size(); ++k) {
        int32_t c = groups.codes[shown[k]];
        if (c < 0) continue;
        sum[c] += vals[k];
        ++cnt[c];
        if (vals[k] > 0) ++pos[c];
      }
      std::vector<std::string> idx;
      json n = json::array(), mean = json::array(), pct = json::array();
      for (size_t c = 0; c < cnt.size(); ++c) {
        if (!cnt[c]) continue;
        idx.push_back(groups.categories[c]);
        n.push_back(cnt[c]);
        mean.push_back(sum[c] / cnt[c]);
        pct.push_back(100.0 * pos[c] / cnt[c]);
      }
      Table t(idx);
      t.add_column("n_cells", n)
          .add_column("mean_expression", mean)
          .add_column("percent_expressing", pct);
      tables[genes[g]] = t.to_json();
    }
  }

  show_images(show, pngs);
  json result = json::object();
  result["data"] = data_noun;
  if (pngs.size() == 1) {
    result["img_base64"] = png_b64(pngs[0]);
  } else {
    json list = json::array();
    for (auto& p : pngs) list.push_back(png_b64(p));
    result["img_base64"] = list;
  }
  result["table_summaries"] = tables;
  return result;
}

const char* kDefinition = R"(Tool: plot_umap
Draws the precomputed UMAP embedding (obsm['X_umap']) of the cells as a scatter plot.
- Colour by a cell annotation: set plot_cfg.color_by to an obs column, e.g. "celltype_major",
  "celltype_minor", "celltype_subset", "condition" or a sample column listed under obs columns.
- Colour by gene expression: set target_genes to gene symbols (one panel per gene, at most 12),
  or plot_cfg.color_by to a single gene symbol. Gene symbols must suit the species.
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
                "Expression layer for gene colouring; omit to use X."),
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
