// VelmClient against the real velm-server and against scripted loopback servers.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <thread>
#include <regex>
#include <string>
#include <vector>

#include "Md5TestSupport.h"
#include "CoreFoundation.h"
#include "LoopbackServers.h"
#include "ServerProcess.h"
#include "VelmClient.h"

using velmtest::md5Hex;

namespace {

using velmtest::HttpServer;
using velmtest::RawServer;
using velmtest::ServerProcess;

const std::string kBoundary = "---------------------------8f999edae883c6039b244c0d341f45f8";

CFRef<CFStringRef> str(const std::string& s) {
  return CFRef<CFStringRef>(CFStringCreateWithBytes(nullptr, reinterpret_cast<const UInt8*>(s.data()),
                                                    static_cast<CFIndex>(s.size()), kCFStringEncodingUTF8, false));
}

CFRef<CFDataRef> data(const std::string& s) {
  return CFRef<CFDataRef>(CFDataCreate(nullptr, reinterpret_cast<const UInt8*>(s.data()), static_cast<CFIndex>(s.size())));
}

// "(null)" for null, so that absent and empty texts differ in the assertions.
std::string text(CFStringRef s) {
  if (!s) return "(null)";
  CFIndex length = CFStringGetLength(s);
  CFIndex size = 0;
  CFStringGetBytes(s, CFRangeMake(0, length), kCFStringEncodingUTF8, 0, false, nullptr, 0, &size);
  std::string out(static_cast<std::size_t>(size), '\0');
  CFStringGetBytes(s, CFRangeMake(0, length), kCFStringEncodingUTF8, 0, false, reinterpret_cast<UInt8*>(out.data()),
                   size, nullptr);
  return out;
}

std::vector<std::string> names(CFArrayRef list) {
  std::vector<std::string> out;
  for (CFIndex i = 0; list && i < CFArrayGetCount(list); ++i)
    out.push_back(text(static_cast<CFStringRef>(CFArrayGetValueAtIndex(list, i))));
  return out;
}

std::string jpegBytes(std::size_t size) {
  std::string bytes = "\xFF\xD8\xFF\xE0";
  for (std::size_t i = bytes.size(); i < size; ++i) bytes.push_back(static_cast<char>(i * 13));
  return bytes;
}

std::string httpAnswer(const std::string& body, const std::string& status = "200 OK") {
  return "HTTP/1.1 " + status + "\r\nContent-Type: text/xml\r\nContent-Length: " + std::to_string(body.size()) +
         "\r\nConnection: close\r\n\r\n" + body;
}

// A raw server's answers: a fixed signature to signature requests, `answer` to the rest.
RawServer::Responder signatureThen(std::optional<std::string> answer) {
  return [answer](const std::string& request) -> std::optional<std::string> {
    if (request.rfind("GET /api/get_api_signature.php ", 0) == 0) return httpAnswer("S1");
    return answer;
  };
}

// Points the client at a server for the life of the object.
struct ServiceAt {
  explicit ServiceAt(const std::string& url) { setenv("VELM_SERVICE_URL", url.c_str(), 1); }
  ~ServiceAt() { unsetenv("VELM_SERVICE_URL"); }
};

// The request line's target and the body of a raw request.
std::string targetOf(const std::string& request) {
  std::size_t a = request.find(' ');
  std::size_t b = request.find(' ', a + 1);
  return a == std::string::npos || b == std::string::npos ? std::string() : request.substr(a + 1, b - a - 1);
}
std::string bodyOf(const std::string& request) {
  std::size_t at = request.find("\r\n\r\n");
  return at == std::string::npos ? std::string() : request.substr(at + 4);
}

// ---------------------------------------------------------------------------------------
// Against velm-server

class AgainstVelmServer : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(server_.port(), 0) << server_.errorOutput();
    ASSERT_EQ(server_.addUser("anna", "secret"), 0);
    service_ = std::make_unique<ServiceAt>(server_.url());
  }
  void TearDown() override {
    service_.reset();
    EXPECT_EQ(server_.stop(), 0);
    EXPECT_EQ(server_.errorOutput().find("Sanitizer"), std::string::npos) << server_.errorOutput();
  }
  // The logged requests, one "METHOD TARGET STATUS content-length=N" per line. The server
  // logs a request just after answering it, so this waits (a while at most) for `count` lines.
  std::vector<std::string> requests(std::size_t count) const {
    std::vector<std::string> lines;
    for (int attempt = 0; attempt < 500; ++attempt) {
      lines.clear();
      std::string log = server_.requestLog();
      for (std::size_t at = 0, end; (end = log.find('\n', at)) != std::string::npos; at = end + 1)
        lines.push_back(log.substr(at, end - at));
      if (lines.size() >= count) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return lines;
  }

  ServerProcess server_;
  std::unique_ptr<ServiceAt> service_;
};

