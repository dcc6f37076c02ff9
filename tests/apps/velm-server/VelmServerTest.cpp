// velm-server as a black box: the real binary on a loopback port, spoken to over HTTP.
#include <gtest/gtest.h>
#include <httplib.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <thread>
#include <functional>
#include <memory>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include "Md5TestSupport.h"
#include "ServerProcess.h"
#include "TestSupport.h"

using velmtest::md5Hex;

namespace {

using velmtest::ServerProcess;

const std::string kBoundary = "---------------------------8f999edae883c6039b244c0d341f45f8";

std::string jpegBytes(std::size_t size) {
  std::string bytes = "\xFF\xD8\xFF\xE0";
  for (std::size_t i = bytes.size(); i < size; ++i) bytes.push_back(static_cast<char>(i * 7));
  return bytes;
}

// A multipart body as the client writes it: no line break after the closing delimiter.
std::string multipartBody(const std::string& fileName, const std::string& bytes,
                          const std::string& boundary = kBoundary) {
  return "--" + boundary + "\r\nContent-Disposition: form-data; name=\"file\"; filename=\"" +
         fileName + "\"\r\nContent-Type: image/jpeg\r\n\r\n" + bytes + "\r\n--" + boundary + "--";
}

// Sends bytes over a fresh connection and returns all that comes back until the server closes.
std::string rawExchange(int port, const std::string& bytes) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::string out;
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size())) {
    shutdown(fd, SHUT_WR);
    char buffer[4096];
    ssize_t n;
    while ((n = read(fd, buffer, sizeof buffer)) > 0) out.append(buffer, static_cast<std::size_t>(n));
  }
  close(fd);
  return out;
}

struct Answer {
  int status = 0;
  std::string body;
  // The number of the first error element, -1 when there is none.
  int code() const {
    std::smatch m;
    if (std::regex_search(body, m, std::regex("<error code=\"([0-9]+)\">"))) return std::stoi(m[1]);
    return -1;
  }
  std::string element(const std::string& name) const {
    std::smatch m;
    if (std::regex_search(body, m, std::regex("<" + name + ">([^<]*)</" + name + ">"))) return m[1];
    return {};
  }
};

// One upload request, made of parts that the table cases change.
struct Upload {
  std::vector<std::pair<std::string, std::string>> params;  // escaped values
  std::string body;
  std::string contentType = "multipart/form-data; boundary=" + kBoundary;

  void set(const std::string& key, const std::string& value) {
    for (auto& p : params)
      if (p.first == key) {
        p.second = value;
        return;
      }
    params.emplace_back(key, value);
  }
  void remove(const std::string& key) {
    std::erase_if(params, [&](const auto& p) { return p.first == key; });
  }
  std::string query() const {
    std::string q;
    for (const auto& [k, v] : params) q += "&" + k + "=" + v;
    return q;
  }
};

class VelmServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    server_ = std::make_unique<ServerProcess>(std::vector<std::string>{"--max-upload", "65536"});
    ASSERT_NE(server_->port(), 0) << server_->errorOutput();
    ASSERT_EQ(server_->addUser("anna", "secret"), 0);
    ASSERT_EQ(server_->addUser("bob", "other"), 0);
  }

  // The server ends cleanly, without sanitizer reports (the tests run a sanitizer build).
  void TearDown() override {
    if (!server_ || server_->port() == 0) return;
    EXPECT_EQ(server_->stop(), 0);
    std::string errors = server_->errorOutput();
    EXPECT_EQ(errors.find("Sanitizer"), std::string::npos) << errors;
    EXPECT_EQ(errors.find("runtime error"), std::string::npos) << errors;
  }

  httplib::Client client() const {
    httplib::Client c("127.0.0.1", server_->port());
    c.set_read_timeout(60, 0);
    return c;
  }

  Answer get(const std::string& target) const {
    auto c = client();
    auto r = c.Get(target.c_str());
    if (!r) return {};
    return {r->status, r->body};
  }

  Answer post(const std::string& target, const std::string& body, const std::string& type) const {
    auto c = client();
    auto r = c.Post(target.c_str(), body, type.c_str());
    if (!r) return {};
    return {r->status, r->body};
  }

  std::string signature() const { return get("/api/get_api_signature.php").body; }

  // auth_user_name, api_signature and auth_token for a fresh signature.
  std::string auth(const std::string& user = "anna", const std::string& password = "secret") const {
    std::string s = signature();
    return "auth_user_name=" + user + "&api_signature=" + s +
           "&auth_token=" + md5Hex(md5Hex(password) + s);
  }

  static Upload goodUpload() {
    Upload u;
    u.params = {{"caption", "IMG_1"},
                {"description", "Beach"},
                {"tags", "sea%2Csun"},
                {"object_latitude", "48.123455"},
                {"object_longitude", "11.576125"},
                {"latitude", "48.123455"},
                {"longitude", "11.576125"},
                {"privacy", "1000"},
                {"add_to_album_name", "Summer%202008"}};
    u.body = multipartBody("IMG_1", jpegBytes(1000));
    return u;
  }

  Answer send(const Upload& u, const std::string& authPart) const {
    return post("/api/post_photo_xml.php?" + authPart + u.query(), u.body, u.contentType);
  }
  Answer send(const Upload& u) const { return send(u, auth()); }

  std::size_t storedPhotos() const {
    std::size_t n = 0;
    for (const auto& e : std::filesystem::directory_iterator(server_->dataDir() / "photos")) {
      (void)e;
      ++n;
    }
    return n;
  }

  std::unique_ptr<ServerProcess> server_;
};

