// Publishing with velm-export through a real velm-server: photos published already are left
// out (by their caption's page or by the ledger, which knows copies too), --republish,
// --retry-failed, dry runs that send and store nothing, JSON results, and a ledger that is no
// ledger.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <cstdio>
#include <map>
#include <thread>
#include <string>
#include <vector>

#include "ServerProcess.h"
#include "TestSupport.h"

namespace fs = std::filesystem;

namespace {

std::string quote(const std::string& s) { return "'" + s + "'"; }

struct Outcome {
  int status;
  std::string out, err;
};

bool has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

std::vector<std::string> linesOf(const std::string& text) {
  std::vector<std::string> lines;
  for (size_t at = 0; at < text.size();) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(at, end - at));
    at = end + 1;
  }
  return lines;
}

std::string percentDecoded(const std::string& s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '%' && i + 2 < s.size()) {
      out.push_back(static_cast<char>(std::stoi(s.substr(i + 1, 2), nullptr, 16)));
      i += 2;
    } else {
      out.push_back(s[i] == '+' ? ' ' : s[i]);
    }
  }
  return out;
}

// One upload as the service received it: its query's values, decoded.
using Upload = std::map<std::string, std::string>;

// A sidecar of XMP, written as other programs write them.
std::string xmpPacket(const std::string& description) {
  return "<?xpacket begin=\"\xEF\xBB\xBF\" id=\"W5M0MpCehiHzreSzNTczkc9d\"?>\n"
         "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\">\n"
         " <rdf:RDF xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\">\n"
         "  <rdf:Description rdf:about=\"\" xmlns:dc=\"http://purl.org/dc/elements/1.1/\"\n"
         "    xmlns:exif=\"http://ns.adobe.com/exif/1.0/\" xmlns:lr=\"http://ns.adobe.com/lightroom/1.0/\"\n"
         "    xmlns:digiKam=\"http://www.digikam.org/ns/1.0/\" xmlns:photoshop=\"http://ns.adobe.com/photoshop/1.0/\">\n" +
         description +
         "  </rdf:Description>\n"
         " </rdf:RDF>\n"
         "</x:xmpmeta>\n"
         "<?xpacket end=\"w\"?>\n";
}

std::string bag(const char* property, const std::vector<std::string>& items) {
  std::string out = "   <" + std::string(property) + "><rdf:Bag>";
  for (const auto& i : items) out += "<rdf:li>" + i + "</rdf:li>";
  return out + "</rdf:Bag></" + property + ">\n";
}

class Publishing : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(server.port(), 0) << server.errorOutput();
    ASSERT_EQ(server.addUser("anna", "secret"), 0);
    ASSERT_EQ(server.addUser("bert", "his secret"), 0);
    for (const char* name : {"Beach.jpg", "Harbour.jpg", "Sketch.jpg", "Summit.jpg"})
      fs::copy_file(fs::path(VELM_SOURCE_DIR) / "samples" / name, dir / name);
  }

  // Runs velm-export as anna on the test's service, with the test's own ledger folder.
  Outcome run(const std::string& arguments, const std::string& account = "anna",
              const std::string& password = "secret") {
    fs::path io = velmtest::makeTempDir("run");
    velmtest::writeFile(io / "in", password + "\n");
    int status = -1;
    velmtest::runCommand("XDG_DATA_HOME=" + quote(data.string()) + " " + VELM_EXPORT_BINARY + " --service " +
                             server.url() + " --account " + account + " --password-stdin " + arguments + " < " +
                             quote((io / "in").string()) + " > " + quote((io / "out").string()) + " 2> " +
                             quote((io / "err").string()),
                         &status);
    return {status, velmtest::readFile(io / "out"), velmtest::readFile(io / "err")};
  }
  std::string photo(const std::string& name) { return quote((dir / name).string()); }
  std::string photos(std::initializer_list<const char*> names) {
    std::string out;
    for (const char* n : names) out += photo(n) + " ";
    return out;
  }

  // The uploads the service received so far, in order.
  std::vector<Upload> uploads() {
    std::vector<Upload> out;
    for (const auto& line : linesOf(server.requestLog())) {
      size_t at = line.find("/api/post_photo_xml.php?");
      if (at == std::string::npos) continue;
      std::string query = line.substr(at + 24);
      query = query.substr(0, query.find(' '));
      Upload u;
      for (size_t p = 0; p <= query.size();) {
        size_t amp = query.find('&', p);
        if (amp == std::string::npos) amp = query.size();
        std::string pair = query.substr(p, amp - p);
        size_t eq = pair.find('=');
        if (eq != std::string::npos) u[pair.substr(0, eq)] = percentDecoded(pair.substr(eq + 1));
        p = amp + 1;
      }
      out.push_back(u);
    }
    return out;
  }
  fs::path ledger() const { return data / "velm-export" / "ledger.sqlite"; }
  std::string pages() const { return server.url() + "/photo/"; }

  velmtest::ServerProcess server;
  fs::path dir = velmtest::makeTempDir("photos");
  fs::path data = velmtest::makeTempDir("data");
};

