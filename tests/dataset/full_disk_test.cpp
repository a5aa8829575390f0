// Writing a dataset onto a disk that cannot hold it: refused before anything is written
// when the space is plainly too small; matrices copied by hand (not by HDF5's object
// copy, which can crash on a full disk) when it is short; a disk that fills up anyway is a
// clean "not enough space" error, and no temporary is left either way.
#include <gtest/gtest.h>
#include <sys/mount.h>

#include <filesystem>

#include "dataset_fixtures.hpp"
#include "norvex/common/errors.hpp"
#include "norvex/dataset/anndata.hpp"
#include "norvex/dataset/temp_files.hpp"
#include "support/test_support.hpp"

namespace norvex {
namespace {

namespace fs = std::filesystem;

// Replaces the free-space answer for one test.
struct FakeFreeSpace {
  explicit FakeFreeSpace(std::function<std::uintmax_t(const fs::path&)> probe) {
    detail::set_free_space_probe(std::move(probe));
  }
  ~FakeFreeSpace() { detail::set_free_space_probe({}); }
};

bool has_temporary(const fs::path& dir) {
  for (const auto& e : fs::directory_iterator(dir))
    if (e.path().filename().string().find(".tmp-") != std::string::npos) return true;
  return false;
}

// A file on the ordinary disk with a sparse X of about `mb` megabytes, a dense layer and
// an embedding: the parts a write copies across.
fs::path source_file(const testing::TempDir& dir, size_t cells, const testing::MatrixTruth& x) {
  AnnData ad = testing::small_dataset(cells, x.n_cols);
  ad.set_X(x.csr());
  DenseMatrix umap;
  umap.n_rows = cells;
  umap.n_cols = 2;
  for (size_t i = 0; i < cells * 2; ++i) umap.values.push_back(static_cast<double>(i) / 7);
  ad.set_obsm("X_umap", umap);
  ad.uns.set("note", UnsNode::from_json(json("kept")));
  const fs::path path = dir / "source.h5ad";
  ad.write_h5ad(path);
  return path;
}

void expect_same_x(const AnnData& ad, const testing::MatrixTruth& x) {
  ASSERT_EQ(ad.n_obs(), x.n_rows);
  size_t checked = 0;
  ad.for_each_row_chunk(97, [&](const RowChunk& chunk) {
    for (size_t r = chunk.row_begin; r < chunk.row_end; ++r) {
      const SparseMatrix& m = chunk.rows;
      const size_t local = r - chunk.row_begin;
      std::vector<float> row(x.n_cols, 0);
      for (int64_t k = m.indptr[local]; k < m.indptr[local + 1]; ++k)
        row[static_cast<size_t>(m.indices[k])] = m.data[k];
      for (size_t c = 0; c < x.n_cols; ++c) ASSERT_EQ(row[c], x.at(r, c)) << r << "," << c;
      ++checked;
    }
  });
  EXPECT_EQ(checked, x.n_rows);
}

TEST(FullDisk, PlainlyTooLittleSpaceIsRefusedBeforeAnythingIsWritten) {
  testing::TempDir dir;
  const testing::MatrixTruth x = testing::random_matrix(300, 200, 0.3, 5);
  auto ad = AnnData::read_h5ad(source_file(dir, 300, x));
  const fs::path target = dir / "out.h5ad";
  testing::write_file(target, "the earlier file");
  FakeFreeSpace tiny([](const fs::path&) { return std::uintmax_t{4096}; });
  try {
    ad->write_h5ad(target);
    FAIL() << "expected a FileError";
  } catch (const FileError& e) {
    const std::string what = e.what();
    EXPECT_NE(what.find("Cannot write '" + target.string() + "': not enough space on its disk"),
              std::string::npos)
        << what;
    EXPECT_NE(what.find("MB needed, 1 MB free)"), std::string::npos) << what;
  }
  EXPECT_EQ(testing::read_file(target), "the earlier file");
  EXPECT_FALSE(has_temporary(dir.path()));
}

TEST(FullDisk, ShortSpaceCopiesTheMatricesByHandWithTheSameValues) {
  testing::TempDir dir;
  // More rows than one 8 MB slab would hold is not needed: several datasets and groups
  // with their attributes are what the copy by hand has to get right.
  const testing::MatrixTruth x = testing::random_matrix(700, 300, 0.2, 9);
  const fs::path source = source_file(dir, 700, x);
  auto ad = AnnData::read_h5ad(source);
  const std::uintmax_t source_size = fs::file_size(source);
  // Room for one copy and a bit, not two.
  FakeFreeSpace short_space([&](const fs::path&) { return source_size * 3 / 2 + (2u << 20); });
  const fs::path target = dir / "short.h5ad";
  ad->write_h5ad(target);
  EXPECT_FALSE(has_temporary(dir.path()));

  auto back = AnnData::read_h5ad(target);
  expect_same_x(*back, x);
  EXPECT_EQ(back->uns.at("note").to_json(), json("kept"));
  if (!testing::oracle_python_available()) GTEST_SKIP() << "Debian's Python is absent";
  const char* script = R"PY(
import sys, anndata, numpy as np
a, b = anndata.read_h5ad(sys.argv[1]), anndata.read_h5ad(sys.argv[2])
print(type(b.X).__name__, b.X.dtype, (a.X != b.X).nnz, np.array_equal(a.obsm["X_umap"], b.obsm["X_umap"]))
)PY";
  testing::CommandResult py = testing::run_oracle_python(
      script, testing::shell_quote(source.string()) + " " + testing::shell_quote(target.string()));
  ASSERT_EQ(py.exit_code, 0) << py.err;
  EXPECT_EQ(py.out, "csr_matrix float32 0 True\n");
}

// A real full disk: a 2 MB tmpfs, when this process may mount one (root in a container
// that allows it); skipped otherwise. The free-space answer is made to look just enough,
// so the write starts and the disk fills up under it.
class SmallDisk {
 public:
  explicit SmallDisk(const fs::path& at) : at_(at) {
    fs::create_directories(at_);
    mounted_ = ::mount("tmpfs", at_.c_str(), "tmpfs", 0, "size=2m") == 0;
  }
  ~SmallDisk() {
    if (mounted_) ::umount2(at_.c_str(), MNT_DETACH);
  }
  bool mounted() const { return mounted_; }

 private:
  fs::path at_;
  bool mounted_ = false;
};

TEST(FullDisk, ADiskThatFillsUpDuringTheWriteIsACleanErrorAndLeavesNothing) {
  testing::TempDir dir;
  SmallDisk disk(dir / "small");
  if (!disk.mounted()) GTEST_SKIP() << "a tmpfs cannot be mounted here";
  // About 5 MB of stored values: more than the disk holds.
  const testing::MatrixTruth x = testing::random_matrix(2000, 1000, 0.3, 11);
  auto ad = AnnData::read_h5ad(source_file(dir, 2000, x));
  const std::uintmax_t source_size = fs::file_size(dir / "source.h5ad");
  FakeFreeSpace lie([&](const fs::path&) { return source_size * 3 / 2 + (2u << 20); });
  const fs::path target = dir / "small" / "out.h5ad";
  try {
    ad->write_h5ad(target);
    FAIL() << "expected a FileError";
  } catch (const FileError& e) {
    EXPECT_NE(std::string(e.what()).find("Cannot write '" + target.string() +
                                         "': not enough space on its disk"),
              std::string::npos)
        << e.what();
  }
  EXPECT_FALSE(fs::exists(target));
  EXPECT_FALSE(has_temporary(dir / "small"));
}

}  // namespace
}  // namespace norvex
