#include "norvex/demo/demo_data.hpp"

#include <algorithm>

#include "norvex/common/errors.hpp"
#include "norvex/demo/catalog.hpp"
#include "norvex/demo/model.hpp"
#include "norvex/demo/results.hpp"

namespace norvex {
namespace {

using demo::CellRow;
using demo::DemoModel;

void validate(const DemoDataOptions& o) {
  if (o.n_cells < kDemoMinCells) {
    throw ValueError("a demonstration dataset needs at least " + std::to_string(kDemoMinCells) +
                     " cells, not " + std::to_string(o.n_cells));
  }
  if (o.n_cells > 50'000'000) {
    throw ValueError("at most 50000000 cells can be generated, not " + std::to_string(o.n_cells));
  }
  if (o.n_genes < demo_min_genes()) {
    throw ValueError("a demonstration dataset needs at least " + std::to_string(demo_min_genes()) +
                     " genes (the markers, ligands, receptors and pathway genes), not " +
                     std::to_string(o.n_genes));
  }
  if (o.n_genes > 100'000) {
    throw ValueError("at most 100000 genes can be generated, not " + std::to_string(o.n_genes));
  }
  if (o.max_cells_per_group < demo::kMinCellsPerGroup) {
    throw ValueError("max_cells_per_group must be at least " +
                     std::to_string(demo::kMinCellsPerGroup));
  }
}

// A 10x-style barcode, unique within its sample: the within-sample number goes through a
// bijective 32-bit mix, so no two cells of a sample share one.
std::string barcode(uint32_t j, uint64_t seed, const std::string& sample) {
  uint32_t x = j ^ static_cast<uint32_t>(demo::mix64(seed));
  x ^= x >> 16;
  x *= 0x7feb352dU;
  x ^= x >> 15;
  x *= 0x846ca68bU;
  x ^= x >> 16;
  static const char bases[] = "ACGT";
  std::string out(16, 'A');
  for (int k = 15; k >= 0; --k, x >>= 2) out[k] = bases[x & 3];
  return out + "-1_" + sample;
}

Column categorical(std::vector<int64_t> codes, std::vector<std::string> categories) {
  Column col;
  col.values = Array::of_ints(std::move(codes), "int8");
  col.categories = Array::of_strings(std::move(categories));
  return col;
}

// Per-cell and per-gene quality-control figures, as scanpy's calculate_qc_metrics names them.
struct QcStats {
  std::vector<int64_t> n_genes;
  std::vector<double> total, pct_mt;
  std::vector<int64_t> gene_cells;
  size_t nnz = 0;

