// plot_sankey: how cells flow between annotation levels (celltype_major -> celltype_minor
// -> celltype_subset, or condition -> cell type), as an interactive page and a PNG.
#include <algorithm>
#include <map>
#include <set>

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

// ---- select: the levels and the cells ----

struct SankeySelection {
  TextList levels;               // obs columns, in flow order
  std::vector<Categories> cats;  // per level
  std::vector<bool> keep;        // per cell: passes the filter
};

SankeySelection select_sankey(const AnnData& adata, const SankeyArgs& args) {
  SankeySelection s;
  s.levels = args.levels.value_or(kDefaultLevels);
  if (s.levels.size() < 2)
    throw ValueError("levels needs at least two obs columns to show flows between, got " +
                     std::to_string(s.levels.size()));
  for (const auto& l : s.levels) s.cats.push_back(obs_categories(adata, l));
  s.keep = filtered_cells(adata, args.obs_filter);
  return s;
}

// ---- compute: nodes and links, counted and ordered ----

struct SankeyFlows {
  double total = 0;  // kept cells with a value at every level
  struct Node {
    size_t level = 0;
    int32_t code = 0;  // category code at its level
    std::string label;
    double count = 0;
  };
  // By level; beyond the first level, nodes sit beside the nodes they come from.
  std::vector<Node> nodes;
  struct Link {
    size_t from = 0, to = 0;  // node indices, `to` on the next level
    double count = 0;
  };
  std::vector<Link> links;  // by level, then source node, then target node
  size_t most_nodes = 0;    // nodes of the fullest level
};

SankeyFlows compute_sankey(const SankeySelection& s) {
  const auto& cats = s.cats;
  const size_t n_levels = s.levels.size();
  std::vector<std::vector<double>> node_count(n_levels);
  for (size_t l = 0; l < n_levels; ++l) node_count[l].assign(cats[l].categories.size(), 0);
  std::vector<std::map<std::pair<int32_t, int32_t>, double>> link_count(n_levels - 1);
  SankeyFlows f;
  for (size_t i = 0; i < s.keep.size(); ++i) {
    if (!s.keep[i]) continue;
    bool complete = true;
    for (size_t l = 0; l < n_levels && complete; ++l) complete = cats[l].codes[i] >= 0;
    if (!complete) continue;
    f.total += 1;
    for (size_t l = 0; l < n_levels; ++l) node_count[l][cats[l].codes[i]] += 1;
    for (size_t l = 0; l + 1 < n_levels; ++l)
      link_count[l][{cats[l].codes[i], cats[l + 1].codes[i]}] += 1;
  }
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
      node_of[l][c] = f.nodes.size();
      f.nodes.push_back({l, static_cast<int32_t>(c), cats[l].categories[c], node_count[l][c]});
    }
    f.most_nodes = std::max(f.most_nodes, order.size());
  }
  for (size_t l = 0; l + 1 < n_levels; ++l) {
    // Links in the order of their source node, then target node, as drawn.
    std::vector<std::pair<std::pair<int32_t, int32_t>, double>> ls(link_count[l].begin(),
                                                                   link_count[l].end());
    std::stable_sort(ls.begin(), ls.end(), [&](const auto& a, const auto& b) {
      const size_t fa = node_of[l][a.first.first], fb = node_of[l][b.first.first];
      if (fa != fb) return fa < fb;
      return node_of[l + 1][a.first.second] < node_of[l + 1][b.first.second];
    });
    for (auto& [ab, n] : ls)
      f.links.push_back({node_of[l][ab.first], node_of[l + 1][ab.second], n});
  }
  return f;
}

// ---- present ----

plotting::SankeyDiagram sankey_diagram(const SankeySelection& s, const SankeyFlows& f,
                                       const SankeyArgs& args) {
  const size_t n_levels = s.levels.size();
  plotting::SankeyDiagram d;
  d.levels = s.levels;
  // One colour means one thing across the columns: the first column keeps the colours of
  // the UMAP and population figures (category position); a label met again keeps its
  // colour, and every other label takes a palette colour no earlier node has used.
  std::map<std::string, plotting::Rgb> colour_of_label;
  std::set<size_t> used;
  size_t next = 0;
  for (const auto& n : f.nodes)
    if (n.level == 0) used.insert(static_cast<size_t>(n.code));
  for (const auto& n : f.nodes) {
    auto seen = colour_of_label.find(n.label);
    plotting::Rgb colour;
    if (seen != colour_of_label.end()) {
      colour = seen->second;
    } else if (n.level == 0) {
      colour = category_color(n.label, static_cast<size_t>(n.code));
    } else {
      while (used.count(next)) ++next;
      used.insert(next);
      colour = category_color(n.label, next);
    }
    colour_of_label.emplace(n.label, colour);
    d.nodes.push_back({n.level, n.label, n.count, colour});
  }
  for (const auto& k : f.links) d.links.push_back({k.from, k.to, k.count});
  std::string flow;
  for (size_t l = 0; l < n_levels; ++l) flow += (l ? " → " : "") + s.levels[l];
  d.title = args.title.value_or("Cell flow: " + flow);
  d.subtitle = format_count(static_cast<long long>(f.total)) +
               " cells · link width proportional to the number of cells";
  d.size.width_in = std::max(8.0, 3.2 * n_levels);
  d.size.height_in = std::clamp(1.6 + 0.24 * f.most_nodes, 6.0, 20.0);
  if (f.total == 0) {
    d.nodes.clear();
    d.links.clear();
    d.subtitle = "No cell has a value at every level after filtering";
  }
  return d;
}

// One row per link, as drawn.
Table flow_table(const SankeySelection& s, const SankeyFlows& f) {
  std::vector<std::string> idx;
  json from_level = json::array(), from = json::array(), to_level = json::array(),
       to = json::array(), cells = json::array(), pct_from = json::array(), pct_to = json::array(),
       pct_all = json::array();
  for (const auto& k : f.links) {
    const SankeyFlows::Node &a = f.nodes[k.from], &b = f.nodes[k.to];
    const double n = k.count;
    idx.push_back(std::to_string(idx.size() + 1));
    from_level.push_back(s.levels[a.level]);
    from.push_back(a.label);
    to_level.push_back(s.levels[b.level]);
    to.push_back(b.label);
    cells.push_back(static_cast<long long>(n));
    pct_from.push_back(100.0 * n / a.count);
    pct_to.push_back(100.0 * n / b.count);
    pct_all.push_back(100.0 * n / f.total);
  }
  Table t(idx);
  t.add_column("from_level", from_level)
      .add_column("from", from)
      .add_column("to_level", to_level)
      .add_column("to", to)
      .add_column("n_cells", cells)
      .add_column("pct_of_from", pct_from)
      .add_column("pct_of_to", pct_to)
      .add_column("pct_of_all", pct_all);
  return t;
}

json run_plot_sankey(AnnData& adata, const SankeyArgs& args, Warnings&) {
  const SankeySelection s = select_sankey(adata, args);
  const SankeyFlows f = compute_sankey(s);
  const plotting::SankeyDiagram d = sankey_diagram(s, f, args);
  const std::string png = plotting::render_sankey_png(d);
  const std::string html = plotting::render_sankey_html(d);
  json result = json::object();
  result["data"] = "flow";
  result["html_base64"] = base64_encode(html);
  result["img_base64"] = base64_encode(png);
  result["table_summaries"] = json{{"flows", flow_table(s, f).to_json()}};
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
