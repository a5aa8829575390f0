// Direct reads of plainly stored parts: the chunk index walked in one pass gives HDF5's own
// answer for every chunk (or steps aside), a damaged index never takes the walk out of
// bounds, and a file cut short under an open dataset is a FileError, never a signal.
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <random>

#include "dataset/dataset_fixtures.hpp"
#include "norvex/common/errors.hpp"
#include "norvex/dataset/anndata.hpp"
#include "norvex/dataset/backing.hpp"
#include "norvex/dataset/chunk_index.hpp"
#include "norvex/dataset/direct.hpp"
#include "norvex/dataset/h5.hpp"
#include "support/test_support.hpp"

namespace norvex {
namespace {

namespace fs = std::filesystem;
using detail::ChunkPlace;
using detail::DirectFile;
using detail::DirectVector;

int32_t value_at(size_t i) {
  return static_cast<int32_t>(i * 7 + 3);
}

struct Layout {
  size_t n = 0, chunk = 0;
  bool reversed = false;  // chunks written last to first, so they lie out of order
  hsize_t user_block = 0;
  bool latest = false;        // newest file format: another kind of chunk index
  size_t skipped = SIZE_MAX;  // a chunk never written
  bool misaligned = false;    // 3 bytes written first, so chunks do not start at a multiple of 4
};

// A file with one chunked int32 dataset "v" holding value_at(i), written chunk by chunk.
void write_chunked(const fs::path& path, const Layout& l) {
  auto lock = h5::lock();
  h5::Handle fcpl(H5Pcreate(H5P_FILE_CREATE)), fapl(H5Pcreate(H5P_FILE_ACCESS));
  if (l.user_block) H5Pset_userblock(fcpl, l.user_block);
  if (l.latest) H5Pset_libver_bounds(fapl, H5F_LIBVER_LATEST, H5F_LIBVER_LATEST);
  h5::Handle f(H5Fcreate(path.c_str(), H5F_ACC_TRUNC, fcpl, fapl));
  const hsize_t n = l.n, max = H5S_UNLIMITED, chunk = l.chunk;
  h5::Handle space(H5Screate_simple(1, &n, &max)), dcpl(H5Pcreate(H5P_DATASET_CREATE));
  H5Pset_chunk(dcpl, 1, &chunk);
  h5::Handle ds(H5Dcreate2(f, "v", H5T_NATIVE_INT32, space, H5P_DEFAULT, dcpl, H5P_DEFAULT));
  if (l.misaligned) {
    const hsize_t three = 3;
    const uint8_t pad[3] = {1, 2, 3};
    h5::Handle ps(H5Screate_simple(1, &three, nullptr));
    h5::Handle pd(
        H5Dcreate2(f, "pad", H5T_NATIVE_UINT8, ps, H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT));
    ASSERT_GE(H5Dwrite(pd, H5T_NATIVE_UINT8, H5S_ALL, H5S_ALL, H5P_DEFAULT, pad), 0);
  }
  const size_t n_chunks = (l.n + l.chunk - 1) / l.chunk;
  for (size_t k = 0; k < n_chunks; ++k) {
    const size_t c = l.reversed ? n_chunks - 1 - k : k;
    if (c == l.skipped) continue;
    const hsize_t start = c * l.chunk, count = std::min(l.chunk, l.n - c * l.chunk);
    std::vector<int32_t> part(count);
    for (size_t i = 0; i < count; ++i) part[i] = value_at(start + i);
    h5::Handle fs_(H5Dget_space(ds));
    H5Sselect_hyperslab(fs_, H5S_SELECT_SET, &start, nullptr, &count, nullptr);
    h5::Handle ms(H5Screate_simple(1, &count, nullptr));
    ASSERT_GE(H5Dwrite(ds, H5T_NATIVE_INT32, ms, fs_, H5P_DEFAULT, part.data()), 0);
  }
}

// What HDF5 answers for each chunk, asked one by one.
std::vector<ChunkPlace> places_from_hdf5(hid_t ds, const Layout& l) {
  std::vector<ChunkPlace> out((l.n + l.chunk - 1) / l.chunk);
  for (size_t c = 0; c < out.size(); ++c) {
    hsize_t offset = c * l.chunk;
    H5Dget_chunk_info_by_coord(ds, &offset, &out[c].filter_mask, &out[c].addr, &out[c].bytes);
  }
  return out;
}

// The file's bytes held in memory, so a test can damage them without touching the file.
class BytesInMemory final : public detail::FileBytes {
 public:
  explicit BytesInMemory(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::string s((std::istreambuf_iterator<char>(in)), {});
    bytes.resize(s.size());
    std::memcpy(bytes.data(), s.data(), s.size());
  }
  size_t size() const override { return bytes.size(); }
  bool read(uint64_t offset, size_t n, void* out) const override {
    if (offset > bytes.size() || n > bytes.size() - offset) return false;
    std::memcpy(out, bytes.data() + offset, n);
    return true;
  }
  std::vector<std::byte> bytes;
};

class ChunkIndexTest : public ::testing::Test {
 protected:
  struct Opened {
    h5::Handle file, ds;
  };
  Opened open(const fs::path& path) {
    auto lock = h5::lock();
    Opened o;
    o.file = h5::Handle(H5Fopen(path.c_str(), H5F_ACC_RDONLY, H5P_DEFAULT));
    o.ds = h5::Handle(H5Dopen2(o.file, "v", H5P_DEFAULT));
    return o;
  }
  std::optional<std::vector<ChunkPlace>> walk(const detail::FileBytes& bytes, hid_t ds,
                                              const Layout& l) {
    auto lock = h5::lock();
    return detail::walk_chunk_index(ds, bytes, l.user_block, l.chunk, (l.n + l.chunk - 1) / l.chunk,
                                    sizeof(int32_t));
  }
  testing::TempDir dir_;
};

TEST_F(ChunkIndexTest, OneWalkGivesHdf5sAnswerForEveryChunk) {
  const std::vector<std::pair<std::string, Layout>> cases = {
      {"one chunk", {.n = 5, .chunk = 8}},
      {"last chunk partial", {.n = 10, .chunk = 4}},
      // 5,000 chunks: the B-tree has three levels.
      {"deep tree", {.n = 80'000, .chunk = 16}},
      {"written backwards", {.n = 3'000, .chunk = 10, .reversed = true}},
      {"user block", {.n = 1'000, .chunk = 7, .user_block = 512}},
      {"chunks at odd addresses", {.n = 1'000, .chunk = 32, .misaligned = true}},
  };
  for (const auto& [name, l] : cases) {
    SCOPED_TRACE(name);
    const fs::path path = dir_ / "chunks.h5";
    write_chunked(path, l);
    Opened o = open(path);
    auto direct = DirectFile::of(o.file);
    ASSERT_TRUE(direct);
    auto walked = walk(*direct, o.ds, l);
    ASSERT_TRUE(walked.has_value());
    const auto asked = places_from_hdf5(o.ds, l);
    ASSERT_EQ(walked->size(), asked.size());
    if (l.misaligned) {
      EXPECT_NE(asked[0].addr % 4, 0u) << "the case did not place a chunk oddly";
    }
    for (size_t c = 0; c < asked.size(); ++c) {
      EXPECT_EQ((*walked)[c].addr, asked[c].addr) << "chunk " << c;
      EXPECT_EQ((*walked)[c].bytes, asked[c].bytes) << "chunk " << c;
      EXPECT_EQ((*walked)[c].filter_mask, asked[c].filter_mask) << "chunk " << c;
    }
    // And the vector read from those places holds the values, as stored and converted.
    auto v = DirectVector::open(direct, o.ds);
    ASSERT_TRUE(v.has_value());
    std::vector<int32_t> stored(l.n);
    std::vector<double> converted(l.n);
    ASSERT_TRUE(v->read(0, l.n, stored.data()));
    ASSERT_TRUE(v->read(0, l.n, converted.data()));
    for (size_t i = 0; i < l.n; ++i) {
      ASSERT_EQ(stored[i], value_at(i)) << i;
      ASSERT_EQ(converted[i], value_at(i)) << i;
    }
    // Scattered positions, some close enough to share a read and some far apart.
    std::vector<size_t> at = {
        0,       std::min<size_t>(1, l.n - 1),     std::min<size_t>(3, l.n - 1),
        l.n / 2, std::min(l.n - 1, l.n / 2 + 900), l.n - 1};
    std::sort(at.begin(), at.end());
    at.erase(std::unique(at.begin(), at.end()), at.end());
    std::vector<float> got(at.size(), -1);
    std::vector<std::byte> scratch;
    ASSERT_TRUE(v->read_ascending<float>(
        at.size(), [&](size_t i) { return at[i]; }, [&](size_t i, float x) { got[i] = x; },
        scratch));
    for (size_t i = 0; i < at.size(); ++i) EXPECT_EQ(got[i], value_at(at[i])) << at[i];
  }
}

TEST_F(ChunkIndexTest, OtherIndexesAndMissingChunksStepAside) {
  {
    // The newest format indexes chunks otherwise: no walk, and HDF5's answers still serve.
    const Layout l{.n = 500, .chunk = 16, .latest = true};
    write_chunked(dir_ / "latest.h5", l);
    Opened o = open(dir_ / "latest.h5");
    auto direct = DirectFile::of(o.file);
    EXPECT_FALSE(walk(*direct, o.ds, l).has_value());
    auto v = DirectVector::open(direct, o.ds);
    ASSERT_TRUE(v.has_value());
    std::vector<int32_t> got(l.n);
    ASSERT_TRUE(v->read(0, l.n, got.data()));
    for (size_t i = 0; i < l.n; ++i) ASSERT_EQ(got[i], value_at(i));
  }
  {
    // A chunk never written holds fill values, not bytes of the file: HDF5 must read it.
    const Layout l{.n = 500, .chunk = 16, .skipped = 7};
    write_chunked(dir_ / "gap.h5", l);
    Opened o = open(dir_ / "gap.h5");
    auto direct = DirectFile::of(o.file);
    EXPECT_FALSE(walk(*direct, o.ds, l).has_value());
    EXPECT_FALSE(DirectVector::open(direct, o.ds).has_value());
  }
}

// Every byte of the object header and of the index nodes damaged in turn: the walk gives
// up or answers, and never reads outside the file (the sanitizer build checks that).
TEST_F(ChunkIndexTest, DamagedIndexBytesNeverTakeTheWalkOutOfBounds) {
  const Layout l{.n = 4'000, .chunk = 16};
  const fs::path path = dir_ / "fuzz.h5";
  write_chunked(path, l);
  Opened o = open(path);
  BytesInMemory bytes(path);
  const auto good = walk(bytes, o.ds, l);
  ASSERT_TRUE(good.has_value());
  // The places worth damaging: the object header and every index node.
  H5O_info_t info;
  {
    auto lock = h5::lock();
    ASSERT_GE(H5Oget_info2(o.ds, &info, H5O_INFO_BASIC), 0);
  }
  std::vector<size_t> targets;
  for (size_t k = 0; k < 400; ++k) targets.push_back(info.addr + k);
  const std::string_view sig = "TREE";
  for (size_t p = 0; p + 4 <= bytes.bytes.size(); ++p)
    if (std::memcmp(bytes.bytes.data() + p, sig.data(), 4) == 0)
      for (size_t k = 0; k < 48; ++k) targets.push_back(p + k);
  std::mt19937 rng(7);
  size_t gave_up = 0, answered = 0;
  for (size_t t : targets) {
    if (t >= bytes.bytes.size()) continue;
    const std::byte kept = bytes.bytes[t];
    for (uint8_t v : {uint8_t{0}, uint8_t{0xff}, static_cast<uint8_t>(rng())}) {
      bytes.bytes[t] = std::byte{v};
      (walk(bytes, o.ds, l).has_value() ? answered : gave_up)++;
    }
    bytes.bytes[t] = kept;
  }
  EXPECT_GT(gave_up, 0u);
  // Cut short anywhere, the file's bytes are refused without a read past their end.
  for (size_t keep : {size_t{0}, size_t{info.addr + 20}, bytes.bytes.size() / 2}) {
    BytesInMemory cut(path);
    cut.bytes.resize(keep);
    EXPECT_FALSE(walk(cut, o.ds, l).has_value()) << keep;
  }
}

// A file cut short while its matrix is open: the next reads of the placed parts fail with
// a FileError naming what happened (through a map they would have killed the process).
TEST(DirectReadTest, FileCutShortUnderAnOpenMatrixIsAFileError) {
  testing::TempDir dir;
  const auto truth = testing::random_matrix(4'000, 30, 0.3, 11);
  for (const char* cut_in : {"indices", "data"}) {
    SCOPED_TRACE(cut_in);
    const fs::path path = dir / (std::string(cut_in) + ".h5ad");
    AnnData ad = testing::small_dataset(truth.n_rows, truth.n_cols);
    ad.set_X(truth.csr());
    ad.write_h5ad(path);
    auto opened = AnnData::read_h5ad(path);
    const detail::MatrixSource m = detail::open_matrix(*opened->backing_, "X");
    ASSERT_TRUE(m.indices_direct && m.data_direct && m.indptr_direct);
    const bool indices = std::string(cut_in) == "indices";
    haddr_t at;
    {
      auto lock = h5::lock();
      at = H5Dget_offset(indices ? m.indices : m.data);
    }
    ASSERT_NE(at, HADDR_UNDEF);
    ASSERT_EQ(truncate(path.c_str(), static_cast<off_t>(at + m.info.nnz * 2)), 0);

    detail::ColumnPick pick({0, 3}, m.info.n_cols, m.info.n_rows);
    try {
      detail::read_stored_columns(path, m, pick);
      ADD_FAILURE() << "a read past the end succeeded";
    } catch (const FileError& e) {
      EXPECT_NE(std::string(e.what()).find("became shorter while 'X' was read"), std::string::npos)
          << e.what();
    }
    const DirectVector& part = indices ? *m.indices_direct : *m.data_direct;
    std::vector<double> values(m.info.nnz);
    EXPECT_FALSE(part.read(0, m.info.nnz, values.data()));
    EXPECT_TRUE(part.read(0, 10, values.data()));  // the start is still there
    // Scattered reads report the cut as well.
    std::vector<std::byte> scratch;
    const std::vector<size_t> spots = {0, 1, m.info.nnz / 2, m.info.nnz - 1};
    EXPECT_FALSE(part.read_ascending<double>(
        spots.size(), [&](size_t i) { return spots[i]; }, [](size_t, double) {}, scratch));
  }
}

// Parts of a type the direct reads do not know (16-bit values) are left to HDF5, which
// converts them; read as another type they would be garbage.
TEST(DirectReadTest, PartsOfOtherTypesAreReadByHdf5) {
  testing::TempDir dir;
  const fs::path path = dir / "int16.h5ad";
  const auto truth = testing::random_matrix(300, 12, 0.3, 4);
  AnnData ad = testing::small_dataset(truth.n_rows, truth.n_cols);
  ad.set_X(truth.csr());
  ad.write_h5ad(path);
  const SparseMatrix csr = truth.csr();
  {
    auto lock = h5::lock();
    h5::Handle f(H5Fopen(path.c_str(), H5F_ACC_RDWR, H5P_DEFAULT));
    ASSERT_GE(H5Ldelete(f, "X/data", H5P_DEFAULT), 0);
    const hsize_t n = csr.data.size();
    std::vector<int16_t> data(csr.data.size());
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<int16_t>(csr.data[i]);
    h5::Handle space(H5Screate_simple(1, &n, nullptr));
    h5::Handle ds(
        H5Dcreate2(f, "X/data", H5T_STD_I16LE, space, H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT));
    ASSERT_GE(H5Dwrite(ds, H5T_NATIVE_INT16, H5S_ALL, H5S_ALL, H5P_DEFAULT, data.data()), 0);
  }
  auto opened = AnnData::read_h5ad(path);
  const detail::MatrixSource m = detail::open_matrix(*opened->backing_, "X");
  EXPECT_FALSE(m.data_direct.has_value());
  EXPECT_TRUE(m.indices_direct.has_value());
  const auto expr = opened->gene_expression({"gene2", "gene7"});
  for (size_t r = 0; r < truth.n_rows; ++r) {
    ASSERT_EQ(expr[0][r], static_cast<float>(static_cast<int16_t>(truth.at(r, 2)))) << r;
    ASSERT_EQ(expr[1][r], static_cast<float>(static_cast<int16_t>(truth.at(r, 7)))) << r;
  }
}

}  // namespace
}  // namespace norvex
