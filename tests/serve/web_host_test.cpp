// The page's host: every display becomes an event of the current cell, in order; files
// are kept on the server with the secrets taken out; a mirror host sees the same calls.
#include <gtest/gtest.h>

#include <thread>

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
  host.offer_download({"a&b sk-web-secret.xlsx", "application/octet-stream", doc});
  // HTML is shown as it is: a data link in it is not taken for a download.
  const std::string data_link = "<a download=\"x\" href=\"data:a/b;base64,eHg=\">x</a>";
  host.display_html(data_link);
  host.set_next_input("print('sk-web-secret')");
  host.print_error("Traceback sk-web-secret");
  host.display_json(json{{"k", "sk-web-secret"}});

  const auto events = parsed(log);
  ASSERT_EQ(events.size(), 8u);
  const std::vector<std::string> types = {"text", "text", "image", "html",
                                          "html", "code", "error", "json"};
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
  // An image is binary: a replacement inside it would only damage it.
  EXPECT_EQ(image->bytes, "\x89PNG fake sk-web-secret");

  // The download's link points to the stored file and keeps the name it was offered under
  // (redacted).
  EXPECT_EQ(
      events[3]["html"],
      "<a class=\"norvex-download\" download=\"a&amp;b [redacted].xlsx\" "
      "href=\"files/2/a%26b%20%5Bredacted%5D.xlsx\" style=\"display:inline-block;margin:4px "
      "0;padding:4px 10px;border:1px solid #9bb3d4;border-radius:4px;background:#eef3fa;"
      "color:#1f3864;text-decoration:none\">📥 Download document: a&amp;b [redacted].xlsx</a>");
  EXPECT_EQ(events[4]["html"], data_link);
  auto stored = files.get(2);
  ASSERT_TRUE(stored);
  EXPECT_EQ(stored->name, "a&b [redacted].xlsx");
  EXPECT_EQ(stored->bytes, "word bytes with [redacted] inside");
  EXPECT_FALSE(files.get(3));
  EXPECT_FALSE(files.get(0));

  // The mirror (the transcript on disk) got every call, in order.
  ASSERT_EQ(mirror.events.size(), 8u);
  EXPECT_EQ(mirror.events[3].kind, HostEvent::Kind::Download);
  EXPECT_EQ(mirror.events[3].text, doc);
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

namespace norvex {
namespace {

TEST(WebHost, AFigureEventCarriesItsSvgTextAndItsFileStem) {
  EventLog log;
  FileStore files;
  WebHost host(log, files);
  RecordingHost mirror;
  host.set_mirror(&mirror);
  host.add_secret("sk-svg-secret");
  host.display_figure({"\x89PNG a", "<svg><title>sk-svg-secret</title></svg>", ""});
  host.display_figure({"\x89PNG b", "", "plot_umap"});
  const auto events = parsed(log);
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0]["type"], "image");
  EXPECT_EQ(events[0]["name"], "figure-1");
  EXPECT_EQ(events[0]["svg"], "<svg><title>[redacted]</title></svg>");
  EXPECT_EQ(events[0]["url"], "files/1/figure-1.png");
  EXPECT_EQ(events[1]["name"], "plot_umap");
  EXPECT_FALSE(events[1].contains("svg"));  // optional: only with an SVG
  ASSERT_TRUE(files.get(1));
  EXPECT_EQ(files.get(1)->bytes, "\x89PNG a");
  // The transcript mirror gets the whole figure, SVG included.
  ASSERT_EQ(mirror.events.size(), 2u);
  EXPECT_EQ(mirror.events[0].svg, "<svg><title>sk-svg-secret</title></svg>");
}

}  // namespace
}  // namespace norvex
