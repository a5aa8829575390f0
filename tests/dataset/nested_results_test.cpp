// Cell types whose names hold "/" come back by their real names from the nesting anndata
// writes for them.
#include <gtest/gtest.h>

#include <algorithm>

#include "norvex/dataset/anndata.hpp"
#include "norvex/dataset/nested_results.hpp"
#include "support/real_shaped_dataset.hpp"

namespace norvex {
namespace {

bool has(const std::vector<std::string>& v, const std::string& x) {
  return std::find(v.begin(), v.end(), x) != v.end();
}

TEST(NestedResults, NamesWithSlashesFromAFileWrittenByAnndata) {
  std::string why;
  const auto path = testing::real_shaped_dataset(&why);
  if (path.empty()) GTEST_SKIP() << why;
  auto adata = AnnData::read_h5ad(path.string());
  const std::vector<std::string> names = result_names(adata->uns.at("DEG").dict());
  EXPECT_TRUE(has(names, testing::kSlashCelltype));
  EXPECT_TRUE(has(names, "CD4+/CD45RA+/CD25- Naive T"));  // two slashes, three groups
  EXPECT_TRUE(has(names, "CD8+/CD45RA+ Naive Cytotoxic"));
  EXPECT_TRUE(has(names, "CD8+ Cytotoxic T"));
  EXPECT_FALSE(has(names, "CD4+"));  // only a part of longer names here
  EXPECT_EQ(names.size(), 10u);      // every bulk label, once
  for (const NamedResults& r : named_results(adata->uns.at("DEG").dict())) {
    EXPECT_EQ(r.table_keys(), (std::vector<std::string>{"Normal_vs_rest", "Tumor_vs_rest"}))
        << r.name;
  }
}

TEST(NestedResults, AGroupCanBeACellTypeAndThePrefixOfAnother) {
  UnsDict inner;  // "CD4+/Treg"
  inner.set("A_vs_rest", UnsNode(DataFrame{}));
  UnsDict cd4;  // "CD4+" itself, with a table, and the prefix of "CD4+/Treg"
  cd4.set("A_vs_rest", UnsNode(DataFrame{}));
  cd4.set("Treg", UnsNode(std::move(inner)));
  UnsDict results;
  results.set("CD4+", UnsNode(std::move(cd4)));
  const auto named = named_results(results);
  ASSERT_EQ(named.size(), 2u);
  EXPECT_EQ(named[0].name, "CD4+");
  EXPECT_EQ(named[0].table_keys(), (std::vector<std::string>{"A_vs_rest"}));  // not "Treg"
  EXPECT_EQ(named[1].name, "CD4+/Treg");
  EXPECT_TRUE(result_names(UnsDict{}).empty());
}

}  // namespace
}  // namespace norvex
