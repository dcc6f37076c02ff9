// The script compiler and interpreter, run against an in-memory image library.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "CFTestSupport.h"
#include "NSAppleScript.h"

using velmtest::utf8;

namespace {

CFRef<CFStringRef> str(const std::string& s) {
  return CFRef<CFStringRef>(CFStringCreateWithCString(nullptr, s.c_str(), kCFStringEncodingUTF8));
}

// Image versions by name, each with its IPTC tags.
class Library : public NSAppleScriptTarget {
 public:
  std::map<std::string, std::map<std::string, std::string>> versions;
  OSStatus refuseWrites = noErr;
  int writes = 0;

  bool respondsToApplicationName(CFStringRef name) override { return utf8(name) == "Aperture"; }
  bool hasImageVersion(CFStringRef v) override { return versions.count(utf8(v)) != 0; }
  OSStatus copyIPTCTagValue(CFStringRef v, CFStringRef tag, CFStringRef* value) override {
    auto& tags = versions[utf8(v)];
    auto it = tags.find(utf8(tag));
    if (it == tags.end()) return errAENoSuchObject;
    *value = str(it->second).release();
    return noErr;
  }
  OSStatus makeIPTCTag(CFStringRef v, CFStringRef tag, CFStringRef value) override {
    if (refuseWrites) return refuseWrites;
    ++writes;
    versions[utf8(v)][utf8(tag)] = utf8(value);
    return noErr;
  }
  OSStatus setIPTCTagValue(CFStringRef v, CFStringRef tag, CFStringRef value) override {
    if (refuseWrites) return refuseWrites;
    auto& tags = versions[utf8(v)];
    if (!tags.count(utf8(tag))) return errAENoSuchObject;
    ++writes;
    tags[utf8(tag)] = utf8(value);
    return noErr;
  }
};

// The caption write-back script with its three slots filled.
std::string captionScript(const std::string& version, const std::string& url) {
  std::string t =
      "tell application \"Aperture\"  \r tell image version \"%@\" \r try \r set myComment to value of IPTC tag "
      "\"Caption/Abstract\" \r \ton error  \r set myComment to \"\" \r end try \r if (myComment = \"\") then \r "
      "\tmake new IPTC tag with properties {name:\"Caption/Abstract\", value:\"%@\"} \r else \r set value of IPTC tag "
      "\"Caption/Abstract\" to myComment & return & return & \"%@\" \r end if \r end tell \r end tell";
  for (const std::string& v : {version, url, url}) t.replace(t.find("%@"), 2, v);
  return t;
}

struct Outcome {
  bool ok;
  std::string message;
  SInt32 number = 0;
  std::string range;
};

Outcome run(const std::string& source) {
  NSAppleScript script;
  script.initWithSource(str(source).get());
  CFRef<CFDictionaryRef> error;
  CFRef<CFTypeRef> result(script.executeAndReturnError(error.receive()));
  Outcome o{result != nullptr, "", 0, ""};
  if (error) {
    o.message = utf8(static_cast<CFStringRef>(CFDictionaryGetValue(error.get(), NSAppleScriptErrorMessage)));
    CFNumberGetValue(static_cast<CFNumberRef>(CFDictionaryGetValue(error.get(), NSAppleScriptErrorNumber)),
                     kCFNumberSInt32Type, &o.number);
    auto range = static_cast<CFStringRef>(CFDictionaryGetValue(error.get(), NSAppleScriptErrorRange));
    if (range) o.range = utf8(range);
  }
  EXPECT_NE(o.ok, error != nullptr) << "a result and an error, or neither";
  return o;
}

class ScriptTest : public ::testing::Test {
 protected:
  void SetUp() override { NSAppleScriptSetScriptingTarget(&library); }
  void TearDown() override { NSAppleScriptSetScriptingTarget(nullptr); }
  Library library;
};

TEST_F(ScriptTest, CaptionScriptCreatesTheTagWhenThereIsNone) {
  library.versions["IMG_1"] = {};
  Outcome o = run(captionScript("IMG_1", "http://127.0.0.1/p/1"));
  ASSERT_TRUE(o.ok) << o.message;
  EXPECT_EQ(library.versions["IMG_1"]["Caption/Abstract"], "http://127.0.0.1/p/1");
}

TEST_F(ScriptTest, CaptionScriptAppendsAfterTwoReturns) {
  library.versions["IMG_2"] = {{"Caption/Abstract", "Beach"}};
  ASSERT_TRUE(run(captionScript("IMG_2", "u1")).ok);
  EXPECT_EQ(library.versions["IMG_2"]["Caption/Abstract"], "Beach\r\ru1");
  ASSERT_TRUE(run(captionScript("IMG_2", "u2")).ok);
  EXPECT_EQ(library.versions["IMG_2"]["Caption/Abstract"], "Beach\r\ru1\r\ru2");
  // An empty caption counts as none.
  library.versions["IMG_3"] = {{"Caption/Abstract", ""}};
  ASSERT_TRUE(run(captionScript("IMG_3", "u3")).ok);
  EXPECT_EQ(library.versions["IMG_3"]["Caption/Abstract"], "u3");
}

TEST_F(ScriptTest, QuotationMarkInANameDoesNotCompileAndChangesNothing) {
  library.versions["say \"hi\""] = {{"Caption/Abstract", "old"}};
  Outcome o = run(captionScript("say \"hi\"", "u"));
  EXPECT_FALSE(o.ok);
  EXPECT_EQ(o.number, errOSASyntaxTypeError);
  EXPECT_FALSE(o.message.empty());
  EXPECT_EQ(library.writes, 0);
  // Written as a proper string literal, the same name works.
  ASSERT_TRUE(run(captionScript("say \\\"hi\\\"", "u")).ok);
  EXPECT_EQ(library.versions["say \"hi\""]["Caption/Abstract"], "old\r\ru");
}

TEST_F(ScriptTest, AnAddressCannotAddCommands) {
  library.versions["v"] = {};
  std::string hostile = "x\"} \r set value of IPTC tag \"Other\" to \"owned";
  std::string escaped;
  for (char c : hostile) {
    if (c == '"' || c == '\\') escaped.push_back('\\');
    escaped.push_back(c);
  }
  ASSERT_TRUE(run(captionScript("v", escaped)).ok);
  EXPECT_EQ(library.versions["v"].size(), 1u);
  EXPECT_EQ(library.versions["v"]["Caption/Abstract"], hostile);
}

TEST_F(ScriptTest, EscapedLiteralsReadBackAsExactlyTheirText) {
  // Every mark that opens or closes a literal, straight or curly, the backslash and the line
  // breaks: each value, escaped, goes through the caption script unchanged and adds nothing.
  const char* values[] = {
      "Say \u201Chi\u201D",          "\u201D} \r set value of IPTC tag \"Other\" to \u201Cowned",
      "a\"b\\c",                      "back\\\u201D",
      "line\rbreak\nand\ttab",        "\u201C\u201C\u201D\u201D\"\"",
      "",                              "http://127.0.0.1/p/\u201D & return & \u201C",
  };
  for (const char* value : values) {
    library.versions.clear();
    library.versions[value] = {};
    CFRef<CFStringRef> body(NSAppleScriptCopyStringLiteralBody(str(value).get()));
    Outcome o = run(captionScript(utf8(body.get()), utf8(body.get())));
    ASSERT_TRUE(o.ok) << value << ": " << o.message;
    EXPECT_EQ(library.versions.size(), 1u) << value;
    EXPECT_EQ(library.versions[value].size(), 1u) << value;
    EXPECT_EQ(library.versions[value]["Caption/Abstract"], value);
  }
  for (UniChar c : {UniChar(u'"'), UniChar(0x201C), UniChar(0x201D)})
    EXPECT_TRUE(NSAppleScriptOpensString(c) || NSAppleScriptClosesString(c));
  CFRef<CFStringRef> none(NSAppleScriptCopyStringLiteralBody(nullptr));
  EXPECT_EQ(utf8(none.get()), "");
}

TEST_F(ScriptTest, RuntimeFailuresAreReportedWithTheirMessage) {
  Outcome missing = run(captionScript("nowhere", "u"));
  EXPECT_FALSE(missing.ok);
  EXPECT_EQ(missing.number, errAENoSuchObject);
  EXPECT_EQ(missing.message, "Can't get image version \"nowhere\".");

  library.versions["v"] = {{"Caption/Abstract", "c"}};
  library.refuseWrites = errAEWriteDenied;
  Outcome refused = run(captionScript("v", "u"));
  EXPECT_EQ(refused.number, errAEWriteDenied);
  EXPECT_EQ(refused.message, "Can't set IPTC tag \"Caption/Abstract\" of image version \"v\".");
  EXPECT_EQ(library.versions["v"]["Caption/Abstract"], "c");

  Outcome otherApp = run("tell application \"Elsewhere\"\rend tell");
  EXPECT_EQ(otherApp.message, "Can't get application \"Elsewhere\".");
  Outcome undefined = run("set a to b");
  EXPECT_EQ(undefined.number, errOSAUndefinedVariable);
  NSAppleScriptSetScriptingTarget(nullptr);
  EXPECT_FALSE(run(captionScript("v", "u")).ok);
}

TEST_F(ScriptTest, CompileErrors) {
  struct Case {
    const char* source;
    const char* message;
    const char* range;
  } cases[] = {
      {"set a to \"open", "Expected \"\"\" but found end of script.", "{9, 5}"},
      {"frobnicate the photo", "Expected end of line, etc. but found \"frobnicate\".", "{0, 10}"},
      {"tell application \"Aperture\"\r", "Expected \"end\" or \"end tell\" but found end of script.", "{0, 4}"},
      {"try\rset a to \"x\"\rend tell", "Expected \"end\" or \"end try\" but found \"end tell\".", "{21, 4}"},
      {"set a to \"x\"\rend", "Expected end of script but found \"end\".", "{13, 3}"},
      {"if a = \"\" then\rset b to a", "Expected \"end\" or \"end if\" but found end of script.", "{0, 2}"},
      {"set a to \"x\" \"y\"", "Expected end of line but found \"y\".", "{13, 3}"},
      {"make new IPTC tag with properties {name:\"n\"}", "A new IPTC tag needs both a name and a value.", "{34, 1}"},
      {"set a to \"bad \\q escape\"", "Unknown escape sequence \"\\q\" in a string.", "{14, 2}"},
      {"set a to 5", "Expected expression but found \"5\".", "{9, 1}"},
      {"set a to \"x\" % \"y\"", "Expected expression but found unknown token.", "{13, 1}"},
  };
  for (const auto& c : cases) {
    Outcome o = run(c.source);
    EXPECT_FALSE(o.ok) << c.source;
    EXPECT_EQ(o.message, c.message) << c.source;
    EXPECT_EQ(o.range, c.range) << c.source;
  }
  EXPECT_EQ(library.writes, 0);
}

TEST_F(ScriptTest, LanguageDetails) {
  library.versions["v"] = {{"Caption/Abstract", "Beach"}};
  const char* source =
      "-- comments and case do not matter\n"
      "TELL APPLICATION \"Aperture\"\n"
      "  Tell Image Version \"v\"\n"
      "    set C to value of iptc tag \"Caption/Abstract\"\n"
      "    if c is \"BEACH\" then\n"
      "      set value of IPTC tag \"Caption/Abstract\" to c & tab & \"matched\"\n"
      "    end if\n"
      "    try\n"
      "      set x to value of IPTC tag \"Missing\"\n"
      "    on error msg\n"
      "      make new IPTC tag with properties {value:msg, name:\"Why\"}\n"
      "    end try\n"
      "    if c is not \"beach\" then\n"
      "      set value of IPTC tag \"Caption/Abstract\" to \"wrong branch\"\n"
      "    else\n"
      "      (* a block comment *) set done to \"yes\"\n"
      "    end if\n"
      "  end tell\n"
      "end tell\n";
  Outcome o = run(source);
  ASSERT_TRUE(o.ok) << o.message;
  EXPECT_EQ(library.versions["v"]["Caption/Abstract"], "Beach\tmatched");
  EXPECT_EQ(library.versions["v"]["Why"], "Can't get IPTC tag \"Missing\" of image version \"v\".");
  Outcome notBool = run("if \"x\" then\rend if");
  EXPECT_EQ(notBool.number, -1700);
}

TEST(ScriptObject, CompilesOnceAndReportsNothingToCompile) {
  NSAppleScript empty;
  CFRef<CFDictionaryRef> error;
  EXPECT_FALSE(empty.compileAndReturnError(error.receive()));
  EXPECT_TRUE(error);
  NSAppleScript script;
  script.initWithSource(CFSTR("set a to \"1\""));
  EXPECT_FALSE(script.isCompiled());
  EXPECT_TRUE(script.compileAndReturnError(error.receive()));
  EXPECT_FALSE(error);
  EXPECT_TRUE(script.isCompiled());
}

}  // namespace
