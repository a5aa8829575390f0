// The precomputed-result tools through the program (`norvex tool`, `norvex chat`) on a demo
// dataset: tables checked against the uns tables and obsm read independently by anndata in
// Debian's Python, the Sankey page opened in Debian's headless Chromium with the network
// off, and one chat question per tool against the stub model service.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <mutex>

#include "support/fixtures.hpp"
#include "support/stub_model_server.hpp"
#include "support/test_support.hpp"

namespace norvex {
namespace {

using namespace norvex::testing;
namespace fs = std::filesystem;

const fs::path& demo_file() {
  static TempDir dir;
  static fs::path path;
  static std::once_flag once;
  std::call_once(once, [] {
    const fs::path out = dir / "demo.h5ad";
    const CommandResult r = run_command(shell_quote(norvex_binary().string()) +
                                        " demo-data --cells 800 " + shell_quote(out.string()));
    if (r.exit_code == 0) path = out;
  });
  return path;
}

// Runs one tool; its outputs land in `out`.
CommandResult run_tool(const std::string& tool, const std::string& args, const fs::path& out) {
  return run_command(shell_quote(norvex_binary().string()) + " tool " + tool + " --data " +
                     shell_quote(demo_file().string()) + " --args " + shell_quote(args) +
                     " --out " + shell_quote(out.string()));
}

// Each script gets the dataset and the tool's output folder, and prints "ok" or the
// disagreement.
void expect_oracle_agrees(const std::string& script, const fs::path& out) {
  if (!oracle_python_available()) GTEST_SKIP() << "Debian's python3 with anndata is absent";
  const CommandResult r = run_oracle_python(
      "import sys, glob, json, numpy as np, pandas as pd, anndata as ad\n"
      "a = ad.read_h5ad(sys.argv[1]); out = sys.argv[2]\n" +
          script,
      shell_quote(demo_file().string()) + " " + shell_quote(out.string()));
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.out, "ok\n") << r.err;
}

class PrecomputedTools : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(demo_file().empty()) << "demo-data failed"; }
  TempDir dir;
};

TEST_F(PrecomputedTools, GseaTableIsTheTopOfTheStoredResultInDrawnOrder) {
  const CommandResult r = run_tool(
      "plot_gsea_go",
      R"({"compute_cfg": {"gsa_key": "GSEA", "celltype": "CD8 T cell", "comparison": "Primary_vs_rest", "pval_cutoff": 1.0, "n_top": 8}})",
      dir.path());
  ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
  expect_oracle_agrees(R"PY(
t = a.uns["GSEA"]["CD8 T cell"]["Primary_vs_rest"]
got = pd.read_csv(out + "/CD8 T cell-Primary_vs_rest.csv", index_col=0)
want = t.sort_values("FDR q-val", kind="stable").head(8)
assert sorted(got["Term"]) == sorted(want["Term"]), (list(got["Term"]), list(want["Term"]))
assert list(got["NES"]) == sorted(got["NES"], reverse=True), "not drawn by NES"
for _, row in got.iterrows():
    src = t[t["Term"] == row["Term"]].iloc[0]
    for c in ["NES", "FDR q-val", "NOM p-val"]:
        assert np.isclose(row[c], src[c]), (row["Term"], c)
    assert row["Lead_genes"] == src["Lead_genes"]
print("ok")
)PY",
                       dir.path());
  EXPECT_TRUE(fs::exists(dir / "plot_gsea_go_1.png"));
  EXPECT_TRUE(fs::exists(dir / "plot_gsea_go_2.png"));
}

TEST_F(PrecomputedTools, CciTableHoldsTheStoredValuesOfThePlottedPairs) {
  const CommandResult r = run_tool(
      "plot_cci_dots", R"({"compute_cfg": {"condition": "Primary", "n_top": 10}})", dir.path());
  ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
  expect_oracle_agrees(R"PY(
t = a.uns["CCI"]["Primary"]
got = pd.read_csv(out + "/Primary.csv", index_col=0)
assert len(got) > 0
assert got["interacting_pair"].nunique() <= 10
for _, row in got.iterrows():
    src = t[(t.interacting_pair == row.interacting_pair) & (t.source == row.source) & (t.target == row.target)]
    assert len(src) == 1, row.to_dict()
    assert np.isclose(src["mean"].iloc[0], row["mean"]) and np.isclose(src["pvalue"].iloc[0], row["pvalue"])
    assert row["significant"] == (row["pvalue"] < 0.05)
# The pairs shown are the strongest significant ones.
sig = t[t.pvalue < 0.05]
best = sig.groupby("interacting_pair")["mean"].max().sort_values(ascending=False)
assert set(got["interacting_pair"]) == set(best.index[:10]), (set(got["interacting_pair"]), list(best.index[:10]))
print("ok")
)PY",
                       dir.path());
}

