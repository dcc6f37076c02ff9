// Which lines of a caption hold a page of the service: what is left out of the caption sent,
// and what tells a photo is published already.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Publishing.h"

namespace {

TEST(ServicePages, CaptionsLoseTheLinesHoldingPagesOfTheServiceOnly) {
  struct Case {
    const char* what;
    std::string service;
    std::vector<std::string> known;  // pages the ledger recorded
    std::string caption, sent, first;
  } cases[] = {
      {"the write-back's carriage returns", "http://127.0.0.1:8080", {},
       "Beach\r\rhttp://127.0.0.1:8080/photo/a", "Beach", "http://127.0.0.1:8080/photo/a"},
      {"line feeds, two pages", "http://127.0.0.1:8080", {},
       "Beach\n\nhttp://127.0.0.1:8080/photo/a\n\nhttp://127.0.0.1:8080/photo/b", "Beach",
       "http://127.0.0.1:8080/photo/a"},
      {"only a page", "http://127.0.0.1:8080", {}, "http://127.0.0.1:8080/photo/a", "",
       "http://127.0.0.1:8080/photo/a"},
      {"CR LF kept for the lines that stay", "http://127.0.0.1:8080", {},
       "One\r\nTwo\r\n\r\nhttp://127.0.0.1:8080/photo/a", "One\r\nTwo", "http://127.0.0.1:8080/photo/a"},
      {"another port is another service", "http://127.0.0.1:8080", {},
       "Beach\n\nhttp://127.0.0.1:9090/photo/a", "Beach\n\nhttp://127.0.0.1:9090/photo/a", ""},
      {"a page on the service's domain", "http://api.velm.com", {},
       "Harbour\n\nSee https://www.velm.com/photo/123 for more", "Harbour", "https://www.velm.com/photo/123"},
      {"upper case scheme and host", "http://api.velm.com", {}, "X\rHTTP://WWW.VELM.COM/photo/1", "X",
       "HTTP://WWW.VELM.COM/photo/1"},
      {"another site stays", "http://api.velm.com", {}, "Map: https://www.openstreetmap.org/#map=5/52/13",
       "Map: https://www.openstreetmap.org/#map=5/52/13", ""},
      {"a name that only ends like the domain", "http://api.velm.com", {}, "https://notvelm.com/x",
       "https://notvelm.com/x", ""},
      {"pages handed out under another address, known from the ledger", "http://127.0.0.1:8080",
       {"http://photos.example.org/photo/z"}, "Dusk\n\nhttp://photos.example.org/photo/y", "Dusk",
       "http://photos.example.org/photo/y"},
      {"no address at all", "http://api.velm.com", {}, "Just words\n\n", "Just words\n\n", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ServicePages pages(c.service, c.known);
    EXPECT_EQ(pages.withoutAddresses(c.caption), c.sent);
    EXPECT_EQ(pages.firstAddress(c.caption), c.first);
  }
}

}  // namespace
