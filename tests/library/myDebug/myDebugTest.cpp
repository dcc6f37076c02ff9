// The diagnostics log on the (sandboxed) Desktop.
#include <gtest/gtest.h>

#include <linux/capability.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <optional>
#include <regex>
#include <string>

#include "TestSupport.h"
#include "myDebug.h"

namespace fs = std::filesystem;
using velmtest::makeTempDir;
using velmtest::ScopedEnv;
using velmtest::readFile;
using velmtest::runCommand;
using velmtest::writeFile;

namespace {

// While it lives, permission bits bind this thread even when it runs as root: the capabilities
// that override file permissions are taken out of its effective set.
class PermissionsBind {
 public:
  PermissionsBind() {
    if (geteuid() != 0) {
      active_ = true;
      return;
    }
    if (syscall(SYS_capget, &header_, saved_) != 0) return;
    __user_cap_data_struct reduced[2];
    std::memcpy(reduced, saved_, sizeof reduced);
    reduced[0].effective &= ~((1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH) | (1u << CAP_FOWNER));
    changed_ = active_ = syscall(SYS_capset, &header_, reduced) == 0;
  }
  ~PermissionsBind() {
    if (changed_) syscall(SYS_capset, &header_, saved_);
  }
  bool active() const { return active_; }

 private:
  __user_cap_header_struct header_{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct saved_[2]{};
  bool changed_ = false;
  bool active_ = false;
};

std::string pString(const std::string& s) { return std::string(1, char(s.size())) + s; }
ConstStr255Param pPtr(const std::string& p) { return reinterpret_cast<ConstStr255Param>(p.data()); }

std::string pathOf(const FSRef& ref) {
  UInt8 buffer[4096];
  if (FSRefMakePath(&ref, buffer, sizeof buffer) != noErr) return "";
  return reinterpret_cast<const char*>(buffer);
}

// The date-time prefix for now, as the log writes it.
std::string prefixNow() {
  UInt32 now;
  Str255 date, time;
  GetDateTime(&now);
  DateString(now, shortDate, date, nullptr);
  TimeString(now, TRUE, time, nullptr);
  return std::string(reinterpret_cast<char*>(date + 1), date[0]) + "\t" +
         std::string(reinterpret_cast<char*>(time + 1), time[0]) + "\t";
}

std::string expectedHeader() {
  SInt32 major = 0, minor = 0, bugFix = 0, ram = 0, clock = 0;
  Gestalt(gestaltSystemVersionMajor, &major);
  Gestalt(gestaltSystemVersionMinor, &minor);
  Gestalt(gestaltSystemVersionBugFix, &bugFix);
  Gestalt(gestaltPhysicalRAMSizeInMegabytes, &ram);
  Gestalt(gestaltProcClkSpeedMHz, &clock);
  return "Orbandel Intel code running\n" + ("Mac OS X  " + std::to_string(major) + "." + std::to_string(minor) + "." +
                                            std::to_string(bugFix) + "\n") +
         "RAM:   " + std::to_string(ram) + "  MB\n" + std::to_string(MPProcessors()) + " CPUs with " +
         std::to_string(clock) + " MHz\n" + "\n\n";
}

class LogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    desk = fs::canonical(makeTempDir("desk"));
    deskEnv.emplace("XDG_DESKTOP_DIR", desk.c_str());
    locale.emplace("LC_ALL", "C");
    logPath = desk / "RZM Log.txt";
  }

  std::string log() { return readFile(logPath); }

  // Runs the call and returns what it appended to the log.
  std::string appendedBy(const std::function<void()>& call) {
    if (!fs::exists(logPath)) debugAddToLog(pPtr(pString("")));  // header out of the way
    std::string before = log();
    prefixBefore = prefixNow();
    call();
    prefixAfter = prefixNow();
    std::string after = log();
    EXPECT_EQ(before, after.substr(0, before.size())) << "the log was changed, not appended to";
    return after.substr(std::min(before.size(), after.size()));
  }

