// plot_sankey: how cells flow between annotation levels (celltype_major -> celltype_minor
// -> celltype_subset, or condition -> cell type), as an interactive page and a PNG.
#include <algorithm>
#include <map>

#include "norvex/analysis_tools/params.hpp"
#include "norvex/analysis_tools/shared_records.hpp"
#include "norvex/analysis_tools/tool_common.hpp"
#include "norvex/common/base64.hpp"
#include "norvex/common/errors.hpp"
#include "norvex/common/table.hpp"
#include "norvex/plotting/result_plots.hpp"

namespace norvex::detail {

namespace {

// ---- plot_sankey ----
struct SankeyArgs {
  std::optional<TextList> levels;
  std::optional<std::string> title;
  ObsFilter obs_filter;
};

const TextList kDefaultLevels = {"celltype_major", "celltype_minor", "celltype_subset"};

// Cells kept by the filter: the chosen cell types and conditions (all when not given).
std::vector<bool> filtered_cells(const AnnData& adata, const ObsFilter& f) {
  std::vector<bool> keep(adata.n_obs(), true);
  auto restrict = [&](const std::string& col, const std::optional<TextList>& values) {
    if (!values) return;
    const Categories c = obs_categories(adata, col);
    const auto wanted = match_values(*values, c.categories, "value of obs['" + col + "']");
    std::vector<bool> allowed(c.categories.size(), false);
    for (auto& w : wanted) allowed[c.find(w)] = true;
    for (size_t i = 0; i < keep.size(); ++i)
      keep[i] = keep[i] && c.codes[i] >= 0 && allowed[c.codes[i]];
  };
  restrict(f.celltype_col, f.celltypes);
  restrict(f.condition_col, f.conditions);
  return keep;
}

json run_plot_sankey(AnnData& adata, const SankeyArgs& args, bool show) {
  TextList levels = args.levels.value_or(kDefaultLevels);
  if (levels.size() < 2)
    throw ValueError("levels needs at least two obs columns to show flows between, got " +
                     std::to_string(levels.size()));
  std::vector<Categories> cats;
  for (const auto& l : levels) cats.push_back(obs_categories(adata, l));
  const std::vector<bool> keep = filtered_cells(adata, args.obs_filter);

  // Cells with a value at every level; the node and link counts are theirs.
  const size_t n_levels = levels.size();
  std::vector<std::vector<double>> node_count(n_levels);
  for (size_t l = 0; l < n_levels; ++l) node_count[l].assign(cats[l].categories.size(), 0);
  std::vector<std::map<std::pair<int32_t, int32_t>, double>> link_count(n_levels - 1);
  double total = 0;
  for (size_t i = 0; i < adata.n_obs(); ++i) {
    if (!keep[i]) continue;
    bool complete = true;
    for (size_t l = 0; l < n_levels && complete; ++l) complete = cats[l].codes[i] >= 0;
    if (!complete) continue;
    total += 1;
    for (size_t l = 0; l < n_levels; ++l) node_count[l][cats[l].codes[i]] += 1;
    for (size_t l = 0; l + 1 < n_levels; ++l)
      link_count[l][{cats[l].codes[i], cats[l + 1].codes[i]}] += 1;
  }

  plotting::SankeyDiagram d;
  d.levels = levels;
  std::vector<std::vector<size_t>> node_of(n_levels);
  for (size_t l = 0; l < n_levels; ++l) {
    node_of[l].assign(cats[l].categories.size(), SIZE_MAX);
    std::vector<size_t> order;
    for (size_t c = 0; c < cats[l].categories.size(); ++c)
      if (node_count[l][c] > 0) order.push_back(c);
    // Beyond the first level, nodes sit beside the nodes they come from (the mean position of
    // their sources), which keeps a hierarchy's branches together and flows uncrossed.
    if (l > 0) {
      std::map<size_t, double> weight, pos;
      for (auto& [ab, n] : link_count[l - 1]) {
        const size_t from = node_of[l - 1][ab.first];
        weight[ab.second] += n;
        pos[ab.second] += n * static_cast<double>(from);
      }
      std::stable_sort(order.begin(), order.end(),
                       [&](size_t a, size_t b) { return pos[a] / weight[a] < pos[b] / weight[b]; });
    }
    for (size_t c : order) {
      node_of[l][c] = d.nodes.size();
      // Colours by category position in the column, as the UMAP and population figures.
      d.nodes.push_back(
          {l, cats[l].categories[c], node_count[l][c], category_color(cats[l].categories[c], c)});
    }
  }
  std::vector<std::string> idx;
  json from_level = json::array(), from = json::array(), to_level = json::array(),
       to = json::array(), cells = json::array(), pct_from = json::array(), pct_to = json::array(),
       pct_all = json::array();
  for (size_t l = 0; l + 1 < n_levels; ++l) {
    // Links in the order of their source node, then target node, as drawn.
    std::vector<std::pair<std::pair<int32_t, int32_t>, double>> ls(link_count[l].begin(),
                                                                   link_count[l].end());
    std::stable_sort(ls.begin(), ls.end(), [&](const auto& a, const auto& b) {
      const size_t fa = node_of[l][a.first.first], fb = node_of[l][b.first.first];
      if (fa != fb) return fa < fb;
      return node_of[l + 1][a.first.second] < node_of[l + 1][b.first.second];
    });
    for (auto& [ab, n] : ls) {
      const size_t a = node_of[l][ab.first], b = node_of[l + 1][ab.second];
      d.links.push_back({a, b, n});
      idx.push_back(std::to_string(idx.size() + 1));
      from_level.push_back(levels[l]);
      from.push_back(d.nodes[a].label);
      to_level.push_back(levels[l + 1]);
      to.push_back(d.nodes[b].label);
      cells.push_back(static_cast<long long>(n));
      pct_from.push_back(100.0 * n / d.nodes[a].count);
      pct_to.push_back(100.0 * n / d.nodes[b].count);
      pct_all.push_back(100.0 * n / total);
    }
  }
  std::string flow;
  for (size_t l = 0; l < n_levels; ++l) flow += (l ? " → " : "") + levels[l];
  d.title = args.title.value_or("Cell flow: " + flow);
  d.subtitle = format_count(static_cast<long long>(total)) +
               " cells · link width proportional to the number of cells";
  d.size.width_in = std::max(8.0, 3.2 * n_levels);
  size_t most = 0;
  for (size_t l = 0; l < n_levels; ++l)
    most = std::max<size_t>(most, std::count_if(node_count[l].begin(), node_count[l].end(),
                                                [](double n) { return n > 0; }));
  d.size.height_in = std::clamp(1.6 + 0.24 * most, 6.0, 20.0);
  if (total == 0) {
    d.nodes.clear();
    d.links.clear();
    d.subtitle = "No cell has a value at every level after filtering";
  }
  const std::string png = plotting::render_sankey_png(d);
  const std::string html = plotting::render_sankey_html(d);
  show_images(show, {png});

  Table t(idx);
  t.add_column("from_level", from_level)
      .add_column("from", from)
      .add_column("to_level", to_level)
      .add_column("to", to)
      .add_column("n_cells", cells)
      .add_column("pct_of_from", pct_from)
      .add_column("pct_of_to", pct_to)
      .add_column("pct_of_all", pct_all);
  json result = json::object();
  result["data"] = "flow";
  result["html_base64"] = base64_encode(html);
  result["img_base64"] = base64_encode(png);
  result["table_summaries"] = json{{"flows", t.to_json()}};
  return result;
}

const char* kDefinition = R"(Tool: plot_sankey
Sankey diagram of how cells flow between annotation levels, as an interactive HTML plot
(hover shows counts and percentages) and a static image, with a table of the flows.
- levels: obs columns in flow order, at least two; default ["celltype_major",
  "celltype_minor", "celltype_subset"]; e.g. ["condition", "celltype_major"] for how each
  condition's cells divide into cell types, or ["sample", "celltype_minor"].
- obs_filter: restrict to some cell types (celltype_col, celltypes) or conditions
  (condition_col, conditions), values EXACTLY as listed in DATA CONTEXT.
- title: figure title; omit for an automatic one.
Use for questions about the hierarchy of annotations, which subtypes make up a major type, or
how cells are distributed across conditions and cell types as flows.)";

}  // namespace

void register_plot_sankey() {
  register_builtin_tool(
      "plot_sankey", kDefinition,
      ToolParams<SankeyArgs>({
          param(&SankeyArgs::levels, "levels", nullptr,
                "obs columns in flow order (at least two); omit for celltype_major -> "
                "celltype_minor -> celltype_subset."),
          param(&SankeyArgs::title, "title", nullptr, "Figure title; omit for an automatic one."),
          record(&SankeyArgs::obs_filter, "obs_filter", obs_filter_params()),
      }),
      run_plot_sankey);
}

}  // namespace norvex::detail