// "NAME: PAGE" lines of a run's results, by name.
std::map<std::string, std::string> resultsOf(const std::string& out) {
  std::map<std::string, std::string> r;
  for (const auto& line : linesOf(out)) {
    size_t colon = line.find(": ");
    if (colon != std::string::npos) r[line.substr(0, colon)] = line.substr(colon + 2);
  }
  return r;
}

TEST_F(Publishing, ASecondRunLeavesEveryPhotoOutAndChangesNoCaption) {
  Outcome first = run(photos({"Beach.jpg", "Harbour.jpg"}));
  ASSERT_EQ(first.status, 0) << first.err;
  auto pagesOf = resultsOf(first.out);
  ASSERT_EQ(pagesOf["Beach"].rfind(pages(), 0), 0u) << first.out;
  std::string beachSidecar = velmtest::readFile(dir / "Beach.jpg.xmp");
  std::string harbourSidecar = velmtest::readFile(dir / "Harbour.jpg.xmp");
  ASSERT_TRUE(has(beachSidecar, pagesOf["Beach"]));

  // The ledger is the user's alone.
  struct stat st {};
  ASSERT_EQ(stat(ledger().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  ASSERT_EQ(stat(ledger().parent_path().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);

  Outcome second = run(photos({"Beach.jpg", "Harbour.jpg"}));
  EXPECT_EQ(second.status, 0) << second.err;
  EXPECT_EQ(second.out, "Beach: already published: " + pagesOf["Beach"] + "\nHarbour: already published: " +
                            pagesOf["Harbour"] + "\n0 uploaded, 0 failed, 0 not exported, 2 already published\n");
  EXPECT_TRUE(has(second.err, "2 photos are published already, left out (--republish uploads again)")) << second.err;
  EXPECT_EQ(uploads().size(), 2u);
  EXPECT_EQ(velmtest::readFile(dir / "Beach.jpg.xmp"), beachSidecar);
  EXPECT_EQ(velmtest::readFile(dir / "Harbour.jpg.xmp"), harbourSidecar);
}

TEST_F(Publishing, TheLedgerKnowsACopyUnderAnotherNameForTheSameAccountOnly) {
  // A copy in the same export goes once.
  fs::copy_file(dir / "Harbour.jpg", dir / "Harbour copy.jpg");
  Outcome first = run(photos({"Harbour.jpg", "Harbour copy.jpg"}));
  ASSERT_EQ(first.status, 0) << first.err;
  std::string page = resultsOf(first.out)["Harbour"];
  EXPECT_EQ(first.out, "Harbour: " + page + "\nHarbour copy: left out: the same photo as Harbour\n"
                       "1 uploaded, 0 failed, 0 not exported, 1 left out\n");
  EXPECT_TRUE(has(first.err, "1 photo is the same as an earlier one of this export, left out")) << first.err;
  ASSERT_EQ(uploads().size(), 1u);
  // A renamed copy elsewhere has no sidecar: only its bytes tell.
  fs::path elsewhere = velmtest::makeTempDir("elsewhere");
  fs::copy_file(dir / "Harbour.jpg", elsewhere / "IMG_0042.jpg");
  const std::string copy = quote((elsewhere / "IMG_0042.jpg").string());

  Outcome again = run(copy);
  EXPECT_EQ(again.status, 0) << again.err;
  EXPECT_EQ(again.out, "IMG_0042: already published: " + page +
                           "\n0 uploaded, 0 failed, 0 not exported, 1 already published\n");
  EXPECT_EQ(uploads().size(), 1u);

  // Another account has not published it.
  Outcome bert = run(copy, "bert", "his secret");
  EXPECT_EQ(bert.status, 0) << bert.err;
  EXPECT_EQ(resultsOf(bert.out)["IMG_0042"].rfind(pages(), 0), 0u) << bert.out;
  EXPECT_EQ(uploads().size(), 2u);
}

TEST_F(Publishing, RepublishUploadsOnceMoreAndTheCaptionSentHoldsNoEarlierPage) {
  Outcome first = run(photos({"Beach.jpg", "Sketch.jpg"}));
  ASSERT_EQ(first.status, 0) << first.err;
  auto earlier = resultsOf(first.out);

  Outcome again = run("--republish " + photos({"Beach.jpg", "Sketch.jpg"}));
  ASSERT_EQ(again.status, 0) << again.err;
  auto now = resultsOf(again.out);
  EXPECT_NE(now["Beach"], earlier["Beach"]);
  EXPECT_EQ(now["Beach"].rfind(pages(), 0), 0u) << again.out;

  std::vector<Upload> sent = uploads();
  ASSERT_EQ(sent.size(), 4u);
  // What the service got the second time is what it got the first time: no page in it.
  EXPECT_EQ(sent[2]["description"], "Morning at the beach");
  EXPECT_EQ(sent[3]["description"], "");
  for (auto& u : sent) EXPECT_FALSE(has(u["description"], "/photo/")) << u["description"];
  // The caption keeps every page it was given.
  std::string sidecar = velmtest::readFile(dir / "Beach.jpg.xmp");
  EXPECT_TRUE(has(sidecar, earlier["Beach"]) && has(sidecar, now["Beach"])) << sidecar;
}

TEST_F(Publishing, RetryFailedExportsJustThePhotosTheLastFailedRunLeft) {
  // The service refuses requests longer than 8192 bytes: two photos get that many keywords.
  std::vector<std::string> many(2000, "keyword");
  for (const char* name : {"Harbour.jpg.xmp", "Summit.jpg.xmp"})
    velmtest::writeFile(dir / name, xmpPacket(bag("dc:subject", many)));
  Outcome first = run(photos({"Beach.jpg", "Harbour.jpg", "Sketch.jpg", "Summit.jpg"}));
  ASSERT_EQ(first.status, 1) << first.err;
  auto results = resultsOf(first.out);
  EXPECT_EQ(results["Harbour"].rfind("failed: ", 0), 0u) << first.out;
  EXPECT_EQ(results["Summit"].rfind("failed: ", 0), 0u) << first.out;
  EXPECT_EQ(results["Beach"].rfind(pages(), 0), 0u) << first.out;
  const size_t before = uploads().size();

  // Mended, then retried: just those two go out, without naming a photo.
  for (const char* name : {"Harbour.jpg.xmp", "Summit.jpg.xmp"}) fs::remove(dir / name);
  Outcome retry = run("--retry-failed");
  EXPECT_EQ(retry.status, 0) << retry.err;
  auto retried = resultsOf(retry.out);
  EXPECT_EQ(retried.size(), 2u) << retry.out;  // the two photos, and nothing else
  EXPECT_EQ(retried["Harbour"].rfind(pages(), 0), 0u) << retry.out;
  EXPECT_EQ(retried["Summit"].rfind(pages(), 0), 0u) << retry.out;
  EXPECT_TRUE(has(retry.err, "exporting 2 photos that the last failed run left")) << retry.err;
  std::vector<Upload> sent = uploads();
  ASSERT_EQ(sent.size(), before + 2);
  EXPECT_EQ(sent[before]["caption"], "Harbour");
  EXPECT_EQ(sent[before + 1]["caption"], "Summit");

  // The same failed run is still the last one that failed, but its photos are published now.
  Outcome twice = run("--retry-failed");
  EXPECT_EQ(twice.status, 0) << twice.err;
  EXPECT_TRUE(has(twice.out, "0 uploaded, 0 failed, 0 not exported, 2 already published")) << twice.out;
  EXPECT_EQ(uploads().size(), before + 2);

  // Another account has no failed run.
  Outcome bert = run("--retry-failed", "bert", "his secret");
  EXPECT_EQ(bert.status, 0);
  EXPECT_TRUE(has(bert.err, "nothing to retry")) << bert.err;
  EXPECT_EQ(uploads().size(), before + 2);
}

TEST_F(Publishing, ADryRunShowsWhatWouldBeSentAndSendsAndStoresNothing) {
  Outcome first = run(photo("Harbour.jpg"));
  ASSERT_EQ(first.status, 0) << first.err;
  std::string page = resultsOf(first.out)["Harbour"];
  std::string ledgerBefore = velmtest::readFile(ledger());
  std::string logBefore = server.requestLog();

  velmtest::writeFile(dir / "Summit.jpg.xmp",
                      xmpPacket("   <dc:description><rdf:Alt><rdf:li xml:lang=\"x-default\">Above the clouds, "
                                "again</rdf:li></rdf:Alt></dc:description>\n" +
                                bag("dc:subject", {"Andes", "snow"})));
  std::string sidecar = velmtest::readFile(dir / "Summit.jpg.xmp");
  // No password is needed.
  Outcome dry = run("--dry-run --size 800 --privacy 800 --album Trips " + photos({"Harbour.jpg", "Summit.jpg"}),
                    "anna", "");
  EXPECT_EQ(dry.status, 0) << dry.err;
  EXPECT_EQ(dry.out, "Harbour: left out: already published: " + page +
                         "\n"
                         "Summit: would upload\n"
                         "  file: " + (dir / "Summit.jpg").string() + "\n"
                         "  caption: \"Above the clouds, again\"\n"
                         "  keywords: Andes, snow\n"
                         "  position: -33.450000, -70.666700\n"
                         "  size: 800 pixels (800 x 533)\n"
                         "  privacy: Family\n"
                         "  album: \"Trips\"\n"
                         "dry run: 1 would be uploaded, 1 left out; nothing was sent or stored\n");
  EXPECT_EQ(server.requestLog(), logBefore) << "the dry run reached the service";
  EXPECT_EQ(velmtest::readFile(ledger()), ledgerBefore);
  EXPECT_EQ(velmtest::readFile(dir / "Summit.jpg.xmp"), sidecar);

  // Without any ledger yet, a dry run makes none.
  fs::remove_all(data / "velm-export");
  Outcome fresh = run("--dry-run " + photo("Sketch.jpg"), "anna", "");
  EXPECT_EQ(fresh.status, 0) << fresh.err;
  EXPECT_FALSE(fs::exists(data / "velm-export"));
  EXPECT_EQ(server.requestLog(), logBefore);
}

// Python's json module reads the document; the script prints one line per photo and the counts.
std::string throughPython(const std::string& json, const std::string& script) {
  fs::path d = velmtest::makeTempDir("json");
  velmtest::writeFile(d / "doc.json", json);
  velmtest::writeFile(d / "read.py", "import json, sys\nd = json.load(open(sys.argv[1]))\n" + script);
  int status = -1;
  std::string out = velmtest::runCommand("python3 " + quote((d / "read.py").string()) + " " +
                                             quote((d / "doc.json").string()) + " 2>&1",
                                         &status);
  return status == 0 ? out : "python failed: " + out;
}

TEST_F(Publishing, JsonResultsParseAndMatchTheRun) {
  Outcome first = run(photo("Beach.jpg"));
  ASSERT_EQ(first.status, 0) << first.err;
  std::string page = resultsOf(first.out)["Beach"];
  velmtest::writeFile(dir / "Summit.jpg.xmp", xmpPacket(bag("dc:subject", std::vector<std::string>(2000, "word"))));

  Outcome r = run("--json " + photos({"Beach.jpg", "Harbour.jpg", "Summit.jpg"}));
  EXPECT_EQ(r.status, 1) << r.err;
  std::string read = throughPython(
      r.out,
      "for p in d['photos']:\n"
      "    print(p['name'], p['status'], (p['address'] or '').startswith('" + pages() +
          "'), p['error'] != 0, bool(p['message']), p['path'].endswith('.jpg'))\n"
      "print(d['uploaded'], d['failed'], d['not_exported'], d['already_published'])\n"
      "print([p['address'] for p in d['photos']][0])\n");
  EXPECT_EQ(read,
            "Beach already published True False False True\n"
            "Harbour uploaded True False False True\n"
            "Summit failed False True True True\n"
            "1 1 0 1\n" + page + "\n")
      << r.out;

  // A dry run's document too.
  Outcome dry = run("--dry-run --json " + photos({"Beach.jpg", "Sketch.jpg"}), "anna", "");
  EXPECT_EQ(dry.status, 0) << dry.err;
  EXPECT_EQ(throughPython(dry.out,
                          "for p in d['photos']:\n"
                          "    print(p['status'], p.get('name'), p.get('reason', '').startswith('already published: "
                          "'), p.get('has_position'), p.get('keywords'))\n"
                          "print(d['dry_run'], d['would_upload'], d['left_out'])\n"),
            "left out Beach True None None\n"
            "would upload Sketch False False []\n"
            "True 1 1\n")
      << dry.out;
}

TEST_F(Publishing, ALedgerThatIsNoLedgerIsNeverReplacedAndStopsTheExport) {
  struct Case {
    const char* what;
    std::string make;  // a shell command that makes the file at $L
    const char* message;
  } cases[] = {
      {"bytes of no database", "head -c 3000 /dev/urandom > \"$L\"", "is damaged or is no ledger"},
      {"another program's database",
       "python3 -c 'import sqlite3,sys; c=sqlite3.connect(sys.argv[1]); c.execute(\"create table t(x)\"); "
       "c.commit()' \"$L\"",
       "is a database of another program"},
      {"a newer ledger",
       "python3 -c 'import sqlite3,sys; c=sqlite3.connect(sys.argv[1]); c.execute(\"pragma user_version=9\"); "
       "c.commit()' \"$L\"",
       "was written by a newer velm-export (schema 9)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove_all(data / "velm-export");
    fs::create_directories(data / "velm-export");
    int status = -1;
    velmtest::runCommand("L=" + quote(ledger().string()) + "; " + c.make, &status);
    ASSERT_EQ(status, 0);
    const std::string before = velmtest::readFile(ledger());
    size_t sent = uploads().size();

    Outcome stopped = run(photo("Sketch.jpg"));
    EXPECT_EQ(stopped.status, 1);
    EXPECT_TRUE(has(stopped.err, "the publication ledger " + ledger().string() + " " + c.message)) << stopped.err;
    EXPECT_TRUE(has(stopped.err, "nothing was exported")) << stopped.err;
    EXPECT_EQ(stopped.out, "");
    EXPECT_EQ(uploads().size(), sent);

    // Nor does a dry run.
    Outcome dry = run("--dry-run " + photo("Sketch.jpg"), "anna", "");
    EXPECT_EQ(dry.status, 0) << dry.err;
    EXPECT_TRUE(has(dry.err, c.message) && has(dry.err, "going on without it")) << dry.err;
    EXPECT_FALSE(has(dry.err, "not an error")) << dry.err;

    // --republish does not rely on it: the export goes on, the file stays as it was.
    Outcome republished = run("--republish " + photo("Sketch.jpg"));
    EXPECT_EQ(republished.status, 0) << republished.err;
    EXPECT_TRUE(has(republished.err, "going on without it")) << republished.err;
    EXPECT_EQ(uploads().size(), sent + 1);
    EXPECT_EQ(velmtest::readFile(ledger()), before);
    EXPECT_EQ(fs::directory_iterator(data / "velm-export")->path(), ledger()) << "a file was added beside it";
  }
}

TEST_F(Publishing, SidecarsOfBothConventionsGiveTitleCaptionAndKeywordsAndGetThePageBack) {
  // Lightroom's NAME.xmp: a title, a caption in two languages, darktable's tags among keywords.
  velmtest::writeFile(dir / "Beach.xmp",
                      xmpPacket("   <dc:title><rdf:Alt><rdf:li xml:lang=\"x-default\">Morning tide</rdf:li></rdf:Alt>"
                                "</dc:title>\n"
                                "   <dc:description><rdf:Alt><rdf:li xml:lang=\"x-default\">At the beach</rdf:li>"
                                "<rdf:li xml:lang=\"de-DE\">Am Strand</rdf:li></rdf:Alt></dc:description>\n" +
                                bag("dc:subject", {"darktable|format|jpg", "sea", "darktable|changed"})));
  // A title that would name a file outside the plug-in's folder.
  velmtest::writeFile(dir / "Sketch.xmp", xmpPacket("   <dc:title><rdf:Alt><rdf:li xml:lang=\"x-default\">../../"
                                                    "escaped</rdf:li></rdf:Alt></dc:title>\n"));
  // darktable's NAME.ext.xmp with hierarchical keywords only.
  velmtest::writeFile(dir / "Harbour.jpg.xmp",
                      xmpPacket(bag("lr:hierarchicalSubject", {"darktable|format|jpg", "Places|Coast|Harbour"})));
  Outcome r = run(photos({"Beach.jpg", "Harbour.jpg", "Sketch.jpg"}));
  ASSERT_EQ(r.status, 0) << r.err;
  auto pagesOf = resultsOf(r.out);
  ASSERT_EQ(pagesOf["Morning tide"].rfind(pages(), 0), 0u) << r.out;
  ASSERT_EQ(pagesOf["../../escaped"].rfind(pages(), 0), 0u) << r.out;
  for (const auto& e : fs::recursive_directory_iterator(velmtest::sandboxDir()))
    EXPECT_EQ(e.path().filename().string().find("escaped"), std::string::npos) << e.path();

  std::vector<Upload> sent = uploads();
  ASSERT_EQ(sent.size(), 3u);
  EXPECT_EQ(sent[2]["caption"], "../../escaped");
  EXPECT_EQ(sent[0]["caption"], "Morning tide");
  EXPECT_EQ(sent[0]["description"], "At the beach");
  EXPECT_EQ(sent[0]["tags"], "sea");
  EXPECT_EQ(sent[1]["caption"], "Harbour");
  EXPECT_EQ(sent[1]["tags"], "Harbour");

  // The page went into the sidecar that was there, with a line feed, the German text kept.
  EXPECT_FALSE(fs::exists(dir / "Beach.jpg.xmp"));
  int status = -1;
  std::string read = velmtest::runCommand("exiftool -j -XMP-dc:Description -XMP-dc:Description-de-DE " +
                                              photo("Beach.xmp"),
                                          &status);
  EXPECT_TRUE(has(read, "\"Description\": \"At the beach\\n\\n" + pagesOf["Morning tide"] + "\"")) << read;
  EXPECT_TRUE(has(read, "\"Description-de-DE\": \"Am Strand\"")) << read;
}

// The JPEG the service keeps for a page, fetched from it, and what exiftool reads in it.
std::string uploadedMetadata(const std::string& page, const std::string& tags) {
  fs::path d = velmtest::makeTempDir("fetched");
  int status = -1;
  velmtest::runCommand("curl -sf -o " + quote((d / "photo.jpg").string()) + " " + quote(page + ".jpg"), &status);
  if (status != 0) return "cannot fetch " + page;
  return velmtest::runCommand("exiftool -s -n " + tags + " " + quote((d / "photo.jpg").string()));
}

// A small camera RAW of our own: a 16-bit single-channel TIFF from vips that exiftool turns
// into a DNG with a colour filter array, a camera, a position and a caption.
void makeDng(const fs::path& path) {
  fs::path d = velmtest::makeTempDir("dng");
  const std::string v = quote((d / "grey.v").string()), tif = quote(path.string());
  int status = -1;
  velmtest::runCommand("vips black " + v + " 96 64 && vips linear " + v + " " + quote((d / "lit.v").string()) +
                           " 1 1800 && vips cast " + quote((d / "lit.v").string()) + " " +
                           quote((d / "raw.v").string()) + " ushort && vips tiffsave " +
                           quote((d / "raw.v").string()) + " " + tif,
                       &status);
  ASSERT_EQ(status, 0);
  velmtest::runCommand(
      "exiftool -q -overwrite_original -n -IFD0:DNGVersion='1 4 0 0' -IFD0:DNGBackwardVersion='1 1 0 0' "
      "-IFD0:UniqueCameraModel='Velm Test' -IFD0:Make=Velm -IFD0:Model=Test -IFD0:PhotometricInterpretation=32803 "
      "-IFD0:CFARepeatPatternDim='2 2' -IFD0:CFAPattern2='0 1 1 2' -IFD0:ColorMatrix1='1 0 0 0 1 0 0 0 1' "
      "-IFD0:CalibrationIlluminant1=21 -IFD0:AsShotNeutral='0.5 1 0.8' -IFD0:WhiteLevel=4095 -IFD0:BlackLevel=0 "
      "-IFD0:Orientation=6 "
      "-GPSLatitude=46.5 -GPSLatitudeRef=S -GPSLongitude=169.25 -GPSLongitudeRef=E "
      "-XMP-dc:Description='Raw at the coast' " + tif,
      &status);
  ASSERT_EQ(status, 0);
}

TEST_F(Publishing, RenderedPhotosCarryTheSidecarsPositionAndRawAndHeicFilesAreDeveloped) {
  // A position kept only in darktable's sidecar, with a caption and keywords.
  velmtest::writeFile(dir / "Sketch.jpg.xmp",
                      xmpPacket("   <exif:GPSLatitude>52,31.2N</exif:GPSLatitude>\n"
                                "   <exif:GPSLongitude>13,24.6E</exif:GPSLongitude>\n"
                                "   <dc:description><rdf:Alt><rdf:li xml:lang=\"x-default\">At the gate</rdf:li>"
                                "</rdf:Alt></dc:description>\n" +
                                bag("dc:subject", {"Berlin", "darktable|format|jpg"})));
  ASSERT_NO_FATAL_FAILURE(makeDng(dir / "Coast.dng"));
  // A HEIC photo with its position in EXIF and its caption and keywords in XMP.
  int made = -1;
  velmtest::runCommand("vips copy " + photo("Beach.jpg") + " " + photo("Dunes.heic") +
                           " && exiftool -q -overwrite_original -XMP-dc:Description='Dunes at noon' "
                           "-XMP-dc:Subject=sand " + photo("Dunes.heic"),
                       &made);
  ASSERT_EQ(made, 0);
  const std::string sketchBytes = velmtest::readFile(dir / "Sketch.jpg"),
                    dngBytes = velmtest::readFile(dir / "Coast.dng");

  Outcome r = run("--privacy 0 " + photos({"Sketch.jpg", "Coast.dng", "Dunes.heic"}));
  ASSERT_EQ(r.status, 0) << r.err << r.out;
  auto pagesOf = resultsOf(r.out);
  std::vector<Upload> sent = uploads();
  ASSERT_EQ(sent.size(), 3u);
  EXPECT_EQ(sent[2]["description"], "Dunes at noon");
  EXPECT_EQ(sent[2]["tags"], "sand");
  EXPECT_EQ(sent[2]["latitude"].substr(0, 6), "48.123");
  EXPECT_EQ(sent[0]["latitude"], "52.520000");
  EXPECT_EQ(sent[0]["longitude"], "13.410000");
  EXPECT_EQ(sent[0]["description"], "At the gate");
  EXPECT_EQ(sent[1]["caption"], "Coast");
  EXPECT_EQ(sent[1]["description"], "Raw at the coast");
  EXPECT_EQ(sent[1]["latitude"], "-46.500000");
  EXPECT_EQ(sent[1]["longitude"], "169.250000");

  // What the service keeps: the merged metadata in the JPEG, the RAW developed at full size.
  EXPECT_EQ(uploadedMetadata(pagesOf["Sketch"], "-GPSLatitude -GPSLongitude -Caption-Abstract -Keywords"),
            "GPSLatitude                     : 52.52\n"
            "GPSLongitude                    : 13.41\n"
            "Caption-Abstract                : At the gate\n"
            "Keywords                        : Berlin\n");
  EXPECT_EQ(uploadedMetadata(pagesOf["Coast"], "-ImageSize -Make -GPSLatitude -GPSLongitude -Orientation"),
            "ImageSize                       : 64 96\n"
            "Make                            : Velm\n"
            "GPSLatitude                     : -46.5\n"
            "GPSLongitude                    : 169.25\n"
            "Orientation                     : 1\n");
  EXPECT_EQ(velmtest::readFile(dir / "Sketch.jpg"), sketchBytes) << "the original changed";
  EXPECT_EQ(velmtest::readFile(dir / "Coast.dng"), dngBytes) << "the original changed";
}

TEST_F(Publishing, NoLocationSendsNoPositionAndTheJpegHasNoGps) {
  velmtest::writeFile(dir / "Harbour.jpg.xmp", xmpPacket("   <exif:GPSLatitude>54,19.3N</exif:GPSLatitude>\n"
                                                         "   <exif:GPSLongitude>10,7.8E</exif:GPSLongitude>\n"));
  Outcome r = run("--no-location " + photos({"Beach.jpg", "Harbour.jpg"}));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(has(r.err, "; no positions")) << r.err;
  // Counted as photos without position: the end page for those opens.
  EXPECT_TRUE(has(r.err, "End page: http://www.velm.com/my/photos/unplaced/")) << r.err;
  auto pagesOf = resultsOf(r.out);
  for (const auto& u : uploads()) {
    EXPECT_EQ(u.at("latitude"), "0.000000");
    EXPECT_EQ(u.at("longitude"), "0.000000");
    EXPECT_EQ(u.at("object_latitude"), "0.000000");
  }
  for (const char* name : {"Beach", "Harbour"})
    EXPECT_EQ(uploadedMetadata(pagesOf[name], "-gps:all -xmp-exif:all"), "") << name;
  EXPECT_TRUE(has(velmtest::runCommand("exiftool -s -GPSLatitude " + photo("Beach.jpg")), "48 deg"))
      << "the original lost its position";
}

TEST_F(Publishing, ALedgerLockedByAnotherProgramStopsTheExportAndIsUsedWhenFree) {
  Outcome first = run(photo("Beach.jpg"));
  ASSERT_EQ(first.status, 0) << first.err;
  // Another program holds the ledger's write lock until its standard input ends.
  const fs::path marker = velmtest::makeTempDir("lock") / "locked";
  FILE* holder = popen(("python3 -c 'import sqlite3, sys; c = sqlite3.connect(sys.argv[1], isolation_level=None); "
                        "c.execute(\"begin exclusive\"); open(sys.argv[2], \"w\").close(); sys.stdin.read()' " +
                        quote(ledger().string()) + " " + quote(marker.string()))
                           .c_str(),
                       "w");
  ASSERT_NE(holder, nullptr);
  while (!fs::exists(marker)) std::this_thread::yield();
  Outcome locked = run(photo("Harbour.jpg"));
  EXPECT_EQ(locked.status, 1);
  EXPECT_TRUE(has(locked.err, "the publication ledger " + ledger().string() + " is in use by another program"))
      << locked.err;
  EXPECT_EQ(uploads().size(), 1u);
  ASSERT_EQ(pclose(holder), 0);

  Outcome free = run(photo("Harbour.jpg") + " " + photo("Beach.jpg"));
  EXPECT_EQ(free.status, 0) << free.err;
  EXPECT_EQ(resultsOf(free.out)["Harbour"].rfind(pages(), 0), 0u) << free.out;
  EXPECT_EQ(resultsOf(free.out)["Beach"].rfind("already published: ", 0), 0u) << free.out;
}

}  // namespace
