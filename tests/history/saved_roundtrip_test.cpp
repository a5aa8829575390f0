// The saved store travels with the dataset: written, reopened by our reader and by anndata,
// it holds what was saved, with tables as tables, lists as lists and null as null.
#include <gtest/gtest.h>

#include "norvex/assistant/norvex.hpp"
#include "norvex/common/table.hpp"
#include "norvex/host/recording_host.hpp"
#include "support/fixtures.hpp"
#include "support/test_support.hpp"
#include "support/tiny_dataset.hpp"

namespace norvex {
namespace {

// A transaction shaped like the driver's: Korean question, nested tables under keys with a
// slash, a list of images, null and empty values, a configuration mapping.
json rich_transaction() {
  Table t;
  t.add_column("names", json::array({"CD3E", "CD8A"}));
  t.add_column("pvals_adj", json::array({0.01, 0.5}));
  t.add_column("up", json::array({true, false}));
  Table counts(std::vector<std::string>{"Tumor", "Normal"});
  counts.add_column("n", json::array({3, 1}));
  return json{
      {"query", "CD4/CD8 T 세포의 유전자 순위를 보여줘"},
      {"router_res", {{"selected_tool", "plot_degs_gene_ranking"}}},
      {"plot_func", "plot_degs_gene_ranking"},
      {"plot_params",
       {{"target_genes", {"CD3E", "CD8A"}},
        {"compute_cfg", {{"celltype", "CD4/CD8 T"}, {"n_top", 7}, {"min_abs_logfc", nullptr}}},
        {"layers", json::array()},
        {"groups", json::array({json{{"a", 1}}, json{{"b", 2}}})},
        {"options", json::object()}}},
      {"plot_result",
       {{"img_base64", testing::make_png_b64(6, 6)},
        {"images", {testing::make_png_b64(4, 4), testing::make_png_b64(5, 5)}},
        {"table_summaries",
         {{"CD4/CD8 T", {{"Tumor vs Normal", t.to_json()}}}, {"counts", counts.to_json()}}},
        {"data", "gene"}}},
      {"plot_code", "result = norvex.plot_degs_gene_ranking(adata_t)"},
      {"explanation", "**CD8A** 발현이 높습니다."},
      {"report", nullptr},
      {"total_usage", 1234}};
}

TEST(SavedStoreRoundTrip, WrittenAndReopenedByUsAndByAnndata) {
  RecordingHost host;
  ScopedHost scope{host};
  auto data = testing::tiny_dataset();
  Assistant a{AssistantOptions{.api_key = "k", .adata = data, .host = &host}};
  a.t_hist.add(rich_transaction());
  json res = {{"query", "save"}};
  a.save_transaction(json::object(), res, false, 0);
  json expected = rich_transaction();
  expected.erase("router_res");
  // HDF5 reads "/" in a name as a path: keys keep their look with the division slash.
  json& tables = expected["plot_result"]["table_summaries"];
  tables["CD4\u2215CD8 T"] = tables["CD4/CD8 T"];
  tables.erase("CD4/CD8 T");
  tables.erase("counts");
  tables["counts"] = rich_transaction()["plot_result"]["table_summaries"]["counts"];
  const std::string key = data->uns.at("norvex_tx").dict().keys().at(0);
  EXPECT_EQ(data->uns.at("norvex_tx").dict().at(key).to_json(), expected);

  testing::TempDir dir;
  a.write_h5ad((dir / "saved.h5ad").string());
  auto back = AnnData::read_h5ad(dir / "saved.h5ad");
  const UnsDict& store = back->uns.at("norvex_tx").dict();
  ASSERT_EQ(store.size(), 1u);
  EXPECT_EQ(store.at(store.keys()[0]).to_json(), expected);
  EXPECT_TRUE(store.at(store.keys()[0])
                  .dict()
                  .at("plot_result")
                  .dict()
                  .at("table_summaries")
                  .dict()
                  .at("counts")
                  .is_table());

  if (!testing::oracle_python_available()) GTEST_SKIP() << "Debian's Python is absent";
  const char* script = R"PY(
import sys, anndata, pandas as pd, numpy as np, base64
ad = anndata.read_h5ad(sys.argv[1])
store = ad.uns["norvex_tx"]
(key, tx), = store.items()
def show(name, v):
    print(name, type(v).__name__, repr(v) if not isinstance(v, (pd.DataFrame, np.ndarray)) else "")
print("query", tx["query"])
show("explanation", tx["explanation"])
show("report", tx.get("report", "MISSING"))
show("total_usage", tx["total_usage"])
pp = tx["plot_params"]
print("target_genes", list(pp["target_genes"]))
show("min_abs_logfc", pp["compute_cfg"].get("min_abs_logfc", "MISSING"))
show("layers", pp.get("layers", "MISSING"))
show("groups", pp.get("groups", "MISSING"))
show("options", pp.get("options", "MISSING"))
pr = tx["plot_result"]
ts = pr["table_summaries"]
print("table keys", sorted(ts.keys()))
for k, v in ts.items():
    print("table", k, type(v).__name__)
print("images", [base64.b64decode(x)[:4] for x in pr["images"]])
print("img", base64.b64decode(pr["img_base64"])[:4])
)PY";
  auto r = testing::run_oracle_python(script, testing::shell_quote((dir / "saved.h5ad").string()));
  ASSERT_EQ(r.exit_code, 0) << r.err;
  // Null arrives as NaN, which a Python user reads as missing; what else anndata has no
  // value for (an empty list, a list of mappings) arrives as marked JSON text, which our
  // reader turns back into the value.
  EXPECT_EQ(r.out,
            "query CD4/CD8 T 세포의 유전자 순위를 보여줘\n"
            "explanation str '**CD8A** 발현이 높습니다.'\n"
            "report float64 nan\n"
            "total_usage int64 1234\n"
            "target_genes ['CD3E', 'CD8A']\n"
            "min_abs_logfc float64 nan\n"
            "layers str '__json__:[]'\n"
            "groups str '__json__:[{\"a\":1},{\"b\":2}]'\n"
            "options dict {}\n"
            "table keys ['CD4\u2215CD8 T', 'counts']\n"
            "table CD4\u2215CD8 T dict\n"
            "table counts DataFrame\n"
            "images [b'\\x89PNG', b'\\x89PNG']\n"
            "img b'\\x89PNG'\n");
}

}  // namespace
}  // namespace norvex
