// Every storage layout of X gives the same rows and genes: files anndata writes (chunked,
// compressed, CSR, CSC, dense), our contiguous and streamed files, read through the file
// map or through HDF5, scanned by one thread or several; and the real files.
#include <gtest/gtest.h>

#include "dataset/dataset_fixtures.hpp"
#include "norvex/common/errors.hpp"
#include "norvex/dataset/anndata.hpp"
#include "norvex/dataset/backing.hpp"
#include "norvex/dataset/h5.hpp"
#include "support/real_shaped_dataset.hpp"
#include "support/test_support.hpp"

namespace norvex {
namespace {

namespace fs = std::filesystem;
using testing::MatrixTruth;

// Restores the scan knobs whatever a test does.
struct ScanKnobs {
  bool maps = detail::use_direct_reads;
  size_t threads = detail::scan_threads;
  ~ScanKnobs() {
    detail::use_direct_reads = maps;
    detail::scan_threads = threads;
  }
};

std::vector<std::string> all_genes(const AnnData& ad) {
  return ad.var.index();
}

std::vector<float> dense_by_rows(const AnnData& ad, const std::optional<std::string>& layer = {}) {
  const size_t n_cols = ad.x_info(layer).n_cols;
  std::vector<float> out(ad.n_obs() * n_cols, 0);
  ad.for_each_row_chunk(
      37,
      [&](const RowChunk& ch) {
        for (size_t r = 0; r < ch.rows.n_rows; ++r)
          for (int64_t p = ch.rows.indptr[r]; p < ch.rows.indptr[r + 1]; ++p)
            out[(ch.row_begin + r) * n_cols + static_cast<size_t>(ch.rows.indices[p])] =
                ch.rows.data[p];
      },
      layer);
  return out;
}

// Gene reads through every scan there is: HDF5 alone, then the map with one and with
// three threads. All must agree exactly.
void expect_scans_agree(const AnnData& ad, const std::vector<std::string>& genes,
                        bool raw = false) {
  ScanKnobs knobs;
  auto read = [&] { return raw ? ad.raw_gene_expression(genes) : ad.gene_expression(genes); };
  detail::use_direct_reads = false;
  const auto through_hdf5 = read();
  detail::use_direct_reads = true;
  for (size_t threads : {1u, 3u}) {
    detail::scan_threads = threads;
    EXPECT_EQ(read(), through_hdf5) << threads << " threads";
  }
}

class AnndataLayoutTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!testing::oracle_python_available()) return;
    dir_ = new testing::TempDir();
    truth_ = testing::random_matrix(301, 23, 0.25, 5);
    // An empty last row and a full first column reach the edges of the scan.
    for (size_t c = 0; c < truth_.n_cols; ++c) truth_.dense[300 * truth_.n_cols + c] = 0;
    for (size_t r = 0; r < 300; ++r) truth_.dense[r * truth_.n_cols] = 1.5f + r;
    AnnData ad = testing::small_dataset(truth_.n_rows, truth_.n_cols);
    ad.set_X(truth_.csr());
    ad.write_h5ad(*dir_ / "ours.h5ad");
    // anndata's own layouts: sparse parts chunked (resizable), optionally compressed.
    const std::string script = R"(
import sys, anndata, numpy as np, scipy.sparse as sp
src, out = sys.argv[1], sys.argv[2]
a = anndata.read_h5ad(src)
a.write_h5ad(out + "/csr.h5ad")
a.write_h5ad(out + "/csr_gzip.h5ad", compression="gzip")
b = a.copy(); b.X = sp.csc_matrix(a.X); b.write_h5ad(out + "/csc.h5ad")
b.write_h5ad(out + "/csc_lzf.h5ad", compression="lzf")
c = a.copy(); c.X = a.X.toarray(); c.write_h5ad(out + "/dense.h5ad")
c.write_h5ad(out + "/dense_gzip.h5ad", compression="gzip")
d = a.copy(); x = sp.csr_matrix(a.X); x.indices = x.indices.astype(np.int64)
x.indptr = x.indptr.astype(np.int64); d.X = x.astype(np.float64); d.write_h5ad(out + "/csr64.h5ad")
import h5py  # the same file behind a user block: addresses no longer count from 0
with h5py.File(out + "/csr.h5ad", "r") as s, h5py.File(out + "/userblock.h5ad", "w", userblock_size=512) as u:
    u.attrs.update(s.attrs)
    for k in s:
        s.copy(k, u)
)";
    auto r =
        testing::run_oracle_python(script, testing::shell_quote((*dir_ / "ours.h5ad").string()) +
                                               " " + testing::shell_quote(dir_->path().string()));
    ASSERT_EQ(r.exit_code, 0) << r.err;
  }
  static void TearDownTestSuite() {
    delete dir_;
    dir_ = nullptr;
  }
  void SetUp() override {
    if (!dir_) GTEST_SKIP() << "Debian's Python with anndata is absent";
  }
  // ours.h5ad copied to `path` with the column index at position `at` set to `bad`.
  static void copy_with_index(const fs::path& path, hsize_t at, int64_t bad) {
    fs::copy_file(*dir_ / "ours.h5ad", path, fs::copy_options::overwrite_existing);
    auto l = h5::lock();
    h5::Handle f(H5Fopen(path.c_str(), H5F_ACC_RDWR, H5P_DEFAULT));
    h5::Handle ds(H5Dopen2(f, "X/indices", H5P_DEFAULT));
    const hsize_t one = 1;
    h5::Handle fs_(H5Dget_space(ds));
    H5Sselect_hyperslab(fs_, H5S_SELECT_SET, &at, nullptr, &one, nullptr);
    h5::Handle ms(H5Screate_simple(1, &one, nullptr));
    ASSERT_GE(H5Dwrite(ds, H5T_NATIVE_INT64, ms, fs_, H5P_DEFAULT, &bad), 0);
  }
  static testing::TempDir* dir_;
  static MatrixTruth truth_;
};
testing::TempDir* AnndataLayoutTest::dir_ = nullptr;
MatrixTruth AnndataLayoutTest::truth_;

