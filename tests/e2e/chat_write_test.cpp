// `norvex chat` writing files it must not harm: `:write` over what is not a regular file,
// over the source through another spelling of its name, errors naming the user's file;
// the key kept out of the written dataset; a short key that leaves images and workbooks
// whole while it is still taken out of the text.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include "norvex/dataset/anndata.hpp"
#include "norvex/documents/ooxml.hpp"
#include "support/fixtures.hpp"
#include "support/stub_model_server.hpp"
#include "support/test_support.hpp"

namespace norvex {
namespace {

using namespace norvex::testing;
namespace fs = std::filesystem;

std::string chat(const fs::path& data, const StubModelServer& stub, const fs::path& out,
                 const std::string& key, const std::string& extra = "") {
  return "env -u OPENAI_API_KEY " + shell_quote(norvex_binary().string()) + " chat --data " +
         shell_quote(data.string()) + " --base-url " + shell_quote(stub.base_url()) +
         " --api-key " + shell_quote(key) + " --out " + shell_quote(out.string()) + extra;
}

fs::path demo(const TempDir& dir) {
  const fs::path data = dir / "demo.h5ad";
  CommandResult gen = run_command(shell_quote(norvex_binary().string()) +
                                  " demo-data --cells 500 " + shell_quote(data.string()));
  EXPECT_EQ(gen.exit_code, 0) << gen.err;
  return data;
}

void script_saved_umap(StubModelServer& stub, const std::string& explanation) {
  stub.enqueue_openai_text(dump_json(router_record(
      {{"plot", true}, {"explain_data", true}, {"save", true}}, {{"selected_tool", "plot_umap"}})));
  stub.enqueue_openai_text(R"({"plot_cfg": {"color_by": "celltype_minor"}})");
  stub.enqueue_openai_text(explanation);
}

TEST(ChatWrite, OnlyRegularFilesAreWrittenOverAndErrorsNameTheUsersFile) {
  TempDir dir;
  const fs::path data = demo(dir);
  StubModelServer stub;
  script_saved_umap(stub, "UMAP explained.");
  const fs::path fifo = dir / "pipe.h5ad";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
  // A device node of our own (root only): what :write /dev/null would have replaced.
  const fs::path device = dir / "null.h5ad";
  const bool have_device = mknod(device.c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0;
  const fs::path missing = dir / "no-such-folder" / "x.h5ad";
  const fs::path good = dir / "good.h5ad";
  // From the data's folder, while the data was opened by its absolute path.
  const std::string command = "cd " + shell_quote(dir.path().string()) + " && " +
                              chat(data, stub, dir / "s", "sk-write-test-key");
  CommandResult r =
      run_command(command,
                  "UMAP, save it\n:write pipe.h5ad\n:write " + device.string() + "\n:write " +
                      missing.string() + "\n:write ./demo.h5ad\n:write " + good.string() + "\n",
                  240);
  ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("❌ ERROR: Could not write pipe.h5ad: "), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("pipe.h5ad': it exists and is not a regular file"), std::string::npos)
      << r.out;
  EXPECT_TRUE(fs::is_fifo(fs::symlink_status(fifo)));
  if (have_device) {
    EXPECT_NE(r.out.find("❌ ERROR: Could not write " + device.string() + ": "), std::string::npos);
    EXPECT_TRUE(fs::is_character_file(fs::symlink_status(device)));
  }
  EXPECT_NE(r.out.find("❌ ERROR: Could not write " + missing.string() + ": "), std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("❌ ERROR: ./demo.h5ad is the dataset this session was opened from; add "
                       "--force to overwrite it."),
            std::string::npos)
      << r.out;
  EXPECT_EQ(r.out.find(".norvex-write-"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find(".tmp-"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("ℹ️ INFO: Wrote " + good.string() + " (1 saved query)."),
            std::string::npos)
      << r.out;
  EXPECT_EQ(AnnData::read_h5ad(data)->uns.contains("norvex_tx"), false);  // source untouched
}

TEST(ChatWrite, TheKeyNeverReachesTheWrittenDataset) {
  TempDir dir;
  const fs::path data = demo(dir);
  const std::string key = "sk-dataset-secret-8080";
  StubModelServer stub;
  script_saved_umap(stub, "Made for " + key + ": clusters separate.");
  const fs::path written = dir / "written.h5ad";
  CommandResult r = run_command(
      chat(data, stub, dir / "s", key, " --save-on-exit " + shell_quote(written.string())),
      "UMAP for " + key + ", save it\n:saved\n", 240);
  ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
  ASSERT_TRUE(fs::exists(written)) << r.out;
  // Not in any group name, text or attribute of the file.
  EXPECT_EQ(read_file(written).find(key), std::string::npos);
  auto back = AnnData::read_h5ad(written);
  ASSERT_TRUE(back->uns.contains("norvex_tx"));
  EXPECT_EQ(back->uns.at("norvex_tx").dict().keys(),
            std::vector<std::string>{"UMAP for [redacted], save it"});
  const json tx = back->uns.at("norvex_tx").dict().at("UMAP for [redacted], save it").to_json();
  EXPECT_EQ(tx["explanation"], "Made for [redacted]: clusters separate.");
}

TEST(ChatSecrets, AShortKeyLeavesImagesAndWorkbooksWholeAndGoesOnlyAsAWord) {
  TempDir dir;
  const fs::path data = demo(dir);
  // The same conversation with a long key and with a one-letter one: the same figure and
  // a workbook that opens, and "x" taken out only where it stands alone.
  std::map<std::string, std::string> figures;
  for (const std::string key : {"sk-long-enough-key-1", "x"}) {
    StubModelServer stub;
    stub.enqueue_openai_text(dump_json(router_record(
        {{"plot", true}, {"table_summary", true}},
        {{"selected_tool", "plot_celltype_population"}, {"target_celltype", "B cells"}})));
    stub.enqueue_openai_text(R"({"compute_cfg": {"group_by": "condition"}})");
    const fs::path out = dir / (key == "x" ? "short" : "long");
    CommandResult r = run_command(chat(data, stub, out, key), "proportions, key x, xenon\n", 240);
    ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
    ASSERT_TRUE(fs::exists(out / "figure-1.png")) << r.out;
    figures[key] = read_file(out / "figure-1.png");
    ASSERT_TRUE(fs::exists(out / "table.xlsx")) << r.out;
    EXPECT_NO_THROW(ooxml::zip_read(read_file(out / "table.xlsx")));
    if (key == "x") {
      const std::string transcript = read_file(out / "transcript.html");
      EXPECT_NE(transcript.find("proportions, key [redacted], xenon"), std::string::npos);
      if (oracle_python_available()) {
        CommandResult py = run_oracle_python(
            "import openpyxl, sys\n"
            "wb = openpyxl.load_workbook(sys.argv[1])\n"
            "print(wb.active.max_row > 1)\n",
            shell_quote((out / "table.xlsx").string()));
        EXPECT_EQ(py.out, "True\n") << py.err;
      }
    }
  }
  EXPECT_EQ(figures["x"], figures["sk-long-enough-key-1"]);
  EXPECT_EQ(count_occurrences(figures["x"], "[redacted]"), 0u);
}

TEST(ToolCommand, WritesOnlyRegularFilesOfItsOwnAndRefusesEndlessArguments) {
  TempDir dir;
  const fs::path data = demo(dir);
  auto tool = [&](const fs::path& out, const std::string& args) {
    return run_command(shell_quote(norvex_binary().string()) + " tool plot_umap --data " +
                           shell_quote(data.string()) + " --args " + shell_quote(args) + " --out " +
                           shell_quote(out.string()),
                       "", 120);
  };
  // A link planted where the figure goes: the file it points to is left alone.
  const fs::path linked = dir / "linked";
  fs::create_directories(linked);
  write_file(dir / "victim.txt", "keep me");
  fs::create_symlink(dir / "victim.txt", linked / "plot_umap.png");
  CommandResult r = tool(linked, "{}");
  EXPECT_NE(r.exit_code, 0);
  EXPECT_NE(r.err.find("plot_umap.png: it is a symbolic link, which is not followed"),
            std::string::npos)
      << r.err;
  EXPECT_EQ(read_file(dir / "victim.txt"), "keep me");

  // A FIFO where the summary goes: refused at once, not waited on.
  const fs::path piped = dir / "piped";
  fs::create_directories(piped);
  ASSERT_EQ(mkfifo((piped / "result.json").c_str(), 0644), 0);
  r = tool(piped, "{}");
  EXPECT_NE(r.exit_code, 0);
  EXPECT_NE(r.err.find("result.json: it is not a regular file"), std::string::npos) << r.err;

  // Arguments nested 100,000 deep: the JSON readers' limit, a clean error.
  write_file(dir / "deep.json", std::string(100000, '['));
  r = tool(dir / "deep", "@" + (dir / "deep.json").string());
  EXPECT_EQ(r.exit_code, 1) << r.err;
  EXPECT_NE(r.err.find("--args is not valid JSON (Nesting deeper than"), std::string::npos)
      << r.err;
  r = tool(dir / "fifo-args", "@" + (piped / "result.json").string());
  EXPECT_NE(r.err.find("it is not a regular file"), std::string::npos) << r.err;

  // And an ordinary run still writes its files.
  r = tool(dir / "plain", "{}");
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_TRUE(fs::is_regular_file(dir / "plain" / "result.json"));
}

}  // namespace
}  // namespace norvex
