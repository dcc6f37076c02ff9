// The private temporary folder and the system log line.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "CFTestSupport.h"
#include "Foundation.h"
#include "NSLog.h"
#include "TestSupport.h"

namespace fs = std::filesystem;

namespace {

// NSTemporaryDirectory decides once per process, so each case runs in a child process of its own.
std::string temporaryDirectoryInChild(const fs::path& cache) {
  fs::path out = velmtest::makeTempDir("tmpdir") / "answer";
  EXPECT_EXIT(
      {
        setenv("XDG_CACHE_HOME", cache.c_str(), 1);
        velmtest::writeFile(out, velmtest::utf8(NSTemporaryDirectory()));
        std::exit(NSTemporaryDirectory() == NSTemporaryDirectory() ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
  return velmtest::readFile(out);
}

void expectPrivateFolder(const std::string& path) {
  ASSERT_FALSE(path.empty());
  EXPECT_EQ(path.back(), '/');
  struct stat st {};
  ASSERT_EQ(lstat(path.c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ(st.st_uid, geteuid());
  EXPECT_EQ(st.st_mode & 077, 0u);
}

TEST(TemporaryDirectory, PrivateFolderInTheUsersCache) {
  fs::path cache = velmtest::makeTempDir("cache");
  std::string path = temporaryDirectoryInChild(cache);
  EXPECT_EQ(path, (cache / "tmp").string() + "/");
  expectPrivateFolder(path);
}

TEST(TemporaryDirectory, LinkedOrOpenFoldersAreRefused) {
  fs::path shared = velmtest::makeTempDir("shared");
  fs::permissions(shared, fs::perms::all);
  fs::path linked = velmtest::makeTempDir("linked");
  fs::create_directory_symlink(shared, linked / "tmp");
  fs::path open = velmtest::makeTempDir("open");
  fs::create_directories(open / "tmp");
  fs::permissions(open / "tmp", fs::perms::all);
  for (const fs::path& cache : {linked, open}) {
    std::string path = temporaryDirectoryInChild(cache);
    EXPECT_NE(path, (cache / "tmp").string() + "/");
    expectPrivateFolder(path);
    fs::remove_all(path);
  }
}

TEST(Lock, ExcludesOtherHolders) {
  NSLock lock;
  lock.lock();
  EXPECT_FALSE(lock.tryLock());
  lock.unlock();
  EXPECT_TRUE(lock.tryLock());
  lock.unlock();
}

TEST(SystemLog, WritesADatedLineToStandardError) {
  testing::internal::CaptureStderr();
  NSLog(CFSTR("Error uploading %@ to Velm: %@"), CFSTR("IMG_1"), CFSTR("<err code=\"98\"/>"));
  std::string out = testing::internal::GetCapturedStderr();
  EXPECT_NE(out.find("Error uploading IMG_1 to Velm: <err code=\"98\"/>\n"), std::string::npos) << out;
  EXPECT_EQ(out.substr(0, 2), "20");  // the date comes first
}

}  // namespace
