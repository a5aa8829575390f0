// plot_cnv_heatmap: inferred copy-number profiles (obsm['X_cnv']) by genomic bin, cells
// grouped by cell type. The matrix is streamed in row blocks and averaged into the
// figure's pixel rows as it goes, so a million cells never become a cells x bins image.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <map>

#include "norvex/analysis_tools/params.hpp"
#include "norvex/analysis_tools/precomputed_results.hpp"
#include "norvex/analysis_tools/shared_records.hpp"
#include "norvex/analysis_tools/tool_common.hpp"
#include "norvex/common/base64.hpp"
#include "norvex/common/errors.hpp"
#include "norvex/common/table.hpp"
#include "norvex/plotting/result_plots.hpp"

namespace norvex::detail {

namespace {

// ---- plot_cnv_heatmap ----
struct CNVComputeConfig {
  std::string groupby;
  std::optional<TextList> celltypes;
  std::optional<std::string> split_by;
};
struct CNVHeatmapStyle {
  std::string cmap;
  std::optional<double> vmin;
  std::optional<double> vmax;
  double width;
  double height;
};
struct CNVDataKeys {
  std::string obsm_key;
  std::string uns_key;
};
struct CnvHeatmapArgs {
  CNVComputeConfig compute;
  CNVHeatmapStyle style;
  CNVDataKeys data_keys;
};

// Cells per block read from the file (a few MB for thousands of bins).
constexpr size_t kRowsPerChunk = 2048;
// Pixel rows a group keeps at least, so a small cell type stays visible and labelled.
constexpr size_t kMinGroupRows = 22;

// ---- select: the matrix, the chromosomes, and the cells of each row group ----

struct CnvSelection {
  size_t n_cells = 0, n_bins = 0;
  std::vector<ChromosomeSpan> chroms;
  bool stored_order = false;        // no chromosome positions: bins as stored, unlabelled
  Categories groups;                // obs[groupby]
  std::optional<Categories> split;  // obs[split_by]
  size_t n_split = 1;
  // Row groups are (group, split) pairs in category order: group * n_split + split.
  std::vector<size_t> cell_group;  // per cell: its row group, or SIZE_MAX (left out)
  std::vector<size_t> group_size;  // cells per row group
  size_t kept = 0;                 // cells in some row group
};

CnvSelection select_cnv(const AnnData& adata, const CnvHeatmapArgs& args, Warnings& warnings) {
  const CNVComputeConfig& cfg = args.compute;
  const std::string& key = args.data_keys.obsm_key;
  if (!adata.has_obsm(key))
    throw KeyError(
        "obsm['" + key +
        "'] not found: the dataset holds no CNV estimates there "
        "(obsm keys: " +
        (adata.obsm_keys().empty() ? std::string("none") : join_limited(adata.obsm_keys())) + ")");
  CnvSelection s;
  const std::vector<size_t> shape = adata.obsm_shape(key);
  s.n_cells = shape.at(0);
  s.n_bins = shape.size() > 1 ? shape[1] : 1;
  // The positions are optional (the dataset description promises only obsm['X_cnv']);
  // present but unreadable ones are still an error.
  const std::string& uns_key = args.data_keys.uns_key;
  if (adata.uns.contains(uns_key)) {
    s.chroms = read_cnv_layout(adata, uns_key, s.n_bins);
  } else {
    s.stored_order = true;
    warnings.push_back("uns['" + uns_key +
                       "'] not found: CNV bins are drawn in stored order, without chromosome "
                       "labels");
  }
  plotting::diverging_color(args.style.cmap, 0);  // an unknown map fails before reading

  s.groups = obs_categories(adata, cfg.groupby);
  std::vector<bool> keep_group(s.groups.categories.size(), true);
  if (cfg.celltypes) {
    const auto wanted =
        match_values(*cfg.celltypes, s.groups.categories, "value of obs['" + cfg.groupby + "']");
    std::fill(keep_group.begin(), keep_group.end(), false);
    for (auto& w : wanted) keep_group[s.groups.find(w)] = true;
  }
  if (cfg.split_by) s.split = obs_categories(adata, *cfg.split_by);
  s.n_split = s.split ? s.split->categories.size() : 1;

  // Row groups: (group, split) in category order, with their cells counted.
  s.cell_group.assign(s.n_cells, SIZE_MAX);
  s.group_size.assign(s.groups.categories.size() * s.n_split, 0);
  for (size_t i = 0; i < s.n_cells; ++i) {
    const int32_t g = s.groups.codes[i];
    if (g < 0 || !keep_group[g]) continue;
    const int32_t sp = s.split ? s.split->codes[i] : 0;
    if (sp < 0) continue;
    s.cell_group[i] = static_cast<size_t>(g) * s.n_split + static_cast<size_t>(sp);
    ++s.group_size[s.cell_group[i]];
  }
  for (size_t n : s.group_size) s.kept += n;
  return s;
}

// ---- compute: pixel rows per group, and the matrix averaged into them ----

struct CnvHeatmapValues {
  size_t n_cols = 0;  // one per bin, or bins averaged into the pixel columns
  // Per row group, its pixel rows [first_row, first_row + n_rows_of).
  std::vector<size_t> first_row, n_rows_of;
  size_t total_rows = 0;
  std::vector<float> values;      // total_rows x n_cols; NaN where no value
  std::vector<double> group_abs;  // per row group: summed per-cell mean |CNV|
  double limit = 1;               // the symmetric colour scale
  size_t col_of(size_t bin, size_t n_bins) const { return bin * n_cols / n_bins; }
};

// Pixel rows per group, proportional to its cells.
void layout_rows(CnvHeatmapValues& v, const CnvSelection& s, size_t px_rows) {
  const auto& group_size = s.group_size;
  v.first_row.assign(group_size.size(), 0);
  v.n_rows_of.assign(group_size.size(), 0);
  size_t n_groups = 0;
  for (size_t n : group_size) n_groups += n > 0;
  // With many groups the minimum gives way, so the rows stay within the figure's.
  const size_t min_rows =
      std::max<size_t>(1, std::min(kMinGroupRows, px_rows / (2 * std::max<size_t>(n_groups, 1))));
  for (size_t g = 0; g < group_size.size(); ++g) {
    if (!group_size[g]) continue;
    const size_t share = static_cast<size_t>(static_cast<double>(group_size[g]) / s.kept * px_rows);
    // Never more rows than cells would need averaging across no cell; a group smaller than
    // the minimum repeats each cell over several rows instead.
    v.n_rows_of[g] = std::max(std::min(share, group_size[g]), min_rows);
    v.first_row[g] = v.total_rows;
    v.total_rows += v.n_rows_of[g];
  }
}

// Streams the matrix in row blocks: a pixel row averages its cells, or a cell spans several
// rows when its group has fewer cells than rows.
// `magnitudes` gets |value| of every pixel with a value.
void average_rows(CnvHeatmapValues& v, const CnvSelection& s, const AnnData& adata,
                  const std::string& key, std::vector<float>& magnitudes) {
  const size_t n_bins = s.n_bins, n_cols = v.n_cols;
  std::vector<double> sum(v.total_rows * n_cols, 0.0);
  std::vector<uint32_t> count(v.total_rows * n_cols, 0);
  std::vector<size_t> seen(s.group_size.size(), 0);
  v.group_abs.assign(s.group_size.size(), 0.0);
  if (s.kept > 0) {
    adata.for_each_obsm_chunk(key, kRowsPerChunk, [&](size_t r0, const DenseMatrix& block) {
      for (size_t k = 0; k < block.n_rows; ++k) {
        const size_t g = s.cell_group[r0 + k];
        if (g == SIZE_MAX) continue;
        // Cells of a group fill its rows in stored order.
        const size_t k_in = seen[g]++;
        const size_t row0 = v.first_row[g] + k_in * v.n_rows_of[g] / s.group_size[g];
        const size_t row1 =
            std::max(row0 + 1, v.first_row[g] + (k_in + 1) * v.n_rows_of[g] / s.group_size[g]);
        const double* x = &block.values[k * block.n_cols];
        double abs_sum = 0;
        size_t finite = 0;
        for (size_t b = 0; b < n_bins; ++b) {
          if (!std::isfinite(x[b])) continue;
          for (size_t row = row0; row < row1; ++row) {
            sum[row * n_cols + v.col_of(b, n_bins)] += x[b];
            ++count[row * n_cols + v.col_of(b, n_bins)];
          }
          abs_sum += std::fabs(x[b]);
          ++finite;
        }
        if (finite) v.group_abs[g] += abs_sum / finite;
      }
    });
  }
  v.values.resize(v.total_rows * n_cols);
  for (size_t i = 0; i < sum.size(); ++i) {
    v.values[i] =
        count[i] ? static_cast<float>(sum[i] / count[i]) : std::numeric_limits<float>::quiet_NaN();
    if (count[i]) magnitudes.push_back(std::fabs(v.values[i]));
  }
}

plotting::FigureSize figure_size(const CNVHeatmapStyle& style) {
  plotting::FigureSize size;
  size.width_in = style.width;
  size.height_in = style.height;
  return size;
}

CnvHeatmapValues compute_cnv(const CnvSelection& s, const AnnData& adata,
                             const CnvHeatmapArgs& args) {
  CnvHeatmapValues v;
  const auto [px_rows, px_cols] = plotting::heatmap_area_pixels(figure_size(args.style));
  v.n_cols = std::min(s.n_bins, std::max<size_t>(px_cols, 1));
  layout_rows(v, s, px_rows);
  std::vector<float> magnitudes;
  average_rows(v, s, adata, args.data_keys.obsm_key, magnitudes);
  // A symmetric scale: the user's limits, else the 99th percentile of what is drawn, so a
  // few extreme pixels do not wash out the rest.
  double limit = 0;
  if (args.style.vmin || args.style.vmax)
    limit =
        std::max(std::fabs(args.style.vmin.value_or(0)), std::fabs(args.style.vmax.value_or(0)));
  if (limit <= 0 && !magnitudes.empty()) {
    const size_t q = magnitudes.size() * 99 / 100;
    std::nth_element(magnitudes.begin(), magnitudes.begin() + q, magnitudes.end());
    limit = magnitudes[q];
  }
  v.limit = limit > 0 ? limit : 1;
  return v;
}

// ---- present ----

json present_cnv(const CnvSelection& s, CnvHeatmapValues v, const CnvHeatmapArgs& args) {
  const CNVComputeConfig& cfg = args.compute;
  const std::string& key = args.data_keys.obsm_key;
  const size_t n_split = s.n_split, n_bins = s.n_bins;
  plotting::HeatmapPlot hm;
  hm.size = figure_size(args.style);
  hm.n_rows = v.total_rows;
  hm.n_cols = v.n_cols;
  hm.values = std::move(v.values);
  hm.limit = v.limit;
  hm.cmap = args.style.cmap;

  std::vector<std::string> idx;
  json g_col = json::array(), s_col = json::array(), n_col = json::array(), abs_col = json::array();
  for (size_t g = 0; g < s.group_size.size(); ++g) {
    if (!s.group_size[g]) continue;
    const std::string& name = s.groups.categories[g / n_split];
    std::string label = name;
    if (s.split) label += " · " + s.split->categories[g % n_split];
    hm.row_bands.push_back({label, v.first_row[g], v.first_row[g] + v.n_rows_of[g],
                            category_color(name, g / n_split)});
    idx.push_back(std::to_string(idx.size() + 1));
    g_col.push_back(name);
    if (s.split) s_col.push_back(s.split->categories[g % n_split]);
    n_col.push_back(static_cast<long long>(s.group_size[g]));
    abs_col.push_back(v.group_abs[g] / s.group_size[g]);
  }
  for (const ChromosomeColumns& c : chromosome_columns(s.chroms, n_bins, v.n_cols))
    hm.col_spans.push_back({c.name, c.first_col, c.end_col});
  hm.title = "Inferred copy-number variation by " + cfg.groupby +
             (s.split ? " and " + *cfg.split_by : std::string());
  const double per_row = v.total_rows ? static_cast<double>(s.kept) / v.total_rows : 0;
  char buf[160];
  std::snprintf(
      buf, sizeof buf, "obsm['%s'] · %s cells × %zu bins · %s", key.c_str(),
      format_count(static_cast<long long>(s.kept)).c_str(), n_bins,
      per_row > 1.05
          ? ("each row averages about " + format_count(std::llround(per_row)) + " cells").c_str()
          : "one row per cell");
  hm.subtitle = buf;
  if (s.stored_order)
    hm.subtitle += " · bins in stored order (no uns['" + args.data_keys.uns_key + "'])";
  hm.colorbar_label = "CNV score";
  hm.x_label =
      s.stored_order ? "CNV bins (stored order)" : "Genomic position (chromosomes in order)";
  const std::string png = plotting::render_heatmap_png(hm);

  Table t(idx);
  t.add_column(cfg.groupby, g_col);
  if (s.split) t.add_column(*cfg.split_by, s_col);
  t.add_column("n_cells", n_col).add_column("mean_abs_cnv", abs_col);
  json result = json::object();
  result["data"] = "group";
  result["img_base64"] = base64_encode(png);
  result["table_summaries"] = json{{"cnv", t.to_json()}};
  return result;
}

json run_plot_cnv_heatmap(AnnData& adata, const CnvHeatmapArgs& args, Warnings& warnings) {
  const CnvSelection s = select_cnv(adata, args, warnings);
  return present_cnv(s, compute_cnv(s, adata, args), args);
}

const char* kDefinition = R"(Tool: plot_cnv_heatmap
Heatmap of inferred copy-number variation (obsm['X_cnv'], CNV estimates in DATA CONTEXT):
cells grouped by cell type (rows), genomic bins in chromosome order (columns, chromosome
boundaries and labels from uns['cnv']; without it, bins in stored order), a blue-white-red
scale centred on zero (gains red, losses blue); the table gives each group's cell count and
mean absolute CNV score. Use to tell tumour (aneuploid) from normal cells or to compare CNV
between cell types or samples.
- compute_cfg.groupby: the obs column grouping the rows (default "celltype_major").
- compute_cfg.celltypes: only these groups (values of groupby EXACTLY as in DATA CONTEXT).
- compute_cfg.split_by: an obs column ("condition" or "sample") splitting each group.
- style.vmin / vmax: colour limits (symmetric around zero); style.cmap "bwr", "RdBu_r" or
  "coolwarm".)";

}  // namespace

