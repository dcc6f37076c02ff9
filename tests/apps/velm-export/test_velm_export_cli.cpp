// velm-export as a user runs it: options, errors, progress, page addresses and the end page.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "ServerProcess.h"
#include "TestSupport.h"

namespace fs = std::filesystem;

namespace {

std::string quote(const std::string& s) { return "'" + s + "'"; }

struct Outcome {
  int status;
  std::string out;
};

Outcome velmExport(const std::string& arguments, const std::string& input = "") {
  fs::path in = velmtest::makeTempDir("stdin") / "in";
  velmtest::writeFile(in, input);
  int status = -1;
  std::string out = velmtest::runCommand(std::string(VELM_EXPORT_BINARY) + " " + arguments + " < " +
                                         quote(in.string()) + " 2>&1", &status);
  return {status, out};
}

TEST(VelmExportCli, RefusesBadOptionsAndPhotos) {
  struct Case {
    const char* arguments;
    const char* message;
  } cases[] = {
      {"--size 1000 x.jpg", "--size must be 0, 1600, 1200, 800 or 640, not \"1000\""},
      {"--privacy public x.jpg", "--privacy must be 0, 500, 800 or 1000, not \"public\""},
      {"--frobnicate", "usage: velm-export"},
      {"/nonexistent/photo.jpg", "/nonexistent/photo.jpg: not a readable file"},
      {"--bundle /nonexistent/Velm.bundle", "cannot load the plug-in bundle /nonexistent/Velm.bundle"},
  };
  for (const auto& c : cases) {
    Outcome r = velmExport(c.arguments);
    EXPECT_NE(r.status, 0) << c.arguments;
    EXPECT_NE(r.out.find(c.message), std::string::npos) << c.arguments << "\n" << r.out;
  }
}

TEST(VelmExportCli, ExportsPrintsPagesAndRemembersTheAccount) {
  velmtest::ServerProcess server;
  ASSERT_NE(server.port(), 0);
  ASSERT_EQ(server.addUser("anna", "secret"), 0);
  fs::path dir = velmtest::makeTempDir("photos");
  for (const char* name : {"Beach.jpg", "Harbour.jpg"})
    fs::copy_file(fs::path(VELM_SOURCE_DIR) / "samples" / name, dir / name);
  std::string photos = quote((dir / "Beach.jpg").string()) + " " + quote((dir / "Harbour.jpg").string());

  Outcome first = velmExport("--service " + server.url() + " --account anna --password-stdin --remember --size 800 " +
                             "--privacy 500 --album 'Summer 2008' " + photos,
                         "secret\n");
  ASSERT_EQ(first.status, 0) << first.out;
  EXPECT_NE(first.out.find("Velm upload: Beach"), std::string::npos) << first.out;
  EXPECT_NE(first.out.find("Beach: Morning at the beach  " + server.url() + "/photo/"), std::string::npos) << first.out;
  EXPECT_NE(first.out.find("Harbour: " + server.url() + "/photo/"), std::string::npos) << first.out;
  EXPECT_NE(first.out.find("End page: http://"), std::string::npos) << first.out;
  std::string log = server.requestLog();
  EXPECT_NE(log.find("privacy=500&add_to_album_name=Summer%202008"), std::string::npos) << log;

  // The account and the choices were remembered: a second run needs no options but the photo.
  Outcome second = velmExport("--service " + server.url() + " " + quote((dir / "Harbour.jpg").string()));
  ASSERT_EQ(second.status, 0) << second.out;
  EXPECT_EQ(second.out.find("Error uploading"), std::string::npos) << second.out;
  log = server.requestLog();
  size_t uploads = 0, withStoredChoices = 0;
  for (size_t at = log.find("post_photo_xml.php?auth_user_name=anna&"); at != std::string::npos;
       at = log.find("post_photo_xml.php?auth_user_name=anna&", at + 1)) {
    ++uploads;
    withStoredChoices += log.compare(log.find("&privacy=", at), 13, "&privacy=500 ") == 0 ||
                         log.compare(log.find("&privacy=", at), 13, "&privacy=500&") == 0;
  }
  EXPECT_EQ(uploads, 3u) << log;
  EXPECT_EQ(withStoredChoices, 3u) << log;
}

}  // namespace
