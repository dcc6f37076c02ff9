// velm-export as a photographer runs it: options and their errors, what it prints where, its
// exit statuses, remembered settings, a refused account, a stopped service, Ctrl-C, and a real
// terminal for the password prompt and the progress bar.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "LoopbackServers.h"
#include "ServerProcess.h"
#include "TestSupport.h"

namespace fs = std::filesystem;

namespace {

std::string quote(const std::string& s) { return "'" + s + "'"; }

struct Outcome {
  int status;
  std::string out, err;
};

// Runs the program with its standard output and standard error kept apart.
Outcome velmExport(const std::string& arguments, const std::string& input = "",
                   const std::string& program = VELM_EXPORT_BINARY) {
  fs::path dir = velmtest::makeTempDir("run");
  velmtest::writeFile(dir / "in", input);
  int status = -1;
  velmtest::runCommand(program + " " + arguments + " < " + quote((dir / "in").string()) + " > " +
                           quote((dir / "out").string()) + " 2> " + quote((dir / "err").string()),
                       &status);
  return {status, velmtest::readFile(dir / "out"), velmtest::readFile(dir / "err")};
}

bool has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

size_t countOf(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

std::string storedPreferences() {
  return velmtest::readFile(velmtest::sandboxDir() / "home" / ".config" / "preferences" / "velm-export.plist");
}

class Cli : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(server.port(), 0) << server.errorOutput();
    ASSERT_EQ(server.addUser("anna", "secret"), 0);
    for (const char* name : {"Beach.jpg", "Harbour.jpg"})
      fs::copy_file(fs::path(VELM_SOURCE_DIR) / "samples" / name, dir / name);
    velmtest::writeFile(dir / "notes.txt", "not a photo");
    velmtest::writeFile(dir / "Beach.jpg.xmp.bak", "");
  }
  std::string photo(const char* name) { return quote((dir / name).string()); }
  std::string photos() { return photo("Beach.jpg") + " " + photo("Harbour.jpg"); }
  size_t uploads() { return countOf(server.requestLog(), "/api/post_photo_xml.php?"); }

  velmtest::ServerProcess server;
  fs::path dir = velmtest::makeTempDir("photos");
};

TEST_F(Cli, UsageErrorsSayWhatIsWrongAndExitWith2) {
  fs::create_directories(dir / "empty");
  struct Case {
    std::string arguments, message;
  } cases[] = {
      {"--size 1000 " + photos(), "--size must be 0, 1600, 1200, 800 or 640, not \"1000\""},
      {"--privacy public " + photos(), "--privacy must be 0, 500, 800 or 1000, not \"public\""},
      {"--frobnicate " + photos(), "unknown option --frobnicate"},
      {"", "no photos given"},
      {"/nonexistent/photo.jpg", "/nonexistent/photo.jpg: no such file"},
      {quote(dir.string()), dir.string() + ": a folder (use --recursive"},
      {photo("notes.txt"), "no photos to export"},
      {"-r " + quote((dir / "empty").string()), "no photos to export"},
      {"--service " + server.url() + " " + photos(), "no account: give it with --account NAME"},
      {"--service " + server.url() + " --account anna " + photos(), "no password for anna"},
  };
  for (const auto& c : cases) {
    Outcome r = velmExport(c.arguments);
    EXPECT_EQ(r.status, 2) << c.arguments << "\n" << r.err;
    EXPECT_TRUE(has(r.err, c.message)) << c.arguments << "\n" << r.err;
    EXPECT_EQ(r.out, "") << c.arguments;
  }
  EXPECT_EQ(uploads(), 0u);
  Outcome noBundle = velmExport("--bundle /nonexistent/Velm.bundle " + photos());
  EXPECT_EQ(noBundle.status, 1);
  EXPECT_TRUE(has(noBundle.err, "cannot load the plug-in bundle /nonexistent/Velm.bundle")) << noBundle.err;
}

