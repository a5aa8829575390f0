// The assistant's display methods: plots, tables with their Excel download, explanations,
// code cells and the dataset tree.
#include <gtest/gtest.h>

#include "norvex/assistant/norvex.hpp"
#include "norvex/common/base64.hpp"
#include "norvex/common/errors.hpp"
#include "norvex/common/table.hpp"
#include "norvex/display/result_display.hpp"
#include "norvex/display/show_tree.hpp"
#include "norvex/display/table_html.hpp"
#include "norvex/host/recording_host.hpp"
#include "norvex/plotting/plot.hpp"
#include "support/fixtures.hpp"
#include "support/tiny_dataset.hpp"

namespace norvex {
namespace {

using Kind = HostEvent::Kind;

json table(std::vector<std::string> genes, std::vector<double> p) {
  Table t;
  t.add_column("names", json(genes));
  t.add_column("pvals_adj", json(p));
  return t.to_json();
}

class ResultDisplay : public ::testing::Test {
 protected:
  RecordingHost host;
  ScopedHost scoped{host};
  Assistant assistant{[this] {
    AssistantOptions o;
    o.host = &host;
    o.adata = testing::tiny_dataset();
    return o;
  }()};
  void SetUp() override { host.clear(); }
};

TEST_F(ResultDisplay, HtmlPlotWinsOverImagesInItsOwnSize) {
  std::string doc = base64_encode("<html><div id=p></div></html>");
  assistant.display_plot_img_base64(
      {{"html_base64", doc}, {"img_base64", testing::make_png_b64(4, 4)}});
  ASSERT_EQ(host.events.size(), 1u);
  EXPECT_NE(host.events[0].text.find("width=\"800\" height=\"600\""), std::string::npos);
  host.clear();
  assistant.display_plot_img_base64(
      {{"html_base64", json::array({doc})}, {"WH", json::array({1000, 700})}});
  EXPECT_NE(host.events[0].text.find("width=\"1000\" height=\"700\""), std::string::npos);
}

TEST_F(ResultDisplay, ImagesAreMergedIntoOnePicture) {
  assistant.display_plot_img_base64({{"img_base64", json::array({testing::make_png_b64(20, 10),
                                                                 testing::make_png_b64(20, 10)})}});
  ASSERT_EQ(host.events.size(), 1u);
  EXPECT_EQ(host.events[0].kind, Kind::Image);
  EXPECT_EQ(host.events[0].mime, "image/png");
  host.clear();
  assistant.display_plot_img_base64({{"img_base64", ""}, {"data", "x"}});
  EXPECT_EQ(host.console(), "⚠️ WARNING: No img_base64 found.\n");
  host.clear();
  assistant.display_plot_img_base64({{"img_base64", json::array({"broken"})}});
  EXPECT_EQ(host.console(),
            "⚠️ WARNING: image 1 is not a readable PNG; skipped.\n"
            "⚠️ WARNING: Image not found or none.\n");
}

// A tall figure drawn here, with its SVG (remembered by the plotting layer).
std::string drawn_png_b64(double width_in, const std::string& title) {
  plotting::StackedBarPlot s;
  s.bars = {"a"};
  s.segments = {"x"};
  s.shares = {{1.0}};
  s.title = title;
  s.size = plotting::FigureSize{width_in, 4, 100};
  plotting::RenderScope scope(plotting::RenderOptions{0, true, false});
  return base64_encode(plotting::render_stacked_bars_png(s));
}

TEST_F(ResultDisplay, FiguresDrawnHereAreShownWithTheirSvgsLaidOutAsThePngs) {
  // Two tall panels side by side: 100 + 10 + 200 pixels wide at 100 dpi.
  const std::string a = drawn_png_b64(1, "first"), b = drawn_png_b64(2, "second");
  const std::string svg_a = plotting::remembered_svg(base64_decode(a));
  const std::string svg_b = plotting::remembered_svg(base64_decode(b));
  ASSERT_FALSE(svg_a.empty());
  ASSERT_NE(svg_a, svg_b);
  assistant.display_plot_img_base64({{"img_base64", json::array({a, b})}});
  ASSERT_EQ(host.events.size(), 1u);
  EXPECT_EQ(host.events[0].kind, Kind::Image);
  const std::string& svg = host.events[0].svg;
  EXPECT_NE(svg.find("viewBox=\"0 0 310 400\""), std::string::npos) << svg.substr(0, 400);
  EXPECT_NE(svg.find("width=\"223.2pt\""), std::string::npos);  // 0.72 pt a pixel
  const size_t first = svg.find(base64_encode(svg_a)), second = svg.find(base64_encode(svg_b));
  ASSERT_NE(first, std::string::npos);
  ASSERT_NE(second, std::string::npos);
  EXPECT_LT(first, second);
  EXPECT_NE(svg.find("x=\"110\""), std::string::npos);  // the second column
  host.clear();
  // One figure: its own document, unchanged.
  assistant.display_plot_img_base64({{"img_base64", a}});
  EXPECT_EQ(host.events.at(0).svg, svg_a);
  host.clear();
  // An image from elsewhere among them: the figure goes without an SVG.
  assistant.display_plot_img_base64(
      {{"img_base64", json::array({a, testing::make_png_b64(100, 400)})}});
  ASSERT_EQ(host.events.size(), 1u);
  EXPECT_TRUE(host.events[0].svg.empty());
}

TEST_F(ResultDisplay, PlotFailuresAreReportedAndSwallowed) {
  assistant.display_plot_img_base64(nullptr);
  assistant.display_plot_img_base64({{"html_base64", base64_encode("<html>")}, {"WH", nullptr}});
  auto prints = host.of_kind(Kind::Print);
  ASSERT_EQ(prints.size(), 2u);
  EXPECT_EQ(prints[0].text.rfind("❌ ERROR: AttributeError : ", 0), 0u);
  EXPECT_EQ(prints[1].text.rfind("❌ ERROR: ValueError : iframe_size", 0), 0u);
  EXPECT_EQ(host.of_kind(Kind::Error).size(), 2u);
}

TEST_F(ResultDisplay, SingleTableGetsOneSheetNamedAfterIt) {
  assistant.display_table_summaries({{"table_summaries", table({"CD3E"}, {0.01})}});
  std::vector<Kind> k;
  for (auto& e : host.events) k.push_back(e.kind);
  EXPECT_EQ(k, (std::vector<Kind>{Kind::Table, Kind::Download}));
  EXPECT_NE(host.events[0].text.find("<td>CD3E</td>"), std::string::npos);
  EXPECT_EQ(host.events[1].name, "table.xlsx");
  EXPECT_EQ(host.events[1].label, "table");
  EXPECT_EQ(host.events[1].mime,
            "application/vnd.openxmlformats-officedocument.spreadsheetml.sheet");
  EXPECT_EQ(host.events[1].text.substr(0, 2), "PK");  // the workbook itself
  host.clear();
  assistant.display_table_summaries({{"table_summaries", table({"A"}, {0.5})}}, "deg");
  EXPECT_EQ(host.events[1].name, "deg.xlsx");
}

TEST_F(ResultDisplay, TwoLevelTablesGetHeadingsAndHyphenatedSheets) {
  json summaries = {{"T cells",
                     {{"Tumor_vs_Normal", table({"CD3E"}, {0.01})},
                      {"Tumor_vs_Adjacent", table({"CD8A"}, {0.02})}}},
                    {"B cells", table({"MS4A1"}, {0.03})}};
  assistant.display_table_summaries({{"data", "gene"}, {"table_summaries", summaries}});
  EXPECT_EQ(host.console(),
            "=== Selected genes for T cells ===\n=== Selected genes for B cells ===\n");
  auto tables = host.of_kind(Kind::Table);
  ASSERT_EQ(tables.size(), 3u);
  EXPECT_NE(tables[0].text.find("CD3E"), std::string::npos);
  EXPECT_NE(tables[2].text.find("MS4A1"), std::string::npos);
  ASSERT_EQ(host.of_kind(Kind::Download).size(), 1u);
  EXPECT_EQ(host.of_kind(Kind::Download)[0].name, "table.xlsx");
}

TEST_F(ResultDisplay, EmptyOrBrokenTablesProduceNoLink) {
  assistant.display_table_summaries({{"table_summaries", json::object()}});
  EXPECT_TRUE(host.events.empty());
  // Without "data" the heading cannot be made: reported, no link.
  assistant.display_table_summaries({{"table_summaries", {{"T cells", table({"A"}, {0.1})}}}});
  EXPECT_EQ(host.console(), "❌ ERROR: KeyError : 'data'\n");
  EXPECT_TRUE(host.of_kind(Kind::Download).empty());
  host.clear();
  assistant.display_table_summaries({{"data", "gene"}});
  EXPECT_EQ(host.console().rfind("❌ ERROR: TypeError : ", 0), 0u);
}

TEST_F(ResultDisplay, LongTablesShowTheirEdges) {
  std::vector<std::string> genes;
  std::vector<double> p;
  for (int i = 0; i < 500; ++i) {
    genes.push_back("G" + std::to_string(i));
    p.push_back(i / 1000.0);
  }
  std::string html = table_to_html(Table::from_json(table(genes, p)));
  EXPECT_NE(html.find(">G0<"), std::string::npos);
  EXPECT_NE(html.find(">G499<"), std::string::npos);
  EXPECT_EQ(html.find(">G250<"), std::string::npos);
  EXPECT_NE(html.find("500 rows × 2 columns"), std::string::npos);
}

TEST_F(ResultDisplay, ExplanationWithTitleOffersAWordDocument) {
  assistant.display_explanation("Some **text**");
  ASSERT_EQ(host.events.size(), 1u);
  host.clear();
  assistant.display_explanation("Some **text**", testing::make_png_b64(8, 8), "T cell UMAP");
  ASSERT_EQ(host.of_kind(Kind::Html).size(), 1u);
  auto files = host.of_kind(Kind::Download);
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(files[0].name, "T cell UMAP.docx");
  EXPECT_EQ(files[0].label, "document");
  EXPECT_EQ(host.console(), " \n");
}

TEST_F(ResultDisplay, CodeSnippetGoesToTheNextCell) {
  show_code_snippet(host, {{"plot_code", "plot_umap(adata)"}});
  show_code_snippet(host, "x = 1");
  show_code_snippet(host, {{"other", "x"}});
  show_code_snippet(host, {{"plot_code", nullptr}});
  show_code_snippet(host, nullptr);
  show_code_snippet(host, {{"code", "y"}}, "code");
  auto cells = host.of_kind(Kind::NextInput);
  ASSERT_EQ(cells.size(), 3u);
  EXPECT_EQ(cells[0].text, "plot_umap(adata)");
  EXPECT_EQ(cells[1].text, "x = 1");
  EXPECT_EQ(cells[2].text, "y");
  EXPECT_EQ(host.of_kind(Kind::Print).size(), 3u);
  EXPECT_EQ(host.of_kind(Kind::Print)[0].text, "❌ ERROR: Code snippet not available.");
}

TEST_F(ResultDisplay, TreePartNeedsItsTarget) {
  EXPECT_THROW(assistant.show_tree_partial(json::object()), KeyError);
  assistant.show_tree_partial({{"tree_target", "not_specified"}});
  std::string text = host.console();
  EXPECT_EQ(text.rfind("AnnData object with n_obs × n_vars = 4 × 3\n", 0), 0u);
  EXPECT_NE(text.find("celltype_major (category, 3 categories)"), std::string::npos) << text;
  EXPECT_NE(text.find("usr_param (3 keys)"), std::string::npos);
}

// Called directly, each function shows through the host it is given, whatever host the
// thread has installed.
TEST(ResultDisplayHost, EverythingGoesToTheHostGiven) {
  RecordingHost given, stray;
  ScopedHost scoped{stray};
  display_table_summaries(given, {{"table_summaries", table({"CD3E"}, {0.01})}});
  display_explanation(given, "Some text", testing::make_png_b64(8, 8), "T cells");
  display_plot_img_base64(given, {{"img_base64", json::array({"broken"})}});
  display_plot_img_base64(given, nullptr);
  show_dataset_tree(given, *testing::tiny_dataset(), "not_specified");
  EXPECT_TRUE(stray.events.empty());
  std::vector<Kind> k;
  for (auto& e : given.events) k.push_back(e.kind);
  EXPECT_EQ(k,
            (std::vector<Kind>{Kind::Table, Kind::Download, Kind::Html, Kind::Download, Kind::Print,
                               Kind::Print, Kind::Print, Kind::Print, Kind::Error, Kind::Print}));
  EXPECT_EQ(given.events[3].name, "T cells.docx");
}

TEST(ShowTree, NestedUnsIsDrawnAndCut) {
  UnsNode node = UnsNode::from_json(
      {{"T cells", {{"up", {{"n", 3}}}, {"down", json::array({1, 2})}}}, {"note", "hello"}});
  EXPECT_EQ(show_tree(node),
            "dict (2 keys)\n"
            "├── T cells (2 keys)\n"
            "│   ├── up (1 key)\n"
            "│   │   └── n: 3 (int64)\n"
            "│   └── down: array 2 (int64)\n"
            "└── note: hello (str)");
  json many = json::object();
  for (int i = 0; i < 40; ++i) many["k" + std::to_string(i)] = i;
  std::string cut = show_tree(UnsNode::from_json(many), ShowTreeOptions{5, 8});
  EXPECT_NE(cut.find("└── … (35 more)"), std::string::npos);
  std::string shallow = show_tree(node, ShowTreeOptions{30, 1});
  EXPECT_NE(shallow.find("│   └── …"), std::string::npos);
  EXPECT_EQ(shallow.find("up"), std::string::npos);
}

}  // namespace
}  // namespace norvex
