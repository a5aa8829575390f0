// The gene-major index: reads through it equal reads of the file itself; an index that is
// stale, truncated, damaged or foreign is ignored, never trusted.
#include <gtest/gtest.h>

#include <cstdlib>

#include "dataset/dataset_fixtures.hpp"
#include "norvex/common/errors.hpp"
#include "norvex/dataset/anndata.hpp"
#include "norvex/dataset/gene_index.hpp"
#include "norvex/dataset/h5.hpp"
#include "norvex/dataset/scan_tuning.hpp"
#include "support/real_shaped_dataset.hpp"
#include "support/test_support.hpp"

namespace norvex {
namespace {

namespace fs = std::filesystem;

// Points the cache folder at a temporary one for the test's lifetime.
class GeneIndexTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* old = std::getenv("XDG_CACHE_HOME");
    if (old) old_ = old;
    setenv("XDG_CACHE_HOME", (cache_ / "").c_str(), 1);
  }
  void TearDown() override {
    if (old_)
      setenv("XDG_CACHE_HOME", old_->c_str(), 1);
    else
      unsetenv("XDG_CACHE_HOME");
  }
  // A CSR dataset in its own folder, and the dense truth.
  fs::path write_dataset(const std::string& name, unsigned seed) {
    truth_ = testing::random_matrix(211, 19, 0.3, seed);
    AnnData ad = testing::small_dataset(truth_.n_rows, truth_.n_cols);
    ad.set_X(truth_.csr());
    const fs::path path = data_ / name;
    ad.write_h5ad(path);
    return path;
  }
  void expect_truth(const AnnData& ad) {
    auto expr = ad.gene_expression(ad.var.index());
    for (size_t c = 0; c < truth_.n_cols; ++c)
      for (size_t r = 0; r < truth_.n_rows; ++r) ASSERT_EQ(expr[c][r], truth_.at(r, c));
  }

  testing::TempDir cache_, data_;
  std::optional<std::string> old_;
  testing::MatrixTruth truth_;
};

TEST_F(GeneIndexTest, IndexedReadsEqualTheFileAndLiveInTheCacheFolder) {
  const fs::path path = write_dataset("x.h5ad", 3);
  auto ad = AnnData::read_h5ad(path);
  EXPECT_FALSE(has_gene_index(*ad));
  std::vector<double> progress;
  GeneIndexOptions options;
  options.pass_entries = 97;  // many passes, block edges inside the matrix
  options.progress = [&](double f) { progress.push_back(f); };
  const fs::path index = build_gene_index(*ad, options);
  EXPECT_EQ(index.parent_path(), cache_.path() / "norvex");
  EXPECT_EQ(index, gene_index_path(path));
  EXPECT_GT(progress.size(), 3u);
  EXPECT_TRUE(std::is_sorted(progress.begin(), progress.end()));
  EXPECT_DOUBLE_EQ(progress.back(), 1.0);
  // Nothing beside the user's file, and no temporary left in the cache.
  EXPECT_EQ(std::distance(fs::directory_iterator(data_.path()), fs::directory_iterator()), 1);
  EXPECT_EQ(std::distance(fs::directory_iterator(index.parent_path()), fs::directory_iterator()),
            1);

  EXPECT_TRUE(has_gene_index(*ad));
  expect_truth(*ad);
  // Duplicated and reordered genes go through the index as through the file.
  auto some = ad->gene_expression({"gene18", "gene2", "gene18"});
  for (size_t r = 0; r < truth_.n_rows; ++r) {
    EXPECT_EQ(some[0][r], truth_.at(r, 18));
    EXPECT_EQ(some[1][r], truth_.at(r, 2));
    EXPECT_EQ(some[2][r], truth_.at(r, 18));
  }
  // A fresh reader finds it too.
  EXPECT_TRUE(has_gene_index(*AnnData::read_h5ad(path)));
}