  // True when the bytes are a date-time prefix of the call's time followed by rest.
  bool isDated(const std::string& bytes, const std::string& rest) {
    return bytes == prefixBefore + rest || bytes == prefixAfter + rest;
  }

  fs::path desk;
  fs::path logPath;
  std::optional<ScopedEnv> deskEnv;
  std::optional<ScopedEnv> locale;
  std::string prefixBefore, prefixAfter;
};

// ---- Creation and header ----------------------------------------------------------------------

TEST_F(LogTest, FirstEntryCreatesTheTextFileWithItsHeaderAndLaterEntriesAddNone) {
  EXPECT_EQ(kCFCompareEqualTo, CFStringCompare(gLogFileName, CFSTR("RZM Log.txt"), 0));
  ASSERT_FALSE(fs::exists(logPath));
  debugAddLongHex(255);
  const std::string header = expectedHeader();
  EXPECT_EQ(header + "ff\n", log());

  // Finder type 'TEXT', creator 0, as an independent AppleDouble reader sees it.
  fs::path sidecar = desk / "._RZM Log.txt";
  int status = -1;
  std::string listing = runCommand("lsar -L '" + sidecar.string() + "' 2>&1", &status);
  EXPECT_EQ(0, status) << listing;
  EXPECT_NE(std::string::npos, listing.find("TEXT (0x54455854)")) << listing;
  std::string finder = readFile(sidecar).substr(50, 32);
  EXPECT_EQ(std::string("TEXT") + std::string(28, '\0'), finder);

  debugAddUInt16Octal(493);
  EXPECT_EQ(header + "ff\n755\n", log());

  // Deleted by the user: the next entry makes a new file with a new header.
  fs::remove(logPath);
  debugAddLongHex(1);
  EXPECT_EQ(header + "1\n", log());
}

TEST_F(LogTest, LogLiesOnTheSandboxedDesktopOnly) {
  FSRef found;
  ASSERT_EQ(noErr, FSFindFolder(kUserDomain, kDesktopFolderType, kCreateFolder, &found));
  EXPECT_EQ(desk.string(), pathOf(found));
  EXPECT_EQ(0u, desk.string().rfind(fs::canonical(velmtest::sandboxDir()).string(), 0));
  EXPECT_EQ(noErr, debugAddLong(1));
  EXPECT_TRUE(fs::exists(logPath));
  // A closed fork has no volume to flush.
  EXPECT_EQ(rfNumErr, debugCloseLogFile(4321));
}

TEST_F(LogTest, PrimitivesAppendToAnOpenLogAndCloseReportsTheFlush) {
  SInt16 refNum = debugOpenLogfile();
  ASSERT_GT(refNum, 0);
  EXPECT_EQ(noErr, debugWriteCString(refNum, "text"));
  EXPECT_EQ(noErr, debugWriteTab(refNum));
  EXPECT_EQ(noErr, debugWriteSInt32(refNum, -2147483647 - 1));
  EXPECT_EQ(noErr, debugWriteUInt64(refNum, 42));
  EXPECT_EQ(noErr, debugWriteAndReleaseCFString(refNum, nullptr));
  EXPECT_EQ(noErr, debugWriteReturn(refNum));
  // Closing flushes the volume that holds the log, and says it did.
  EXPECT_EQ(noErr, debugCloseLogFile(refNum));
  EXPECT_EQ(expectedHeader() + "text\t-2147483648  42  \r", log());
}

// ---- Undated entries --------------------------------------------------------------------------