TEST_F(AnndataLayoutTest, EveryLayoutGivesTheTruth) {
  // name, whether the sparse parts can be mapped
  const std::vector<std::pair<std::string, bool>> files = {
      {"ours.h5ad", true},        {"csr.h5ad", true},      {"csr_gzip.h5ad", false},
      {"csc.h5ad", true},         {"csc_lzf.h5ad", false}, {"dense.h5ad", false},
      {"dense_gzip.h5ad", false}, {"csr64.h5ad", true},    {"userblock.h5ad", true}};
  std::vector<std::string> genes = {"gene22", "gene0", "gene7", "gene0"};
  for (auto& [name, mappable] : files) {
    SCOPED_TRACE(name);
    auto ad = AnnData::read_h5ad(*dir_ / name);
    const MatrixInfo info = ad->x_info();
    if (info.format != MatrixInfo::Format::Dense) {
      auto m = detail::open_matrix(*ad->backing_, "X");
      EXPECT_EQ(m.indices_direct.has_value(), mappable);
      EXPECT_EQ(m.data_direct.has_value(), mappable);
    }
    ScanKnobs knobs;
    for (bool maps : {false, true}) {
      detail::use_direct_reads = maps;
      for (size_t threads : {1u, 2u, 5u}) {
        detail::scan_threads = threads;
        auto expr = ad->gene_expression(genes);
        for (size_t g = 0; g < genes.size(); ++g) {
          const size_t col = std::stoul(genes[g].substr(4));
          for (size_t r = 0; r < truth_.n_rows; ++r)
            ASSERT_EQ(expr[g][r], truth_.at(r, col)) << genes[g] << " row " << r;
        }
      }
      EXPECT_EQ(dense_by_rows(*ad), truth_.dense);
    }
  }
}

TEST_F(AnndataLayoutTest, StreamedChunkedFileIsMappedAndReadsTheTruth) {
  AnnData meta = testing::small_dataset(truth_.n_rows, truth_.n_cols);
  const fs::path path = *dir_ / "streamed.h5ad";
  {
    H5adStreamWriter w(path, meta);
    SparseMatrix csr = truth_.csr();
    // Appended in pieces, so the chunks are written at scattered addresses.
    for (size_t r0 = 0; r0 < csr.n_rows; r0 += 40) {
      const size_t r1 = std::min(csr.n_rows, r0 + 40);
      SparseMatrix part;
      part.n_rows = r1 - r0;
      part.n_cols = csr.n_cols;
      for (size_t r = r0; r <= r1; ++r) part.indptr.push_back(csr.indptr[r] - csr.indptr[r0]);
      part.indices.assign(csr.indices.begin() + csr.indptr[r0],
                          csr.indices.begin() + csr.indptr[r1]);
      part.data.assign(csr.data.begin() + csr.indptr[r0], csr.data.begin() + csr.indptr[r1]);
      w.append_rows(part);
    }
    w.close();
  }
  auto ad = AnnData::read_h5ad(path);
  EXPECT_TRUE(detail::open_matrix(*ad->backing_, "X").indices_direct.has_value());
  EXPECT_EQ(dense_by_rows(*ad), truth_.dense);
  expect_scans_agree(*ad, all_genes(*ad));
}