TEST_F(AgainstVelmServer, CompleteUploadArrivesWithTheDocumentedQueryAndBody) {
  VelmClient client;
  client.setName(CFSTR("anna"), CFSTR("secret"));
  client.setAlbumName(CFSTR("Summer 2008"));
  client.setPrivacy(1000);
  CFRef<CFDataRef> photo = data(jpegBytes(1000));

  ASSERT_EQ(client.uploadFileSync(photo, CFSTR("IMG_1"), CFSTR("Beach"), CFSTR("sea,sun"), 48.1234567, 11.5761249), 0)
      << text(client.getResultDataString());
  std::string url = text(client.getResultURL());
  EXPECT_EQ(url.rfind(server_.url() + "/photo/", 0), 0u) << url;

  std::vector<std::string> log = requests(2);
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[0].rfind("GET /api/get_api_signature.php 200", 0), 0u) << log[0];
  std::smatch m;
  ASSERT_TRUE(std::regex_match(log[1], m, std::regex("POST (\\S+) 200 content-length=(\\d+)"))) << log[1];
  const std::string target = m[1];
  EXPECT_EQ(m[2], "1219");
  std::smatch s;
  ASSERT_TRUE(std::regex_search(target, s, std::regex("api_signature=([0-9a-f]{32})&")));
  const std::string signature = s[1];
  EXPECT_EQ(target, "/api/post_photo_xml.php?auth_user_name=anna&api_signature=" + signature +
                        "&auth_token=" + md5Hex(md5Hex("secret") + signature) +
                        "&caption=IMG_1&description=Beach&tags=sea%2Csun&object_latitude=48.123455"
                        "&object_longitude=11.576125&latitude=48.123455&longitude=11.576125&privacy=1000"
                        "&add_to_album_name=Summer%202008");

  // A second upload fetches a signature of its own.
  ASSERT_EQ(client.uploadFileSync(photo, CFSTR("IMG_2"), nullptr, nullptr, 0, 0), 0);
  log = requests(4);
  ASSERT_EQ(log.size(), 4u);
  EXPECT_EQ(log[2].rfind("GET /api/get_api_signature.php 200", 0), 0u);
  EXPECT_EQ(log[3].find(signature), std::string::npos);
  EXPECT_NE(log[3].find("&caption=IMG_2&description=&tags=&object_latitude=0.000000"), std::string::npos) << log[3];

  // The album list shows the album the uploads went into.
  SInt32 error = -1;
  EXPECT_EQ(names(client.getAlbumListSync(&error)), std::vector<std::string>{"Summer 2008"});
  EXPECT_EQ(error, -1);
}

TEST_F(AgainstVelmServer, WrongPasswordGivesTheServiceErrorAndKeepsItsText) {
  VelmClient client;
  client.setName(CFSTR("anna"), CFSTR("wrong"));
  CFRef<CFDataRef> photo = data(jpegBytes(100));
  EXPECT_EQ(client.uploadFileSync(photo, CFSTR("IMG_1"), CFSTR("x"), CFSTR("y"), 1, 2), 102);
  EXPECT_NE(text(client.getResultDataString()).find("<error code=\"102\">wrong authentication token</error>"),
            std::string::npos);
  EXPECT_EQ(client.getResultURL(), nullptr);

  SInt32 error = 0;
  EXPECT_EQ(client.getAlbumListSync(&error), nullptr);
  EXPECT_EQ(error, 102);
  EXPECT_EQ(client.createAlbumInVelmSync(CFSTR("Summer")), 102);
}