TEST_F(LogTest, NumberAndTextEntriesAppendExactlyTheirBytes) {
  const std::string longText(3000, 'a');
  const std::string fitting(2047, 'b');
  const struct {
    const char* what;
    std::function<void()> call;
    std::string expected;
  } cases[] = {
      {"hex 255", [] { debugAddLongHex(255); }, "ff\n"},
      {"hex 32 bits", [] { debugAddLongHex(0xDEADBEEF); }, "deadbeef\n"},
      {"hex 16 bits", [] { debugAddUInt16Hex(0xBEEF); }, "beef\n"},
      {"hex 0", [] { debugAddUInt16Hex(0); }, "0\n"},
      {"octal 493", [] { debugAddUInt16Octal(493); }, "755\n"},
      {"long", [] { debugAddLong(-43); }, "-43  "},
      {"two longs in a row", [] { debugAddLong(1481); debugAddLong(-7); }, "1481  -7  "},
      {"long long", [] { debugAddLongLong(18446744073709551615ull); }, "18446744073709551615  "},
      {"Pascal string", [] { debugAddToLog(reinterpret_cast<ConstStr255Param>("\x05hello world")); }, "hello"},
      {"format", [] { debugFormat("%d|%s|%5.2f", 7, "x", 3.14159); }, "7|x| 3.14\r"},
      {"format cut at 2,047 bytes", [&] { debugFormat("%s", longText.c_str()); }, std::string(2047, 'a') + "\r"},
      {"format of 2,047 bytes kept whole", [&] { debugFormat("%s", fitting.c_str()); }, fitting + "\r"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.expected, appendedBy(c.call)) << c.what;
  }
}

// ---- Dated entries ----------------------------------------------------------------------------

TEST_F(LogTest, AssertionAndProtocolRecordsHaveTheirMixedLineEnds) {
  const struct {
    const char* what;
    std::function<void()> call;
    std::string rest;
  } cases[] = {
      {"assertion", [] { debugAssertFailed(-43, "fileEngine", 138); }, "fileEngine\t138\t-43\n"},
      {"assertion with status 0", [] { debugAssertFailed(0, "memoryEngine2", 5); }, "memoryEngine2\t5\t0\n"},
      {"protocol", [] { debugProtocoll("Error in Datasize", "memoryEngine2", 1481); },
       "memoryEngine2\t1481  \tError in Datasize\r"},
      {"long string with a zero byte", [] { debugProtocolLongString("ab\0cd", 5, "checkSum", 9); },
       std::string("checkSum\t9  \tab\0cd\r", 19)},
      {"Pascal string", [] { debugProtocollPString(reinterpret_cast<ConstStr255Param>("\x03xyzzz"), "fileEngine", 77); },
       "fileEngine\t77  \txyz\r"},
  };
  for (const auto& c : cases) {
    std::string bytes = appendedBy(c.call);
    EXPECT_TRUE(isDated(bytes, c.rest)) << c.what << ": " << bytes;
  }
}

TEST_F(LogTest, CFStringsGoOutInMacRomanElseUTF8) {
  const struct {
    const char* what;
    std::u16string text;
    std::string bytes;
  } cases[] = {
      {"e acute is one MacRoman byte", u"caf\u00E9", "caf\x8E"},
      {"Japanese has no MacRoman form", u"\u65E5\u672C\u8A9E", "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E"},
      {"3 units, 256-byte buffer", u"\u65E5\u672Ca", "\xE6\x97\xA5\xE6\x9C\xAC" "a"},
      {"4 units, 80-byte buffer", u"\u65E5\u672C\u8A9E\u00E9", "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E\xC3\xA9"},
      {"a character beyond 16 bits", u"\U0001F600", "\xF0\x9F\x98\x80"},
      {"long text", std::u16string(500, u'\u00FC'), std::string(500, '\x9F')},
      {"a lone surrogate has neither form", std::u16string(1, char16_t(0xD83D)), ""},
      {"empty", u"", ""},
  };
  for (const auto& c : cases) {
    CFStringRef s = CFStringCreateWithCharacters(nullptr, reinterpret_cast<const UniChar*>(c.text.data()),
                                                 CFIndex(c.text.size()));
    ASSERT_NE(nullptr, s);
    CFRetain(s);  // one reference of our own, to see that the log released the one it was given
    std::string bytes = appendedBy([&] { debugLogCFString(s); });
    EXPECT_TRUE(isDated(bytes, c.bytes + "\r")) << c.what << ": " << bytes;
    EXPECT_EQ(1, CFGetRetainCount(s)) << c.what;
    CFRelease(s);
  }
}

