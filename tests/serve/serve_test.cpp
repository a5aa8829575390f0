// `norvex serve` as the page uses it, on loopback against the stub model service: questions
// stream their events in order, a second question waits for the first and says so, a
// failing question is reported in its cell and the next one is answered, a reload replays
// the conversation, the key reaches the service and nothing else, and access needs the
// token when the server listens beyond its default address.
#include <gtest/gtest.h>
#include <httplib.h>

#include <signal.h>

#include <thread>

#include "support/fixtures.hpp"
#include "support/real_shaped_dataset.hpp"
#include "support/serve_process.hpp"
#include "support/stub_model_server.hpp"
#include "support/test_support.hpp"

namespace norvex {
namespace {

using namespace norvex::testing;
using namespace std::chrono_literals;

const std::string kKey = "sk-serve-secret-key-98765";

// The events of the stream from `since` until `done` holds for them (or 90 s pass).
std::vector<json> read_events(int port, const std::function<bool(const std::vector<json>&)>& done,
                              size_t since = 0, httplib::Headers headers = {}) {
  httplib::Client cli("127.0.0.1", port);
  cli.set_read_timeout(20, 0);
  std::vector<json> events;
  std::string buffer;
  const auto deadline = std::chrono::steady_clock::now() + 90s;
  cli.Get("/api/events?since=" + std::to_string(since), headers, [&](const char* data, size_t len) {
    buffer.append(data, len);
    size_t end;
    while ((end = buffer.find("\n\n")) != std::string::npos) {
      const std::string block = buffer.substr(0, end);
      buffer.erase(0, end + 2);
      // Named events (the greeting naming the server run) are not conversation events.
      if (block.rfind("event: ", 0) == 0) continue;
      const size_t at = block.find("data: ");
      if (at != std::string::npos) events.push_back(json::parse(block.substr(at + 6)));
    }
    return !done(events) && std::chrono::steady_clock::now() < deadline;
  });
  return events;
}

httplib::Result ask(int port, const std::string& question, const std::string& extra = "") {
  httplib::Client cli("127.0.0.1", port);
  json body = {{"question", question}};
  return cli.Post("/api/ask", {{"X-Norvex", "1"}}, extra.empty() ? body.dump() : extra,
                  "application/json");
}

size_t find_event(const std::vector<json>& events, long long cell, const std::string& type) {
  for (size_t i = 0; i < events.size(); ++i)
    if (events[i]["cell"] == cell && events[i]["type"] == type) return i;
  return std::string::npos;
}

bool ended(const std::vector<json>& events, long long cell) {
  return find_event(events, cell, "end") != std::string::npos;
}

json route_to(const std::string& tool) {
  return router_record({{"plot", true},
                        {"table_summary", true},
                        {"explain_data", true},
                        {"args", true},
                        {"code", true}},
                       {{"selected_tool", tool}}, 9);
}

// One demo dataset for the whole program (the server only reads it): generating it is the
// slowest step, under the sanitizers most of all.
std::string demo_dataset(const TempDir&) {
  static TempDir shared;
  static const std::string path = [] {
    const auto p = shared / "demo.h5ad";
    CommandResult gen = run_command(shell_quote(norvex_binary().string()) +
                                    " demo-data --cells 500 " + shell_quote(p.string()));
    EXPECT_EQ(gen.exit_code, 0) << gen.err;
    return p.string();
  }();
  return path;
}

TEST(ServePage, QuestionsStreamInOrderOneAtATimeAndAFailureLeavesTheServerWorking) {
  TempDir dir;
  const std::string data = demo_dataset(dir);
  StubModelServer stub;
  // 1: a figure with its table, code and explanation; the router answer comes late, so
  // question 2 is asked while 1 runs. 2: the tree. 3: a router that never answers in JSON
  // (quoting the key back). 4: the tree again, after the failure.
  stub.enqueue(StubProvider::OpenAI,
               StubResponse::of_json(StubModelServer::openai_response(
                                         dump_json(route_to("plot_celltype_population"))))
                   .with_delay(1500ms));
  stub.enqueue_openai_text(R"({"compute_cfg": {"group_by": "condition"}})");
  stub.enqueue_openai_text("## Findings\nProportions differ by condition.");
  stub.enqueue_openai_text(dump_json(router_record({{"tree", true}})));
  stub.enqueue_openai_text("Sorry, I cannot help.");
  stub.enqueue_openai_text("Still no JSON, key " + kKey);
  stub.enqueue_openai_text(dump_json(router_record({{"tree", true}})));

  ServeProcess serve({"--data", data, "--base-url", stub.base_url(), "--api-key", kKey, "--port",
                      "0", "--out", (dir / "out").string()},
                     dir.path());
  const std::string url = serve.wait_for_url();
  ASSERT_FALSE(url.empty()) << serve.out() << serve.err();
  EXPECT_EQ(url, "http://127.0.0.1:" + std::to_string(serve.port()) + "/");
  const int port = serve.port();

  httplib::Client cli("127.0.0.1", port);
  auto page = cli.Get("/");
  ASSERT_TRUE(page);
  EXPECT_EQ(page->status, 200);
  EXPECT_NE(page->get_header_value("Content-Security-Policy").find("default-src 'none'"),
            std::string::npos);

  // The side panel is filled first (the data context and tree, the saved queries).
  auto r1 = ask(port, "Cell-type proportions per condition");
  auto r2 = ask(port, "show the data structure");
  auto r3 = ask(port, "what now?");
  ASSERT_TRUE(r1 && r2 && r3);
  ASSERT_EQ(r1->status, 200) << r1->body;
  const long long c1 = json::parse(r1->body)["cell"], c2 = json::parse(r2->body)["cell"],
                  c3 = json::parse(r3->body)["cell"];
  const auto events = read_events(port, [&](auto& ev) { return ended(ev, c3); });
  ASSERT_TRUE(ended(events, c3)) << events.size();
  auto r4 = ask(port, "트리를 다시 보여줘");
  ASSERT_TRUE(r4);
  const long long c4 = json::parse(r4->body)["cell"];
  const auto all = read_events(port, [&](auto& ev) { return ended(ev, c4); });
  ASSERT_TRUE(ended(all, c4));

  // Sequence numbers count up without gaps.
  for (size_t i = 0; i < all.size(); ++i) EXPECT_EQ(all[i]["seq"], i + 1);
  // Each cell is announced, started and ended in that order, one after the other.
  for (long long c : {c1, c2, c3, c4}) {
    EXPECT_LT(find_event(all, c, "cell"), find_event(all, c, "start")) << c;
    EXPECT_LT(find_event(all, c, "start"), find_event(all, c, "end")) << c;
  }
  EXPECT_LT(find_event(all, c1, "end"), find_event(all, c2, "start"));
  EXPECT_LT(find_event(all, c2, "end"), find_event(all, c3, "start"));
  // The second question was told it waits: the first was running.
  EXPECT_GE(all[find_event(all, c2, "cell")]["ahead"].get<int>(), 1);
  EXPECT_EQ(all[find_event(all, c1, "cell")]["question"], "Cell-type proportions per condition");

  // Question 1: status lines as they happened, then the figure, the table's Excel link, the
  // code and the explanation with its Word link.
  std::string text1, html1;
  std::vector<std::string> images;
  size_t first_text = std::string::npos, first_image = std::string::npos;
  for (size_t i = 0; i < all.size(); ++i) {
    const json& e = all[i];
    if (e["cell"] != c1) continue;
    if (e["type"] == "text") {
      text1 += e["text"].get<std::string>();
      first_text = std::min(first_text, i);
    }
    if (e["type"] == "html") html1 += e["html"].get<std::string>();
    if (e["type"] == "image") {
      images.push_back(e["url"]);
      first_image = std::min(first_image, i);
    }
  }
  EXPECT_NE(text1.find("✅ Analyzing query .. done ("), std::string::npos) << text1;
  EXPECT_NE(text1.find("🛠️ Generating plots .. done ("), std::string::npos) << text1;
  EXPECT_LT(first_text, first_image);
  ASSERT_FALSE(images.empty());
  EXPECT_EQ(find_event(all, c1, "code") != std::string::npos, true);
  EXPECT_NE(html1.find("Findings"), std::string::npos);
  // Downloads point to the server, not to megabytes of base64 in the event.
  EXPECT_EQ(html1.find("href=\"data:"), std::string::npos);
  // <a download="NAME.xlsx" href="files/N/NAME.xlsx">
  const size_t xlsx = html1.find(".xlsx\" href=\"files/");
  ASSERT_NE(xlsx, std::string::npos) << html1.substr(0, 3000);
  const size_t href = xlsx + 13;
  const std::string xlsx_url = "/" + html1.substr(href, html1.find('"', href) - href);
  auto excel = cli.Get(xlsx_url);
  ASSERT_TRUE(excel);
  EXPECT_EQ(excel->status, 200);
  EXPECT_EQ(excel->body.substr(0, 2), "PK");
  EXPECT_NE(excel->get_header_value("Content-Disposition").find("attachment"), std::string::npos);
  auto png = cli.Get("/" + images[0]);
  ASSERT_TRUE(png);
  EXPECT_EQ(png->get_header_value("Content-Type"), "image/png");
  EXPECT_EQ(png->body.substr(1, 3), "PNG");
  EXPECT_EQ(cli.Get("/files/9999/x.png")->status, 404);

  // Question 3 failed in its cell; question 4 was answered after it.
  const json& end3 = all[find_event(all, c3, "end")];
  EXPECT_EQ(end3["ok"], false);
  EXPECT_NE(end3["error"].get<std::string>().find("RuntimeError"), std::string::npos);
  std::string text3;
  for (const auto& e : all)
    if (e["cell"] == c3 && e["type"] == "text")
      text3 += e["text"].get<std::string>() + (e["end"] == true ? "\n" : "");
  // The open status line is closed before the error, as on the terminal.
  EXPECT_NE(text3.find("✅ Analyzing query .. \n❌ ERROR: RuntimeError"), std::string::npos) << text3;
  EXPECT_EQ(all[find_event(all, c4, "end")]["ok"], true);
  EXPECT_EQ(all[find_event(all, c2, "end")]["ok"], true);

  // A reloaded page gets the whole conversation again; a reconnect resumes where it was.
  const auto replay = read_events(port, [&](auto& ev) { return ev.size() >= all.size(); });
  ASSERT_EQ(replay.size(), all.size());
  EXPECT_EQ(replay.back(), all.back());
  const auto resumed = read_events(port, [](auto& ev) { return !ev.empty(); }, 0,
                                   {{"Last-Event-ID", std::to_string(all.size() - 1)}});
  ASSERT_FALSE(resumed.empty());
  EXPECT_EQ(resumed.front()["seq"], all.size());

  // The key went to the service, and nowhere else: not the page, the events, the files,
  // the terminal or the transcript.
  EXPECT_NE(stub.requests()[0].header("authorization").find(kKey), std::string::npos);
  std::string everything = page->body + excel->body + png->body;
  for (const auto& e : all) everything += e.dump();
  EXPECT_NE(everything.find("[redacted]"), std::string::npos);  // the failing answer quoted it
  EXPECT_EQ(everything.find(kKey), std::string::npos);
  EXPECT_EQ(serve.stop(), 0);
  EXPECT_EQ(serve.out().find(kKey), std::string::npos);
  EXPECT_EQ(serve.err().find(kKey), std::string::npos);
  const std::string transcript = read_file(dir / "out" / "transcript.html");
  EXPECT_NE(transcript.find("Cell-type proportions per condition"), std::string::npos);
  EXPECT_NE(transcript.find("❌ ERROR: RuntimeError"), std::string::npos);
  EXPECT_EQ(transcript.find(kKey), std::string::npos);
}

TEST(ServePage, RefusesBadRequestsAndOtherSites) {
  TempDir dir;
  const std::string data = demo_dataset(dir);
  StubModelServer stub;
  ServeProcess serve(
      {"--data", data, "--base-url", stub.base_url(), "--api-key", kKey, "--port", "0", "--out",
       (dir / "out").string(), "--save-on-exit", (dir / "kept.h5ad").string()},
      dir.path());
  ASSERT_FALSE(serve.wait_for_url().empty()) << serve.err();
  const int port = serve.port();
  httplib::Client cli("127.0.0.1", port);

  EXPECT_EQ(ask(port, "   ")->status, 400);
  EXPECT_EQ(ask(port, "", "not json")->status, 400);
  EXPECT_EQ(ask(port, "", R"({"question": 3})")->status, 400);
  EXPECT_EQ(ask(port, "", R"({"question": ":saved", "panel": "elsewhere"})")->status, 400);
  EXPECT_EQ(ask(port, std::string(30000, 'a'))->status, 413);
  // A form posted by another site cannot add the page's header.
  auto forged = cli.Post("/api/ask", R"({"question": "spend the key"})", "text/plain");
  ASSERT_TRUE(forged);
  EXPECT_EQ(forged->status, 403);
  // A name rebound to 127.0.0.1 by another site does not reach the page.
  auto rebound = cli.Get("/", {{"Host", "attacker.example:" + std::to_string(port)}});
  ASSERT_TRUE(rebound);
  EXPECT_EQ(rebound->status, 403);
  EXPECT_EQ(stub.request_count(), 0u);
  EXPECT_EQ(serve.stop(), 0);
  // Stopping writes the dataset with its saved queries, as the chat does.
  EXPECT_TRUE(std::filesystem::exists(dir / "kept.h5ad")) << serve.out() << serve.err();
}

// The text of a cell's console lines once it has ended.
std::string cell_text(int port, long long cell) {
  std::string text;
  for (const auto& e : read_events(port, [&](auto& ev) { return ended(ev, cell); }))
    if (e["cell"] == cell && e["type"] == "text") text += e["text"].get<std::string>() + "\n";
  return text;
}

TEST(ServePage, OtherSitesAreRefusedAndThePageWritesOnlyDatasetsInsideOut) {
  TempDir dir;
  const std::string data = demo_dataset(dir);
  StubModelServer stub;
  const auto out = dir / "out";
  ServeProcess serve({"--data", data, "--base-url", stub.base_url(), "--api-key", kKey, "--port",
                      "0", "--out", out.string()},
                     dir.path());
  ASSERT_FALSE(serve.wait_for_url().empty()) << serve.err();
  const int port = serve.port();
  const std::string self = "http://127.0.0.1:" + std::to_string(port);
  httplib::Client cli("127.0.0.1", port);
  const std::string body = R"({"question": ":saved"})";

  // Another site's page, navigated to or posting with the page's header, is refused.
  EXPECT_EQ(cli.Get("/?ask=x", {{"Sec-Fetch-Site", "cross-site"}})->status, 403);
  EXPECT_EQ(cli.Post("/api/ask", {{"X-Norvex", "1"}, {"Origin", "http://evil.example"}}, body,
                     "application/json")
                ->status,
            403);
  EXPECT_EQ(cli.Post("/api/ask", {{"X-Norvex", "1"}, {"Origin", "null"}}, body, "application/json")
                ->status,
            403);
  // The page itself (same origin, or a typed address) is served.
  EXPECT_EQ(cli.Get("/", {{"Sec-Fetch-Site", "none"}})->status, 200);
  auto own =
      cli.Post("/api/ask", {{"X-Norvex", "1"}, {"Origin", self}, {"Sec-Fetch-Site", "same-origin"}},
               body, "application/json");
  ASSERT_TRUE(own);
  EXPECT_EQ(own->status, 200) << own->body;
  // The page no longer asks what its address says.
  EXPECT_EQ(cli.Get("/")->body.find("getAll('ask')"), std::string::npos);

  // :write from the page: only an .h5ad inside --out (relative names land there).
  write_file(dir / "victim.txt", "precious");
  std::filesystem::create_directories(out);
  std::filesystem::create_symlink(dir.path(), out / "link");
  for (const std::string& bad :
       {":write " + (dir / "victim.txt").string(), ":write " + (dir / "elsewhere.h5ad").string(),
        std::string(":write ../escaped.h5ad"), std::string(":write link/through.h5ad"),
        std::string(":write notes.txt")}) {
    auto r = ask(port, bad);
    ASSERT_TRUE(r);
    const std::string text = cell_text(port, json::parse(r->body)["cell"]);
    EXPECT_NE(text.find("❌ ERROR: From the page, :write writes only an .h5ad file inside"),
              std::string::npos)
        << bad << "\n"
        << text;
  }
  EXPECT_EQ(read_file(dir / "victim.txt"), "precious");
  EXPECT_FALSE(std::filesystem::exists(dir / "elsewhere.h5ad"));
  EXPECT_FALSE(std::filesystem::exists(dir / "escaped.h5ad"));
  EXPECT_FALSE(std::filesystem::exists(dir / "through.h5ad"));
  EXPECT_FALSE(std::filesystem::exists(out / "notes.txt"));
  auto good = ask(port, ":write kept.h5ad");
  ASSERT_TRUE(good);
  const std::string text = cell_text(port, json::parse(good->body)["cell"]);
  EXPECT_NE(text.find("ℹ️ INFO: Wrote"), std::string::npos) << text;
  EXPECT_TRUE(std::filesystem::exists(out / "kept.h5ad"));
  EXPECT_EQ(serve.stop(), 0);
}

TEST(ServePage, BeyondTheDefaultAddressEveryRequestNeedsTheToken) {
  TempDir dir;
  const std::string data = demo_dataset(dir);
  StubModelServer stub;
  stub.enqueue_openai_text(dump_json(router_record({{"tree", true}})));
  ServeProcess serve({"--data", data, "--base-url", stub.base_url(), "--api-key", kKey, "--host",
                      "127.0.0.1", "--port", "0", "--out", (dir / "out").string()},
                     dir.path());
  const std::string url = serve.wait_for_url();
  ASSERT_FALSE(url.empty()) << serve.err();
  const size_t at = url.find("?token=");
  ASSERT_NE(at, std::string::npos) << url;
  const std::string token = url.substr(at + 7);
  EXPECT_GE(token.size(), 32u);
  const int port = serve.port();
  httplib::Client cli("127.0.0.1", port);

  EXPECT_EQ(cli.Get("/")->status, 403);
  EXPECT_EQ(cli.Get("/?token=" + token.substr(1) + "0")->status, 403);
  EXPECT_EQ(cli.Get("/api/events")->status, 403);
  EXPECT_EQ(ask(port, "show the data structure")->status, 403);
  EXPECT_EQ(stub.request_count(), 0u);

  auto page = cli.Get("/?token=" + token);
  ASSERT_TRUE(page);
  EXPECT_EQ(page->status, 200);
  const std::string cookie = page->get_header_value("Set-Cookie");
  EXPECT_NE(cookie.find("HttpOnly"), std::string::npos);
  const std::string pair = cookie.substr(0, cookie.find(';'));
  // The page's own requests carry the cookie.
  auto asked = cli.Post("/api/ask", {{"X-Norvex", "1"}, {"Cookie", pair}},
                        R"({"question": "show the data structure"})", "application/json");
  ASSERT_TRUE(asked);
  ASSERT_EQ(asked->status, 200) << asked->body;
  const long long cell = json::parse(asked->body)["cell"];
  const auto events =
      read_events(port, [&](auto& ev) { return ended(ev, cell); }, 0, {{"Cookie", pair}});
  EXPECT_TRUE(ended(events, cell));
  EXPECT_EQ(stub.request_count(), 1u);
  EXPECT_EQ(serve.stop(), 0);
  EXPECT_EQ(serve.out().find(kKey), std::string::npos);
}

TEST(ServePage, RealShapedDatasetFillsThePanelAndAnswers) {
  std::string why;
  const auto data = real_shaped_dataset(&why);
  if (data.empty()) GTEST_SKIP() << why;
  TempDir dir;
  StubModelServer stub;
  stub.enqueue_openai_text(dump_json(route_to("plot_umap")));
  stub.enqueue_openai_text("{}");
  stub.enqueue_openai_text("## UMAP\nThe cell types separate.");
  ServeProcess serve({"--data", data.string(), "--base-url", stub.base_url(), "--api-key", kKey,
                      "--port", "0", "--out", (dir / "out").string()},
                     dir.path());
  ASSERT_FALSE(serve.wait_for_url().empty()) << serve.out() << serve.err();
  auto r = ask(serve.port(), "UMAP by cell type");
  ASSERT_TRUE(r);
  const long long cell = json::parse(r->body)["cell"];
  const auto all = read_events(serve.port(), [&](auto& ev) { return ended(ev, cell); });
  ASSERT_TRUE(ended(all, cell));
  std::string context, tree;
  bool image = false;
  for (const auto& e : all) {
    if (e["type"] == "context") context = e["text"];
    if (e["type"] == "tree") tree = e["text"];
    if (e["cell"] == cell && e["type"] == "image") image = true;
  }
  EXPECT_NE(context.find("AnnData"), std::string::npos) << context;
  EXPECT_NE(tree.find("raw"), std::string::npos) << tree;
  EXPECT_EQ(all[find_event(all, cell, "end")]["ok"], true) << all.back().dump();
  EXPECT_TRUE(image);
  EXPECT_EQ(serve.stop(), 0);
}

TEST(ServeProgram, ASecondServerOnATakenPortExitsWithAMessage) {
  TempDir dir;
  const std::string data = demo_dataset(dir);
  StubModelServer stub;
  ServeProcess first({"--data", data, "--base-url", stub.base_url(), "--api-key", kKey, "--port",
                      "0", "--out", (dir / "out1").string()},
                     dir.path());
  ASSERT_FALSE(first.wait_for_url().empty()) << first.err();
  const std::string port = std::to_string(first.port());
  const TempDir other;
  ServeProcess second({"--data", data, "--base-url", stub.base_url(), "--api-key", kKey, "--port",
                       port, "--out", (dir / "out2").string()},
                      other.path());
  const auto code = second.wait_exit(30s);
  ASSERT_TRUE(code.has_value()) << "the second server is running beside the first";
  EXPECT_NE(*code, 0);
  EXPECT_NE(second.err().find("cannot listen on 127.0.0.1:" + port +
                              " (is another program using that port?"),
            std::string::npos)
      << second.err();
  EXPECT_EQ(second.out().find("http://"), std::string::npos) << second.out();
  EXPECT_EQ(first.stop(), 0);
}

TEST(ServeProgram, ASecondSignalStopsAtOnceWhileAModelCallHangs) {
  TempDir dir;
  const std::string data = demo_dataset(dir);
  StubModelServer stub;
  stub.enqueue(StubProvider::OpenAI,
               StubResponse::of_json(
                   StubModelServer::openai_response(dump_json(router_record({{"tree", true}}))))
                   .with_delay(8s));
  const auto out = dir / "out";
  ServeProcess serve({"--data", data, "--base-url", stub.base_url(), "--api-key", kKey, "--port",
                      "0", "--out", out.string(), "--save-on-exit", (dir / "kept.h5ad").string()},
                     dir.path());
  ASSERT_FALSE(serve.wait_for_url().empty()) << serve.err();
  auto r = ask(serve.port(), "show the data structure");
  ASSERT_TRUE(r);
  for (int i = 0; i < 100 && stub.request_count() == 0; ++i) std::this_thread::sleep_for(50ms);
  ASSERT_EQ(stub.request_count(), 1u);
  serve.signal(SIGINT);
  // The first waits for the question: still running a moment later.
  EXPECT_FALSE(serve.wait_exit(700ms).has_value());
  serve.signal(SIGTERM);
  const auto code = serve.wait_exit(3s);
  ASSERT_TRUE(code.has_value()) << "still waiting for the model after the second signal";
  EXPECT_NE(*code, 0);
  EXPECT_NE(serve.out().find("the question in progress was abandoned"), std::string::npos)
      << serve.out();
  const std::string transcript = read_file(out / "transcript.html");
  EXPECT_NE(transcript.find("show the data structure"), std::string::npos);
  EXPECT_NE(transcript.find("the question in progress was abandoned"), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(dir / "kept.h5ad"));
}

TEST(ServePage, TheSidePanelsReportIsWrittenIntoOut) {
  TempDir dir;
  const std::string data = demo_dataset(dir);
  StubModelServer stub;
  // One answer saved, so there is a report to make.
  stub.enqueue_openai_text(dump_json(
      router_record({{"plot", true}, {"save", true}}, {{"selected_tool", "plot_umap"}}, 9)));
  stub.enqueue_openai_text("{}");
  stub.enqueue_openai_text("## UMAP\nThe cell types separate.");
  const auto out = dir / "out";
  ServeProcess serve({"--data", data, "--base-url", stub.base_url(), "--api-key", kKey, "--port",
                      "0", "--out", out.string()},
                     dir.path());
  ASSERT_FALSE(serve.wait_for_url().empty()) << serve.err();
  auto q = ask(serve.port(), "UMAP, and save it");
  ASSERT_TRUE(q);
  const long long asked = json::parse(q->body)["cell"];
  ASSERT_TRUE(ended(read_events(serve.port(), [&](auto& ev) { return ended(ev, asked); }), asked));
  auto r = ask(serve.port(), "", R"({"question": ":report", "panel": "report"})");
  ASSERT_TRUE(r);
  ASSERT_EQ(r->status, 200) << r->body;
  const long long cell = json::parse(r->body)["cell"];
  const auto events = read_events(serve.port(), [&](auto& ev) { return ended(ev, cell); });
  ASSERT_TRUE(ended(events, cell));
  bool written = false;
  for (const auto& f : std::filesystem::directory_iterator(out))
    written = written || f.path().extension() == ".docx";
  std::string shown;
  for (const auto& e : events) shown += e.dump() + "\n";
  EXPECT_TRUE(written) << shown.substr(shown.size() > 4000 ? shown.size() - 4000 : 0);
  EXPECT_EQ(serve.stop(), 0);
  // The panel's status lines are not part of the conversation's record.
  EXPECT_EQ(read_file(out / "transcript.html").find(":report"), std::string::npos);
}

TEST(ServeProgram, OpenHandsTheAddressToTheDesktopsBrowser) {
  TempDir dir;
  const std::string data = demo_dataset(dir);
  // A stand-in for the desktop's opener that notes what it was asked to open.
  const auto bin = dir / "bin";
  std::filesystem::create_directories(bin);
  write_file(bin / "xdg-open",
             "#!/bin/sh\nprintf '%s' \"$1\" > " + shell_quote((dir / "opened").string()) + "\n");
  std::filesystem::permissions(bin / "xdg-open", std::filesystem::perms::owner_all);
  const char* old_path = std::getenv("PATH");
  const std::string saved_path = old_path ? old_path : "";
  setenv("PATH", (bin.string() + ":" + saved_path).c_str(), 1);
  StubModelServer stub;
  ServeProcess serve({"--data", data, "--base-url", stub.base_url(), "--api-key", kKey, "--host",
                      "127.0.0.1", "--port", "0", "--out", (dir / "out").string(), "--open"},
                     dir.path());
  setenv("PATH", saved_path.c_str(), 1);
  const std::string url = serve.wait_for_url();
  ASSERT_FALSE(url.empty()) << serve.err();
  for (int i = 0; i < 100 && !std::filesystem::exists(dir / "opened"); ++i)
    std::this_thread::sleep_for(100ms);
  EXPECT_EQ(read_file(dir / "opened"), url);
  EXPECT_EQ(serve.stop(), 0);
}

TEST(ServeProgram, RefusesToStartWithoutAKey) {
  TempDir dir;
  const std::string data = demo_dataset(dir);
  CommandResult r = run_command("env -u OPENAI_API_KEY " + shell_quote(norvex_binary().string()) +
                                " serve --data " + shell_quote(data) + " --port 0 --out " +
                                shell_quote((dir / "out").string()));
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(r.err.find("error: "), std::string::npos) << r.err;
  EXPECT_FALSE(std::filesystem::exists(dir / "out" / "transcript.html"));
}

}  // namespace
}  // namespace norvex
