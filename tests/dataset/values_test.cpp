// Column text, distinct values, name normalisation, the uns <-> JSON convention, summaries.
#include <gtest/gtest.h>

#include <cmath>

#include "dataset/dataset_fixtures.hpp"
#include "norvex/common/errors.hpp"
#include "norvex/common/table.hpp"
#include "norvex/dataset/anndata.hpp"
#include "norvex/dataset/text_format.hpp"
#include "support/test_support.hpp"

namespace norvex {
namespace {

// Integers narrow to the least width that holds them and widen on a write that needs it;
// reads, iteration and equality see the same int64 values whatever the width.
TEST(ValuesTest, IntegersKeepTheirValuesAtEveryWidth) {
  const std::vector<std::pair<std::vector<int64_t>, size_t>> cases = {
      {{0, 1, -1, 127, -128}, 1},
      {{0, 128}, 2},
      {{-129, 5}, 2},
      {{32767, -32768}, 2},
      {{32768, 0}, 4},
      {{-2147483648LL, 2147483647LL}, 4},
      {{2147483648LL, -1}, 8},
      {{-(int64_t{1} << 40)}, 8},
      {{}, 1},
  };
  for (const auto& [values, width] : cases) {
    SCOPED_TRACE(::testing::PrintToString(values));
    IntValues v(values);
    EXPECT_EQ(v.width(), 8u);
    v.compact();
    EXPECT_EQ(v.width(), width);
    ASSERT_EQ(v.size(), values.size());
    for (size_t i = 0; i < values.size(); ++i) EXPECT_EQ(v[i], values[i]);
    EXPECT_EQ(v.to_vector(), values);
    EXPECT_TRUE(v == values);
    EXPECT_TRUE(v == IntValues(values));
  }
  // A write past the narrow range widens rather than wraps.
  IntValues codes(std::vector<int64_t>{0, 1, 2});
  codes.compact();
  codes.set(1, 1000);
  codes.push_back(-(int64_t{1} << 33));
  EXPECT_EQ(codes.to_vector(), (std::vector<int64_t>{0, 1000, 2, -(int64_t{1} << 33)}));
  EXPECT_THROW(codes.at(4), std::out_of_range);
  // Stored narrow, a categorical column still reads, writes and reads back the same.
  Column cat = Column::categorical({"b", "a", "c", "a"});
  EXPECT_EQ(cat.values.ints.width(), 1u);
  cat.values.ints.set(2, -1);
  EXPECT_EQ(cat.text_at(2), "nan");
  EXPECT_EQ(cat.text_at(3), "a");
}

TEST(ValuesTest, FloatsPrintLikePython) {
  EXPECT_EQ(python_float_repr(1.0), "1.0");
  EXPECT_EQ(python_float_repr(0.1), "0.1");
  EXPECT_EQ(python_float_repr(-2.5), "-2.5");
  EXPECT_EQ(python_float_repr(1e-5), "1e-05");
  EXPECT_EQ(python_float_repr(0.0001), "0.0001");
  EXPECT_EQ(python_float_repr(1e16), "1e+16");
  EXPECT_EQ(python_float_repr(123456789012345.0), "123456789012345.0");
  EXPECT_EQ(python_float_repr(1.2345678901234568e+17), "1.2345678901234568e+17");
  EXPECT_EQ(python_float_repr(0.0), "0.0");
  EXPECT_EQ(python_float_repr(NAN), "nan");
  EXPECT_EQ(python_float_repr(-INFINITY), "-inf");
  EXPECT_EQ(python_float_repr(static_cast<float>(0.1), true), "0.1");
  EXPECT_EQ(python_float_repr(static_cast<float>(0.1), false), "0.10000000149011612");
}

TEST(ValuesTest, UniqueValuesInOrderOfFirstAppearance) {
  // Categories are sorted, but unique() follows the rows.
  Column cat = Column::categorical({"stim", "ctrl", "stim", "alpha"});
  EXPECT_EQ(cat.unique_text(), (std::vector<std::string>{"stim", "ctrl", "alpha"}));
  cat.values.ints.set(1, -1);
  EXPECT_EQ(cat.unique_text(), (std::vector<std::string>{"stim", "nan", "alpha"}));
  Column f{Array::of_floats({2.0, NAN, 2.0, 0.5, NAN})};
  EXPECT_EQ(f.unique_text(), (std::vector<std::string>{"2.0", "nan", "0.5"}));
  Column b{Array::of_bools({false, false, true})};
  EXPECT_EQ(b.unique_text(), (std::vector<std::string>{"False", "True"}));
  Column i{Array::of_ints({3, 1, 3})};
  i.mask = std::vector<uint8_t>{0, 1, 0};
  EXPECT_EQ(i.unique_text(), (std::vector<std::string>{"3", "nan"}));
  EXPECT_EQ(i.json_at(1), json(nullptr));
  EXPECT_EQ(i.dtype_name(), "Int64");
}

TEST(ValuesTest, DataFramesCheckTheirColumns) {
  DataFrame df;
  df.set("a", Column{Array::of_ints({1, 2})});
  EXPECT_EQ(df.index(), (std::vector<std::string>{"0", "1"}));
  EXPECT_THROW(df.set("b", Column{Array::of_ints({1})}), ValueError);
  df.set("c", Column{Array::of_ints({3, 4})});
  df.set("a", Column{Array::of_strings({"x", "y"})});  // replaced in place
  EXPECT_EQ(df.columns(), (std::vector<std::string>{"a", "c"}));
  try {
    df.col("zzz");
    FAIL();
  } catch (const KeyError& e) {
    EXPECT_EQ(std::string(e.what()), "'zzz'");
  }
}

TEST(NamesTest, DuplicatesGetAnndataSuffixes) {
  AnnData ad;
  ad.obs.set_index({"a", "a", "a-1", "b", "a", "b"});
  ad.obs_names_make_unique();
  // What anndata 0.8's make_index_unique gives for the same names.
  EXPECT_EQ(ad.obs.index(), (std::vector<std::string>{"a", "a-2", "a-1", "b", "a-3", "b-1"}));
  ad.var.set_index({"1", "2", "3"});
  ad.var_names_make_unique();
  EXPECT_EQ(ad.var.index(), (std::vector<std::string>{"1", "2", "3"}));
}

TEST(NamesTest, AgreesWithAnndata) {
  if (!testing::oracle_python_available()) GTEST_SKIP() << "Debian's Python with anndata is absent";
  std::vector<std::string> names = {"x", "x", "x-1", "x-2", "x", "y", "x-1", "", "", "y-1", "y"};
  json arg = names;
  const char* script = R"PY(
import sys, json, warnings
warnings.simplefilter("ignore")
import pandas as pd
from anndata.utils import make_index_unique
print(json.dumps(list(make_index_unique(pd.Index(json.loads(sys.argv[1]))))))
)PY";
  auto r = testing::run_oracle_python(script, testing::shell_quote(arg.dump()));
  ASSERT_EQ(r.exit_code, 0) << r.err;
  AnnData ad;
  ad.var.set_index(names);
  ad.var_names_make_unique();
  EXPECT_EQ(json(ad.var.index()), json::parse(r.out));
}

TEST(UnsJsonTest, RecordsComeBackExactly) {
  Table t({"r0", "r1"});
  t.add_column("gene", json::array({"CD3E", nullptr}));
  t.add_column("count", json::array({1, nullptr}));
  t.add_column("flag", json::array({true, false}));
  json record = {{"query", "DEG of T cells"},
                 {"__json__:tricky", "__json__:not json"},
                 {"n", 3},
                 {"x", 2.5},
                 {"ok", false},
                 {"genes", {"A", "B"}},
                 {"counts", {1, 2, 3}},
                 {"flags", {true, false}},
                 {"nested", {{"deeper", {{"k", "v"}}}}},
                 {"rows", json::array({{{"a", 1}}, {{"b", nullptr}}})},
                 {"mixed", json::array({1, "two", nullptr})},
                 {"matrix", json::array({json::array({1, 2}), json::array({3, 4})})},
                 {"empty_list", json::array()},
                 {"empty_map", json::object()},
                 {"none", nullptr},
                 {"table", t.to_json()}};
  UnsNode node = UnsNode::from_json(record);
  ASSERT_TRUE(node.is_dict());
  EXPECT_TRUE(node.dict().at("genes").is_array());
  EXPECT_TRUE(node.dict().at("counts").is_array());
  EXPECT_EQ(node.dict().at("counts").array().dtype, "int64");
  EXPECT_TRUE(node.dict().at("n").is_scalar());
  EXPECT_TRUE(node.dict().at("table").is_table());
  EXPECT_EQ(node.dict().at("rows").kind_name(), "scalar");
  EXPECT_EQ(node.to_json(), record);

  // Integers inside float lists come back as floats: the one documented loss.
  EXPECT_EQ(UnsNode::from_json(json::array({1, 2.5})).to_json(), json::array({1.0, 2.5}));
}

TEST(UnsJsonTest, TruthAndText) {
  EXPECT_TRUE(UnsNode::from_json(true).truthy());
  EXPECT_FALSE(UnsNode::from_json(0).truthy());
  EXPECT_FALSE(UnsNode::from_json("").truthy());
  EXPECT_TRUE(UnsNode::from_json("x").truthy());
  EXPECT_FALSE(UnsNode().truthy());
  EXPECT_FALSE(UnsNode::from_json(json::object()).truthy());
  EXPECT_EQ(UnsNode::from_json("human").text(), "human");
  EXPECT_THROW(UnsNode::from_json(3).text(), TypeError);
  EXPECT_THROW(UnsNode::from_json(3).dict(), TypeError);
  EXPECT_THROW(UnsNode::from_json(json::object()).dict().at("missing"), KeyError);
}

TEST(DescribeTest, SummaryListsEverything) {
  AnnData ad = testing::small_dataset(3, 2);
  ad.obs.set("n", Column{Array::of_floats({1, 2, 3}, "float32")});
  ad.set_X(testing::random_matrix(3, 2, 1.0, 1).csr());
  DenseMatrix umap;
  umap.n_rows = 3;
  umap.n_cols = 2;
  umap.values.assign(6, 0);
  ad.set_obsm("X_umap", umap);
  ad.uns.set("usr_param", UnsNode::from_json(json{{"species", "human"}, {"colors", {"#fff"}}}));
  EXPECT_EQ(describe_structure(ad),
            "AnnData object with n_obs × n_vars = 3 × 2\n"
            "    X: csr_matrix float32, 6 stored values\n"
            "    obs: 'celltype' (category), 'n' (float32)\n"
            "    obsm: 'X_umap' (3, 2)\n"
            "    uns:\n"
            "        usr_param: dict (2 keys)\n"
            "            species: scalar str = 'human'\n"
            "            colors: array str (1,)");
}

}  // namespace
}  // namespace norvex