TEST_F(VelmServerTest, SignaturesAreFreshAndGoodForOneRequest) {
  std::string a = signature();
  std::string b = signature();
  EXPECT_TRUE(std::regex_match(a, std::regex("[0-9a-f]{32}"))) << a;
  EXPECT_NE(a, b);

  std::string token = md5Hex(md5Hex("secret") + a);
  std::string target = "/api/get_albums_xml.php?auth_user_name=anna&api_signature=" + a +
                       "&auth_token=" + token + "&user_name=anna";
  Answer first = get(target);
  EXPECT_EQ(first.status, 200);
  EXPECT_EQ(first.code(), -1) << first.body;
  Answer again = get(target);
  EXPECT_EQ(again.status, 403);
  EXPECT_EQ(again.code(), 104);

  std::string unknown = std::string(32, 'a');
  Answer made_up = get("/api/get_albums_xml.php?auth_user_name=anna&api_signature=" + unknown +
                       "&auth_token=" + md5Hex(md5Hex("secret") + unknown) + "&user_name=anna");
  EXPECT_EQ(made_up.code(), 103);
}

TEST(VelmServerExpiry, ExpiredSignatureIsRefused) {
  ServerProcess server({"--signature-lifetime", "0"});
  ASSERT_NE(server.port(), 0);
  ASSERT_EQ(server.addUser("anna", "secret"), 0);
  httplib::Client c("127.0.0.1", server.port());
  auto s = c.Get("/api/get_api_signature.php");
  ASSERT_TRUE(s);
  auto r = c.Get(("/api/create_album_xml.php?auth_user_name=anna&api_signature=" + s->body +
                  "&auth_token=" + md5Hex(md5Hex("secret") + s->body) + "&name=x")
                     .c_str());
  ASSERT_TRUE(r);
  EXPECT_NE(r->body.find("<error code=\"105\">"), std::string::npos) << r->body;
}

TEST_F(VelmServerTest, UploadIsStoredAndItsPagesServeIt) {
  Upload u = goodUpload();
  u.set("description", "Beach%20%26%20%3Cwaves%3E");
  const std::string photo = jpegBytes(1000);
  Answer a = send(u);
  ASSERT_EQ(a.status, 200) << a.body;
  EXPECT_EQ(a.code(), -1);
  std::string url = a.element("url");
  ASSERT_EQ(url.rfind(server_->url() + "/photo/", 0), 0u) << a.body;
  std::string path = url.substr(server_->url().size());

  Answer page = get(path);
  EXPECT_EQ(page.status, 200);
  EXPECT_NE(page.body.find("IMG_1"), std::string::npos);
  EXPECT_NE(page.body.find("Beach &amp; &lt;waves&gt;"), std::string::npos) << page.body;
  EXPECT_EQ(page.body.find("<waves>"), std::string::npos);
  EXPECT_NE(page.body.find("sea,sun"), std::string::npos);
  EXPECT_NE(page.body.find("48.123455, 11.576125"), std::string::npos);
  EXPECT_NE(page.body.find("Summer 2008"), std::string::npos);

  Answer image = get(path + ".jpg");
  EXPECT_EQ(image.status, 200);
  EXPECT_EQ(image.body, photo);

  std::smatch m;
  ASSERT_TRUE(std::regex_search(page.body, m, std::regex("href=\"(/album/[0-9a-f]+)\"")));
  Answer album = get(m[1]);
  EXPECT_EQ(album.status, 200);
  EXPECT_NE(album.body.find("Summer 2008"), std::string::npos);
  EXPECT_NE(album.body.find(path), std::string::npos);

  // The upload made the album; a second upload into it makes no second one.
  EXPECT_EQ(send(goodUpload()).status, 200);
  Answer list = get("/api/get_albums_xml.php?" + auth() + "&user_name=anna");
  EXPECT_EQ(list.element("albums_count"), "1") << list.body;
  EXPECT_EQ(list.element("name"), "Summer 2008");
  EXPECT_EQ(list.element("photos_count"), "2");
}