TEST_F(AgainstVelmServer, AlbumsAreCreatedAndListed) {
  VelmClient client;
  client.setName(CFSTR("anna"), CFSTR("secret"));
  EXPECT_EQ(client.createAlbumInVelmSync(CFSTR("Summer 2008")), 0);
  EXPECT_EQ(client.createAlbumInVelmSync(CFSTR("Tom & Jerry")), 0);
  EXPECT_EQ(client.createAlbumInVelmSync(CFSTR("Summer 2008")), 116);
  EXPECT_EQ(client.createAlbumInVelmSync(CFSTR("")), 115);
  SInt32 error = -1;
  // Names come back as they stand between the tags: entities are not decoded.
  EXPECT_EQ(names(client.getAlbumListSync(&error)), (std::vector<std::string>{"Summer 2008", "Tom &amp; Jerry"}));
  EXPECT_EQ(client.getAlbumList(), 98);
}

// ---------------------------------------------------------------------------------------
// The wire format, seen by a raw server

const std::string kOkAnswer = httpAnswer("<rsp stat=\"ok\"><photo><url>http://x/p</url></photo></rsp>");

TEST(VelmClientWire, MultipartBodyIsExactToTheByte) {
  RawServer raw(signatureThen(kOkAnswer));
  ServiceAt at(raw.url());
  VelmClient client;
  client.setName(CFSTR("anna"), CFSTR("secret"));
  const std::string photo = jpegBytes(1000);
  ASSERT_EQ(client.uploadFileSync(data(photo), CFSTR("IMG_1"), CFSTR("Beach"), CFSTR("sea,sun"), 0, 0), 0);
  EXPECT_EQ(text(client.getResultURL()), "http://x/p");

  const std::string request = raw.lastRequest();
  const std::string expected = "--" + kBoundary +
                               "\r\nContent-Disposition: form-data; name=\"file\"; filename=\"IMG_1\"\r\n"
                               "Content-Type: image/jpeg\r\n\r\n" +
                               photo + "\r\n--" + kBoundary + "--";
  EXPECT_EQ(expected.size(), 1219u);
  EXPECT_EQ(bodyOf(request), expected);
  EXPECT_NE(request.find("\r\nContent-Length: 1219\r\n"), std::string::npos) << request.substr(0, 600);
  EXPECT_NE(request.find("\r\nContent-Type: multipart/form-data; boundary=" + kBoundary + "\r\n"), std::string::npos);
}

TEST(VelmClientWire, FileNamesAreQuotedSafelyAndAbsentValuesAreEmpty) {
  struct Case {
    const char* what;
    CFStringRef name;
    const char* header;  // the file name as it stands between the quotation marks
    const char* caption;
    std::size_t photo;
  } cases[] = {
      {"quotation mark and line breaks", CFSTR("a\"b\r\nX-Injected: 1"), "a%22b%0D%0AX-Injected: 1",
       "a%22b%0D%0AX-Injected%3A%201", 10},
      {"unchanged otherwise", CFSTR("Caf\u00e9 50% (1).jpg"), "Caf\xC3\xA9 50% (1).jpg", "Caf%C3%A9%2050%25%20(1).jpg", 10},
      {"absent name", nullptr, "photo.jpg", "", 10},
      {"absent photo", CFSTR("IMG_1"), "IMG_1", "IMG_1", 0},
  };
  for (const auto& c : cases) {
    RawServer raw(signatureThen(kOkAnswer));
    ServiceAt at(raw.url());
    VelmClient client;
    client.setName(CFSTR("anna"), CFSTR("secret"));
    CFRef<CFDataRef> photo = c.photo ? data(jpegBytes(c.photo)) : CFRef<CFDataRef>();
    client.uploadFileSync(photo, c.name, nullptr, nullptr, 0, 0);
    std::string request = raw.lastRequest();
    std::string body = bodyOf(request);
    EXPECT_NE(body.find(std::string("; filename=\"") + c.header + "\"\r\nContent-Type: image/jpeg\r\n\r\n"),
              std::string::npos)
        << c.what << "\n" << body.substr(0, 300);
    EXPECT_EQ(body.size(), 214 + std::strlen(c.header) + c.photo) << c.what;
    EXPECT_NE(targetOf(request).find(std::string("&caption=") + c.caption + "&description=&tags=&"), std::string::npos)
        << c.what << "\n" << targetOf(request);
  }
}

