// Large datasets are written row chunk by row chunk.
#include <gtest/gtest.h>

#include "dataset/dataset_fixtures.hpp"
#include "norvex/common/errors.hpp"
#include "norvex/dataset/anndata.hpp"
#include "support/test_support.hpp"

namespace norvex {
namespace {

namespace fs = std::filesystem;

SparseMatrix rows_of(const SparseMatrix& csr, size_t r0, size_t r1) {
  SparseMatrix m;
  m.n_rows = r1 - r0;
  m.n_cols = csr.n_cols;
  for (size_t r = r0; r <= r1; ++r) m.indptr.push_back(csr.indptr[r] - csr.indptr[r0]);
  m.indices.assign(csr.indices.begin() + csr.indptr[r0], csr.indices.begin() + csr.indptr[r1]);
  m.data.assign(csr.data.begin() + csr.indptr[r0], csr.data.begin() + csr.indptr[r1]);
  return m;
}

TEST(StreamWriterTest, ChunksMakeTheSameMatrix) {
  testing::TempDir tmp;
  testing::MatrixTruth t = testing::random_matrix(100, 30, 0.2, 9);
  SparseMatrix csr = t.csr();
  AnnData meta = testing::small_dataset(100, 30);
  meta.uns.set("usr_param", UnsNode::from_json(json{{"species", "human"}}));
  DenseMatrix umap;
  umap.n_rows = 100;
  umap.n_cols = 2;
  umap.values.assign(200, 0.5);
  meta.set_obsm("X_umap", umap);

  fs::path path = tmp / "big.h5ad";
  {
    H5adStreamWriter w(path, meta);
    w.append_rows(rows_of(csr, 0, 40));
    w.append_rows(rows_of(csr, 40, 40));  // an empty chunk is harmless
    EXPECT_FALSE(fs::exists(path)) << "an unfinished file must not appear under its name";
    w.append_rows(rows_of(csr, 40, 100));
    EXPECT_THROW(w.append_rows(rows_of(csr, 0, 1)), ValueError);  // past n_obs
    w.close();
  }
  auto ad = AnnData::read_h5ad(path);
  EXPECT_EQ(ad->n_obs(), 100u);
  EXPECT_EQ(ad->x_info().nnz, csr.data.size());
  EXPECT_EQ(ad->obsm("X_umap").values, umap.values);
  EXPECT_EQ(ad->uns.at("usr_param").dict().at("species").text(), "human");
  auto expr = ad->gene_expression({"gene7"});
  for (size_t r = 0; r < 100; ++r) ASSERT_EQ(expr[0][r], t.at(r, 7));

  if (testing::oracle_python_available()) {
    const char* script = R"PY(
import sys, warnings
warnings.simplefilter("ignore")
import anndata
a = anndata.read_h5ad(sys.argv[1])
print(a.shape, a.X.nnz, a.obsm["X_umap"].shape)
)PY";
    auto r = testing::run_oracle_python(script, testing::shell_quote(path.string()));
    EXPECT_EQ(r.out, "(100, 30) " + std::to_string(csr.data.size()) + " (100, 2)\n") << r.err;
  }
}

TEST(StreamWriterTest, IncompleteStreamsLeaveNoFile) {
  testing::TempDir tmp;
  AnnData meta = testing::small_dataset(10, 5);
  SparseMatrix csr = testing::random_matrix(10, 5, 0.5, 1).csr();
  {
    H5adStreamWriter w(tmp / "a.h5ad", meta);
    w.append_rows(rows_of(csr, 0, 4));
    EXPECT_THROW(w.close(), ValueError);
    SparseMatrix wrong = rows_of(csr, 4, 6);
    wrong.n_cols = 4;
    EXPECT_THROW(w.append_rows(wrong), ValueError);
  }  // destroyed without a successful close
  EXPECT_TRUE(fs::is_empty(tmp.path()));
}

}  // namespace
}  // namespace norvex