TEST_F(VelmServerTest, ValidMultipartLayoutsAreAccepted) {
  const std::string bytes = jpegBytes(64);
  const std::string part = "Content-Disposition: form-data; name=\"file\"; filename=\"a.jpg\"\r\n\r\n" + bytes;
  struct Case {
    const char* what;
    std::string body;
    std::string type;
  } cases[] = {
      {"no line break after the closing delimiter", "--XY\r\n" + part + "\r\n--XY--",
       "multipart/form-data; boundary=XY"},
      {"line break after the closing delimiter", "--XY\r\n" + part + "\r\n--XY--\r\n",
       "multipart/form-data; boundary=XY"},
      {"preamble and epilogue", "ignored\r\n--XY\r\n" + part + "\r\n--XY--\r\nignored too",
       "multipart/form-data; boundary=XY"},
      {"quoted boundary", "--X Y\r\n" + part + "\r\n--X Y--", "multipart/form-data; boundary=\"X Y\""},
      {"another part first",
       "--XY\r\nContent-Disposition: form-data; name=\"note\"\r\n\r\nhello\r\n--XY\r\n" + part +
           "\r\n--XY--",
       "multipart/form-data; boundary=XY"},
  };
  for (const auto& c : cases) {
    Upload u = goodUpload();
    u.body = c.body;
    u.contentType = c.type;
    Answer a = send(u);
    EXPECT_EQ(a.status, 200) << c.what << "\n" << a.body;
    std::string url = a.element("url");
    EXPECT_EQ(get(url.substr(server_->url().size()) + ".jpg").body, bytes) << c.what;
  }
}

TEST_F(VelmServerTest, AuthenticationFailuresHaveTheirOwnNumbers) {
  const std::string s = signature();
  const std::string good = md5Hex(md5Hex("secret") + s);
  struct Case {
    const char* what;
    std::string auth;
    int code;
  } cases[] = {
      {"unknown user", "auth_user_name=nobody&api_signature=" + signature() + "&auth_token=" + good, 101},
      {"wrong token", "auth_user_name=anna&api_signature=" + s + "&auth_token=" + good.substr(1) + "0", 102},
      {"token of another password", "auth_user_name=bob&api_signature=" + signature() + "&auth_token=" + good, 102},
      {"signature used by the failed attempt", "auth_user_name=anna&api_signature=" + s + "&auth_token=" + good, 104},
      {"no token", "auth_user_name=anna&api_signature=" + signature(), 108},
      {"no signature", "auth_user_name=anna&auth_token=" + good, 108},
  };
  for (const auto& c : cases) {
    Answer a = send(goodUpload(), c.auth);
    EXPECT_EQ(a.code(), c.code) << c.what << "\n" << a.body;
    EXPECT_GE(a.status, 400) << c.what;
  }
  EXPECT_EQ(storedPhotos(), 0u);
}

