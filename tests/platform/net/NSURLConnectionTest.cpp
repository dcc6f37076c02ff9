// Synchronous URL loading against servers on loopback ports.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "CoreFoundation.h"
#include "LoopbackServers.h"
#include "NSURLConnection.h"

namespace {

using velmtest::HttpServer;
using velmtest::RawServer;

CFRef<CFStringRef> str(const std::string& s) {
  return CFRef<CFStringRef>(CFStringCreateWithBytes(nullptr, reinterpret_cast<const UInt8*>(s.data()),
                                                    static_cast<CFIndex>(s.size()), kCFStringEncodingUTF8, false));
}

std::string bytesOf(CFDataRef d) {
  return std::string(reinterpret_cast<const char*>(CFDataGetBytePtr(d)), static_cast<std::size_t>(CFDataGetLength(d)));
}

std::string textOf(CFStringRef s) {
  if (!s) return "(null)";
  char buffer[4096];
  return CFStringGetCString(s, buffer, sizeof buffer, kCFStringEncodingUTF8) ? buffer : "(unconvertible)";
}

NSMutableURLRequest requestFor(const std::string& url) {
  std::optional<NSURL> u = NSURL::URLWithString(str(url));
  EXPECT_TRUE(u) << url;
  return NSMutableURLRequest::requestWithURL(u ? *u : *NSURL::URLWithString(CFSTR("http://127.0.0.1/")));
}

TEST(NSURL, AcceptsOnlyTextThatURLsAllow) {
  struct Case {
    const char* text;
    bool valid;
  } cases[] = {
      {"http://127.0.0.1:8080/api/x.php?a=b&c=%2F#top", true},
      {"http://[::1]:80/p?q=-._~!$&'()*+,;=:@", true},
      {"relative/path", true},
      {"", false},
      {"http://host/a b", false},
      {"http://host/\"q\"", false},
      {"http://host/<a>", false},
      {"http://host/a\nb", false},
      {"http://host/{x}", false},
      {"http://host/a|b", false},
      {"http://host/a\\b", false},
      {"http://host/caf\xC3\xA9", false},
      {"http://host/100%", false},
      {"http://host/%zz", false},
      {"http://host/#a#b", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(NSURL::URLWithString(str(c.text)).has_value(), c.valid) << c.text;
  }
  EXPECT_FALSE(NSURL::URLWithString(nullptr));
  auto u = NSURL::URLWithString(CFSTR("http://h/x"));
  ASSERT_TRUE(u);
  EXPECT_EQ(textOf(u->absoluteString()), "http://h/x");
}

TEST(NSMutableURLRequest, HeaderFieldsIgnoreCaseAndRefuseLineBreaks) {
  NSMutableURLRequest r = requestFor("http://127.0.0.1/");
  EXPECT_EQ(textOf(r.HTTPMethod()), "GET");
  EXPECT_EQ(r.timeoutInterval(), 60.0);
  r.setValue(CFSTR("a"), CFSTR("X-Field"));
  r.setValue(CFSTR("b"), CFSTR("x-field"));
  EXPECT_EQ(textOf(r.valueForHTTPHeaderField(CFSTR("X-FIELD"))), "b");
  EXPECT_EQ(r.allHTTPHeaderFields().size(), 1u);
  r.setValue(CFSTR("v\r\nInjected: yes"), CFSTR("X-Other"));
  EXPECT_EQ(r.valueForHTTPHeaderField(CFSTR("X-Other")), nullptr);
  r.setValue(nullptr, CFSTR("X-Field"));
  EXPECT_TRUE(r.allHTTPHeaderFields().empty());
}

TEST(NSURLConnection, ReturnsTheBodyWhateverTheStatus) {
  HttpServer http;
  http.server().Get("/ok", [](const httplib::Request&, httplib::Response& res) {
    res.set_header("X-Answer", "42");
    res.set_content("fine", "text/plain");
  });
  http.server().Get("/missing", [](const httplib::Request&, httplib::Response& res) {
    res.status = 404;
    res.set_content("<error code=\"7\">gone</error>", "text/xml");
  });
  http.server().Get("/broken", [](const httplib::Request&, httplib::Response& res) {
    res.status = 500;
    res.set_content("trouble", "text/plain");
  });
  http.server().Get("/empty", [](const httplib::Request&, httplib::Response& res) { res.status = 204; });
  ASSERT_NE(http.start(), 0);

  struct Case {
    const char* path;
    long status;
    const char* body;
  } cases[] = {{"/ok", 200, "fine"},
               {"/missing", 404, "<error code=\"7\">gone</error>"},
               {"/broken", 500, "trouble"},
               {"/empty", 204, ""}};
  for (const auto& c : cases) {
    NSHTTPURLResponse response;
    NSError error;
    CFRef<CFDataRef> data = NSURLConnection::sendSynchronousRequest(requestFor(http.url() + c.path), &response, &error);
    ASSERT_TRUE(data) << c.path;
    EXPECT_EQ(bytesOf(data), c.body) << c.path;
    EXPECT_EQ(response.statusCode(), c.status) << c.path;
    EXPECT_EQ(error.code(), 0);
  }
  NSHTTPURLResponse response;
  CFRef<CFDataRef> data = NSURLConnection::sendSynchronousRequest(requestFor(http.url() + "/ok"), &response, nullptr);
  EXPECT_EQ(textOf(response.valueForHTTPHeaderField(CFSTR("x-answer"))), "42");
}

TEST(NSURLConnection, PostsTheBodyExactlyWithItsRealLength) {
  RawServer raw(std::string("HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\nok"));
  ASSERT_NE(raw.port(), 0);
  std::string payload("--B\r\n\0\xFF\xD8 binary \r\n--B--", 22);
  CFRef<CFDataRef> body(CFDataCreate(nullptr, reinterpret_cast<const UInt8*>(payload.data()), static_cast<CFIndex>(payload.size())));

  NSMutableURLRequest r = requestFor(raw.url() + "/up?x=1");
  r.setHTTPMethod(CFSTR("POST"));
  r.setTimeoutInterval(250);
  r.setValue(CFSTR("multipart/form-data; boundary=B"), CFSTR("Content-Type"));
  r.setValue(CFSTR("9999"), CFSTR("Content-Length"));  // wrong on purpose
  r.setHTTPBody(body);
  CFRef<CFDataRef> answer = NSURLConnection::sendSynchronousRequest(r, nullptr, nullptr);
  ASSERT_TRUE(answer);
  EXPECT_EQ(bytesOf(answer), "ok");

  std::string seen = raw.lastRequest();
  EXPECT_EQ(seen.rfind("POST /up?x=1 HTTP/1.1\r\n", 0), 0u) << seen;
  EXPECT_NE(seen.find("\r\nContent-Type: multipart/form-data; boundary=B\r\n"), std::string::npos) << seen;
  EXPECT_NE(seen.find("\r\nContent-Length: 22\r\n"), std::string::npos) << seen;
  EXPECT_EQ(seen.find("9999"), std::string::npos);
  EXPECT_EQ(seen.find("Expect:"), std::string::npos);
  ASSERT_NE(seen.find("\r\n\r\n"), std::string::npos);
  EXPECT_EQ(seen.substr(seen.find("\r\n\r\n") + 4), payload);
}

TEST(NSURLConnection, PostsABodyInPartsAsOneBodyWithItsLength) {
  RawServer raw(std::string("HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\nok"));
  ASSERT_NE(raw.port(), 0);
  // A piece larger than libcurl's upload buffer, an empty one and bytes of every value.
  std::string large(300000, '\0');
  for (size_t i = 0; i < large.size(); ++i) large[i] = static_cast<char>((i * 2654435761u) >> 24);
  const std::vector<std::string> pieces = {std::string("--B\r\n\0\xFF", 7), "", large, "\r\n--B--"};
  std::vector<CFRef<CFDataRef>> parts;
  std::string whole;
  for (const auto& p : pieces) {
    parts.emplace_back(CFDataCreate(nullptr, reinterpret_cast<const UInt8*>(p.data()), static_cast<CFIndex>(p.size())));
    whole += p;
  }
  NSMutableURLRequest r = requestFor(raw.url() + "/up");
  r.setHTTPMethod(CFSTR("POST"));
  r.setTimeoutInterval(250);
  r.setHTTPBodyParts(std::move(parts));
  EXPECT_EQ(r.HTTPBody(), nullptr);
  CFRef<CFDataRef> answer = NSURLConnection::sendSynchronousRequest(r, nullptr, nullptr);
  ASSERT_TRUE(answer);
  EXPECT_EQ(bytesOf(answer), "ok");

  std::string seen = raw.lastRequest();
  EXPECT_EQ(seen.rfind("POST /up HTTP/1.1\r\n", 0), 0u) << seen.substr(0, 200);
  EXPECT_NE(seen.find("\r\nContent-Length: " + std::to_string(whole.size()) + "\r\n"), std::string::npos);
  EXPECT_EQ(seen.find("Transfer-Encoding"), std::string::npos);
  ASSERT_NE(seen.find("\r\n\r\n"), std::string::npos);
  EXPECT_TRUE(seen.substr(seen.find("\r\n\r\n") + 4) == whole);
}

TEST(NSURLConnection, FollowsRedirectsForGetOnly) {
  HttpServer http;
  http.server().Get("/old", [](const httplib::Request&, httplib::Response& res) { res.set_redirect("/new"); });
  http.server().Post("/old", [](const httplib::Request&, httplib::Response& res) {
    res.set_redirect("/new");
    res.set_content("moved", "text/plain");
  });
  http.server().Get("/new", [](const httplib::Request&, httplib::Response& res) { res.set_content("here", "text/plain"); });
  ASSERT_NE(http.start(), 0);

  NSHTTPURLResponse response;
  CFRef<CFDataRef> got = NSURLConnection::sendSynchronousRequest(requestFor(http.url() + "/old"), &response, nullptr);
  ASSERT_TRUE(got);
  EXPECT_EQ(bytesOf(got), "here");
  EXPECT_EQ(textOf(response.URL()), http.url() + "/new");

  NSMutableURLRequest post = requestFor(http.url() + "/old");
  post.setHTTPMethod(CFSTR("POST"));
  CFRef<CFDataRef> posted = NSURLConnection::sendSynchronousRequest(post, &response, nullptr);
  ASSERT_TRUE(posted);
  EXPECT_EQ(response.statusCode(), 302);
  EXPECT_EQ(bytesOf(posted), "moved");
}

TEST(NSURLConnection, NoAnswerGivesNullAndTheReason) {
  RawServer cutShort(std::string("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n<rsp><url>http://"));
  RawServer notHttp(std::string("\x01\x02 this is not HTTP\r\n\r\n"));
  RawServer silent(std::nullopt);
  ASSERT_NE(cutShort.port(), 0);
  ASSERT_NE(silent.port(), 0);

  struct Case {
    const char* what;
    std::string url;
    double timeout;
    long code;
  } cases[] = {
      {"refused", "http://127.0.0.1:" + std::to_string(velmtest::closedPort()) + "/", 60, NSURLErrorCannotConnectToHost},
      {"closed mid-answer", cutShort.url() + "/", 60, NSURLErrorNetworkConnectionLost},
      {"not HTTP", notHttp.url() + "/", 60, NSURLErrorBadServerResponse},
      {"silent beyond the time-out", silent.url() + "/", 1, NSURLErrorTimedOut},
      {"unsupported scheme", "ftp://127.0.0.1/", 60, NSURLErrorUnsupportedURL},
  };
  for (const auto& c : cases) {
    NSMutableURLRequest r = requestFor(c.url);
    r.setTimeoutInterval(c.timeout);
    NSError error;
    NSHTTPURLResponse response;
    CFRef<CFDataRef> data = NSURLConnection::sendSynchronousRequest(r, &response, &error);
    EXPECT_FALSE(data) << c.what;
    EXPECT_EQ(error.code(), c.code) << c.what << ": " << textOf(error.localizedDescription());
    EXPECT_EQ(textOf(error.domain()), "NSURLErrorDomain") << c.what;
  }
}

TEST(NSURLConnection, AnswersBeyondTheBoundAreNoAnswer) {
  const std::size_t bound = 1 << 20;
  auto answer = [](std::size_t length, bool declared) {
    std::string head = "HTTP/1.1 200 OK\r\nConnection: close\r\n";
    if (declared) head += "Content-Length: " + std::to_string(length) + "\r\n";
    return head + "\r\n<url>" + std::string(length - 5, 'a');
  };
  struct Case {
    const char* what;
    std::size_t length;
    bool declared;
    bool arrives;
  } cases[] = {
      {"declared, ten times the bound", 10 * bound, true, false},
      {"undeclared, one byte over", bound + 1, false, false},
      {"declared, exactly the bound", bound, true, true},
      {"undeclared, exactly the bound", bound, false, true},
  };
  for (const auto& c : cases) {
    RawServer raw(answer(c.length, c.declared));
    NSMutableURLRequest r = requestFor(raw.url() + "/");
    r.setMaximumAnswerLength(static_cast<CFIndex>(bound));
    NSError error;
    CFRef<CFDataRef> data = NSURLConnection::sendSynchronousRequest(r, nullptr, &error);
    if (c.arrives) {
      ASSERT_TRUE(data) << c.what << ": " << textOf(error.localizedDescription());
      EXPECT_EQ(static_cast<std::size_t>(CFDataGetLength(data.get())), bound) << c.what;
    } else {
      EXPECT_FALSE(data) << c.what;
      EXPECT_EQ(error.code(), NSURLErrorDataLengthExceedsMaximum) << c.what;
    }
  }
}

TEST(NSURLConnection, DeadlineOrCancellationEndsAnAnswerThatNeverEnds) {
  // Bytes keep coming, so the time-out without progress never fires.
  velmtest::DripServer drip;
  ASSERT_NE(drip.port(), 0);
  {
    NSMutableURLRequest r = requestFor(drip.url() + "/endless");
    r.setTimeoutInterval(600);
    r.setDeadlineInterval(1);
    NSError error;
    EXPECT_FALSE(NSURLConnection::sendSynchronousRequest(r, nullptr, &error));
    EXPECT_EQ(error.code(), NSURLErrorTimedOut);
  }
  {
    std::atomic<bool> stop{false};
    NSMutableURLRequest r = requestFor(drip.url() + "/endless");
    r.setTimeoutInterval(600);
    r.setCancellationFlag(&stop);
    std::thread stopper([&] {
      drip.waitForDrips(2);
      stop = true;
    });
    NSError error;
    EXPECT_FALSE(NSURLConnection::sendSynchronousRequest(r, nullptr, &error));
    EXPECT_EQ(error.code(), NSURLErrorCancelled);
    stopper.join();
    // A flag already set sends nothing at all.
    EXPECT_FALSE(NSURLConnection::sendSynchronousRequest(r, nullptr, &error));
    EXPECT_EQ(error.code(), NSURLErrorCancelled);
  }
}

}  // namespace