TEST(VelmClientWire, QueryValuesAreEscapedAndCoordinatesNarrowed) {
  struct Case {
    const char* what;
    CFStringRef name;
    double latitude, longitude;
    SInt32 privacy;
    CFStringRef album;
    const char* expectedTail;  // from "&caption=" to the end of the query
  } cases[] = {
      {"ampersand and spaces", CFSTR("Tom & Jerry"), 0, 0, 0, nullptr,
       "&caption=Tom%20%26%20Jerry&description=d&tags=beach%2Csunset&object_latitude=0.000000"
       "&object_longitude=0.000000&latitude=0.000000&longitude=0.000000&privacy=0"},
      {"slash", CFSTR("a/b"), 0, 0, 500, nullptr,
       "&caption=a%2Fb&description=d&tags=beach%2Csunset&object_latitude=0.000000&object_longitude=0.000000"
       "&latitude=0.000000&longitude=0.000000&privacy=500"},
      {"south and east", CFSTR("Caf\u00e9"), -33.8567844, 151.2152967, 800, nullptr,
       "&caption=Caf%C3%A9&description=d&tags=beach%2Csunset&object_latitude=-33.856785"
       "&object_longitude=151.215302&latitude=-33.856785&longitude=151.215302&privacy=800"},
      {"empty album", CFSTR("x"), 48.1234567, 11.5761249, 1000, CFSTR(""),
       "&caption=x&description=d&tags=beach%2Csunset&object_latitude=48.123455&object_longitude=11.576125"
       "&latitude=48.123455&longitude=11.576125&privacy=1000&add_to_album_name="},
      {"album with reserved characters", CFSTR("x"), 0, -0.5, 1000, CFSTR("A+B=C?"),
       "&caption=x&description=d&tags=beach%2Csunset&object_latitude=0.000000&object_longitude=-0.500000"
       "&latitude=0.000000&longitude=-0.500000&privacy=1000&add_to_album_name=A%2BB%3DC%3F"},
  };
  for (const auto& c : cases) {
    RawServer raw(signatureThen(kOkAnswer));
    ServiceAt at(raw.url() + "/");  // a trailing slash is dropped
    VelmClient client;
    client.setName(CFSTR("a b@c"), CFSTR("pw"));
    client.setPrivacy(c.privacy);
    client.setAlbumName(c.album);
    ASSERT_EQ(client.uploadFileSync(data(jpegBytes(10)), c.name, CFSTR("d"), CFSTR("beach,sunset"), c.latitude,
                                    c.longitude),
              0)
        << c.what;
    std::string target = targetOf(raw.lastRequest());
    EXPECT_EQ(target.rfind("/api/post_photo_xml.php?auth_user_name=a%20b%40c&api_signature=S1&auth_token=" +
                               md5Hex(md5Hex("pw") + "S1") + "&caption=",
                           0),
              0u)
        << target;
    std::size_t at_caption = target.find("&caption=");
    ASSERT_NE(at_caption, std::string::npos);
    EXPECT_EQ(target.substr(at_caption), c.expectedTail) << c.what;
  }
}

TEST(VelmClientWire, TokenIsTheMd5OfPasswordHashAndSignature) {
  VelmClient client;
  client.setName(CFSTR("anna"), CFSTR("p\u00e4ss"));
  CFRef<CFStringRef> token(client.getVelmAuthToken(CFSTR("0123abc\n")));
  EXPECT_EQ(text(token), md5Hex(md5Hex("p\xC3\xA4ss") + "0123abc\n"));
}

