// Anything that is not a readable .h5ad gives a FileError naming the file and the problem.
#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "dataset/dataset_fixtures.hpp"
#include "norvex/common/errors.hpp"
#include "norvex/common/table.hpp"
#include "norvex/dataset/anndata.hpp"
#include "norvex/dataset/h5.hpp"
#include "norvex/dataset/scan_tuning.hpp"
#include "support/test_support.hpp"

namespace norvex {
namespace {

namespace fs = std::filesystem;

void read_frame(const DataFrame& df) {
  df.index();
  for (auto& c : df.columns()) df.col(c);
}

void read_uns(const UnsDict& d) {
  for (auto& k : d.keys()) {
    if (d.at(k).is_dict()) read_uns(d.at(k).dict());
    if (d.at(k).is_table()) read_frame(d.at(k).table());
  }
}

// The message of the FileError reading `path` raises (fails the test when none is raised).
std::string read_error(const fs::path& path) {
  try {
    auto ad = AnnData::read_h5ad(path);
    // Some damage only shows once the tables and matrices are read.
    read_frame(ad->obs);
    read_frame(ad->var);
    read_uns(ad->uns);
    if (ad->has_X()) ad->for_each_row_chunk(64, [](const RowChunk&) {});
    for (auto& k : ad->obsm_keys()) ad->obsm(k);
  } catch (const FileError& e) {
    return e.what();
  } catch (const std::exception& e) {
    ADD_FAILURE() << "not a FileError: " << e.what();
    return e.what();
  }
  ADD_FAILURE() << "no error for " << path;
  return "";
}

TEST(DamagedFileTest, MissingFolderRandomAndForeignFiles) {
  testing::TempDir tmp;
  std::string e = read_error(tmp / "nope.h5ad");
  EXPECT_EQ(e, "Cannot read '" + (tmp / "nope.h5ad").string() + "': no such file");

  e = read_error(tmp.path());
  EXPECT_NE(e.find("folder"), std::string::npos) << e;

  std::mt19937 rng(7);
  std::string noise(20000, '\0');
  for (char& c : noise) c = static_cast<char>(rng());
  testing::write_file(tmp / "noise.h5ad", noise);
  e = read_error(tmp / "noise.h5ad");
  EXPECT_EQ(e, "Cannot read '" + (tmp / "noise.h5ad").string() + "': not an HDF5 file");

  testing::write_file(tmp / "empty.h5ad", "");
  EXPECT_NE(read_error(tmp / "empty.h5ad").find("not an HDF5 file"), std::string::npos);

  {  // An HDF5 file of some other program.
    auto l = h5::lock();
    h5::Handle f = h5::create_file(tmp / "other.h5");
    h5::Handle g = h5::create_group(f, "measurements");
  }
  e = read_error(tmp / "other.h5");
  EXPECT_NE(e.find("not an AnnData dataset"), std::string::npos) << e;
  EXPECT_NE(e.find("other.h5"), std::string::npos) << e;
}

TEST(DamagedFileTest, TruncatedFilesFailCleanly) {
  testing::TempDir tmp;
  fs::path source = testing::shared_data_dir().empty()
                        ? fs::path()
                        : testing::shared_data_dir() / "pbmc68k_reduced_anndata08_csr.h5ad";
  if (source.empty() || !fs::exists(source)) {
    // Without the shared files, a file of our own serves.
    AnnData ad = testing::small_dataset(300, 50);
    ad.set_X(testing::random_matrix(300, 50, 0.3, 5).csr());
    source = tmp / "own.h5ad";
    ad.write_h5ad(source);
  }
  std::string bytes = testing::read_file(source);
  for (double fraction : {0.02, 0.3, 0.6, 0.95}) {
    fs::path cut = tmp / ("cut" + std::to_string(static_cast<int>(fraction * 100)) + ".h5ad");
    testing::write_file(cut, bytes.substr(0, static_cast<size_t>(bytes.size() * fraction)));
    std::string e = read_error(cut);
    EXPECT_NE(e.find(cut.string()), std::string::npos) << e;
  }
}

// A file cut short inside X whose superblock was made to agree with its new length (so
// HDF5 opens it): the map must not reach past the end (a signal), and the read falls back
// to HDF5, which reports the damage.
TEST(DamagedFileTest, MatrixRunningPastTheEndOfTheFileIsAnErrorNotASignal) {
  const fs::path dir = testing::shared_data_dir();
  const fs::path source = dir.empty() ? fs::path() : dir / "pbmc68k_reduced_anndata08_csr.h5ad";
  if (source.empty() || !fs::exists(source)) GTEST_SKIP() << "the shared real files are absent";
  testing::TempDir tmp;
  const fs::path whole = tmp / "whole.h5ad", cut = tmp / "cut.h5ad";
  fs::copy_file(source, whole);
  haddr_t offset = 0;
  hsize_t bytes = 0;
  {  // X/data written again, contiguous and last in the file
    auto l = h5::lock();
    h5::Handle f(H5Fopen(whole.c_str(), H5F_ACC_RDWR, H5P_DEFAULT));
    ASSERT_TRUE(f.valid());
    std::vector<float> data;
    {
      h5::Handle ds(H5Dopen2(f, "X/data", H5P_DEFAULT));
      data.resize(h5::shape(ds)[0]);
      ASSERT_GE(H5Dread(ds, H5T_NATIVE_FLOAT, H5S_ALL, H5S_ALL, H5P_DEFAULT, data.data()), 0);
    }
    const hsize_t n = data.size();
    h5::Handle space(H5Screate_simple(1, &n, nullptr));
    h5::Handle moved(H5Dcreate2(f, "X/data.moved", H5T_NATIVE_FLOAT, space, H5P_DEFAULT,
                                H5P_DEFAULT, H5P_DEFAULT));
    ASSERT_GE(H5Dwrite(moved, H5T_NATIVE_FLOAT, H5S_ALL, H5S_ALL, H5P_DEFAULT, data.data()), 0);
    offset = H5Dget_offset(moved);
    bytes = H5Dget_storage_size(moved);
    ASSERT_GE(H5Ldelete(f, "X/data", H5P_DEFAULT), 0);
    ASSERT_GE(H5Lmove(f, "X/data.moved", f, "X/data", H5P_DEFAULT, H5P_DEFAULT), 0);
  }
  std::string b = testing::read_file(whole);
  ASSERT_EQ(offset + bytes, b.size()) << "X/data does not end the file";
  // Superblock version 0: no checksum, base address 0, end-of-file address at byte 40.
  ASSERT_EQ(b[8], 0);
  const uint64_t length = offset + bytes / 2;
  b.resize(length);
  std::memcpy(b.data() + 40, &length, sizeof length);  // little-endian, as stored
  testing::write_file(cut, b);

  struct RestoreMaps {
    bool maps = detail::use_direct_reads;
    ~RestoreMaps() { detail::use_direct_reads = maps; }
  } restore;
  for (bool maps : {true, false}) {
    SCOPED_TRACE(maps ? "mapped" : "through HDF5");
    detail::use_direct_reads = maps;
    auto ad = AnnData::read_h5ad(cut);
    const auto genes = ad->var.index();
    EXPECT_THROW(ad->gene_expression(genes), FileError);
    EXPECT_THROW(ad->for_each_row_chunk(500, [](const RowChunk&) {}), FileError);
    const std::string e = read_error(cut);
    EXPECT_NE(e.find(cut.string()), std::string::npos) << e;
  }
}

TEST(DamagedFileTest, InconsistentContentIsReported) {
  if (!testing::oracle_python_available()) GTEST_SKIP() << "Debian's Python with h5py is absent";
  testing::TempDir tmp;
  AnnData ad = testing::small_dataset(4, 3);
  ad.set_X(testing::random_matrix(4, 3, 0.6, 2).csr());
  ad.uns["DEG"] = UnsNode::from_json({{"T cell", Table({"0", "1"})
                                                     .add_column("names", {"CD3E", "LYZ"})
                                                     .add_column("pvals", {0.01, 0.5})
                                                     .to_json()}});
  // Each case damages one thing in its own copy.
  const char* script = R"PY(
import sys, shutil, h5py, numpy as np
src, out = sys.argv[1], sys.argv[2]
def damaged(name, fn):
    p = f"{out}/{name}.h5ad"
    shutil.copy(src, p)
    with h5py.File(p, "a") as f:
        fn(f)
def codes(f):
    f["obs/celltype/codes"][0] = 9
def indptr(f):
    del f["X/indptr"]; f["X/indptr"] = np.array([0, 1, 2], dtype=np.int32)
def indices(f):
    f["X/indices"][0] = 99
def short_column(f):
    f["obs"].attrs["column-order"] = np.array(["celltype", "extra"], dtype=object)
    f["obs/extra"] = np.arange(2)
def shape(f):
    f["X"].attrs["shape"] = np.array([5, 3])
def uns_table_column(f):
    del f["uns/DEG/T cell/pvals"]; f["uns/DEG/T cell/pvals"] = np.arange(5.0)
def uns_table_encoding(f):
    del f["uns/DEG/T cell/names"]; g = f.create_group("uns/DEG/T cell/names")
    g.attrs["encoding-type"] = "awkward"
def index_values(f):
    del f["var/_index"]; f["var/_index"] = np.array([[1, 2, 3]])
for fn in (codes, indptr, indices, short_column, shape, uns_table_column, uns_table_encoding,
           index_values):
    damaged(fn.__name__, fn)
)PY";
  ad.write_h5ad(tmp / "good.h5ad");
  auto r = testing::run_oracle_python(script, testing::shell_quote((tmp / "good.h5ad").string()) +
                                                  " " + testing::shell_quote(tmp.path().string()));
  ASSERT_EQ(r.exit_code, 0) << r.err;
  for (auto [name, words] :
       {std::pair{"codes", "categories"}, std::pair{"indptr", "indptr"},
        std::pair{"indices", "out of range"}, std::pair{"short_column", "extra"},
        std::pair{"shape", "shape"}, std::pair{"uns_table_column", "uns/DEG/T cell/pvals"},
        std::pair{"uns_table_encoding", "awkward"}, std::pair{"index_values", "var/_index"}}) {
    std::string e = read_error(tmp / (std::string(name) + ".h5ad"));
    EXPECT_NE(e.find(words), std::string::npos) << name << ": " << e;
  }
  // Reading a few genes scans the indices its own way, and checks them too.
  for (const char* name : {"indices", "indptr"}) {
    auto ad = AnnData::read_h5ad(tmp / (std::string(name) + ".h5ad"));
    try {
      ad->gene_expression({"gene1"});
      ADD_FAILURE() << name << ": no error";
    } catch (const FileError& e) {
      EXPECT_NE(std::string(e.what()).find(name), std::string::npos) << e.what();
    }
  }
}

}  // namespace
}  // namespace norvex

