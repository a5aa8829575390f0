// Datasets written from memory read back the same, here and in anndata.
#include <gtest/gtest.h>

#include <cmath>

#include "dataset/dataset_fixtures.hpp"
#include "norvex/common/errors.hpp"
#include "norvex/common/table.hpp"
#include "norvex/dataset/anndata.hpp"
#include "support/test_support.hpp"

namespace norvex {
namespace {

namespace fs = std::filesystem;
using testing::shell_quote;

// Every column kind, nested uns with a native table, saved transactions and an embedding.
AnnData full_dataset() {
  AnnData ad = testing::small_dataset(6, 4);
  ad.obs.set("condition",
             Column{Array::of_strings({"ctrl", "stim", "ctrl", "stim", "한국어", "ctrl"})});
  ad.obs.set("n_genes", Column{Array::of_ints({1, 2, 3, 4, 5, 6})});
  ad.obs.set("score", Column{Array::of_floats({0.1, 1e-5, 2.5, NAN, -3.0, 1e16}, "float32")});
  ad.obs.set("tumor_origin_ind", Column{Array::of_bools({true, false, true, false, false, true})});
  Column nullable_int{Array::of_ints({7, 0, 9, 10, 0, 12})};
  nullable_int.mask = std::vector<uint8_t>{0, 1, 0, 0, 1, 0};
  ad.obs.set("maybe_count", nullable_int);
  Column nullable_bool{Array::of_bools({true, false, false, true, true, false})};
  nullable_bool.mask = std::vector<uint8_t>{0, 0, 1, 0, 0, 0};
  ad.obs.set("maybe_flag", nullable_bool);
  Column ordered = Column::categorical({"low", "high", "low", "mid", "high", "low"}, true);
  ad.obs.set("level", ordered);
  ad.var.set("highly_variable", Column{Array::of_bools({true, false, true, true})});

  testing::MatrixTruth x = testing::random_matrix(6, 4, 0.5, 3);
  ad.set_X(x.csr());
  DenseMatrix umap;
  umap.n_rows = 6;
  umap.n_cols = 2;
  for (int i = 0; i < 12; ++i) umap.values.push_back(i * 0.25 - 1);
  ad.set_obsm("X_umap", umap);

  Table deg({"g1", "g2", "g3"});
  deg.add_column("names", json::array({"CD3E", "MS4A1", "NKG7"}));
  deg.add_column("logfoldchanges", json::array({1.5, -0.25, 3.0}));
  deg.add_column("pvals_adj", json::array({0.001, nullptr, 0.5}));
  json uns = {
      {"usr_param", {{"species", "human"}, {"tissue", "blood"}, {"tumor_id", true}}},
      {"analysis_parameters", {{"CCI_DEG_BASE", "celltype_minor"}, {"DEG_REF_GROUP", "ctrl"}}},
      {"DEG", {{"T cell", {{"stim_vs_rest", deg.to_json()}}}}},
      {"norvex_tx",
       {{"0",
         {{"query", "show umap"},
          {"plot_params", {{"genes", json::array({"CD3E", "NKG7"})}, {"size", 3}}},
          {"messages", json::array({{{"role", "user"}}, {{"role", "model"}}})},
          {"mixed", json::array({1, "a", true})},
          {"nothing", nullptr},
          {"empty", json::array()},
          {"ratio", 0.5}}}}},
      {"colors", json::array({"#ff0000", "#00ff00"})}};
  for (auto& [k, v] : uns.items()) ad.uns.set(k, UnsNode::from_json(v));
  return ad;
}

TEST(RoundTripTest, WrittenDatasetReadsBackTheSame) {
  testing::TempDir tmp;
  AnnData ad = full_dataset();
  ad.write_h5ad(tmp / "a.h5ad");
  auto back = AnnData::read_h5ad(tmp / "a.h5ad");

  EXPECT_EQ(back->obs.index(), ad.obs.index());
  EXPECT_EQ(back->var.index(), ad.var.index());
  EXPECT_EQ(back->obs.columns(), ad.obs.columns());
  for (auto& c : ad.obs.columns()) {
    const Column& a = ad.obs.col(c);
    const Column& b = back->obs.col(c);
    EXPECT_EQ(b.dtype_name(), a.dtype_name()) << c;
    for (size_t i = 0; i < a.size(); ++i)
      EXPECT_EQ(b.text_at(i), a.text_at(i)) << c << " row " << i;
  }
  EXPECT_TRUE(back->obs.col("level").ordered);
  EXPECT_EQ(back->obs.col("maybe_count").dtype_name(), "Int64");
  EXPECT_EQ(back->obs.col("maybe_flag").dtype_name(), "boolean");

  // uns: the whole tree comes back as the same JSON, key order included.
  EXPECT_EQ(UnsNode(back->uns).to_json(), UnsNode(ad.uns).to_json());
  EXPECT_TRUE(back->uns.at("DEG").dict().at("T cell").dict().at("stim_vs_rest").is_table());
  EXPECT_TRUE(back->uns.at("usr_param").dict().at("tumor_id").truthy());

  EXPECT_EQ(back->obsm("X_umap").values, ad.obsm("X_umap").values);
  auto expr_a = ad.gene_expression({"gene0", "gene3"});
  auto expr_b = back->gene_expression({"gene0", "gene3"});
  EXPECT_EQ(expr_a, expr_b);
}

TEST(RoundTripTest, AnndataReadsWhatWeWrite) {
  if (!testing::oracle_python_available()) GTEST_SKIP() << "Debian's Python with anndata is absent";
  testing::TempDir tmp;
  AnnData ad = full_dataset();
  ad.write_h5ad(tmp / "a.h5ad");
  testing::MatrixTruth x = testing::random_matrix(6, 4, 0.5, 3);
  json dense = json::array();
  for (float v : x.dense) dense.push_back(v);
  testing::write_file(tmp / "x.json", dense.dump());

  const char* script = R"PY(
import sys, json, warnings
warnings.simplefilter("ignore")
import anndata, numpy as np, pandas as pd
a = anndata.read_h5ad(sys.argv[1])
x = np.array(json.load(open(sys.argv[2])), dtype=np.float32).reshape(6, 4)
np.testing.assert_array_equal(a.X.toarray(), x)
assert list(a.obs_names) == [f"cell{i}" for i in range(6)]
assert list(a.obs.columns) == ["celltype", "condition", "n_genes", "score", "tumor_origin_ind",
                               "maybe_count", "maybe_flag", "level"], list(a.obs.columns)
o = a.obs
assert str(o["celltype"].dtype) == "category" and list(o["celltype"].cat.categories) == ["B cell", "NK", "T cell"]
assert list(o["celltype"]) == ["T cell", "B cell", "NK"] * 2
assert list(o["condition"]) == ["ctrl", "stim", "ctrl", "stim", "한국어", "ctrl"]
assert o["n_genes"].dtype == np.int64 and list(o["n_genes"]) == [1, 2, 3, 4, 5, 6]
assert o["score"].dtype == np.float32 and np.isnan(o["score"][3]) and o["score"][0] == np.float32(0.1)
assert o["tumor_origin_ind"].dtype == bool and list(o["tumor_origin_ind"]) == [True, False, True, False, False, True]
assert str(o["maybe_count"].dtype) == "Int64", o["maybe_count"].dtype
assert o["maybe_count"].isna().tolist() == [False, True, False, False, True, False]
assert int(o["maybe_count"][2]) == 9
assert str(o["maybe_flag"].dtype) == "boolean" and o["maybe_flag"].isna().tolist()[2]
assert o["level"].cat.ordered and list(o["level"]) == ["low", "high", "low", "mid", "high", "low"]
assert a.var["highly_variable"].tolist() == [True, False, True, True]
np.testing.assert_array_equal(a.obsm["X_umap"], (np.arange(12) * 0.25 - 1).reshape(6, 2))
u = a.uns
assert list(u.keys()) == ["usr_param", "analysis_parameters", "DEG", "norvex_tx", "colors"], list(u.keys())
assert u["usr_param"]["species"] == "human" and bool(u["usr_param"]["tumor_id"]) is True
deg = u["DEG"]["T cell"]["stim_vs_rest"]
assert isinstance(deg, pd.DataFrame) and list(deg.columns) == ["names", "logfoldchanges", "pvals_adj"]
assert list(deg.index) == ["g1", "g2", "g3"] and deg["names"].tolist() == ["CD3E", "MS4A1", "NKG7"]
assert deg["logfoldchanges"].tolist() == [1.5, -0.25, 3.0] and np.isnan(deg["pvals_adj"][1])
tx = u["norvex_tx"]["0"]
assert tx["query"] == "show umap" and list(tx["plot_params"]["genes"]) == ["CD3E", "NKG7"]
assert json.loads(tx["messages"][len("__json__:"):]) == [{"role": "user"}, {"role": "model"}]
assert list(u["colors"]) == ["#ff0000", "#00ff00"]
print("ok")
)PY";
  auto r = testing::run_oracle_python(script, shell_quote((tmp / "a.h5ad").string()) + " " +
                                                  shell_quote((tmp / "x.json").string()));
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.out, "ok\n");
}