// Values equal to the file's prove nothing about where they came from: an index whose
// stored values are doubled (its checks cover the layout, not the values) shows that gene
// reads are served by it, and that row reads still come from the file.
TEST_F(GeneIndexTest, GeneReadsOfAReopenedFileAreServedByTheIndex) {
  const fs::path path = write_dataset("x.h5ad", 9);
  const fs::path index = build_gene_index(*AnnData::read_h5ad(path));
  {
    auto l = h5::lock();
    h5::Handle f(H5Fopen(index.c_str(), H5F_ACC_RDWR, H5P_DEFAULT));
    h5::Handle ds(H5Dopen2(f, "X/data", H5P_DEFAULT));
    std::vector<float> data(h5::shape(ds)[0]);
    ASSERT_GT(data.size(), 0u);
    H5Dread(ds, H5T_NATIVE_FLOAT, H5S_ALL, H5S_ALL, H5P_DEFAULT, data.data());
    for (float& v : data) v *= 2;
    ASSERT_GE(H5Dwrite(ds, H5T_NATIVE_FLOAT, H5S_ALL, H5S_ALL, H5P_DEFAULT, data.data()), 0);
  }
  struct RestoreMaps {
    bool maps = detail::use_direct_reads;
    ~RestoreMaps() { detail::use_direct_reads = maps; }
  } restore;
  for (bool mapped : {true, false}) {
    SCOPED_TRACE(mapped ? "mapped" : "through HDF5");
    detail::use_direct_reads = mapped;
    auto ad = AnnData::read_h5ad(path);
    ASSERT_TRUE(has_gene_index(*ad));
    const auto expr = ad->gene_expression({"gene7", "gene0"});
    double total = 0;  // doubling zeros would prove nothing
    for (size_t r = 0; r < truth_.n_rows; ++r) total += truth_.at(r, 7) + truth_.at(r, 0);
    ASSERT_GT(total, 0);
    for (size_t r = 0; r < truth_.n_rows; ++r) {
      ASSERT_EQ(expr[0][r], 2 * truth_.at(r, 7)) << r;
      ASSERT_EQ(expr[1][r], 2 * truth_.at(r, 0)) << r;
    }
    size_t rows = 0;
    ad->for_each_row_chunk(50, [&](const RowChunk& ch) {
      for (size_t r = 0; r < ch.rows.n_rows; ++r, ++rows)
        for (int64_t p = ch.rows.indptr[r]; p < ch.rows.indptr[r + 1]; ++p)
          ASSERT_EQ(ch.rows.data[p],
                    truth_.at(ch.row_begin + r, static_cast<size_t>(ch.rows.indices[p])));
    });
    EXPECT_EQ(rows, truth_.n_rows);
  }
}