TEST(VelmClientWire, SignatureIsTheWholeBodyOrEmpty) {
  struct Case {
    std::string answer;
    const char* signature;
  } cases[] = {
      {httpAnswer(" abc\r\n"), " abc\r\n"},
      {httpAnswer(""), ""},
      {httpAnswer(std::string("\xFF\xFE", 2)), ""},
      {"", ""},  // connection closed without an answer
  };
  for (const auto& c : cases) {
    RawServer raw(c.answer);
    ServiceAt at(raw.url());
    VelmClient client;
    CFRef<CFStringRef> s(client.getVelmAPISignatureSync());
    EXPECT_EQ(text(s), c.signature);
  }
}

// ---------------------------------------------------------------------------------------
// Reading answers

TEST(VelmClientAnswers, ResultCodeRules) {
  struct Case {
    std::string answer;
    SInt32 code;
  } cases[] = {
      {"<rsp stat=\"ok\"><url>x</url></rsp>", 0},
      {"<rsp><error code=\"42\">bad</error></rsp>", 42},
      {"<RSP><ERROR CODE=\"42\">BAD</ERROR></RSP>", 42},
      {"<error Code=\"7\"/>", 7},
      {"<error code=\"x42\">", 0},
      {"<error code=\"\">", 0},
      {"<error code=\"0\">", 0},
      {"<error code=\"12", 100},
      {"<error code=\"", 100},
      {"", 100},
      {"<error code=42>", 0},
      {"<error code='5'>", 0},
      {"<error code=\"3\"/><error code=\"4\"/>", 3},
      {"<error code=\"99999999999999\">", INT32_MAX},
      {std::string("\xFF<error code=\"5\">", 17), 0},
  };
  VelmClient client;
  for (const auto& c : cases) {
    EXPECT_EQ(client.processVelmResult(data(c.answer)), c.code) << c.answer;
  }
  EXPECT_EQ(client.processVelmResult(nullptr), 100);
}

TEST(VelmClientAnswers, ResultURLRules) {
  struct Case {
    std::string answer;
    const char* url;
  } cases[] = {
      {"<rsp><url>http://x/p q </url></rsp>", "http://x/p q "},
      {"<url>a</url><url>b</url>", "a"},
      {"<url>a&amp;b</url>", "a&amp;b"},
      {"<url></url>", ""},
      {"<URL>x</URL>", "(null)"},
      {"<url>never closed", "(null)"},
      {"<rsp/>", "(null)"},
      {"", "(null)"},
      {std::string("\xFF<url>x</url>", 13), "(null)"},
  };
  VelmClient client;
  for (const auto& c : cases) {
    CFRef<CFStringRef> url(client.getVelmResultURL(data(c.answer)));
    EXPECT_EQ(text(url), c.url) << c.answer;
  }
}

TEST(VelmClientAnswers, AlbumListRules) {
  std::string sixty;
  for (int i = 1; i <= 60; ++i) sixty += "<album><name>A" + std::to_string(i) + "</name></album>";
  std::vector<std::string> first50;
  for (int i = 1; i <= 50; ++i) first50.push_back("A" + std::to_string(i));

  struct Case {
    const char* what;
    std::string answer;
    bool null;
    SInt32 error;
    std::vector<std::string> names;
  } cases[] = {
      {"three", "<albums_count>3</albums_count><name>a</name><name>b b</name><name>c</name>", false, -1, {"a", "b b", "c"}},
      {"count above the names", "<albums_count>3</albums_count><name>a</name><name>b</name>", false, -1, {"a", "b"}},
      {"80 counted", "<albums_count>80</albums_count>" + sixty, false, -1, first50},
      {"negative count", "<albums_count>-1</albums_count>" + sixty, false, -1, first50},
      {"no count", "<rsp><name>a</name></rsp>", false, -1, {}},
      {"entity and empty name", "<albums_count>2</albums_count><name>Tom &amp; Jerry</name><name></name>", false, -1,
       {"Tom &amp; Jerry", ""}},
      {"nested name counts", "<albums_count>2</albums_count><user><name>me</name></user><name>x</name>", false, -1,
       {"me", "x"}},
      {"not UTF-8", std::string("<albums_count>1</albums_count><name>\xFF</name>"), false, -1, {}},
      {"error element", "<rsp><error code=\"101\">unknown user</error></rsp>", true, 101, {}},
      {"empty answer", "", true, 100, {}},
  };
  for (const auto& c : cases) {
    HttpServer http;
    http.server().Get("/api/get_api_signature.php",
                      [](const httplib::Request&, httplib::Response& res) { res.set_content("sig", "text/plain"); });
    std::string answer = c.answer;
    std::string seen;
    http.server().Get("/api/get_albums_xml.php", [&](const httplib::Request& req, httplib::Response& res) {
      seen = req.target;
      res.set_content(answer, "text/xml");
    });
    ASSERT_NE(http.start(), 0);
    ServiceAt at(http.url());
    VelmClient client;
    client.setName(CFSTR("anna"), CFSTR("secret"));
    SInt32 error = -1;
    CFArrayRef list = client.getAlbumListSync(&error);
    http.stop();
    EXPECT_EQ(list == nullptr, c.null) << c.what;
    EXPECT_EQ(error, c.error) << c.what;
    EXPECT_EQ(names(list), c.names) << c.what;
    EXPECT_EQ(seen, "/api/get_albums_xml.php?auth_user_name=anna&api_signature=sig&auth_token=" +
                        md5Hex(md5Hex("secret") + "sig") + "&user_name=anna");
  }
  VelmClient client;
  EXPECT_EQ(client.getAlbumListFromResult(nullptr), nullptr);
}

