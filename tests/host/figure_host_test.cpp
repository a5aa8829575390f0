// Figures through the hosts: a host that keeps files writes the SVG beside the PNG under
// the same number; hosts without files of their own show the PNG as an image.
#include <gtest/gtest.h>

#include <sstream>

#include "norvex/host/console_host.hpp"
#include "norvex/host/recording_host.hpp"
#include "support/test_support.hpp"

namespace norvex {
namespace {

// A host that only shows images, as the notebook and the terminal do.
class ImageOnlyHost : public RecordingHost {
 public:
  using RecordingHost::display_image;
  void display_figure(const Figure& f) override { NotebookHost::display_figure(f); }
};

TEST(FigureHost, ByDefaultAFigureIsItsPng) {
  ImageOnlyHost host;
  host.display_figure({"\x89PNG bytes", "<svg/>", "umap"});
  ASSERT_EQ(host.events.size(), 1u);
  EXPECT_EQ(host.events[0].kind, HostEvent::Kind::Image);
  EXPECT_EQ(host.events[0].text, "\x89PNG bytes");
  EXPECT_EQ(host.events[0].mime, "image/png");
  EXPECT_TRUE(host.events[0].svg.empty());
}

TEST(FigureHost, TheConsoleKeepsTheSvgBesideThePngUnderTheSameNumber) {
  testing::TempDir dir;
  std::ostringstream out, err;
  {
    ConsoleHost host(out, err, dir.path());
    host.add_secret("sk-fig-secret");
    host.display_image("\x89PNG first", "image/png");
    host.display_figure({"\x89PNG second", "<svg>sk-fig-secret</svg>", ""});
    host.display_figure({"\x89PNG third", "", ""});  // no SVG: the PNG alone
    host.display_figure({"\x89PNG named", "<svg>n</svg>", "../plot_umap"});
  }
  EXPECT_EQ(testing::read_file(dir / "figure-1.png"), "\x89PNG first");
  EXPECT_EQ(testing::read_file(dir / "figure-2.png"), "\x89PNG second");
  EXPECT_EQ(testing::read_file(dir / "figure-2.svg"), "<svg>[redacted]</svg>");
  EXPECT_EQ(testing::read_file(dir / "figure-3.png"), "\x89PNG third");
  EXPECT_FALSE(std::filesystem::exists(dir / "figure-3.svg"));
  EXPECT_FALSE(std::filesystem::exists(dir / "figure-1.svg"));
  // A named figure keeps its name as a plain file name inside the folder.
  EXPECT_EQ(testing::read_file(dir / "plot_umap-4.svg"), "<svg>n</svg>");
  EXPECT_TRUE(std::filesystem::exists(dir / "plot_umap-4.png"));
  const std::string transcript = testing::read_file(dir / "transcript.html");
  EXPECT_NE(transcript.find("href=\"figure-2.svg\""), std::string::npos);
  EXPECT_EQ(transcript.find("sk-fig-secret"), std::string::npos);
}

}  // namespace
}  // namespace norvex