TEST_F(LogTest, FilePathEntryShowsLabelNumberAndPathWhenThereAreSome) {
  fs::path item = desk / "item.txt";
  writeFile(item, "x");
  FSRef ref;
  ASSERT_EQ(noErr, FSPathMakeRef(reinterpret_cast<const UInt8*>(item.c_str()), &ref, nullptr));
  fs::path deep = desk;
  while (deep.string().size() <= 1100) deep /= std::string(100, 'd');
  fs::create_directories(deep);
  FSRef deepRef;
  ASSERT_EQ(noErr, FSPathMakeRef(reinterpret_cast<const UInt8*>(deep.c_str()), &deepRef, nullptr));
  const std::string path = item.string();
  const struct {
    const char* what;
    const FSRef* ref;
    const char* label;
    SInt32 number;
    std::string rest;
  } cases[] = {
      {"label and number", &ref, "label", 7, "label\t7  \t" + path + "\r"},
      {"neither", &ref, nullptr, 0, path + "\r"},
      {"label only", &ref, "label", 0, "label\t" + path + "\r"},
      {"number only", &ref, nullptr, -3, "-3  \t" + path + "\r"},
      {"no reference", nullptr, "x", 0, "x\t\r"},
      {"path longer than 1,024 bytes", &deepRef, "deep", 2, "deep\t2  \t\r"},
  };
  for (const auto& c : cases) {
    std::string bytes = appendedBy([&] { debugLogFilePath(c.ref, c.label, c.number); });
    EXPECT_TRUE(isDated(bytes, c.rest)) << c.what << ": " << bytes;
  }
}

TEST_F(LogTest, FileInformationAddsSixCatalogEntries) {
  fs::path item = desk / "info.txt";
  writeFile(item, "x");
  ASSERT_EQ(0, chmod(item.c_str(), 0640));
  FSRef ref;
  ASSERT_EQ(noErr, FSPathMakeRef(reinterpret_cast<const UInt8*>(item.c_str()), &ref, nullptr));
  FSCatalogInfo info{};
  ASSERT_EQ(noErr, FSGetCatalogInfo(&ref, 0x2CC7E, &info, nullptr, nullptr, nullptr));
  char six[256];
  std::snprintf(six, sizeof six, "%x\n%x\n%lx\n%lx\n%x\n%o\n", unsigned(info.nodeFlags), unsigned(info.userPrivileges),
                static_cast<unsigned long>(info.permissions.userID), static_cast<unsigned long>(info.permissions.groupID),
                unsigned(info.permissions.userAccess), unsigned(info.permissions.mode));
  EXPECT_NE(std::string::npos, std::string(six).find("\n100640\n"));
  std::string bytes = appendedBy([&] { debugLogFileInformation(&ref, "what", 0); });
  EXPECT_TRUE(isDated(bytes, "what\t" + item.string() + "\r" + six)) << bytes;
}

TEST_F(LogTest, FileInformationOnAVanishedItemRecordsTheFailureAndZeros) {
  fs::path item = desk / "gone.txt";
  writeFile(item, "x");
  FSRef ref;
  ASSERT_EQ(noErr, FSPathMakeRef(reinterpret_cast<const UInt8*>(item.c_str()), &ref, nullptr));
  fs::remove(item);
  std::string bytes = appendedBy([&] { debugLogFileInformation(&ref, nullptr, 0); });
  // The path entry without a path, the catalog query's failure, six zeros.
  std::regex expected("[^\t\r\n]*\t[^\t\r\n]*\t\r[^\t\r\n]*\t[^\t\r\n]*\tmyDebug\t[0-9]+\t-43\n0\n0\n0\n0\n0\n0\n");
  EXPECT_TRUE(std::regex_match(bytes, expected)) << bytes;
}

// ---- A log that cannot be opened ---------------------------------------------------------------