// ---------------------------------------------------------------------------------------
// Faults

TEST(VelmClientFaults, UploadFailuresBecomeResultCodes) {
  struct Case {
    const char* what;
    std::optional<std::string> answer;  // what a raw server says; nothing: it stays silent
    bool refused;
    SInt32 code;
    const char* resultText;
    const char* resultURL;
  } cases[] = {
      {"refused connection", std::string(), true, 100, "", "(null)"},
      {"closed mid-answer", "HTTP/1.1 200 OK\r\nContent-Length: 500\r\n\r\n<rsp><photo><url>http://", false, 100, "",
       "(null)"},
      {"HTTP 500 with an error element", httpAnswer("<error code=\"321\">down</error>", "500 Internal Server Error"),
       false, 321, "<error code=\"321\">down</error>", "(null)"},
      {"HTTP 404 without an error element counts as success", httpAnswer("<rsp><url>u</url></rsp>", "404 Not Found"),
       false, 0, "<rsp><url>u</url></rsp>", "u"},
      {"answer not UTF-8", httpAnswer(std::string("<url>\xFF</url>")), false, 0, "(null)", "(null)"},
      {"silent beyond the time-out", std::nullopt, false, 100, "", "(null)"},
  };
  for (const auto& c : cases) {
    RawServer raw(c.answer ? signatureThen(c.answer) : RawServer::Responder([](const std::string&) {
      return std::optional<std::string>();
    }));
    ServiceAt at(c.refused ? "http://127.0.0.1:" + std::to_string(velmtest::closedPort()) : raw.url());
    VelmClient client;
    client.setName(CFSTR("anna"), CFSTR("secret"));
    client.setTimeoutIntervalForTesting(1);
    EXPECT_EQ(client.uploadFileSync(data(jpegBytes(10)), CFSTR("a"), CFSTR("b"), CFSTR("c"), 0, 0), c.code) << c.what;
    EXPECT_EQ(text(client.getResultDataString()), c.resultText) << c.what;
    EXPECT_EQ(text(client.getResultURL()), c.resultURL) << c.what;
  }
}

TEST(VelmClientFaults, HugeOrEndlessAnswersEndTheUpload) {
  // A page address of 10 MB is no answer, and lands nowhere.
  RawServer huge(signatureThen(httpAnswer("<rsp><url>http://x/" + std::string(10 << 20, 'a') + "</url></rsp>")));
  {
    ServiceAt at(huge.url());
    VelmClient client;
    client.setName(CFSTR("anna"), CFSTR("secret"));
    EXPECT_EQ(client.uploadFileSync(data(jpegBytes(10)), CFSTR("a"), CFSTR("b"), CFSTR("c"), 0, 0), 100);
    EXPECT_EQ(text(client.getResultDataString()), "");
    EXPECT_EQ(client.getResultURL(), nullptr);
  }
  // An answer that drips on for ever ends at the deadline.
  velmtest::DripServer drip;
  ServiceAt at(drip.url());
  VelmClient client;
  client.setName(CFSTR("anna"), CFSTR("secret"));
  client.setDeadlineIntervalForTesting(1);
  EXPECT_EQ(client.uploadFileSync(data(jpegBytes(10)), CFSTR("a"), CFSTR("b"), CFSTR("c"), 0, 0), 100);
  EXPECT_EQ(client.getAlbumListSync(nullptr), nullptr);
}

