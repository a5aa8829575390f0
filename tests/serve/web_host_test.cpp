// The page's host: every display becomes an event of the current cell, in order; files
// are kept on the server with the secrets taken out; a mirror host sees the same calls.
#include <gtest/gtest.h>

#include <thread>

#include "norvex/common/base64.hpp"
#include "norvex/host/recording_host.hpp"
#include "norvex/serve/web_host.hpp"

namespace norvex {
namespace {

std::vector<json> parsed(EventLog& log) {
  std::vector<json> out;
  for (const auto& e : log.after(0, std::chrono::milliseconds(0))) out.push_back(json::parse(e));
  return out;
}

TEST(WebHost, EventsInOrderWithSecretsTakenOutAndFilesKeptOnTheServer) {
  EventLog log;
  FileStore files;
  WebHost host(log, files);
  RecordingHost mirror;
  host.set_mirror(&mirror);
  host.add_secret("sk-web-secret");
  host.set_cell(7);

  host.print("✅ Analyzing query .. ", false);
  host.print("done (key sk-web-secret)");
  host.display_image("\x89PNG fake sk-web-secret", "image/png");
  const std::string doc = "word bytes with sk-web-secret inside";
  host.display_html(
      "<p>Table</p><a class=\"norvex-download\" download=\"a&amp;b sk-web-secret.xlsx\" "
      "href=\"data:application/octet-stream;base64," +
      base64_encode(doc) + "\">a&amp;b.xlsx</a><a download=\"x\" href=\"data:bad\">x</a>");
  host.set_next_input("print('sk-web-secret')");
  host.print_error("Traceback sk-web-secret");
  host.display_json(json{{"k", "sk-web-secret"}});

  const auto events = parsed(log);
  ASSERT_EQ(events.size(), 7u);
  const std::vector<std::string> types = {"text", "text", "image", "html", "code", "error", "json"};
  for (size_t i = 0; i < events.size(); ++i) {
    EXPECT_EQ(events[i]["type"], types[i]);
    EXPECT_EQ(events[i]["cell"], 7);
    EXPECT_EQ(events[i]["seq"], i + 1);
    EXPECT_EQ(events[i].dump().find("sk-web-secret"), std::string::npos) << events[i].dump();
  }
  EXPECT_EQ(events[0]["end"], false);
  EXPECT_EQ(events[1]["text"], "done (key [redacted])");

  EXPECT_EQ(events[2]["url"], "files/1/figure-1.png");
  auto image = files.get(1);
  ASSERT_TRUE(image);
  EXPECT_EQ(image->mime, "image/png");
  EXPECT_EQ(image->bytes, "\x89PNG fake [redacted]");

  // The link points to the stored file, named as the link named it (decoded, redacted);
  // a link whose data cannot be read is left as it was.
  const std::string html = events[3]["html"];
  EXPECT_NE(html.find("href=\"files/2/a%26b%20%5Bredacted%5D.xlsx\""), std::string::npos) << html;
  EXPECT_NE(html.find("href=\"data:bad\""), std::string::npos);
  auto stored = files.get(2);
  ASSERT_TRUE(stored);
  EXPECT_EQ(stored->name, "a&b [redacted].xlsx");
  EXPECT_EQ(stored->bytes, "word bytes with [redacted] inside");
  EXPECT_FALSE(files.get(3));
  EXPECT_FALSE(files.get(0));

  // The mirror (the transcript on disk) got every call, in order.
  EXPECT_EQ(mirror.events.size(), 7u);
}

TEST(EventLog, WaitersWakeForNewEventsAndWhenClosed) {
  EventLog log;
  EXPECT_TRUE(log.after(0, std::chrono::milliseconds(10)).empty());
  std::thread writer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    log.append({{"type", "text"}});
  });
  const auto got = log.after(0, std::chrono::seconds(20));
  writer.join();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(json::parse(got[0])["seq"], 1);
  std::thread closer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    log.close();
  });
  const auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(log.after(1, std::chrono::seconds(20)).empty());
  closer.join();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  EXPECT_TRUE(log.closed());
}

}  // namespace
}  // namespace norvex