TEST_F(Cli, HelpAndVersion) {
  for (const char* option : {"--help", "-h"}) {
    Outcome r = velmExport(option);
    EXPECT_EQ(r.status, 0);
    for (const char* part : {"--service URL", "--account NAME", "--password-stdin", "--remember", "--size PIXELS",
                             "--privacy LEVEL", "0 (Public)", "500 (Friends", "800 (Family)", "1000 (Private)",
                             "--album NAME", "--recursive", "--republish", "--retry-failed", "--dry-run", "--json",
                             "--no-location", "already published: PAGE", "--bundle PATH", "--version", "Exit status: 0",
                             "130 cancelled", "N uploaded, N failed, N not exported"})
      EXPECT_TRUE(has(r.out, part)) << option << ": " << part;
  }
  Outcome v = velmExport("--version");
  EXPECT_EQ(v.status, 0);
  EXPECT_EQ(v.out.rfind("velm-export ", 0), 0u) << v.out;
}

TEST_F(Cli, ExportsPrintsResultsAndRemembersOnlyWhenAsked) {
  // Without --remember nothing of the account is kept.
  Outcome once = velmExport("--service " + server.url() + " --account anna --password-stdin --size 800 --privacy 500 " +
                                photos() + " " + photo("notes.txt"),
                            "secret\n");
  ASSERT_EQ(once.status, 0) << once.err;
  EXPECT_FALSE(has(storedPreferences(), "anna"));
  EXPECT_FALSE(has(storedPreferences(), "VelmServiceURL"));

  // The same photos again: --republish uploads them once more.
  Outcome first = velmExport("--service " + server.url() + " --account anna --password-stdin --remember --republish "
                                 "--album 'Summer 2008' -r " + quote(dir.string()),
                             "secret\n");
  ASSERT_EQ(first.status, 0) << first.err;
  // Standard output: the results, one line per photo and the counts; nothing else.
  const std::string pages = server.url() + "/photo/";
  std::vector<std::string> lines;
  for (size_t at = 0; at < first.out.size();) {
    size_t end = first.out.find('\n', at);
    lines.push_back(first.out.substr(at, end - at));
    at = end + 1;
  }
  ASSERT_EQ(lines.size(), 3u) << first.out;
  EXPECT_EQ(lines[0].rfind("Beach: " + pages, 0), 0u) << first.out;
  EXPECT_EQ(lines[1].rfind("Harbour: " + pages, 0), 0u) << first.out;
  EXPECT_EQ(lines[2], "2 uploaded, 0 failed, 0 not exported");
  // Standard error: where it goes and how, first; the files left out; each photo once.
  EXPECT_EQ(first.err.rfind("velm-export: exporting 2 photos to " + server.url() + "\n", 0), 0u) << first.err;
  EXPECT_TRUE(has(first.err, "as anna; size: 800 pixels; privacy: Friends and family; album: \"Summer 2008\""))
      << first.err;
  EXPECT_TRUE(has(first.err, "not a photo: " + (dir / "notes.txt").string())) << first.err;
  EXPECT_EQ(countOf(first.err, "] Beach\n"), 1u) << first.err;
  EXPECT_TRUE(has(first.err, "[2/2] Harbour\n")) << first.err;
  EXPECT_TRUE(has(first.err, "End page: http://")) << first.err;
  EXPECT_EQ(uploads(), 4u);  // the text file never went out
  EXPECT_TRUE(has(server.requestLog(), "privacy=500&add_to_album_name=Summer%202008"));

  // Remembered: account, password, service and choices; only the photo is needed, and it is
  // known as published to that service and account.
  Outcome second = velmExport(photo("Harbour.jpg"));
  ASSERT_EQ(second.status, 0) << second.err;
  EXPECT_EQ(second.out.rfind("Harbour: already published: " + pages, 0), 0u) << second.out;
  EXPECT_EQ(uploads(), 4u);
}