void register_plot_cnv_heatmap() {
  const RecordParams<CNVComputeConfig> compute{
      "CNVComputeConfig",
      "Which cells and how to group them",
      {
          param(&CNVComputeConfig::groupby, "groupby", "celltype_major",
                "obs column grouping the rows."),
          param(&CNVComputeConfig::celltypes, "celltypes", nullptr,
                "Only these values of groupby; omit for all.")
              .single_text_as_list(),
          param(&CNVComputeConfig::split_by, "split_by", nullptr,
                "obs column splitting each group (\"condition\" or \"sample\")."),
      }};
  const RecordParams<CNVHeatmapStyle> style{
      "CNVHeatmapStyle",
      "Appearance",
      {
          param(&CNVHeatmapStyle::cmap, "cmap", "bwr", "Diverging colour map.")
              .one_of(plotting::diverging_cmaps()),
          param(&CNVHeatmapStyle::vmin, "vmin", nullptr, "Lower colour limit."),
          param(&CNVHeatmapStyle::vmax, "vmax", nullptr, "Upper colour limit."),
          param(&CNVHeatmapStyle::width, "width", 10.0, "Width in inches.").range(4, 30),
          param(&CNVHeatmapStyle::height, "height", 6.0, "Height in inches.").range(3, 30),
      }};
  const RecordParams<CNVDataKeys> data_keys{
      "CNVDataKeys",
      "Where the CNV results are stored",
      {
          param(&CNVDataKeys::obsm_key, "obsm_key", "X_cnv", "obsm key of the CNV matrix."),
          param(&CNVDataKeys::uns_key, "uns_key", "cnv",
                "uns key of the bins' chromosome positions."),
      }};
  register_builtin_tool("plot_cnv_heatmap", kDefinition,
                        ToolParams<CnvHeatmapArgs>({
                            record(&CnvHeatmapArgs::compute, "compute_cfg", compute),
                            record(&CnvHeatmapArgs::style, "style", style),
                            record(&CnvHeatmapArgs::data_keys, "data_keys", data_keys),
                        }),
                        run_plot_cnv_heatmap);
}

}  // namespace norvex::detail