TEST_F(PrecomputedTools, CnvGroupSummariesAgreeWithTheStoredMatrix) {
  const CommandResult r = run_tool("plot_cnv_heatmap", "{}", dir.path());
  ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
  expect_oracle_agrees(R"PY(
got = pd.read_csv(out + "/cnv.csv", index_col=0)
x = np.asarray(a.obsm["X_cnv"], dtype=float)
g = a.obs["celltype_major"].astype(str).values
for _, row in got.iterrows():
    m = g == row["celltype_major"]
    assert m.sum() == row["n_cells"], row.to_dict()
    assert np.isclose(np.abs(x[m]).mean(axis=1).mean(), row["mean_abs_cnv"], rtol=1e-5), row.to_dict()
assert got["n_cells"].sum() == (a.obs["celltype_major"].notna()).sum()
print("ok")
)PY",
                       dir.path());
}

// `norvex tool` hands back the snippet the chat shows: in result.json and as reproduce.py.
TEST_F(PrecomputedTools, ToolRunCarriesTheReproductionSnippet) {
  const CommandResult r =
      run_tool("plot_cnv_heatmap", R"({"compute_cfg": {"groupby": "celltype_minor"}})", dir.path());
  ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
  const json summary = json::parse(read_file(dir / "result.json"));
  ASSERT_TRUE(summary.contains("plot_code")) << summary.dump();
  const std::string code = summary["plot_code"].get<std::string>();
  EXPECT_NE(code.find("plot_cnv_heatmap("), std::string::npos) << code;
  EXPECT_NE(code.find("celltype_minor"), std::string::npos) << code;
  const std::string file = read_file(dir / "reproduce.py");
  EXPECT_EQ(file.substr(0, code.size()), code);
  EXPECT_NE(r.out.find("reproduce.py"), std::string::npos) << r.out;
  expect_oracle_agrees(
      "compile(open(out + '/reproduce.py').read(), 'reproduce.py', 'exec')\n"
      "print('ok')\n",
      dir.path());
}

TEST_F(PrecomputedTools, SankeyFlowsAreTheCellCounts) {
  const CommandResult r = run_tool("plot_sankey", "{}", dir.path());
  ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
  expect_oracle_agrees(R"PY(
got = pd.read_csv(out + "/flows.csv", index_col=0)
o = a.obs
for (fl, tl), part in got.groupby(["from_level", "to_level"]):
    ct = pd.crosstab(o[fl].astype(str), o[tl].astype(str))
    for _, row in part.iterrows():
        assert ct.loc[row["from"], row["to"]] == row["n_cells"], row.to_dict()
    assert part["n_cells"].sum() == len(o)
    assert (ct.values > 0).sum() == len(part)
print("ok")
)PY",
                       dir.path());
}