namespace norvex {
namespace {

TEST(EnumValues, EveryIntegerWidthReadsItsOwnValues) {
  // h5py writes booleans as one-byte enums; other writers use wider bases.
  testing::TempDir dir;
  const auto path = dir.path() / "enums.h5";
  const std::vector<int64_t> values = {-3, 7, 0, 7};
  const std::vector<hid_t> bases = {H5T_NATIVE_INT8, H5T_NATIVE_INT16, H5T_NATIVE_INT32,
                                    H5T_NATIVE_INT64};
  {
    h5::Handle file = h5::create_file(path);
    for (size_t k = 0; k < bases.size(); ++k) {
      h5::Handle type(H5Tenum_create(bases[k]));
      const size_t width = H5Tget_size(bases[k]);
      // A value in the base's width (little-endian: the low bytes of the int64).
      auto narrow = [&](int64_t v) {
        std::string bytes(width, '\0');
        std::memcpy(bytes.data(), &v, width);
        return bytes;
      };
      for (int64_t member : {-3, 0, 7})
        H5Tenum_insert(type, ("m" + std::to_string(member + 3)).c_str(), narrow(member).data());
      std::string raw;
      for (int64_t v : values) raw += narrow(v);
      const hsize_t n = values.size();
      h5::Handle space(H5Screate_simple(1, &n, nullptr));
      h5::Handle ds(H5Dcreate2(file, ("e" + std::to_string(k)).c_str(), type, space, H5P_DEFAULT,
                               H5P_DEFAULT, H5P_DEFAULT));
      ASSERT_GE(H5Dwrite(ds, type, H5S_ALL, H5S_ALL, H5P_DEFAULT, raw.data()), 0);
    }
  }
  h5::Handle file = h5::open_read(path);
  for (size_t k = 0; k < bases.size(); ++k) {
    h5::Handle ds(H5Dopen2(file, ("e" + std::to_string(k)).c_str(), H5P_DEFAULT));
    const Array a = h5::read(ds);
    EXPECT_EQ(a.ints, values) << "base of " << H5Tget_size(bases[k]) << " bytes";
  }
}

}  // namespace
}  // namespace norvex
