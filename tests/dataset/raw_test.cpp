// raw beside X: the unscaled expression anndata keeps, read by gene the way anndata reads
// `adata.raw[:, genes].X`, for every storage form and on the real-shaped fixture (a scaled
// X with raw counts beside it).
#include <gtest/gtest.h>

#include <cmath>

#include "norvex/common/errors.hpp"
#include "norvex/common/json.hpp"
#include "norvex/dataset/anndata.hpp"
#include "support/real_shaped_dataset.hpp"
#include "support/test_support.hpp"

namespace norvex {
namespace {

using testing::shell_quote;

// Writes raw as CSR, CSC and dense beside an X of fewer genes; prints what anndata reads.
const char* kWriter = R"PY(
import sys, json, warnings
warnings.simplefilter("ignore")
import anndata as ad, numpy as np, scipy.sparse as sp
out = sys.argv[1]
rng = np.random.default_rng(3)
raw = rng.poisson(0.7, size=(50, 12)).astype(np.float32)
genes = ["G%d" % i for i in range(12)]
for form in ["csr", "csc", "dense"]:
    r = ad.AnnData(X={"csr": sp.csr_matrix, "csc": sp.csc_matrix, "dense": np.asarray}[form](raw))
    r.var_names = genes
    a = r[:, 2:8].copy()
    a.raw = r
    a.X = (a.X.toarray() if sp.issparse(a.X) else a.X) * 10 - 3  # scaled, unlike raw
    a.write_h5ad(out + "/" + form + ".h5ad")
print(json.dumps({"G11": raw[:, 11].tolist(), "G0": raw[:, 0].tolist()}))
)PY";

TEST(Raw, EveryStorageFormReadsByGeneAsAnndata) {
  if (!testing::oracle_python_available()) GTEST_SKIP() << "Debian's python3 is not available";
  testing::TempDir dir;
  const auto r = testing::run_oracle_python(kWriter, shell_quote(dir.path().string()));
  ASSERT_EQ(r.exit_code, 0) << r.err;
  const json truth = json::parse(r.out);
  for (const char* form : {"csr", "csc", "dense"}) {
    SCOPED_TRACE(form);
    auto a = AnnData::read_h5ad(dir / (std::string(form) + ".h5ad"));
    ASSERT_TRUE(a->has_raw());
    EXPECT_EQ(a->raw_var_names().size(), 12u);
    EXPECT_EQ(a->n_vars(), 6u);
    // G11 and G0 are only in raw; G0 asked twice fills both slots.
    const auto v = a->raw_gene_expression({"G11", "G0", "G0"});
    ASSERT_EQ(v.size(), 3u);
    for (size_t i = 0; i < 50; ++i) {
      EXPECT_EQ(v[0][i], truth["G11"][i].get<float>());
      EXPECT_EQ(v[1][i], truth["G0"][i].get<float>());
      EXPECT_EQ(v[2][i], truth["G0"][i].get<float>());
    }
    EXPECT_THROW(a->raw_gene_expression({"G99"}), KeyError);
  }
}

TEST(Raw, RealShapedFixtureAndOldLayout) {
  std::string why;
  const auto path = testing::real_shaped_dataset(&why);
  if (path.empty()) GTEST_SKIP() << why;
  const char* oracle = R"PY(
import sys, json, warnings
warnings.simplefilter("ignore")
import anndata as ad, numpy as np, scipy.sparse as sp
out = {}
for p in sys.argv[1:]:
    a = ad.read_h5ad(p)
    genes = list(a.raw.var_names[:2]) + ["CD3E"]
    m = a.raw[:, genes].X
    m = m.toarray() if sp.issparse(m) else np.asarray(m)
    out[p] = {"genes": genes, "values": m.T.astype(float).tolist(), "n": int(a.raw.n_vars)}
print(json.dumps(out))
)PY";
  const std::string legacy = (testing::shared_data_dir() / "pbmc68k_reduced_legacy.h5ad").string();
  const auto r =
      testing::run_oracle_python(oracle, shell_quote(path.string()) + " " + shell_quote(legacy));
  ASSERT_EQ(r.exit_code, 0) << r.err;
  const json truth = json::parse(r.out);
  for (auto& [file, t] : truth.items()) {
    SCOPED_TRACE(file);
    auto a = AnnData::read_h5ad(file);
    ASSERT_TRUE(a->has_raw());
    EXPECT_EQ(a->raw_var_names().size(), t["n"].get<size_t>());
    const auto genes = t["genes"].get<std::vector<std::string>>();
    const auto v = a->raw_gene_expression(genes);
    for (size_t g = 0; g < genes.size(); ++g)
      for (size_t i = 0; i < a->n_obs(); ++i)
        ASSERT_FLOAT_EQ(v[g][i], t["values"][g][i].get<float>()) << genes[g] << " cell " << i;
  }
}

TEST(Raw, DatasetWithoutRawSaysSo) {
  AnnData a;
  EXPECT_FALSE(a.has_raw());
  EXPECT_THROW(a.raw_var_names(), KeyError);
  EXPECT_THROW(a.raw_gene_expression({"A"}), KeyError);
}

TEST(Raw, RowChunksReachEveryValueAsAnndataSumsThem) {
  const auto dir = testing::shared_data_dir();
  if (dir.empty()) GTEST_SKIP() << "../shared/data is absent";
  if (!testing::oracle_python_available()) GTEST_SKIP() << "no oracle Python";
  const auto path = dir / "pbmc68k_reduced_anndata08_csr.h5ad";
  auto adata = AnnData::read_h5ad(path);
  ASSERT_TRUE(adata->has_raw());
  const auto names = adata->raw_var_names();
  const MatrixInfo info = adata->raw_info();
  EXPECT_EQ(info.n_rows, adata->n_obs());
  EXPECT_EQ(info.n_cols, names.size());
  // Per-gene sums and stored counts from small chunks: every value reached once.
  std::vector<double> sums(names.size(), 0.0);
  size_t rows = 0;
  adata->for_each_raw_row_chunk(97, [&](const RowChunk& ch) {
    rows += ch.rows.n_rows;
    for (size_t p = 0; p < ch.rows.data.size(); ++p)
      sums[static_cast<size_t>(ch.rows.indices[p])] += ch.rows.data[p];
  });
  EXPECT_EQ(rows, adata->n_obs());
  const auto r = testing::run_oracle_python(R"(
import json, sys
import anndata, numpy as np
a = anndata.read_h5ad(sys.argv[1])
print(json.dumps({"names": list(map(str, a.raw.var_names)),
                  "sums": np.asarray(a.raw.X.sum(axis=0), dtype=float).ravel().tolist()}))
)",
                                            testing::shell_quote(path.string()));
  ASSERT_EQ(r.exit_code, 0) << r.err;
  const json expected = json::parse(r.out);
  EXPECT_EQ(json(names), expected["names"]);
  for (size_t k = 0; k < sums.size(); ++k)
    EXPECT_NEAR(sums[k], expected["sums"][k].get<double>(),
                1e-4 * std::max(1.0, std::fabs(sums[k])))
        << names[k];
}

}  // namespace
}  // namespace norvex
