// Opening web pages without a desktop: the address reaches the host's handler.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "CFTestSupport.h"
#include "NSWorkspace.h"
#include "TestSupport.h"

namespace {

TEST(NSWorkspace, WithoutADesktopTheHostGetsTheAddress) {
  velmtest::ScopedEnv noX("DISPLAY", nullptr), noWayland("WAYLAND_DISPLAY", nullptr);
  std::vector<std::string> opened;
  NSWorkspace::setURLHandler([&](CFStringRef address) { opened.push_back(velmtest::utf8(address)); });
  auto url = NSURL::URLWithString(CFSTR("http://example.test/page?x=1"));
  ASSERT_TRUE(url);
  EXPECT_TRUE(NSWorkspace::sharedWorkspace()->openURL(*url));
  EXPECT_EQ(opened, std::vector<std::string>{"http://example.test/page?x=1"});
  NSWorkspace::setURLHandler(nullptr);
  EXPECT_TRUE(NSWorkspace::sharedWorkspace()->openURL(*url));  // logged instead
  EXPECT_EQ(opened.size(), 1u);
}

TEST(NSWorkspace, InADesktopSessionXdgOpenGetsTheAddress) {
  // A stand-in xdg-open that writes down its argument.
  auto bin = velmtest::makeTempDir("bin");
  auto record = bin / "opened.txt";
  velmtest::writeFile(bin / "xdg-open", "#!/bin/sh\nprintf %s \"$1\" > '" + record.string() + "'\n");
  std::filesystem::permissions(bin / "xdg-open", std::filesystem::perms::owner_all);
  std::string path = bin.string() + ":/usr/bin:/bin";
  velmtest::ScopedEnv display("DISPLAY", ":99"), searchPath("PATH", path.c_str());
  bool handed = false;
  NSWorkspace::setURLHandler([&](CFStringRef) { handed = true; });
  auto url = NSURL::URLWithString(CFSTR("http://example.test/end"));
  ASSERT_TRUE(url);
  EXPECT_TRUE(NSWorkspace::sharedWorkspace()->openURL(*url));
  NSWorkspace::setURLHandler(nullptr);
  EXPECT_FALSE(handed);
  // The opener runs detached; wait until it has written its record.
  std::string seen;
  for (int i = 0; i < 500 && seen.empty(); ++i) {
    seen = velmtest::readFile(record);
    if (seen.empty()) usleep(10000);
  }
  EXPECT_EQ(seen, "http://example.test/end");
}

}  // namespace