TEST(RoundTripTest, UnknownUnsEncodingsTravelAlong) {
  if (!testing::oracle_python_available()) GTEST_SKIP() << "Debian's Python with h5py is absent";
  testing::TempDir tmp;
  AnnData ad = testing::small_dataset(3, 2);
  ad.write_h5ad(tmp / "a.h5ad");
  // Another tool adds an entry of an encoding we do not know.
  const char* add = R"PY(
import sys, h5py, numpy as np
with h5py.File(sys.argv[1], "a") as f:
    g = f["uns"].create_group("future")
    g.attrs["encoding-type"] = "awkward-array"
    g.attrs["encoding-version"] = "0.1.0"
    g.create_dataset("payload", data=np.arange(5))
)PY";
  ASSERT_EQ(testing::run_oracle_python(add, shell_quote((tmp / "a.h5ad").string())).exit_code, 0);
  auto back = AnnData::read_h5ad(tmp / "a.h5ad");
  ASSERT_TRUE(back->uns.contains("future"));
  EXPECT_EQ(back->uns.at("future").kind_name(), "stored");
  back->write_h5ad(tmp / "b.h5ad");
  const char* check = R"PY(
import sys, h5py
with h5py.File(sys.argv[1]) as f:
    g = f["uns/future"]
    assert g.attrs["encoding-type"] == "awkward-array"
    assert list(g["payload"][()]) == [0, 1, 2, 3, 4]