TEST(VelmClientFaults, StopCurrentOperationEndsTheUploadInProgress) {
  velmtest::DripServer drip;
  ServiceAt at(drip.url());
  VelmClient client;
  client.setName(CFSTR("anna"), CFSTR("secret"));
  for (int round = 1; round <= 2; ++round) {
    // Each upload starts afresh after a stop: the second one reaches the service too.
    std::thread stopper([&] {
      drip.waitForDrips(round);
      client.stopCurrentOperation();
    });
    EXPECT_EQ(client.uploadFileSync(data(jpegBytes(10)), CFSTR("a"), CFSTR("b"), CFSTR("c"), 0, 0), 100);
    stopper.join();
  }
  EXPECT_EQ(text(client.getResultDataString()), "");
}

TEST(VelmClientFaults, SignatureThatCannotStandInAURLSendsNothing) {
  RawServer raw(httpAnswer("a b"));
  ServiceAt at(raw.url());
  VelmClient client;
  client.setName(CFSTR("anna"), CFSTR("secret"));
  EXPECT_EQ(client.uploadFileSync(data(jpegBytes(10)), CFSTR("a"), nullptr, nullptr, 0, 0), 100);
  EXPECT_EQ(raw.lastRequest().rfind("GET /api/get_api_signature.php ", 0), 0u);
  EXPECT_EQ(text(client.getResultDataString()), "");
}

TEST(VelmClientFaults, EachUploadDropsThePreviousResults) {
  RawServer ok(signatureThen(kOkAnswer));
  VelmClient client;
  client.setName(CFSTR("anna"), CFSTR("secret"));
  {
    ServiceAt at(ok.url());
    ASSERT_EQ(client.uploadFileSync(data(jpegBytes(10)), CFSTR("a"), nullptr, nullptr, 0, 0), 0);
    EXPECT_EQ(text(client.getResultURL()), "http://x/p");
  }
  RawServer failing(signatureThen(httpAnswer("<error code=\"9\">no</error>")));
  ServiceAt at(failing.url());
  EXPECT_EQ(client.uploadFileSync(data(jpegBytes(10)), CFSTR("a"), nullptr, nullptr, 0, 0), 9);
  EXPECT_EQ(client.getResultURL(), nullptr);
  EXPECT_EQ(text(client.getResultDataString()), "<error code=\"9\">no</error>");
}

// ---------------------------------------------------------------------------------------
// The service's address

TEST(VelmClientService, EnvironmentWinsOverThePreference) {
  RawServer byPreference(signatureThen(kOkAnswer));
  RawServer byEnvironment(signatureThen(kOkAnswer));
  CFRef<CFStringRef> url = str(byPreference.url());
  CFPreferencesSetAppValue(CFSTR("VelmServiceURL"), url.get(), kCFPreferencesCurrentApplication);

  VelmClient client;
  client.setName(CFSTR("anna"), CFSTR("secret"));
  {
    ServiceAt at(byEnvironment.url());
    EXPECT_EQ(client.uploadFileSync(data(jpegBytes(10)), CFSTR("a"), nullptr, nullptr, 0, 0), 0);
  }
  EXPECT_NE(byEnvironment.lastRequest(), "");
  EXPECT_EQ(byPreference.lastRequest(), "");

  EXPECT_EQ(client.uploadFileSync(data(jpegBytes(10)), CFSTR("b"), nullptr, nullptr, 0, 0), 0);
  EXPECT_NE(byPreference.lastRequest().find("&caption=b&"), std::string::npos);
  CFPreferencesSetAppValue(CFSTR("VelmServiceURL"), nullptr, kCFPreferencesCurrentApplication);
}

}  // namespace