TEST_F(VelmServerTest, BadUploadsGetTheirOwnErrorAndAreNotStored) {
  struct Case {
    const char* what;
    std::function<void(Upload&)> change;
    int code;
    int status;
  } cases[] = {
      {"broken percent escape", [](Upload& u) { u.set("caption", "a%zz"); }, 106, 400},
      {"escape cut short", [](Upload& u) { u.set("caption", "a%4"); }, 106, 400},
      {"key given twice", [](Upload& u) { u.params.emplace_back("caption", "again"); }, 106, 400},
      {"value not UTF-8", [](Upload& u) { u.set("description", "Caf%E9"); }, 107, 400},
      {"encoded surrogate", [](Upload& u) { u.set("tags", "%ED%A0%80"); }, 107, 400},
      {"control character", [](Upload& u) { u.set("caption", "a%00b"); }, 107, 400},
      {"caption missing", [](Upload& u) { u.remove("caption"); }, 108, 400},
      {"privacy missing", [](Upload& u) { u.remove("privacy"); }, 108, 400},
      {"latitude not a number", [](Upload& u) { u.set("latitude", "north"); }, 109, 400},
      {"latitude with exponent", [](Upload& u) { u.set("latitude", "1e1"); }, 109, 400},
      {"longitude empty", [](Upload& u) { u.set("object_longitude", ""); }, 109, 400},
      {"latitude not finite", [](Upload& u) { u.set("latitude", "nan"); }, 109, 400},
      {"latitude beyond the pole", [](Upload& u) { u.set("object_latitude", "90.000001"); }, 110, 400},
      {"longitude beyond the date line", [](Upload& u) { u.set("longitude", "-180.5"); }, 110, 400},
      {"privacy not a number", [](Upload& u) { u.set("privacy", "high"); }, 109, 400},
      {"privacy out of range", [](Upload& u) { u.set("privacy", "1001"); }, 111, 400},
      {"negative privacy", [](Upload& u) { u.set("privacy", "-1"); }, 111, 400},
      {"album name too long", [](Upload& u) { u.set("add_to_album_name", std::string(256, 'a')); }, 115, 400},
      {"caption too long", [](Upload& u) { u.set("caption", std::string(1025, 'a')); }, 118, 400},
      {"not multipart", [](Upload& u) { u.contentType = "image/jpeg"; }, 112, 400},
      {"no boundary", [](Upload& u) { u.contentType = "multipart/form-data"; }, 112, 400},
      {"other boundary", [](Upload& u) { u.contentType = "multipart/form-data; boundary=zz"; }, 112, 400},
      {"no closing delimiter",
       [](Upload& u) { u.body = u.body.substr(0, u.body.size() - kBoundary.size() - 6); }, 112, 400},
      {"part without disposition",
       [](Upload& u) { u.body = "--" + kBoundary + "\r\nContent-Type: image/jpeg\r\n\r\n" + jpegBytes(10) + "\r\n--" + kBoundary + "--"; },
       112, 400},
      {"file part twice",
       [](Upload& u) {
         u.body = multipartBody("a", jpegBytes(10));
         u.body.insert(u.body.size() - 2, "\r\nContent-Disposition: form-data; name=\"file\"\r\n\r\n" +
                                              jpegBytes(10) + "\r\n--" + kBoundary);
       },
       112, 400},
      {"no part named file",
       [](Upload& u) {
         u.body = "--" + kBoundary + "\r\nContent-Disposition: form-data; name=\"photo\"; filename=\"a\"\r\n\r\n" +
                  jpegBytes(10) + "\r\n--" + kBoundary + "--";
       },
       113, 400},
      {"empty file", [](Upload& u) { u.body = multipartBody("IMG_1", ""); }, 113, 400},
      {"not a JPEG", [](Upload& u) { u.body = multipartBody("IMG_1", "GIF89a........"); }, 113, 400},
      {"file name not UTF-8", [](Upload& u) { u.body = multipartBody("Caf\xE9", jpegBytes(10)); }, 107, 400},
      {"too large", [](Upload& u) { u.body = multipartBody("big", jpegBytes(65536)); }, 114, 413},
  };
  for (const auto& c : cases) {
    Upload u = goodUpload();
    c.change(u);
    Answer a = send(u);
    EXPECT_EQ(a.code(), c.code) << c.what << "\n" << a.body;
    EXPECT_EQ(a.status, c.status) << c.what;
  }
  EXPECT_EQ(storedPhotos(), 0u);
  // And the server goes on serving.
  EXPECT_EQ(send(goodUpload()).status, 200);
  EXPECT_EQ(storedPhotos(), 1u);
}

TEST_F(VelmServerTest, ChunkedUploadBeyondTheLimitIsRefused) {
  auto c = client();
  std::string query = "/api/post_photo_xml.php?" + auth() + goodUpload().query();
  std::string chunk(16384, 'x');
  auto r = c.Post(
      query.c_str(),
      [&](size_t offset, httplib::DataSink& sink) {
        if (offset >= 200000) {
          sink.done();
          return true;
        }
        return sink.write(chunk.data(), chunk.size());
      },
      ("multipart/form-data; boundary=" + kBoundary).c_str());
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 413);
  EXPECT_NE(r->body.find("<error code=\"114\">"), std::string::npos) << r->body;
  EXPECT_EQ(storedPhotos(), 0u);
}