// Every entry operation, each expected to return 0 and write nothing.
void expectEveryEntryIsASilentNoOp(const fs::path& watched) {
  std::string before = readFile(watched);
  bool existed = fs::exists(watched);
  FSRef ref;
  ASSERT_EQ(noErr, FSPathMakeRef(reinterpret_cast<const UInt8*>("/"), &ref, nullptr));
  CFStringRef s = CFStringCreateWithCString(nullptr, "text", kCFStringEncodingUTF8);
  CFRetain(s);
  EXPECT_EQ(0, debugOpenLogfile());
  EXPECT_EQ(0, debugAddToLog(reinterpret_cast<ConstStr255Param>("\x02hi")));
  EXPECT_EQ(0, debugAddLong(1));
  EXPECT_EQ(0, debugAddLongLong(2));
  EXPECT_EQ(0, debugAddLongHex(3));
  EXPECT_EQ(0, debugAddUInt16Hex(4));
  EXPECT_EQ(0, debugAddUInt16Octal(5));
  EXPECT_EQ(0, debugFormat("%d", 6));
  EXPECT_EQ(0, debugLogCFString(s));
  EXPECT_EQ(1, CFGetRetainCount(s));  // taken over and released all the same
  CFRelease(s);
  EXPECT_EQ(0, debugAssertFailed(-43, "fileEngine", 138));
  EXPECT_EQ(0, debugProtocoll("m", "x", 1));
  EXPECT_EQ(0, debugProtocolLongString("m", 1, "x", 1));
  EXPECT_EQ(0, debugProtocollPString(reinterpret_cast<ConstStr255Param>("\x01m"), "x", 1));
  EXPECT_EQ(0, debugLogFilePath(&ref, "l", 1));
  EXPECT_EQ(0, debugLogFileInformation(&ref, "l", 1));
  EXPECT_EQ(existed, fs::exists(watched));
  EXPECT_EQ(before, readFile(watched));
}

TEST_F(LogTest, DesktopThatIsAFileMakesEveryEntryANoOp) {
  fs::path file = desk / "not a folder";
  writeFile(file, "contents");
  ScopedEnv env("XDG_DESKTOP_DIR", file.c_str());
  expectEveryEntryIsASilentNoOp(file);
}

TEST_F(LogTest, ReadOnlyDesktopOrLogMakesEveryEntryANoOp) {
  PermissionsBind bind;
  if (!bind.active()) GTEST_SKIP() << "cannot make permissions bind for this process";
  fs::path readOnlyDesk = desk / "read-only";
  fs::create_directory(readOnlyDesk);
  ASSERT_EQ(0, chmod(readOnlyDesk.c_str(), 0555));
  {
    ScopedEnv env("XDG_DESKTOP_DIR", readOnlyDesk.c_str());
    expectEveryEntryIsASilentNoOp(readOnlyDesk / "RZM Log.txt");
  }
  writeFile(logPath, "old entries\r");
  ASSERT_EQ(0, chmod(logPath.c_str(), 0444));
  expectEveryEntryIsASilentNoOp(logPath);
  chmod(readOnlyDesk.c_str(), 0755);
}

// ---- Timer and numbers on standard output ------------------------------------------------------

TEST(DebugCounter, PrintsTicksSinceStartAcrossAWrapOfTheCounter) {
  testing::internal::CaptureStdout();
  debugDisplayNumber(-7);
  gCounterTicks = TickCount() + 100;  // as if started just before the counter wrapped
  const UInt32 started = gCounterTicks;
  debugCounterStop();
  debugCounterStop();
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(started, gCounterTicks);
  std::smatch m;
  ASSERT_TRUE(std::regex_match(out, m, std::regex("Orbandel: -7\nOrbandel Time: ([0-9]+) ticks\nOrbandel Time: ([0-9]+) ticks\n")))
      << out;
  const unsigned long long first = std::stoull(m[1]), second = std::stoull(m[2]);
  EXPECT_GE(first, 4294967296ull - 100);
  EXPECT_LT(first, 4294967296ull);
  EXPECT_GE(second, first);

  testing::internal::CaptureStdout();
  debugCounterStart();
  debugCounterStop();
  out = testing::internal::GetCapturedStdout();
  ASSERT_TRUE(std::regex_match(out, m, std::regex("Orbandel Time: ([0-9]+) ticks\n"))) << out;
  EXPECT_LT(std::stoull(m[1]), 4294967296ull - 100);
}

}  // namespace