print("ok")
)PY";
  auto r = testing::run_oracle_python(check, shell_quote((tmp / "b.h5ad").string()));
  EXPECT_EQ(r.out, "ok\n") << r.err;
}

TEST(RoundTripTest, WriteFailuresNameTheFileAndLeaveNothingBehind) {
  testing::TempDir tmp;
  AnnData ad = testing::small_dataset(3, 2);
  try {
    ad.write_h5ad(tmp / "missing" / "a.h5ad");
    FAIL() << "no error";
  } catch (const FileError& e) {
    EXPECT_NE(std::string(e.what()).find("missing"), std::string::npos) << e.what();
  }
  // A column named like the index cannot be stored; the target must not appear.
  ad.obs.set("_index", Column{Array::of_ints({1, 2, 3})});
  EXPECT_THROW(ad.write_h5ad(tmp / "a.h5ad"), ValueError);
  EXPECT_TRUE(fs::is_empty(tmp.path()));

  // HDF5 would read "/" as nesting; the key is refused rather than silently split.
  AnnData slash = testing::small_dataset(3, 2);
  slash.uns.set("norvex_tx", UnsNode::from_json(json{{"CD4+/CD8+ ratio?", {{"query", "x"}}}}));
  try {
    slash.write_h5ad(tmp / "b.h5ad");
    FAIL() << "no error";
  } catch (const ValueError& e) {
    EXPECT_NE(std::string(e.what()).find("'CD4+/CD8+ ratio?'"), std::string::npos) << e.what();
  }
  EXPECT_TRUE(fs::is_empty(tmp.path()));
}

TEST(RoundTripTest, MatricesOfTheWrongShapeAreRejected) {
  AnnData ad = testing::small_dataset(3, 2);
  EXPECT_THROW(ad.set_X(testing::random_matrix(2, 3, 0.5, 1).csr()), ValueError);
  SparseMatrix broken = testing::random_matrix(3, 2, 0.5, 1).csr();
  broken.indptr.pop_back();
  EXPECT_THROW(ad.set_X(broken), ValueError);
  DenseMatrix m;
  m.n_rows = 2;
  m.n_cols = 1;
  m.values = {1, 2};
  EXPECT_THROW(ad.set_obsm("X_umap", m), ValueError);
  EXPECT_THROW(ad.obsm("X_umap"), KeyError);
}

TEST(RoundTripTest, CopiesDoNotShareMatricesSetLater) {
  AnnData a = testing::small_dataset(3, 2);
  a.set_X(testing::random_matrix(3, 2, 1.0, 1).csr());
  AnnData b = a;
  b.set_X(testing::random_matrix(3, 2, 1.0, 2).csr());
  EXPECT_NE(a.gene_expression({"gene0"}), b.gene_expression({"gene0"}));
  b.uns.set("x", UnsNode::from_json(json{{"y", 1}}));
  UnsDict copy = b.uns;
  copy.at("x").dict().set("y", UnsNode::from_json(2));
  EXPECT_EQ(b.uns.at("x").to_json(), json({{"y", 1}}));
  EXPECT_FALSE(a.uns.contains("x"));
}

}  // namespace
}  // namespace norvex