TEST_F(GeneIndexTest, StaleTruncatedDamagedAndForeignIndexesAreIgnored) {
  const fs::path path = write_dataset("x.h5ad", 4);
  const fs::path index = build_gene_index(*AnnData::read_h5ad(path));
  const std::string good = testing::read_file(index);
  auto restore = [&] { testing::write_file(index, good); };
  auto ignored = [&](const char* what) {
    SCOPED_TRACE(what);
    auto ad = AnnData::read_h5ad(path);
    EXPECT_FALSE(has_gene_index(*ad));
    expect_truth(*ad);
  };
  ASSERT_TRUE(has_gene_index(*AnnData::read_h5ad(path)));

  testing::write_file(index, good.substr(0, good.size() / 2));
  ignored("truncated");
  testing::write_file(index, good.substr(0, good.size() - 64));
  ignored("short by a few bytes");
  testing::write_file(index, std::string(good.size(), 'x'));
  ignored("not HDF5");
  restore();

  {  // a row pointer changed inside an otherwise whole index
    auto l = h5::lock();
    h5::Handle f(H5Fopen(index.c_str(), H5F_ACC_RDWR, H5P_DEFAULT));
    h5::Handle ds(H5Dopen2(f, "X/indptr", H5P_DEFAULT));
    std::vector<int64_t> ip(truth_.n_cols + 1);
    H5Dread(ds, H5T_NATIVE_INT64, H5S_ALL, H5S_ALL, H5P_DEFAULT, ip.data());
    ip[5] += 1;
    H5Dwrite(ds, H5T_NATIVE_INT64, H5S_ALL, H5S_ALL, H5P_DEFAULT, ip.data());
  }
  ignored("damaged row pointers");
  restore();

  // Another file's index under this file's name.
  const fs::path other = write_dataset("y.h5ad", 5);
  const fs::path other_index = build_gene_index(*AnnData::read_h5ad(other));
  fs::copy_file(other_index, index, fs::copy_options::overwrite_existing);
  truth_ = testing::random_matrix(211, 19, 0.3, 4);  // x.h5ad's truth again
  ignored("foreign");
  restore();
  ASSERT_TRUE(has_gene_index(*AnnData::read_h5ad(path)));

  // The file rewritten with other values (same shape): the index is stale.
  write_dataset("x.h5ad", 6);
  ignored("stale after a rewrite");
  // ...and rebuilt on request.
  build_gene_index(*AnnData::read_h5ad(path));
  EXPECT_TRUE(has_gene_index(*AnnData::read_h5ad(path)));
  // Only the modification time changed.
  fs::last_write_time(path, fs::last_write_time(path) + std::chrono::seconds(5));
  ignored("touched");
}

TEST_F(GeneIndexTest, RawAndXOfTheRealShapedFixtureReadTheSameThroughTheIndex) {
  std::string why;
  const fs::path real = testing::real_shaped_dataset(&why);
  if (real.empty()) GTEST_SKIP() << why;
  // The fixture is shared by the program's tests: index a copy of it.
  const fs::path copy = data_ / "real.h5ad";
  fs::copy_file(real, copy);
  auto ad = AnnData::read_h5ad(copy);
  const auto genes = ad->var.index();
  const auto raw_genes = ad->raw_var_names();
  const auto x = ad->gene_expression(genes);
  const auto raw = ad->raw_gene_expression(raw_genes);
  GeneIndexOptions options;
  options.pass_entries = 50'000;
  build_gene_index(*ad, options);
  ASSERT_TRUE(has_gene_index(*ad));
  EXPECT_EQ(ad->gene_expression(genes), x);
  EXPECT_EQ(ad->raw_gene_expression(raw_genes), raw);
}

TEST_F(GeneIndexTest, TheIndexCommandShowsItsProgressAndWritesIntoTheCacheFolder) {
  const fs::path path = write_dataset("x.h5ad", 8);
  const std::string env = "XDG_CACHE_HOME=" + testing::shell_quote(cache_.path().string()) + " ";
  auto r = testing::run_command(env + testing::shell_quote(testing::norvex_binary().string()) +
                                " index " + testing::shell_quote(path.string()));
  ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
  EXPECT_EQ(r.out.rfind("✅ Building the gene index .. ", 0), 0u) << r.out;
  EXPECT_NE(r.out.find("done ("), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("ℹ️ INFO: Gene index written to " + gene_index_path(path).string()),
            std::string::npos)
      << r.out;
  EXPECT_TRUE(has_gene_index(*AnnData::read_h5ad(path)));

  r = testing::run_command(env + testing::shell_quote(testing::norvex_binary().string()) +
                           " index " + testing::shell_quote((data_ / "absent.h5ad").string()));
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(r.err.find("absent.h5ad"), std::string::npos) << r.err;
}

TEST_F(GeneIndexTest, ADatasetBuiltInMemoryHasNoIndex) {
  AnnData ad = testing::small_dataset(3, 2);
  EXPECT_FALSE(has_gene_index(ad));
  EXPECT_THROW(build_gene_index(ad), ValueError);
}

}  // namespace
}  // namespace norvex
