#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "norvex/common/errors.hpp"
#include "norvex/common/table.hpp"
#include "norvex/documents/documents.hpp"
#include "support/document_oracle.hpp"

namespace norvex {
namespace {

using testing::kXlsxOracle;
using testing::oracle_json;

json deg_table() {
  Table t({"CD8A", "GZMB", "ACTB", "XIST"});
  t.add_column("logfoldchanges", {2.5, 1.75, 0.1, -3});
  t.add_column("pvals", {1e-10, 0.01, 0.5, 0.2});
  t.add_column("pvals_adj", {1e-8, 0.05, 0.9, nullptr});
  t.add_column("n_cells", {120, 80, 300, 7});
  return t.to_json();
}

const json& sheet(const json& wb, const std::string& name) {
  for (auto& s : wb["sheets"])
    if (s["name"] == name) return s;
  static const json none;
  ADD_FAILURE() << "no sheet " << name;
  return none;
}

TEST(SaveToExcelBuffer, SheetsHeadersNumbersAndPvalueFilter) {
  REQUIRE_ORACLE();
  Table plain;
  plain.add_column("cell type", {"T cell", "B cell"}).add_column("count", {10, 4});
  json tables = {{"T cell-Tumor_vs_Normal", deg_table()},
                 {"population", plain.to_json()},
                 {"records", json::parse(R"([{"term":"GO:1","P-value":0.05,"genes":"A;B"},
                                            {"term":"GO:2","P-value":0.5},
                                            {"term":"GO:3","P-value":"0.001","extra":true}])")}};
  std::string bytes = save_to_excel_buffer(tables);
  ASSERT_EQ(bytes.substr(0, 2), "PK");
  json wb = oracle_json(kXlsxOracle, bytes, ".xlsx");
  ASSERT_TRUE(wb.is_object());
  ASSERT_EQ(wb["sheets"].size(), 3u);  // names were valid: no index sheet

  const json& deg = sheet(wb, "T cell-Tumor_vs_Normal");
  EXPECT_EQ(deg["rows"][0], json::parse(R"([[null,"NoneType"],["logfoldchanges","str"],
      ["pvals","str"],["pvals_adj","str"],["n_cells","str"]])"));
  EXPECT_TRUE(deg["header_bold"].get<bool>());
  EXPECT_EQ(deg["freeze"], "A2");
  EXPECT_EQ(deg["filter"], "A1:E4");
  // Filtered on the adjusted p-value: ACTB (0.9) goes, XIST (no adjusted value) stays.
  ASSERT_EQ(deg["rows"].size(), 4u);
  EXPECT_EQ(deg["rows"][1][0][0], "CD8A");
  EXPECT_EQ(deg["rows"][2][0][0], "GZMB");
  EXPECT_EQ(deg["rows"][3][0][0], "XIST");
  EXPECT_EQ(deg["rows"][1][1], json::parse(R"([2.5, "float"])"));
  EXPECT_EQ(deg["rows"][1][4], json::parse(R"([120, "int"])"));
  EXPECT_EQ(deg["rows"][3][3][1], "NoneType");

  const json& pop = sheet(wb, "population");  // no p-value column: all rows
  EXPECT_EQ(pop["rows"].size(), 3u);
  EXPECT_EQ(pop["rows"][0][0][0], "cell type");  // default index is not written

  const json& rec = sheet(wb, "records");
  EXPECT_EQ(rec["rows"][0], json::parse(R"([["term","str"],["P-value","str"],["genes","str"],
      ["extra","str"]])"));
  ASSERT_EQ(rec["rows"].size(), 3u);  // 0.05 and "0.001" kept, 0.5 dropped
  EXPECT_EQ(rec["rows"][2][0][0], "GO:3");
  EXPECT_EQ(rec["rows"][2][3], json::parse(R"([true, "bool"])"));
  // Columns are wide enough for their text.
  EXPECT_GE(rec["widths"]["A"].get<double>(), 8);
}

TEST(SaveToExcelBuffer, CutoffIsAParameter) {
  REQUIRE_ORACLE();
  json wb = oracle_json(kXlsxOracle, save_to_excel_buffer({{"deg", deg_table()}}, 0.01), ".xlsx");
  ASSERT_TRUE(wb.is_object());
  EXPECT_EQ(sheet(wb, "deg")["rows"].size(), 3u);  // CD8A and XIST (no value) under 0.01
}

TEST(SaveToExcelBuffer, SheetNamesAreMadeValidAndMapped) {
  REQUIRE_ORACLE();
  Table t;
  t.add_column("x", {1});
  json tables;
  tables["Fibroblast-Treatment_vs_Control_long"] = t.to_json();
  tables["Fibroblast-Treatment_vs_Control_other"] = t.to_json();
  tables["a/b:c?[d]*"] = t.to_json();
  tables["'quoted'"] = t.to_json();
  tables["History"] = t.to_json();
  tables["CD4 T 세포-종양_대_정상"] = t.to_json();
  tables["DEG"] = t.to_json();
  tables["deg"] = t.to_json();  // Excel ignores case
  json wb = oracle_json(kXlsxOracle, save_to_excel_buffer(tables), ".xlsx");
  ASSERT_TRUE(wb.is_object());
  std::vector<std::string> names;
  for (auto& s : wb["sheets"]) names.push_back(s["name"]);
  EXPECT_EQ(names,
            (std::vector<std::string>{
                "Fibroblast-Treatment_vs_Control", "Fibroblast-Treatment_vs_Contr~2", "a_b_c__d__",
                "quoted", "History_", "CD4 T 세포-종양_대_정상", "DEG", "deg~2", "Sheet names"}));
  const json& index = sheet(wb, "Sheet names");
  EXPECT_EQ(index["rows"][0][0][0], "Sheet");
  EXPECT_EQ(index["rows"][2][0][0], "Fibroblast-Treatment_vs_Contr~2");
  EXPECT_EQ(index["rows"][2][1][0], "Fibroblast-Treatment_vs_Control_other");
  EXPECT_EQ(index["rows"][8][1][0], "deg");
}

TEST(SaveToExcelBuffer, AwkwardValuesStayReadable) {
  REQUIRE_ORACLE();
  Table t({"g1", "g2", "g3"});
  t.add_column("score", {std::numeric_limits<double>::infinity(), 1.5, nullptr});
  t.add_column("note", {std::string("ctrl\x01") + "char", json::array({1, 2}), "bad\xFFutf8"});
  t.add_column("big", {json(9007199254740993ULL), 1, 2});
  json wb = oracle_json(kXlsxOracle, save_to_excel_buffer({{"odd", t.to_json()}}), ".xlsx");
  ASSERT_TRUE(wb.is_object());
  const json& s = sheet(wb, "odd");
  ASSERT_EQ(s["rows"].size(), 4u);
  EXPECT_EQ(s["rows"][0][0][0], nullptr);  // the index column has an empty header
  EXPECT_EQ(s["rows"][1][1][0], "inf");
  EXPECT_EQ(s["rows"][1][2][0], "ctrlchar");
  EXPECT_EQ(s["rows"][2][2][0], "[1,2]");
  EXPECT_EQ(s["rows"][3][2][0],
            "bad\xEF\xBF\xBD"
            "utf8");
  EXPECT_EQ(s["rows"][1][3][0], "9007199254740993");  // not rounded by a double
}

TEST(SaveToExcelBuffer, BadInputIsAClearError) {
  EXPECT_THROW(save_to_excel_buffer(json::object()), ValueError);
  EXPECT_THROW(save_to_excel_buffer(json::array()), TypeError);
  EXPECT_THROW(save_to_excel_buffer({{"t", "not a table"}}), TypeError);
  EXPECT_THROW(save_to_excel_buffer({{"t", json::array({1, 2})}}), TypeError);
  EXPECT_THROW(save_to_excel_buffer({{"t", deg_table()}}, std::nan("")), ValueError);
  try {
    save_to_excel_buffer({{"my table", {{"a", 1}}}});
    FAIL();
  } catch (const TypeError& e) {
    EXPECT_NE(std::string(e.what()).find("'my table'"), std::string::npos);
  }
}

TEST(FindPvalueColumn, KnowsTheUsualSpellingsAndPrefersAdjusted) {
  EXPECT_EQ(find_pvalue_column({"names", "pvals", "pvals_adj"}), "pvals_adj");
  EXPECT_EQ(find_pvalue_column({"Term", "P-value", "Adjusted P-value"}), "Adjusted P-value");
  EXPECT_EQ(find_pvalue_column({"NES", "NOM p-val", "FDR q-val", "FWER p-val"}), "FDR q-val");
  EXPECT_EQ(find_pvalue_column({"p_val", "p_val_adj"}), "p_val_adj");
  EXPECT_EQ(find_pvalue_column({"padj", "pvalue"}), "padj");
  EXPECT_EQ(find_pvalue_column({"ID", "p.adjust"}), "p.adjust");
  EXPECT_EQ(find_pvalue_column({"pval"}), "pval");
  EXPECT_EQ(find_pvalue_column({"gene", "score", "support"}), "");
}

}  // namespace
}  // namespace norvex