  QcStats(size_t n_cells, size_t n_genes_)
      : n_genes(n_cells), total(n_cells), pct_mt(n_cells), gene_cells(n_genes_, 0) {}
  void add(size_t i, const CellRow& row) {
    n_genes[i] = static_cast<int64_t>(row.genes.size());
    total[i] = row.total;
    pct_mt[i] = 100.0 * row.mito / std::max<uint32_t>(row.total, 1);
    for (uint32_t g : row.genes) ++gene_cells[g];
    nnz += row.genes.size();
  }
};

UnsNode text(const std::string& s) {
  return UnsNode(Array::scalar(json(s)));
}

// Cell names, sample, condition, the three cell-type levels, tumour origin and the QC figures.
void add_obs(AnnData& adata, const DemoModel& model, const QcStats& qc,
             const DemoDataOptions& options) {
  const size_t N = model.n_cells();
  const auto& types = demo::cell_types();
  std::vector<uint32_t> within(model.samples().size(), 0);
  std::vector<std::string> cell_names;
  cell_names.reserve(N);
  for (size_t i = 0; i < N; ++i) {
    const int s = model.cell_sample(i);
    cell_names.push_back(barcode(within[s]++, options.seed, model.samples()[s]));
  }
  adata.obs.set_index(std::move(cell_names));
  auto level_categories = [&](auto member) {
    std::vector<std::string> cats;
    for (auto& t : types)
      if (std::find(cats.begin(), cats.end(), t.*member) == cats.end()) cats.push_back(t.*member);
    return cats;
  };
  std::vector<int64_t> sample(N), condition(N), origin_codes(N);
  std::vector<bool> origin(N);
  for (size_t i = 0; i < N; ++i) {
    sample[i] = model.cell_sample(i);
    condition[i] = model.cell_condition(i);
    origin[i] = model.tumor_origin(i);
    origin_codes[i] = origin[i] ? 0 : 1;
  }
  adata.obs.set("sample", categorical(sample, model.samples()));
  adata.obs.set("condition", categorical(condition, demo::condition_names()));
  for (auto [name, member] : {std::pair{"celltype_major", &demo::CellTypeDef::major},
                              std::pair{"celltype_minor", &demo::CellTypeDef::minor},
                              std::pair{"celltype_subset", &demo::CellTypeDef::subset}}) {
    const std::vector<std::string> cats = level_categories(member);
    std::vector<int64_t> codes(N);
    for (size_t i = 0; i < N; ++i) {
      const std::string& label = types[model.cell_subset(i)].*member;
      codes[i] = std::find(cats.begin(), cats.end(), label) - cats.begin();
    }
    adata.obs.set(name, categorical(std::move(codes), cats));
  }
  adata.obs.set("tumor_origin_ind", demo::plain_column(Array::of_bools(origin)));
  adata.obs.set("ploidy_dec", categorical(std::move(origin_codes), {"Aneuploid", "Diploid"}));
  adata.obs.set("n_genes_by_counts", demo::plain_column(Array::of_ints(qc.n_genes, "int32")));
  adata.obs.set("total_counts", demo::plain_column(Array::of_floats(qc.total, "float32")));
  adata.obs.set("pct_counts_mt", demo::plain_column(Array::of_floats(qc.pct_mt, "float32")));
}

void add_var(AnnData& adata, const DemoModel& model, const QcStats& qc) {
  const size_t G = model.n_genes();
  adata.var.set_index(model.genes());
  std::vector<bool> mt(G);
  for (size_t g = 0; g < G; ++g) mt[g] = model.genes()[g].rfind("MT-", 0) == 0;
  adata.var.set("feature_types", categorical(std::vector<int64_t>(G, 0), {"Gene Expression"}));
  adata.var.set("mt", demo::plain_column(Array::of_bools(mt)));
  adata.var.set("n_cells_by_counts", demo::plain_column(Array::of_ints(qc.gene_cells, "int32")));
}

// The embedding and the CNV profiles.
void add_obsm(AnnData& adata, const DemoModel& model) {
  const size_t N = model.n_cells();
  DenseMatrix umap;
  umap.n_rows = N;
  umap.n_cols = 2;
  umap.dtype = "float32";
  umap.values.resize(2 * N);
  for (size_t i = 0; i < N; ++i) model.cell_umap(i, &umap.values[2 * i]);
  adata.set_obsm("X_umap", std::move(umap));
  DenseMatrix cnv;
  cnv.n_rows = N;
  cnv.n_cols = model.n_cnv_bins();
  cnv.dtype = "float32";
  cnv.values.resize(N * cnv.n_cols);
  for (size_t i = 0; i < N; ++i) model.cell_cnv(i, &cnv.values[i * cnv.n_cols]);
  adata.set_obsm("X_cnv", std::move(cnv));
}

// What a pipeline records about its run: the sample's description and the analysis settings.
void add_run_parameters(UnsDict& uns) {
  UnsDict usr;
  usr.set("species", text("Human"));
  usr.set("tissue", text("Lung"));
  usr.set("tumor_id", UnsNode(Array::scalar(json(true))));
  uns.set("usr_param", UnsNode(std::move(usr)));
  UnsDict params;
  params.set("CCI_DEG_BASE", text("celltype_minor"));
  params.set("DEG_REF_GROUP", text(demo::condition_names()[0]));
  params.set("DEG_METHOD", text("wilcoxon"));
  params.set("GSEA_PERMUTATIONS",
             UnsNode(Array::scalar(json(static_cast<int64_t>(demo::kGseaPermutations)))));
  params.set("CCI_PERMUTATIONS",
             UnsNode(Array::scalar(json(static_cast<int64_t>(demo::kCciPermutations)))));
  uns.set("analysis_parameters", UnsNode(std::move(params)));
}

// Chromosome start of each CNV window, as inferCNV-style tools record it.
void add_cnv_positions(UnsDict& uns, const DemoModel& model) {
  UnsDict chr_pos;
  for (auto& [chrom, first] : model.cnv_chr_pos())
    chr_pos.set(chrom, UnsNode(Array::scalar(json(static_cast<int64_t>(first)))));
  UnsDict cnv;
  cnv.set("chr_pos", UnsNode(std::move(chr_pos)));
  uns.set("cnv", UnsNode(std::move(cnv)));
}

// Everything but X. The order of the steps is the order of the keys in the file.
std::shared_ptr<AnnData> build_meta(const DemoModel& model, const QcStats& qc,
                                    const DemoDataOptions& options,
                                    const std::function<void(const std::string&)>& progress) {
  auto adata = std::make_shared<AnnData>();
  add_obs(*adata, model, qc, options);
  add_var(*adata, model, qc);
  add_obsm(*adata, model);
  add_run_parameters(adata->uns);
  adata->uns.set("Pathways_DB", UnsNode(demo::pathway_database()));
  if (progress) progress("computing DEG, GSEA, GO and cell-cell interaction results");
  const demo::Subsample ss = demo::draw_subsample(model, options.max_cells_per_group);
  demo::add_results(model, ss, adata->uns);
  add_cnv_positions(adata->uns, model);
  return adata;
}

void append_row(SparseMatrix& m, const CellRow& row) {
  for (size_t k = 0; k < row.genes.size(); ++k) {
    m.indices.push_back(row.genes[k]);
    m.data.push_back(row.values[k]);
  }
  m.indptr.push_back(static_cast<int64_t>(m.indices.size()));
  ++m.n_rows;
}

SparseMatrix empty_rows(size_t n_cols) {
  SparseMatrix m;
  m.format = SparseMatrix::Format::CSR;
  m.n_cols = n_cols;
  m.indptr.push_back(0);
  m.dtype = "float32";
  return m;
}

}  // namespace

size_t demo_min_genes() {
  return demo::required_genes().size();
}

std::shared_ptr<AnnData> make_demo_data(const DemoDataOptions& options) {
  validate(options);
  DemoModel model(options.n_cells, options.n_genes, options.seed);
  QcStats qc(model.n_cells(), model.n_genes());
  SparseMatrix x = empty_rows(model.n_genes());
  CellRow row;
  for (size_t i = 0; i < model.n_cells(); ++i) {
    model.cell_row(i, row);
    qc.add(i, row);
    append_row(x, row);
  }
  auto adata = build_meta(model, qc, options, {});
  adata->set_X(std::move(x));
  return adata;
}

DemoWriteSummary write_demo_data(const std::filesystem::path& path, const DemoDataOptions& options,
                                 const std::function<void(const std::string&)>& progress) {
  validate(options);
  if (progress) progress("building the expression model");
  DemoModel model(options.n_cells, options.n_genes, options.seed);
  const size_t N = model.n_cells();
  // Two passes over the cells: the first for the QC columns that obs needs before X is
  // written, the second to write X. Cells regenerate identically from their seeds.
  if (progress) progress("counting genes per cell");
  QcStats qc(N, model.n_genes());
  CellRow row;
  for (size_t i = 0; i < N; ++i) {
    model.cell_row(i, row);
    qc.add(i, row);
  }
  auto meta = build_meta(model, qc, options, progress);
  if (progress) progress("writing " + path.string());
  // The writer works on a hidden temporary beside the target and renames it when complete,
  // so an interrupted or failed run never leaves a truncated dataset under the name.
  H5adStreamWriter writer(path, *meta, "float32");
  const size_t chunk = 20000;
  for (size_t begin = 0; begin < N; begin += chunk) {
    SparseMatrix rows = empty_rows(model.n_genes());
    for (size_t i = begin; i < std::min(N, begin + chunk); ++i) {
      model.cell_row(i, row);
      append_row(rows, row);
    }
    writer.append_rows(rows);
  }
  writer.close();
  return {N, model.n_genes(), qc.nnz};
}

}  // namespace norvex