TEST_F(VelmServerTest, AlbumsAreCreatedListedAndKeptPerAccount) {
  Answer created = get("/api/create_album_xml.php?" + auth() + "&name=Tom%20%26%20Jerry");
  EXPECT_EQ(created.status, 200) << created.body;
  EXPECT_EQ(created.code(), -1);
  EXPECT_EQ(get("/api/create_album_xml.php?" + auth() + "&name=Summer").status, 200);

  EXPECT_EQ(get("/api/create_album_xml.php?" + auth() + "&name=Summer").code(), 116);
  EXPECT_EQ(get("/api/create_album_xml.php?" + auth() + "&name=").code(), 115);
  EXPECT_EQ(get("/api/create_album_xml.php?" + auth()).code(), 108);
  // Another account may have an album of the same name.
  EXPECT_EQ(get("/api/create_album_xml.php?" + auth("bob", "other") + "&name=Summer").code(), -1);

  Answer list = get("/api/get_albums_xml.php?" + auth() + "&user_name=anna");
  EXPECT_EQ(list.element("albums_count"), "2");
  EXPECT_NE(list.body.find("<name>Tom &amp; Jerry</name>"), std::string::npos) << list.body;
  EXPECT_NE(list.body.find("<name>Summer</name>"), std::string::npos);
  // Only album names stand in name elements.
  std::size_t names = 0;
  for (std::size_t at = list.body.find("<name>"); at != std::string::npos;
       at = list.body.find("<name>", at + 1))
    ++names;
  EXPECT_EQ(names, 2u);

  EXPECT_EQ(get("/api/get_albums_xml.php?" + auth() + "&user_name=bob").code(), 117);
  EXPECT_EQ(get("/api/get_albums_xml.php?" + auth()).code(), 108);
  Answer empty = get("/api/get_albums_xml.php?" + auth("bob", "other") + "&user_name=bob");
  EXPECT_EQ(empty.element("albums_count"), "1");
}

TEST_F(VelmServerTest, UnknownRequestsAndWrongMethodsAreAnswered) {
  struct Case {
    const char* what;
    std::function<Answer()> send;
    int code;
    int status;
  } cases[] = {
      {"unknown path", [&] { return get("/api/nothing.php"); }, 119, 404},
      {"upload by GET", [&] { return get("/api/post_photo_xml.php?" + auth()); }, 120, 405},
      {"signature by POST", [&] { return post("/api/get_api_signature.php", "x", "text/plain"); }, 120, 405},
      {"unknown photo page", [&] { return get("/photo/" + std::string(24, '0')); }, -1, 404},
  };
  for (const auto& c : cases) {
    Answer a = c.send();
    EXPECT_EQ(a.code(), c.code) << c.what << "\n" << a.body;
    EXPECT_EQ(a.status, c.status) << c.what;
  }

  // A request that is not HTTP at all does not stop the server.
  rawExchange(server_->port(), "GARBAGE\r\n\r\n");
  rawExchange(server_->port(), std::string("\0\xFF\r\n\r\n", 6));
  EXPECT_EQ(signature().size(), 32u);
}

TEST_F(VelmServerTest, AccountsKeepOnlyThePasswordHash) {
  // The database and its write-ahead log, where recent changes wait for a checkpoint.
  std::string database;
  for (const char* name : {"velm.sqlite", "velm.sqlite-wal"})
    if (std::filesystem::exists(server_->dataDir() / name)) database += velmtest::readFile(server_->dataDir() / name);
  EXPECT_NE(database.find(md5Hex("secret")), std::string::npos);
  EXPECT_EQ(database.find("secret"), std::string::npos);

  // Adding the account again changes its password.
  std::string before = auth();
  ASSERT_EQ(server_->addUser("anna", "changed\n"), 0);
  EXPECT_EQ(get("/api/get_albums_xml.php?" + before + "&user_name=anna").code(), 102);
  EXPECT_EQ(get("/api/get_albums_xml.php?" + auth("anna", "changed") + "&user_name=anna").code(), -1);

  EXPECT_NE(server_->addUser("carl", ""), 0);
  EXPECT_NE(server_->addUser("", "pw"), 0);
  EXPECT_NE(server_->addUser("dora", "\xFF\xFE"), 0);
}


}  // namespace

// ---------------------------------------------------------------------------------------
// Clients that misbehave: slow, greedy or large.