TEST_F(Cli, ARefusedAccountStopsAfterTheFirstPhotoWithOneMessage) {
  Outcome r = velmExport("--service " + server.url() + " --account anna --password-stdin " + photos(), "wrong\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out,
            "Beach: failed: error 102: wrong password (wrong authentication token)\n"
            "Harbour: not exported\n"
            "0 uploaded, 1 failed, 1 not exported\n");
  EXPECT_EQ(countOf(r.err, "the service refused the account"), 1u) << r.err;
  EXPECT_EQ(uploads(), 1u);
}

TEST_F(Cli, AStoppedServiceIsNoAnswer) {
  std::string closed = "http://127.0.0.1:" + std::to_string(velmtest::closedPort());
  Outcome r = velmExport("--service " + closed + " --account anna --password-stdin " + photos(), "secret\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out,
            "Beach: failed: no answer from the service\n"
            "Harbour: failed: no answer from the service\n"
            "0 uploaded, 2 failed, 0 not exported\n");
}

TEST_F(Cli, CtrlCStopsAfterThePhotoAndAgainAtOnce) {
  // The service takes every upload and never finishes answering it.
  velmtest::DripServer drip;
  fs::path run = velmtest::makeTempDir("interrupted");
  velmtest::writeFile(run / "in", "secret\n");
  pid_t pid = fork();
  if (pid == 0) {
    int in = open((run / "in").c_str(), O_RDONLY), out = open((run / "out").c_str(), O_WRONLY | O_CREAT, 0600),
        err = open((run / "err").c_str(), O_WRONLY | O_CREAT, 0600);
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    std::string service = drip.url();
    std::string a = (dir / "Beach.jpg").string(), b = (dir / "Harbour.jpg").string();
    execl(VELM_EXPORT_BINARY, "velm-export", "--service", service.c_str(), "--account", "anna", "--password-stdin",
          a.c_str(), b.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  ASSERT_GT(pid, 0);
  drip.waitForDrips(1);  // the first photo's upload is under way
  kill(pid, SIGINT);
  // Wait for the program to say it heard, then ask again.
  while (!has(velmtest::readFile(run / "err"), "cancelling after the current photo")) std::this_thread::yield();
  kill(pid, SIGINT);
  int status = 0;
  waitpid(pid, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 130);
  EXPECT_EQ(velmtest::readFile(run / "out"),
            "Beach: not exported\n"
            "Harbour: not exported\n"
            "0 uploaded, 0 failed, 2 not exported\n");
  drip.waitForAbandoned(1);  // the upload in progress was stopped
  EXPECT_EQ(drip.drips(), 1) << "no other upload began";
}

TEST_F(Cli, OnATerminalItAsksForThePasswordAndDrawsAProgressBar) {
  // An account with no password remembered (the tests of this process share one keychain).
  ASSERT_EQ(server.addUser("bert", "his secret"), 0);
  int status = -1;
  std::string shown = velmtest::runCommand(std::string(VELM_ON_A_TERMINAL) + " 'Password for bert' 'his secret' " +
                                               VELM_EXPORT_BINARY + " --service " + server.url() + " --account bert " +
                                               photos() + " 2>&1",
                                           &status);
  EXPECT_EQ(status, 0) << shown;
  EXPECT_TRUE(has(shown, "Password for bert on the Velm service: ")) << shown;
  EXPECT_FALSE(has(shown, "secret")) << "the password was echoed:\n" << shown;
  EXPECT_TRUE(has(shown, "\r\033[K[")) << shown;
  EXPECT_TRUE(has(shown, "] 2/2 done")) << shown;
  EXPECT_TRUE(has(shown, " elapsed")) << shown;
  EXPECT_TRUE(has(shown, "2 uploaded, 0 failed, 0 not exported")) << shown;
  EXPECT_EQ(uploads(), 2u);
}

}  // namespace