// The page in a real browser, with every proxy pointing nowhere so any network use fails.
TEST_F(PrecomputedTools, SankeyPageDrawsInHeadlessChromiumWithoutNetwork) {
  const fs::path chromium = "/usr/bin/chromium";
  if (!fs::exists(chromium))
    GTEST_SKIP() << "/usr/bin/chromium is absent: install Debian's chromium";
  const CommandResult r =
      run_tool("plot_sankey", R"({"levels": ["condition", "celltype_major"]})", dir.path());
  ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
  const fs::path page = dir / "plot_sankey.html";
  ASSERT_TRUE(fs::exists(page));
  const std::string flags =
      " --headless --no-sandbox --disable-gpu --no-first-run --disable-extensions"
      " --proxy-server=127.0.0.1:9 --proxy-bypass-list='<-loopback>'"
      " --host-resolver-rules='MAP * ~NOTFOUND' --user-data-dir=" +
      shell_quote((dir / "profile").string());
  const std::string url = shell_quote("file://" + page.string());
  const CommandResult dom = run_command(chromium.string() + flags + " --dump-dom " + url, "", 120);
  ASSERT_EQ(dom.exit_code, 0) << dom.err;
  // The script ran and drew every link at its count's width.
  EXPECT_NE(dom.out.find("data-ready=\"1\""), std::string::npos) << dom.out.substr(0, 2000);
  write_file(dir / "dom.html", dom.out);
  const CommandResult check = run_oracle_python(
      R"PY(
import sys, re, json
dom = open(sys.argv[1]).read()
data = json.loads(re.search(r'id="sankey-data">(.*?)</script>', dom, re.S).group(1))
tags = re.findall(r'<path [^>]*data-link="[^>]*>', dom)
assert len(tags) == len(data["links"]), (len(tags), len(data["links"]))
for tag in tags:
    i = int(re.search(r'data-link="(\d+)"', tag).group(1))
    w = float(re.search(r'stroke-width="([0-9.e+-]+)"', tag).group(1))
    n = float(re.search(r'data-count="([0-9.e+-]+)"', tag).group(1))
    assert n == data["links"][i]["count"], i
    assert abs(w - max(n * data["px_per_cell"], 0.5)) < 1e-6, (i, w, n)
print("ok")
)PY",
      shell_quote((dir / "dom.html").string()));
  EXPECT_EQ(check.out, "ok\n") << check.err;

  // The screenshot shows the diagram: coloured bands, not a blank or error page.
  const fs::path shot = dir / "sankey.png";
  const CommandResult s = run_command(chromium.string() + flags + " --window-size=1200,900" +
                                          " --screenshot=" + shell_quote(shot.string()) + " " + url,
                                      "", 120);
  ASSERT_TRUE(fs::exists(shot)) << s.err;
  const std::string png = read_file(shot);
  EXPECT_LT(count_pixels(png, 255, 255, 255), 1200u * 900u * 9 / 10) << "nearly blank";
  // The first condition's node in the palette's first colour, as the PNG draws it.
  EXPECT_GT(count_pixels(png, 0xE6, 0x9F, 0x00), 300u);
  // For looking at it: NORVEX_KEEP_SCREENSHOT=path keeps a copy.
  if (const char* keep = std::getenv("NORVEX_KEEP_SCREENSHOT"))
    fs::copy_file(shot, keep, fs::copy_options::overwrite_existing);
}

json route_to(const std::string& tool) {
  return router_record({{"plot", true}, {"table_summary", true}, {"explain_data", true}},
                       {{"selected_tool", tool}, {"target_celltype", "CD8 T cell"}}, 9);
}

TEST_F(PrecomputedTools, OneChatQuestionPerTool) {
  StubModelServer stub;
  const std::vector<std::pair<std::string, std::string>> plans = {
      {"plot_gsea_go",
       R"({"compute_cfg": {"gsa_key": "GSA_up", "celltype": "CD8 T cell", "comparison": "Primary_vs_rest"}})"},
      {"plot_cci_dots",
       R"({"compute_cfg": {"conditions": ["Normal", "Primary"], "target_celltypes": ["CD8 T cell"]}})"},
      {"plot_cnv_heatmap",
       R"({"compute_cfg": {"groupby": "celltype_major", "split_by": "condition"}})"},
      {"plot_sankey", R"({})"}};
  for (auto& [tool, plan] : plans) {
    stub.enqueue_openai_text(dump_json(route_to(tool)), 10, 5, 15);
    stub.enqueue_openai_text(plan, 10, 5, 15);
    stub.enqueue_openai_text("## Findings for " + tool + "\nA clear pattern.", 10, 5, 15);
  }
  const std::string cmd = shell_quote(norvex_binary().string()) + " chat --data " +
                          shell_quote(demo_file().string()) + " --base-url " +
                          shell_quote(stub.base_url()) + " --api-key sk-x --out " +
                          shell_quote((dir / "s").string());
  const CommandResult r = run_command(cmd,
                                      "GO terms of CD8 T cells in Primary\n"
                                      "Interactions towards CD8 T cells, Normal vs Primary\n"
                                      "CNV heatmap by cell type and condition\n"
                                      "Sankey of the annotation levels\n",
                                      240);
  ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
  EXPECT_EQ(count_occurrences(r.out, "🛠️ Generating plots .. done ("), 4u) << r.out;
  const std::string t = read_file(dir / "s" / "transcript.html");
  for (auto& [tool, plan] : plans)
    EXPECT_NE(t.find("Findings for " + tool), std::string::npos) << tool;
  EXPECT_EQ(t.find("not available yet"), std::string::npos);
  EXPECT_EQ(t.find("Traceback"), std::string::npos);
  EXPECT_EQ(t.find("❌ ERROR"), std::string::npos) << r.out;
}

}  // namespace
}  // namespace norvex