// An index out of range (negative, just past the last column, far past it; early or at the
// very end, where the scan goes one entry at a time) is the same FileError on every path,
// never a wild read.
TEST_F(AnndataLayoutTest, OutOfRangeIndexIsReportedOnEveryPath) {
  const size_t nnz = truth_.csr().indices.size();
  for (int64_t bad : {int64_t{-1}, static_cast<int64_t>(truth_.n_cols), int64_t{1} << 30})
    for (hsize_t at : {hsize_t{500}, hsize_t{nnz - 1}, hsize_t{nnz - 3}}) {
      SCOPED_TRACE("index " + std::to_string(bad) + " at " + std::to_string(at));
      const fs::path path = *dir_ / "bad_index.h5ad";
      ASSERT_NO_FATAL_FAILURE(copy_with_index(path, at, bad));
      auto ad = AnnData::read_h5ad(path);
      ScanKnobs knobs;
      for (bool direct : {false, true})
        for (size_t threads : {1u, 3u})
          for (const std::vector<std::string>& genes :
               {std::vector<std::string>{"gene3"}, all_genes(*ad)}) {
            detail::use_direct_reads = direct;
            detail::scan_threads = threads;
            try {
              ad->gene_expression(genes);
              ADD_FAILURE() << "no error, direct " << direct << " threads " << threads << " genes "
                            << genes.size();
            } catch (const FileError& e) {
              EXPECT_NE(std::string(e.what()).find("'X/indices' holds an index out of range"),
                        std::string::npos)
                  << e.what();
            }
          }
    }
}

// An index just past the last column in a run of entries that holds no asked gene: the
// scan that compares several entries at once must see it there too, not only where it
// looks closer.
TEST_F(AnndataLayoutTest, OutOfRangeIndexAmongUnaskedGenesIsReported) {
  const SparseMatrix csr = truth_.csr();
  // A run of 16 entries, at a multiple of 16 (where a one-thread scan's runs start), with
  // no entry of gene3.
  std::optional<hsize_t> at;
  for (size_t run = 0; !at && run + 16 < csr.indices.size(); run += 16)
    if (std::none_of(csr.indices.begin() + run, csr.indices.begin() + run + 16,
                     [](int64_t c) { return c == 3; }))
      at = run + 5;
  ASSERT_TRUE(at.has_value());
  const fs::path path = *dir_ / "bad_index_unasked.h5ad";
  ASSERT_NO_FATAL_FAILURE(copy_with_index(path, *at, static_cast<int64_t>(truth_.n_cols)));
  auto ad = AnnData::read_h5ad(path);
  ScanKnobs knobs;
  detail::scan_threads = 1;
  EXPECT_THROW(ad->gene_expression({"gene3"}), FileError);
}

// From one asked gene to more than the scan compares at once, repeats included: each count
// reads the truth, on int32 and int64 indices, one thread or several.
TEST_F(AnndataLayoutTest, EveryCountOfAskedGenesReadsTheTruth) {
  const std::vector<std::string> order = {"gene5", "gene0", "gene22", "gene11", "gene5",  "gene17",
                                          "gene1", "gene9", "gene3",  "gene20", "gene14", "gene8"};
  ScanKnobs knobs;
  for (const char* name : {"ours.h5ad", "csr.h5ad", "csr64.h5ad"}) {
    auto ad = AnnData::read_h5ad(*dir_ / name);
    for (size_t k = 1; k <= order.size(); ++k) {
      const std::vector<std::string> genes(order.begin(), order.begin() + k);
      for (size_t threads : {1u, 3u}) {
        detail::scan_threads = threads;
        const auto expr = ad->gene_expression(genes);
        for (size_t g = 0; g < k; ++g) {
          const size_t c = std::stoul(genes[g].substr(4));
          for (size_t r = 0; r < truth_.n_rows; ++r)
            ASSERT_EQ(expr[g][r], truth_.at(r, c)) << name << ", " << k << " genes, " << threads
                                                   << " threads, " << genes[g] << " row " << r;
        }
      }
    }
  }
}

TEST(RealFileScanTest, MappedAndParallelScansEqualTheHdf5Scan) {
  const fs::path dir = testing::shared_data_dir();
  if (dir.empty()) GTEST_SKIP() << "../shared/data is absent: real .h5ad files not available";
  for (const char* name : {"pbmc68k_reduced_anndata08_csr.h5ad", "pbmc68k_reduced_legacy.h5ad",
                           "anndata_archive_v0.7.8.h5ad", "anndata_archive_v0.11.4.h5ad"}) {
    SCOPED_TRACE(name);
    auto ad = AnnData::read_h5ad(dir / name);
    if (ad->has_X() && ad->n_vars() > 0) expect_scans_agree(*ad, all_genes(*ad));
    if (ad->has_raw()) expect_scans_agree(*ad, ad->raw_var_names(), true);
  }
  std::string why;
  const fs::path real = testing::real_shaped_dataset(&why);
  if (real.empty()) GTEST_SKIP() << why;
  auto ad = AnnData::read_h5ad(real);
  expect_scans_agree(*ad, all_genes(*ad));
  expect_scans_agree(*ad, ad->raw_var_names(), true);
}

}  // namespace
}  // namespace norvex
