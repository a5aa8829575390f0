// Datasets whose X and obsm are read in place from memory owned elsewhere (a notebook's
// live AnnData): every way the engine reads X gives what the owner holds, and writing the
// dataset stores it.
#include <gtest/gtest.h>

#include "norvex/common/errors.hpp"
#include "norvex/dataset/external_matrix.hpp"
#include "support/test_support.hpp"
#include "support/tiny_dataset.hpp"

namespace norvex {
namespace {

using namespace norvex::testing;

// A dense matrix held by the test, as a notebook's array would be; counts its reads.
class OwnedDense : public ExternalMatrix {
 public:
  OwnedDense(size_t rows, size_t cols) : rows_(rows), cols_(cols), v_(rows * cols, 0.0) {}
  double& at(size_t r, size_t c) { return v_[r * cols_ + c]; }
  MatrixInfo info() const override {
    MatrixInfo i;
    i.n_rows = rows_;
    i.n_cols = cols_;
    i.dtype = "float64";
    return i;
  }
  SparseMatrix rows(size_t r0, size_t r1) const override {
    ++row_reads;
    SparseMatrix m;
    m.n_rows = r1 - r0;
    m.n_cols = cols_;
    m.indptr.push_back(0);
    for (size_t r = r0; r < r1; ++r) {
      for (size_t c = 0; c < cols_; ++c) {
        if (v_[r * cols_ + c] != 0) {
          m.indices.push_back(static_cast<int64_t>(c));
          m.data.push_back(static_cast<float>(v_[r * cols_ + c]));
        }
      }
      m.indptr.push_back(static_cast<int64_t>(m.data.size()));
    }
    return m;
  }
  std::vector<std::vector<float>> columns(const std::vector<size_t>& cols) const override {
    std::vector<std::vector<float>> out;
    for (size_t c : cols) {
      std::vector<float> col;
      for (size_t r = 0; r < rows_; ++r) col.push_back(static_cast<float>(v_[r * cols_ + c]));
      out.push_back(col);
    }
    return out;
  }
  DenseMatrix dense() const override {
    DenseMatrix d;
    d.n_rows = rows_;
    d.n_cols = cols_;
    d.values = v_;
    return d;
  }
  mutable int row_reads = 0;

 private:
  size_t rows_, cols_;
  std::vector<double> v_;
};

TEST(ExternalMatrix, EveryReadOfXSeesTheOwnersValues) {
  auto ad = tiny_dataset();  // four cells, three genes
  auto x = std::make_shared<OwnedDense>(ad->n_obs(), ad->n_vars());
  x->at(0, 1) = 2.5;
  x->at(3, 1) = 1;
  x->at(2, 0) = 7;
  set_external_X(*ad, x);
  ASSERT_TRUE(ad->has_X());
  EXPECT_EQ(ad->x_info().n_cols, ad->n_vars());

  const std::string g0 = ad->var.index()[0], g1 = ad->var.index()[1];
  auto e = ad->gene_expression({g1, g0, g1});
  EXPECT_EQ(e[0], (std::vector<float>{2.5f, 0, 0, 1}));
  EXPECT_EQ(e[1], (std::vector<float>{0, 0, 7, 0}));
  EXPECT_EQ(e[2], e[0]);

  // Changed by its owner after adoption: read again, not copied at adoption.
  x->at(1, 1) = 4;
  EXPECT_EQ(ad->gene_expression({g1})[0], (std::vector<float>{2.5f, 4, 0, 1}));

  size_t rows = 0, stored = 0;
  ad->for_each_row_chunk(3, [&](const RowChunk& ch) {
    rows += ch.rows.n_rows;
    stored += ch.rows.data.size();
  });
  EXPECT_EQ(rows, 4u);
  EXPECT_EQ(stored, 4u);
  EXPECT_EQ(x->row_reads, 2);
}

TEST(ExternalMatrix, ShapesAreCheckedAndWritingStoresXAndObsm) {
  auto ad = tiny_dataset();
  EXPECT_THROW(set_external_X(*ad, std::make_shared<OwnedDense>(ad->n_obs() + 1, ad->n_vars())),
               ValueError);
  EXPECT_THROW(set_external_obsm(*ad, "X_umap", std::make_shared<OwnedDense>(2, 2)), ValueError);

  auto x = std::make_shared<OwnedDense>(ad->n_obs(), ad->n_vars());
  x->at(1, 2) = 3;
  set_external_X(*ad, x);
  auto emb = std::make_shared<OwnedDense>(ad->n_obs(), 2);
  emb->at(3, 1) = -1.5;
  set_external_obsm(*ad, "X_umap", emb);
  EXPECT_EQ(ad->obsm_shape("X_umap"), (std::vector<size_t>{ad->n_obs(), 2}));
  EXPECT_EQ(ad->obsm("X_umap").at(3, 1), -1.5);

  TempDir dir;
  ad->write_h5ad(dir / "adopted.h5ad");
  auto back = AnnData::read_h5ad(dir / "adopted.h5ad");
  EXPECT_EQ(back->gene_expression({ad->var.index()[2]})[0], (std::vector<float>{0, 3, 0, 0}));
  EXPECT_EQ(back->obsm("X_umap").at(3, 1), -1.5);
}

}  // namespace
}  // namespace norvex