namespace norvex {
namespace {

using namespace norvex::testing;
namespace fs = std::filesystem;

// Upstream shapes, written by anndata from the real PBMC file: cell types with "/" (nested
// groups), fgsea-style GSEA columns, CellPhoneDB's wide means/pvalues tables keyed
// "source|target", a float32 CNV matrix with infercnvpy's chr_pos.
const char* kUpstreamShapes = R"PY(
import sys
import numpy as np, pandas as pd, anndata as ad
a = ad.read_h5ad(sys.argv[1])
rng = np.random.default_rng(3)
cts = sorted(set(a.obs["bulk_labels"].astype(str)))
a.obs["celltype_major"] = pd.Categorical(a.obs["bulk_labels"].astype(str))
a.obs["condition"] = pd.Categorical(np.where(rng.random(a.n_obs) < 0.5, "Normal", "Tumor"))
def gsea():
    return pd.DataFrame({"pathway": ["HALLMARK_%d_VERY_LONG_PATHWAY_NAME_FOR_WRAPPING" % i for i in range(6)],
                         "pval": [1e-4, 1e-3, 0.01, 0.02, 0.2, 0.5],
                         "padj": [1e-3, 5e-3, 0.03, 0.04, 0.3, 0.6],
                         "NES": [2.2, -1.9, 1.5, -1.4, 0.8, 0.2],
                         "size": [40, 35, 30, 25, 20, 15],
                         "leadingEdge": ["A;B;C", "D;E", "F", "G;H;I;J", "K", "L"]})
a.uns["GSEA"] = {ct: {"Tumor_vs_rest": gsea()} for ct in cts}
pairs = ["SPP1_CD44", "MIF_CD74", "CXCL12_CXCR4"]
cols = [s + "|" + t for s in cts[:3] for t in cts[:3]]
means = pd.DataFrame(rng.uniform(0, 2, (3, len(cols))), columns=cols)
means.insert(0, "interacting_pair", pairs)
pv = pd.DataFrame(rng.choice([0.0, 0.01, 0.5], (3, len(cols))), columns=cols)
pv.insert(0, "interacting_pair", pairs)
a.uns["CCI"] = {"Tumor": {"means": means, "pvalues": pv}}
a.obsm["X_cnv"] = rng.normal(0, 0.05, (a.n_obs, 60)).astype(np.float32)
a.uns["cnv"] = {"chr_pos": {"chr1": 0, "chr2": 20, "chr3": 45}}
a.write_h5ad(sys.argv[2])
)PY";

TEST(UpstreamShapes, ToolsReadNestedNamesWideTablesAndAStoredCnvMatrix) {
  const fs::path shared = shared_data_dir();
  if (shared.empty()) GTEST_SKIP() << "the shared data folder ../shared/data is absent";
  if (!oracle_python_available()) GTEST_SKIP() << "Debian's python3 with anndata is absent";
  TempDir dir;
  const fs::path file = dir / "upstream.h5ad";
  const CommandResult w = run_oracle_python(
      kUpstreamShapes, shell_quote((shared / "pbmc68k_reduced_anndata08_csr.h5ad").string()) + " " +
                           shell_quote(file.string()));
  ASSERT_EQ(w.exit_code, 0) << w.err;
  auto tool = [&](const std::string& name, const std::string& args, const std::string& out) {
    return run_command(shell_quote(norvex_binary().string()) + " tool " + name + " --data " +
                       shell_quote(file.string()) + " --args " + shell_quote(args) + " --out " +
                       shell_quote((dir / out).string()));
  };
  CommandResult r =
      tool("plot_gsea_go", R"({"compute_cfg": {"gsa_key": "GSEA", "celltype": "CD4+/CD25 T Reg"}})",
           "gsea");
  ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
  std::string gsea;  // the one table, under whatever file name the slash became
  for (const auto& e : fs::directory_iterator(dir / "gsea"))
    if (e.path().extension() == ".csv") gsea = read_file(e.path());
  EXPECT_EQ(count_occurrences(gsea, "\n"), 5u) << gsea;  // header and the four with padj < 0.05
  r = tool("plot_cci_dots", "{}", "cci");
  ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
  EXPECT_NE(read_file(dir / "cci" / "Tumor.csv").find("SPP1_CD44"), std::string::npos);
  r = tool("plot_cnv_heatmap", "{}", "cnv");
  ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
  EXPECT_NE(read_file(dir / "cnv" / "cnv.csv").find("CD4+/CD25 T Reg"), std::string::npos);
  r = tool("plot_gsea_go", R"({"compute_cfg": {"gsa_key": "GSEA", "celltype": "Platelet"}})",
           "bad");
  EXPECT_NE(r.exit_code, 0);
  EXPECT_NE((r.out + r.err).find("CD4+/CD25 T Reg"), std::string::npos) << r.out << r.err;
}

}  // namespace
}  // namespace norvex