namespace {

// A loopback connection from a chosen source address (any 127.x.y.z is the machine itself).
int connectFrom(int port, const char* source = "127.0.0.1") {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in from{};
  from.sin_family = AF_INET;
  inet_pton(AF_INET, source, &from.sin_addr);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<uint16_t>(port));
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  // An outer limit for every read, so that a server that never answers fails the test.
  timeval limit{60, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  if (bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0 ||
      connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

bool sendAll(int fd, const std::string& bytes) {
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    ssize_t n = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return false;
    sent += static_cast<std::size_t>(n);
  }
  return true;
}

// Everything the server sends until it closes (or the outer limit passes).
std::string readToEnd(int fd) {
  std::string out;
  char buffer[4096];
  ssize_t n;
  while ((n = recv(fd, buffer, sizeof buffer, 0)) > 0) out.append(buffer, static_cast<std::size_t>(n));
  return out;
}

Answer parseRaw(const std::string& raw) {
  Answer a;
  if (raw.rfind("HTTP/1.1 ", 0) == 0) a.status = std::atoi(raw.c_str() + 9);
  std::size_t end = raw.find("\r\n\r\n");
  if (end != std::string::npos) a.body = raw.substr(end + 4);
  return a;
}

// A signature fetched over a connection from the given source address.
std::string signatureFrom(int port, const char* source) {
  int fd = connectFrom(port, source);
  if (fd < 0) return {};
  sendAll(fd, "GET /api/get_api_signature.php HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
  std::string body = parseRaw(readToEnd(fd)).body;
  close(fd);
  return body;
}

// Clients that send their request one header byte at a time, until the server closes on them
// or they are told to stop.
class Drippers {
 public:
  Drippers(int port, int count, const std::string& start = "GET /api/get_api_signature.php HTTP/1.1\r\n") {
    for (int i = 0; i < count; ++i) {
      int fd = connectFrom(port);
      if (fd >= 0 && sendAll(fd, start)) fds_.push_back(fd);
    }
    thread_ = std::thread([this] {
      const std::string line = "X-Slow: " + std::string(64, 'a') + "\r\n";
      std::size_t at = 0;
      while (!done_) {
        for (int fd : fds_) send(fd, &line[at % line.size()], 1, MSG_NOSIGNAL | MSG_DONTWAIT);
        ++at;
        std::unique_lock lock(mutex_);
        wake_.wait_for(lock, std::chrono::milliseconds(100), [this] { return done_.load(); });
      }
    });
  }
  ~Drippers() {
    stop();
    for (int fd : fds_) close(fd);
  }
  void stop() {
    {
      std::lock_guard lock(mutex_);
      done_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
  }
  const std::vector<int>& fds() const { return fds_; }

 private:
  std::vector<int> fds_;
  std::atomic<bool> done_{false};
  std::mutex mutex_;
  std::condition_variable wake_;
  std::thread thread_;
};

long peakMemoryKiB(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmHWM:", 0) == 0) return std::atol(line.c_str() + 6);
  return -1;
}

}  // namespace

TEST(VelmServerSlowClients, NeitherStarveOthersNorOutlastTheTimeLimit) {
  ServerProcess server({"--request-time-limit", "3"});
  ASSERT_NE(server.port(), 0) << server.errorOutput();
  // More slow clients than the server once had workers; each keeps sending, so only a limit on
  // the whole request can end them.
  Drippers slow(server.port(), 16);
  ASSERT_EQ(slow.fds().size(), 16u);

  httplib::Client c("127.0.0.1", server.port());
  c.set_connection_timeout(30, 0);
  c.set_read_timeout(30, 0);
  auto r = c.Get("/api/get_api_signature.php");
  ASSERT_TRUE(r) << "a normal request waited behind the slow ones";
  EXPECT_EQ(r->status, 200);
  EXPECT_EQ(r->body.size(), 32u);

  for (int fd : slow.fds()) {
    Answer a = parseRaw(readToEnd(fd));  // returns when the server closes
    EXPECT_EQ(a.status, 408);
    EXPECT_EQ(a.code(), 123) << a.body;
  }
  slow.stop();
  EXPECT_EQ(server.stop(), 0);
}

TEST(VelmServerSlowClients, BodiesThatComeTooSlowlyAreCutOff) {
  ServerProcess server({"--request-time-limit", "2"});
  ASSERT_NE(server.port(), 0) << server.errorOutput();
  ASSERT_EQ(server.addUser("anna", "secret"), 0);
  std::string s = signatureFrom(server.port(), "127.0.0.1");
  // An accepted upload whose body then trickles in, a byte at a time.
  Drippers slow(server.port(), 1,
                "POST /api/post_photo_xml.php?auth_user_name=anna&api_signature=" + s + "&auth_token=" +
                    md5Hex(md5Hex("secret") + s) +
                    "&caption=a&description=&tags=&object_latitude=0&object_longitude=0&latitude=0&longitude=0"
                    "&privacy=0 HTTP/1.1\r\nHost: x\r\nContent-Type: multipart/form-data; boundary=" + kBoundary +
                    "\r\nContent-Length: 100000\r\n\r\n");
  ASSERT_EQ(slow.fds().size(), 1u);
  Answer a = parseRaw(readToEnd(slow.fds()[0]));
  EXPECT_EQ(a.status, 408);
  EXPECT_EQ(a.code(), 123) << a.body;
  slow.stop();
  EXPECT_EQ(server.stop(), 0);
}

TEST(VelmServerSlowClients, StopEndsTheServerWhileClientsAreStillSending) {
  ServerProcess server({"--request-time-limit", "3600"});
  ASSERT_NE(server.port(), 0) << server.errorOutput();
  Drippers slow(server.port(), 4);
  // The request is in once the server has answered something on another connection.
  ASSERT_EQ(signatureFrom(server.port(), "127.0.0.1").size(), 32u);
  EXPECT_EQ(server.stop(), 0) << "the server had to be killed";
}

TEST(VelmServerSlowClients, ConnectionsBeyondTheLimitOfAnAddressAreRefused) {
  ServerProcess server({"--max-connections-per-address", "2", "--request-time-limit", "3600"});
  ASSERT_NE(server.port(), 0) << server.errorOutput();
  Drippers slow(server.port(), 2);
  // Once both slow connections are being served, a third one from their address is refused;
  // until then a complete request on it is simply answered.
  Answer refused;
  for (int attempt = 0; attempt < 100 && refused.code() != 124; ++attempt) {
    int fd = connectFrom(server.port());
    ASSERT_GE(fd, 0);
    sendAll(fd, "GET /api/get_api_signature.php HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
    refused = parseRaw(readToEnd(fd));
    close(fd);
  }
  EXPECT_EQ(refused.status, 503);
  EXPECT_EQ(refused.code(), 124);
  // Another address is served all the same.
  EXPECT_EQ(signatureFrom(server.port(), "127.0.0.2").size(), 32u);
}

TEST(VelmServerLimits, OverlongRequestsHaveTheirOwnError) {
  ServerProcess server;
  ASSERT_NE(server.port(), 0) << server.errorOutput();
  std::string manyHeaders;
  while (manyHeaders.size() < 300 * 1024) manyHeaders += "X-Filler: " + std::string(100, 'f') + "\r\n";
  struct Case {
    const char* what;
    std::string request;
  } cases[] = {
      {"address", "GET /api/get_albums_xml.php?name=" + std::string(9000, 'a') + " HTTP/1.1\r\nHost: x\r\n\r\n"},
      {"header lines", "GET /api/get_api_signature.php HTTP/1.1\r\nHost: x\r\n" + manyHeaders + "\r\n"},
  };
  for (const Case& c : cases) {
    int fd = connectFrom(server.port());
    ASSERT_GE(fd, 0);
    sendAll(fd, c.request);
    Answer a = parseRaw(readToEnd(fd));
    close(fd);
    EXPECT_EQ(a.status, 414) << c.what;
    EXPECT_EQ(a.code(), 122) << c.what << ": " << a.body;
  }
}

TEST(VelmServerLimits, PipelinedRequestsAreAllAnswered) {
  ServerProcess server;
  ASSERT_NE(server.port(), 0) << server.errorOutput();
  const std::string one = "GET /api/get_api_signature.php HTTP/1.1\r\nHost: x\r\n\r\n";
  std::string answers = rawExchange(server.port(), one + one + one);
  std::size_t count = 0;
  for (std::size_t at = answers.find("HTTP/1.1 200"); at != std::string::npos; at = answers.find("HTTP/1.1 200", at + 1))
    ++count;
  EXPECT_EQ(count, 3u) << answers;
}

TEST_F(VelmServerTest, MultipartTypeIsReadInAnyLetterCase) {
  for (std::string type : {"Multipart/Form-Data; boundary=" + kBoundary, "MULTIPART/FORM-DATA; BOUNDARY=" + kBoundary,
                           "multipart/form-data;boundary=\"" + kBoundary + "\""}) {
    Upload u = goodUpload();
    u.contentType = type;
    Answer a = send(u);
    EXPECT_EQ(a.status, 200) << type << ": " << a.body;
    EXPECT_NE(a.element("url"), "") << type;
  }
  EXPECT_EQ(storedPhotos(), 3u);
}

TEST_F(VelmServerTest, UploadsAreRefusedBeforeTheirBodyIsSent) {
  // Only the header lines go out; a server that read the body first would never answer.
  Upload u = goodUpload();
  struct Case {
    const char* what;
    std::string auth;
    std::string length;
    int code;
  } cases[] = {
      {"unknown signature", "auth_user_name=anna&api_signature=0123456789abcdef0123456789abcdef&auth_token=x", "1000", 103},
      {"wrong token", auth("anna", "wrong"), "1000", 102},
      {"no authentication", "", "1000", 108},
      {"declared too large", auth(), "70000", 114},
  };
  for (const Case& c : cases) {
    int fd = connectFrom(server_->port());
    ASSERT_GE(fd, 0);
    sendAll(fd, "POST /api/post_photo_xml.php?" + c.auth + u.query() + " HTTP/1.1\r\nHost: x\r\nContent-Type: " +
                    u.contentType + "\r\nContent-Length: " + c.length + "\r\n\r\n");
    Answer a = parseRaw(readToEnd(fd));
    close(fd);
    EXPECT_EQ(a.code(), c.code) << c.what << ": " << a.body;
  }
  EXPECT_EQ(storedPhotos(), 0u);
}

TEST(VelmServerLimits, LargeUploadsKeepMemoryBounded) {
  constexpr std::size_t kSize = 30 << 20;
  ServerProcess server({"--max-upload", std::to_string(40 << 20)});
  ASSERT_NE(server.port(), 0) << server.errorOutput();
  ASSERT_EQ(server.addUser("anna", "secret"), 0);
  const std::string body = multipartBody("big.jpg", jpegBytes(kSize));
  const std::string query = "&caption=big&description=&tags=&object_latitude=0&object_longitude=0"
                            "&latitude=0&longitude=0&privacy=0";
  auto upload = [&](const std::string& authPart) {
    httplib::Client c("127.0.0.1", server.port());
    c.set_read_timeout(120, 0);
    c.set_write_timeout(120, 0);
    auto r = c.Post(("/api/post_photo_xml.php?" + authPart + query).c_str(), body,
                    ("multipart/form-data; boundary=" + kBoundary).c_str());
    return r ? Answer{r->status, r->body} : Answer{};
  };
  ASSERT_EQ(signatureFrom(server.port(), "127.0.0.1").size(), 32u);
  const long before = peakMemoryKiB(server.pid());
  ASSERT_GT(before, 0);

  // Unauthenticated bodies, several at once: refused without being kept.
  std::vector<std::thread> senders;
  std::vector<Answer> answers(4);
  for (std::size_t i = 0; i < answers.size(); ++i)
    senders.emplace_back([&, i] {
      answers[i] = upload("auth_user_name=anna&api_signature=0123456789abcdef0123456789abcdef&auth_token=x");
    });
  for (auto& t : senders) t.join();
  for (const Answer& a : answers) EXPECT_EQ(a.code(), 103) << a.body;
  EXPECT_LT(peakMemoryKiB(server.pid()) - before, static_cast<long>(kSize / 1024 / 2));

  // An accepted one arrives whole.
  std::string s = signatureFrom(server.port(), "127.0.0.1");
  Answer ok = upload("auth_user_name=anna&api_signature=" + s + "&auth_token=" + md5Hex(md5Hex("secret") + s));
  ASSERT_EQ(ok.status, 200) << ok.body;
  std::string key = ok.element("url").substr(ok.element("url").rfind('/') + 1);
  std::ifstream stored(server.dataDir() / "photos" / (key + ".jpg"), std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(stored)), std::istreambuf_iterator<char>());
  EXPECT_TRUE(bytes == jpegBytes(kSize)) << "stored " << bytes.size() << " bytes";
  // Nothing is left over in the data folder but the photo.
  std::size_t files = 0;
  for (const auto& e : std::filesystem::directory_iterator(server.dataDir() / "photos")) files += e.is_regular_file();
  EXPECT_EQ(files, 1u);
}

TEST(VelmServerLimits, OneAddressCannotPushOutTheSignaturesOfOthers) {
  ServerProcess server({"--max-signatures-per-address", "5"});
  ASSERT_NE(server.port(), 0) << server.errorOutput();
  ASSERT_EQ(server.addUser("anna", "secret"), 0);
  const std::string other = signatureFrom(server.port(), "127.0.0.2");
  std::vector<std::string> greedy;
  for (int i = 0; i < 20; ++i) greedy.push_back(signatureFrom(server.port(), "127.0.0.1"));
  auto albums = [&](const std::string& s) {
    httplib::Client c("127.0.0.1", server.port());
    auto r = c.Get(("/api/get_albums_xml.php?auth_user_name=anna&api_signature=" + s + "&auth_token=" +
                    md5Hex(md5Hex("secret") + s) + "&user_name=anna").c_str());
    return r ? Answer{r->status, r->body} : Answer{};
  };
  EXPECT_EQ(albums(other).status, 200) << "another address's signature was evicted";
  EXPECT_EQ(albums(greedy.back()).status, 200);
  EXPECT_EQ(albums(greedy.front()).code(), 103) << "the greedy address kept more than its share";
}
