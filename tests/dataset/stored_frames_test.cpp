// Frames read from a file load their index and columns on first use; what a caller sees
// must not depend on when that happens.
#include <gtest/gtest.h>

#include "dataset/dataset_fixtures.hpp"
#include "norvex/common/errors.hpp"
#include "norvex/common/table.hpp"
#include "norvex/dataset/anndata.hpp"
#include "support/test_support.hpp"

namespace norvex {
namespace {

namespace fs = std::filesystem;

// Four cells named "a", "a", "a-1", "b"; a DEG table in uns.
fs::path write_sample(const testing::TempDir& tmp) {
  AnnData ad = testing::small_dataset(4, 3);
  ad.obs.set_index({"a", "a", "a-1", "b"});
  ad.obs.set("score", Column{Array::of_floats({0.5, 1.5, 2.5, 3.5})});
  Table deg({"0", "1"});
  deg.add_column("names", json::array({"CD3E", "LYZ"}));
  deg.add_column("pvals", json::array({0.01, 0.5}));
  ad.uns["DEG"] = UnsNode::from_json({{"T cell", deg.to_json()}});
  const fs::path path = tmp / "sample.h5ad";
  ad.write_h5ad(path);
  return path;
}

TEST(StoredFrameTest, NamesMadeUniqueBeforeOrAfterLoadingAgree) {
  testing::TempDir tmp;
  const fs::path path = write_sample(tmp);
  const std::vector<std::string> unique{"a", "a-2", "a-1", "b"};

  auto early = AnnData::read_h5ad(path);
  EXPECT_EQ(early->n_obs(), 4u);
  early->obs_names_make_unique();  // index still in the file
  EXPECT_EQ(early->obs.index(), unique);

  auto late = AnnData::read_h5ad(path);
  EXPECT_EQ(late->obs.index()[1], "a");
  late->obs_names_make_unique();
  EXPECT_EQ(late->obs.index(), unique);
}

TEST(StoredFrameTest, CopiesAndChangesBeforeFirstUse) {
  testing::TempDir tmp;
  const fs::path path = write_sample(tmp);
  auto ad = AnnData::read_h5ad(path);

  // A copy taken before anything is loaded loads on its own and changes on its own.
  DataFrame copy = ad->obs;
  copy.col("score").values.floats[0] = 99;
  EXPECT_EQ(ad->obs.col("score").values.floats[0], 0.5);
  EXPECT_EQ(copy.col("score").values.floats[0], 99);

  // Replacing or dropping a column that was never loaded keeps the column order.
  DataFrame obs = ad->obs;
  obs.set("celltype", Column{Array::of_ints({1, 2, 3, 4})});
  obs.erase("score");
  EXPECT_EQ(obs.columns(), std::vector<std::string>{"celltype"});
  EXPECT_EQ(obs.col("celltype").values.ints, (std::vector<int64_t>{1, 2, 3, 4}));
  EXPECT_THROW(obs.col("score"), KeyError);
  EXPECT_THROW(obs.set_index({"x"}), ValueError);
  obs.set_index({"w", "x", "y", "z"});
  EXPECT_EQ(obs.index()[3], "z");

  // The uns table reads back whole.
  const DataFrame& deg = ad->uns.at("DEG").dict().at("T cell").table();
  EXPECT_EQ(deg.index(), (std::vector<std::string>{"0", "1"}));
  EXPECT_EQ(deg.col("names").text_at(1), "LYZ");
}

TEST(StoredFrameTest, OverwritingTheSourceKeepsUnreadValues) {
  testing::TempDir tmp;
  const fs::path path = write_sample(tmp);
  auto ad = AnnData::read_h5ad(path);
  ad->obs.set("extra", Column{Array::of_ints({1, 1, 2, 2})});
  // Saving over the file it was read from must not lose what was not read yet.
  ad->write_h5ad(path);
  EXPECT_EQ(ad->obs.col("score").values.floats[3], 3.5);
  EXPECT_EQ(ad->uns.at("DEG").dict().at("T cell").table().col("pvals").values.floats[1], 0.5);

  auto back = AnnData::read_h5ad(path);
  EXPECT_EQ(back->obs.index(), (std::vector<std::string>{"a", "a", "a-1", "b"}));
  EXPECT_EQ(back->obs.columns(), (std::vector<std::string>{"celltype", "score", "extra"}));
  EXPECT_EQ(back->obs.col("score").values.floats[2], 2.5);
  EXPECT_EQ(back->uns.at("DEG").dict().at("T cell").table().col("names").text_at(0), "CD3E");
}

}  // namespace
}  // namespace norvex