namespace norvex {
namespace {

using namespace norvex::testing;
namespace fs = std::filesystem;

TEST(ToolFormats, PngSvgAndPdfAtAChosenResolutionFromOneRun) {
  ASSERT_FALSE(demo_file().empty()) << "demo-data failed";
  TempDir dir;
  const std::string base = shell_quote(norvex_binary().string()) + " tool plot_gsea_go --data " +
                           shell_quote(demo_file().string()) + " --out " +
                           shell_quote(dir.path().string());
  const CommandResult r = run_command(base + " --format png,svg,pdf --dpi 300");
  ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
  for (const char* ext : {".png", ".svg", ".pdf"})
    for (const char* n : {"_1", "_2"})
      EXPECT_TRUE(fs::exists(dir / (std::string("plot_gsea_go") + n + ext))) << n << ext;
  EXPECT_EQ(read_file(dir / "plot_gsea_go_1.pdf").rfind("%PDF-", 0), 0u);
  // The PNG has 300 pixels an inch of the SVG's page; the SVG is well-formed XML.
  if (!oracle_python_available()) GTEST_SKIP() << "Debian's python3 is absent";
  const CommandResult o = run_oracle_python(
      "import sys, struct, json, xml.etree.ElementTree as ET\n"
      "out = sys.argv[1]\n"
      "root = ET.parse(out + '/plot_gsea_go_1.svg').getroot()\n"
      "w_pt = float(root.get('width').replace('pt', ''))\n"
      "png = open(out + '/plot_gsea_go_1.png', 'rb').read()\n"
      "w_px = struct.unpack('>I', png[16:20])[0]\n"
      "assert abs(w_px - w_pt / 72 * 300) < 1.5, (w_px, w_pt)\n"
      "files = json.load(open(out + '/result.json'))['images']\n"
      "assert files[:3] == ['plot_gsea_go_1.png', 'plot_gsea_go_1.svg', 'plot_gsea_go_1.pdf'], "
      "files\n"
      "print('ok')\n",
      shell_quote(dir.path().string()));
  EXPECT_EQ(o.out, "ok\n") << o.err;

  // Only SVG asked: no PNG written. Unknown formats and absurd resolutions are refused.
  TempDir svg_only;
  const CommandResult s =
      run_command(shell_quote(norvex_binary().string()) + " tool plot_gsea_go --data " +
                  shell_quote(demo_file().string()) + " --out " +
                  shell_quote(svg_only.path().string()) + " --format svg");
  ASSERT_EQ(s.exit_code, 0) << s.err;
  EXPECT_TRUE(fs::exists(svg_only / "plot_gsea_go_1.svg"));
  EXPECT_FALSE(fs::exists(svg_only / "plot_gsea_go_1.png"));
  const CommandResult bad = run_command(base + " --format png,tiff");
  EXPECT_NE(bad.exit_code, 0);
  EXPECT_NE((bad.out + bad.err).find("unknown figure format 'tiff'"), std::string::npos)
      << bad.out << bad.err;
  const CommandResult huge = run_command(base + " --dpi 5000");
  EXPECT_NE(huge.exit_code, 0);
  EXPECT_NE((huge.out + huge.err).find("--dpi must be between 36 and 1200"), std::string::npos);
}

}  // namespace
}  // namespace norvex
