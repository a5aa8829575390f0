// The page's token and cost summary: `norvex serve` over a keyless local server answers
// GET /api/usage with the session's tallies, and the page reads it.
#include <gtest/gtest.h>
#include <httplib.h>

#include <thread>

#include "support/fixtures.hpp"
#include "support/serve_process.hpp"
#include "support/stub_model_server.hpp"
#include "support/test_support.hpp"
#include "support/tiny_dataset.hpp"

namespace norvex {
namespace {

using namespace norvex::testing;

TEST(ServeUsage, TheSessionsTokensAreServedAsJsonAndShownOnThePage) {
  TempDir dir;
  tiny_dataset()->write_h5ad((dir / "data.h5ad").string());
  StubModelServer stub;
  stub.set_chat_completions_only(true);
  stub.enqueue_chat_text(dump_json(router_record({{"tree", true}})), 700, 40);
  ServeProcess serve(
      {"--data", (dir / "data.h5ad").string(), "--model", "qwen2.5-7b-instruct", "--base-url",
       stub.base_url() + "/v1", "--port", "0", "--out", (dir / "out").string()},
      dir.path());
  ASSERT_FALSE(serve.wait_for_url().empty()) << serve.out() << serve.err();
  httplib::Client cli("127.0.0.1", serve.port());
  auto page = cli.Get("/");
  ASSERT_TRUE(page);
  EXPECT_NE(page->body.find("fetch('api/usage')"), std::string::npos);

  auto before = cli.Get("/api/usage");
  ASSERT_TRUE(before);
  EXPECT_EQ(json::parse(before->body)["models"], json::object());

  auto r = cli.Post("/api/ask", {{"X-Norvex", "1"}}, R"({"question": "show the structure"})",
                    "application/json");
  ASSERT_TRUE(r && r->status == 200);
  json usage;
  // The question runs on the server's worker; its one model call shows up when answered.
  for (int i = 0; i < 600 && usage["total_tokens"] != 740; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    auto now = cli.Get("/api/usage");
    if (now) usage = json::parse(now->body);
  }
  EXPECT_EQ(usage["total_tokens"], 740) << usage.dump();
  EXPECT_EQ(usage["models"]["qwen2.5-7b-instruct"]["calls"], 1);
  EXPECT_TRUE(usage["models"]["qwen2.5-7b-instruct"]["estimated_cost_usd"].is_null());
  EXPECT_EQ(usage["prices_as_of"], "2025-08-15");
  EXPECT_EQ(stub.requests().at(0).headers.count("authorization"), 0u);
}

}  // namespace
}  // namespace norvex
