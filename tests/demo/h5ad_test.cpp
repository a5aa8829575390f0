// The written file: the streamed file holds what the in-memory build holds, and anndata
// (the independent oracle) reads the same values we do.
#include <gtest/gtest.h>

#include <cmath>

#include "fixture.hpp"
#include "norvex/common/json.hpp"
#include "support/test_support.hpp"

namespace norvex::testing {
namespace {

struct WrittenDemo {
  TempDir dir;
  std::filesystem::path path;
  DemoWriteSummary summary;
  WrittenDemo() : path(dir / "demo.h5ad") { summary = write_demo_data(path, small_demo_options()); }
};

const WrittenDemo& written() {
  static const WrittenDemo w;
  return w;
}

TEST(DemoFile, StreamedFileHoldsTheSameDataAsTheInMemoryBuild) {
  const AnnData& mem = small_demo();
  auto file = AnnData::read_h5ad(written().path);
  EXPECT_EQ(file->obs.index(), mem.obs.index());
  EXPECT_EQ(file->var.index(), mem.var.index());
  EXPECT_EQ(file->obs.columns(), mem.obs.columns());
  for (auto& c : mem.obs.columns())
    for (size_t i = 0; i < mem.n_obs(); i += 97)
      EXPECT_EQ(file->obs.col(c).text_at(i), mem.obs.col(c).text_at(i)) << c;
  const MatrixInfo info = file->x_info();
  EXPECT_EQ(info.format, MatrixInfo::Format::CSR);
  EXPECT_EQ(info.dtype, "float32");
  EXPECT_EQ(info.nnz, written().summary.nnz);
  std::vector<RowChunk> a, b;
  file->for_each_row_chunk(700, [&](const RowChunk& c) { a.push_back(c); });
  mem.for_each_row_chunk(700, [&](const RowChunk& c) { b.push_back(c); });
  ASSERT_EQ(a.size(), b.size());
  for (size_t k = 0; k < a.size(); ++k) {
    EXPECT_EQ(a[k].rows.indptr, b[k].rows.indptr);
    EXPECT_EQ(a[k].rows.indices, b[k].rows.indices);
    EXPECT_EQ(a[k].rows.data, b[k].rows.data);
  }
  EXPECT_EQ(file->uns.keys(), mem.uns.keys());
  const auto& t1 = file->uns.at("DEG").dict().at("Macrophage").dict().at("Primary_vs_rest").table();
  const auto& t2 = mem.uns.at("DEG").dict().at("Macrophage").dict().at("Primary_vs_rest").table();
  EXPECT_EQ(t1.col("names").values.strings, t2.col("names").values.strings);
  const auto& g1 =
      file->uns.at("GSEA").dict().at("Macrophage").dict().at("Primary_vs_rest").table();
  const auto& g2 = mem.uns.at("GSEA").dict().at("Macrophage").dict().at("Primary_vs_rest").table();
  EXPECT_EQ(g1.col("Term").values.strings, g2.col("Term").values.strings);
  EXPECT_EQ(g1.col("NOM p-val").values.floats, g2.col("NOM p-val").values.floats);
  EXPECT_EQ(file->obsm("X_umap").n_rows, 1500u);
}

const char* kOracle = R"PY(
import sys, json, anndata, numpy as np
a = anndata.read_h5ad(sys.argv[1])
def cats(c):
    return [str(x) for x in a.obs[c].cat.categories]
t = a.uns["DEG"]["Macrophage"]["Primary_vs_rest"]
g = a.uns["GSEA_vs_ref"]["CD8 T cell"]["Primary_vs_Normal"]
out = {
  "shape": list(a.shape),
  "obs_columns": list(a.obs.columns),
  "obs_dtypes": [str(a.obs[c].dtype) for c in a.obs.columns],
  "var_columns": list(a.var.columns),
  "condition": cats("condition"),
  "subset_unique": [str(x) for x in a.obs["celltype_subset"].unique()],
  "tumor_origin_dtype": str(a.obs["tumor_origin_ind"].dtype),
  "n_tumor": int(a.obs["tumor_origin_ind"].sum()),
  "x_type": type(a.X).__name__, "x_dtype": str(a.X.dtype), "x_nnz": int(a.X.nnz),
  "x_sum": float(a.X.sum(dtype=np.float64)),
  "cd3e": float(a[:, "CD3E"].X.sum(dtype=np.float64)),
  "obsm": {k: list(a.obsm[k].shape) for k in a.obsm.keys()},
  "uns": list(a.uns.keys()),
  "usr_param": {k: (bool(v) if k == "tumor_id" else str(v)) for k, v in a.uns["usr_param"].items()},
  "ref": str(a.uns["analysis_parameters"]["DEG_REF_GROUP"]),
  "deg_type": type(t).__name__, "deg_columns": list(t.columns),
  "deg_names": [str(x) for x in t["names"][:5]],
  "deg_pvals": [float(x) for x in t["pvals"][:5]],
  "gsea_terms": [str(x) for x in g["Term"][:5]],
  "cci_type": type(a.uns["CCI"]["Primary"]).__name__,
  "cci_rows": int(a.uns["CCI"]["Primary"].shape[0]),
  "pathways": len(a.uns["Pathways_DB"]),
  "breaks": sum(1 for v in a.uns["Pathways_DB"].values() for s in v if str(s).endswith("\n")),
}
print(json.dumps(out))
)PY";

TEST(DemoFile, AnndataReadsWhatWeRead) {
  if (!oracle_python_available()) GTEST_SKIP() << "Debian's python3 with anndata is not available";
  const CommandResult r = run_oracle_python(kOracle, shell_quote(written().path.string()));
  ASSERT_EQ(r.exit_code, 0) << r.err;
  const json o = json::parse(r.out);
  auto ours = AnnData::read_h5ad(written().path);
  EXPECT_EQ(o["shape"], json({1500, 2000}));
  EXPECT_EQ(o["obs_columns"].get<std::vector<std::string>>(), ours->obs.columns());
  EXPECT_EQ(o["obs_dtypes"], json({"category", "category", "category", "category", "category",
                                   "bool", "category", "int32", "float32", "float32"}));
  EXPECT_EQ(o["var_columns"].get<std::vector<std::string>>(), ours->var.columns());
  EXPECT_EQ(o["condition"], json({"Normal", "Primary", "Metastasis"}));
  EXPECT_EQ(o["subset_unique"].get<std::vector<std::string>>(),
            ours->obs.col("celltype_subset").unique_text());
  EXPECT_EQ(o["tumor_origin_dtype"], "bool");
  size_t n_tumor = 0;
  for (auto v : ours->obs.col("tumor_origin_ind").values.ints) n_tumor += v;
  EXPECT_EQ(o["n_tumor"], n_tumor);
  EXPECT_EQ(o["x_type"], "csr_matrix");
  EXPECT_EQ(o["x_dtype"], "float32");
  EXPECT_EQ(o["x_nnz"], ours->x_info().nnz);
  double sum = 0;
  ours->for_each_row_chunk(500, [&](const RowChunk& c) {
    for (float v : c.rows.data) sum += v;
  });
  EXPECT_NEAR(o["x_sum"].get<double>(), sum, 1e-6 * sum);
  double cd3e = 0;
  const std::vector<std::vector<float>> cd3e_values = ours->gene_expression({"CD3E"});
  for (float v : cd3e_values[0]) cd3e += v;
  EXPECT_NEAR(o["cd3e"].get<double>(), cd3e, 1e-6 * cd3e);
  EXPECT_EQ(o["obsm"]["X_umap"], json({1500, 2}));
  EXPECT_EQ(o["obsm"]["X_cnv"], json({1500, ours->obsm_shape("X_cnv")[1]}));
  EXPECT_EQ(o["uns"].get<std::vector<std::string>>(), ours->uns.keys());
  EXPECT_EQ(o["usr_param"], json({{"species", "Human"}, {"tissue", "Lung"}, {"tumor_id", true}}));
  EXPECT_EQ(o["ref"], "Normal");
  EXPECT_EQ(o["deg_type"], "DataFrame");
  EXPECT_EQ(o["cci_type"], "DataFrame");
  const DataFrame& t =
      ours->uns.at("DEG").dict().at("Macrophage").dict().at("Primary_vs_rest").table();
  EXPECT_EQ(o["deg_columns"].get<std::vector<std::string>>(), t.columns());
  for (size_t r = 0; r < 5; ++r) {
    EXPECT_EQ(o["deg_names"][r], t.col("names").text_at(r));
    EXPECT_DOUBLE_EQ(o["deg_pvals"][r].get<double>(), t.col("pvals").values.floats[r]);
  }
  const DataFrame& g =
      ours->uns.at("GSEA_vs_ref").dict().at("CD8 T cell").dict().at("Primary_vs_Normal").table();
  for (size_t r = 0; r < 5; ++r) EXPECT_EQ(o["gsea_terms"][r], g.col("Term").text_at(r));
  EXPECT_EQ(o["cci_rows"], ours->uns.at("CCI").dict().at("Primary").table().n_rows());
  EXPECT_EQ(o["pathways"], ours->uns.at("Pathways_DB").dict().size());
  EXPECT_GE(o["breaks"].get<int>(), 3);
}

// scipy's Mann-Whitney U test (asymptotic, tie-corrected, no continuity correction) is the
// same test: the stored p-values must match it on the generated expression.
const char* kScipy = R"PY(
import sys, json, anndata, numpy as np
from scipy.stats import mannwhitneyu
a = anndata.read_h5ad(sys.argv[1])
t = a.uns["DEG_vs_ref"]["Macrophage"]["Primary_vs_Normal"]
ct = (a.obs["celltype_minor"] == "Macrophage").values
g1 = ct & (a.obs["condition"] == "Primary").values
g2 = ct & (a.obs["condition"] == "Normal").values
out = []
for name, p in list(zip(t["names"], t["pvals"]))[:8] + list(zip(t["names"], t["pvals"]))[-3:]:
    x = np.asarray(a[:, name].X.todense()).ravel()
    res = mannwhitneyu(x[g1], x[g2], alternative="two-sided", method="asymptotic", use_continuity=False)
    out.append([str(name), float(p), float(res.pvalue)])
print(json.dumps(out))
)PY";

