// Expression read lazily from CSR, CSC and dense X matches the dense truth.
#include <gtest/gtest.h>

#include "dataset/dataset_fixtures.hpp"
#include "norvex/common/errors.hpp"
#include "norvex/dataset/anndata.hpp"
#include "norvex/dataset/backing.hpp"
#include "norvex/dataset/h5.hpp"
#include "support/test_support.hpp"

namespace norvex {
namespace {

namespace fs = std::filesystem;
using testing::MatrixTruth;

enum class Layout { CsrFile, CscFile, DenseFile, CsrMemory, CscMemory };

// A dataset whose X is the truth in the given layout (in a file, except the memory ones).
std::shared_ptr<AnnData> dataset_with(const MatrixTruth& t, Layout layout,
                                      const testing::TempDir& tmp) {
  auto ad = std::make_shared<AnnData>(testing::small_dataset(t.n_rows, t.n_cols));
  if (layout == Layout::CsrMemory || layout == Layout::CscMemory) {
    ad->set_X(layout == Layout::CsrMemory ? t.csr() : t.csc());
    return ad;
  }
  fs::path path = tmp / "x.h5ad";
  if (layout != Layout::DenseFile) ad->set_X(layout == Layout::CsrFile ? t.csr() : t.csc());
  ad->write_h5ad(path);
  if (layout == Layout::DenseFile) {
    auto l = h5::lock();
    h5::Handle f(H5Fopen(path.c_str(), H5F_ACC_RDWR, H5P_DEFAULT));
    std::vector<double> values(t.dense.begin(), t.dense.end());
    h5::write_doubles(f, "X", values.data(), {t.n_rows, t.n_cols}, "float32");
  }
  return AnnData::read_h5ad(path);
}

class MatrixLayoutTest : public ::testing::TestWithParam<Layout> {};

TEST_P(MatrixLayoutTest, GeneExpressionAndRowChunksMatchTheTruth) {
  testing::TempDir tmp;
  MatrixTruth t = testing::random_matrix(53, 17, 0.3, 11);
  auto ad = dataset_with(t, GetParam(), tmp);
  ASSERT_TRUE(ad->has_X());
  EXPECT_EQ(ad->x_info().n_rows, 53u);
  EXPECT_EQ(ad->x_info().n_cols, 17u);

  // Genes in any order, one asked twice, the last gene included.
  std::vector<std::string> genes = {"gene16", "gene0", "gene5", "gene0"};
  auto expr = ad->gene_expression(genes);
  ASSERT_EQ(expr.size(), genes.size());
  for (size_t g = 0; g < genes.size(); ++g) {
    size_t col = std::stoul(genes[g].substr(4));
    ASSERT_EQ(expr[g].size(), t.n_rows);
    for (size_t r = 0; r < t.n_rows; ++r)
      ASSERT_EQ(expr[g][r], t.at(r, col)) << genes[g] << " " << r;
  }

  // A CSC file is also read with room for only a few rows per scan.
  const size_t default_pass = detail::csc_pass_entries;
  for (size_t pass_entries : {default_pass, size_t{8}})
    for (size_t rows : {1u, 7u, 1000u}) {
      detail::csc_pass_entries = pass_entries;
      std::vector<float> rebuilt(t.dense.size(), 0);
      size_t next = 0;
      ad->for_each_row_chunk(rows, [&](const RowChunk& ch) {
        EXPECT_EQ(ch.row_begin, next);
        EXPECT_LE(ch.row_end - ch.row_begin, rows);
        ASSERT_EQ(ch.rows.indptr.size(), ch.rows.n_rows + 1);
        for (size_t r = 0; r < ch.rows.n_rows; ++r) {
          for (int64_t p = ch.rows.indptr[r]; p < ch.rows.indptr[r + 1]; ++p) {
            rebuilt[(ch.row_begin + r) * t.n_cols + static_cast<size_t>(ch.rows.indices[p])] =
                ch.rows.data[p];
          }
        }
        next = ch.row_end;
      });
      detail::csc_pass_entries = default_pass;
      EXPECT_EQ(next, t.n_rows);
      EXPECT_EQ(rebuilt, t.dense) << "chunks of " << rows << ", " << pass_entries << " per scan";
    }
}

INSTANTIATE_TEST_SUITE_P(Layouts, MatrixLayoutTest,
                         ::testing::Values(Layout::CsrFile, Layout::CscFile, Layout::DenseFile,
                                           Layout::CsrMemory, Layout::CscMemory));

TEST(MatrixTest, UnknownGenesAndMissingMatrices) {
  testing::TempDir tmp;
  AnnData ad = testing::small_dataset(4, 3);
  EXPECT_FALSE(ad.has_X());
  EXPECT_THROW(ad.gene_expression({"gene0"}), KeyError);
  ad.set_X(testing::random_matrix(4, 3, 0.5, 1).csr());
  try {
    ad.gene_expression({"gene0", "CD3E"});
    FAIL() << "no KeyError";
  } catch (const KeyError& e) {
    EXPECT_EQ(std::string(e.what()), "'CD3E'");
  }
  EXPECT_THROW(ad.for_each_row_chunk(0, [](const RowChunk&) {}), ValueError);
  EXPECT_THROW(ad.x_info("counts"), KeyError);
}

TEST(MatrixTest, DuplicateGeneNamesUseTheFirstColumn) {
  AnnData ad = testing::small_dataset(2, 3);
  ad.var.set_index({"A", "B", "A"});
  MatrixTruth t = testing::random_matrix(2, 3, 1.0, 4);
  ad.set_X(t.csr());
  auto expr = ad.gene_expression({"A"});
  EXPECT_EQ(expr[0], (std::vector<float>{t.at(0, 0), t.at(1, 0)}));
}

}  // namespace
}  // namespace norvex

namespace norvex {
namespace {

// Row blocks of an embedding, from memory and from the file, put together give obsm() back.
TEST(MatrixTest, ObsmChunksCoverTheMatrixInOrder) {
  testing::TempDir tmp;
  auto ad = std::make_shared<AnnData>(testing::small_dataset(7, 3));
  DenseMatrix m;
  m.n_rows = 7;
  m.n_cols = 5;
  for (size_t i = 0; i < 35; ++i) m.values.push_back(static_cast<double>(i) * 0.5 - 3);
  ad->set_obsm("X_cnv", m);
  const fs::path path = tmp / "cnv.h5ad";
  ad->write_h5ad(path);
  auto read = AnnData::read_h5ad(path);
  for (const AnnData* a : {ad.get(), read.get()}) {
    std::vector<double> seen;
    size_t next = 0;
    a->for_each_obsm_chunk("X_cnv", 3, [&](size_t r0, const DenseMatrix& block) {
      EXPECT_EQ(r0, next);
      EXPECT_LE(block.n_rows, 3u);
      EXPECT_EQ(block.n_cols, 5u);
      next += block.n_rows;
      seen.insert(seen.end(), block.values.begin(), block.values.end());
    });
    EXPECT_EQ(seen, m.values);
  }
  EXPECT_THROW(read->for_each_obsm_chunk("X_none", 3, [](size_t, const DenseMatrix&) {}), KeyError);
}

}  // namespace
}  // namespace norvex