TEST(DemoFile, WilcoxonPValuesMatchScipy) {
  if (!oracle_python_available()) GTEST_SKIP() << "Debian's python3 with anndata is not available";
  if (run_oracle_python("import scipy").exit_code != 0) GTEST_SKIP() << "scipy is not available";
  const CommandResult r = run_oracle_python(kScipy, shell_quote(written().path.string()));
  ASSERT_EQ(r.exit_code, 0) << r.err;
  const json rows = json::parse(r.out);
  ASSERT_EQ(rows.size(), 11u);
  for (auto& row : rows) {
    const double ours = row[1], theirs = row[2];
    EXPECT_NEAR(std::log10(std::max(ours, 1e-300)), std::log10(std::max(theirs, 1e-300)), 1e-3)
        << row[0];
  }
}

// The fold changes of a whole DEG table, recomputed by numpy from the file's X over the
// cells of the comparison as the markers tool computes them: expm1 of each group's mean log
// expression, a 1e-9 floor, log2 of the ratio.
const char* kFoldChanges = R"PY(
import sys, json, anndata, numpy as np
a = anndata.read_h5ad(sys.argv[1])
t = a.uns["DEG"]["Macrophage"]["Primary_vs_rest"]
ct = (a.obs["celltype_minor"] == "Macrophage").values
g1 = ct & (a.obs["condition"] == "Primary").values
g2 = ct & (a.obs["condition"] != "Primary").values
x = a[:, list(t["names"])].X.toarray().astype(np.float64)
m1, m2 = x[g1].mean(axis=0), x[g2].mean(axis=0)
lfc = np.log2((np.expm1(m1) + 1e-9) / (np.expm1(m2) + 1e-9))
print(json.dumps([[str(n), float(s), float(o)] for n, s, o in zip(t["names"], t["logfoldchanges"], lfc)]))
)PY";

TEST(DemoFile, DegFoldChangesAreThoseOfTheMeanLogExpression) {
  if (!oracle_python_available()) GTEST_SKIP() << "Debian's python3 with anndata is not available";
  const CommandResult r = run_oracle_python(kFoldChanges, shell_quote(written().path.string()));
  ASSERT_EQ(r.exit_code, 0) << r.err;
  const json rows = json::parse(r.out);
  ASSERT_GT(rows.size(), 100u);
  size_t floored = 0;
  for (auto& row : rows) {
    const double stored = row[1], expected = row[2];
    // Stored as float32.
    EXPECT_NEAR(stored, expected, 1e-5 * std::max(1.0, std::fabs(expected))) << row[0];
    floored += std::fabs(expected) > 20;
  }
  // Some genes are silent on one side, where only the floor keeps the ratio finite.
  EXPECT_GT(floored, 0u);
}

}  // namespace
}  // namespace norvex::testing
