#include "Service.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <httplib.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>

#include "Connections.h"

namespace velmserver {

// ---------------------------------------------------------------------------------------
// Signatures

std::string SignatureBook::issue(const std::string& address) {
  std::string signature = randomHex(16);
  if (signature.empty()) return signature;
  std::lock_guard lock(mutex_);
  Clock::time_point now = Clock::now();
  forgetOldLocked(now);
  while (entries_.size() >= capacity_ && !order_.empty()) forgetFrontLocked();
  std::deque<std::string>& own = byAddress_[address];
  while (!own.empty() && !entries_.count(own.front())) own.pop_front();
  while (own.size() >= perAddress_) {
    entries_.erase(own.front());  // its place in order_ is skipped when it comes up
    own.pop_front();
  }
  entries_[signature] = Entry{now, address, false};
  order_.emplace_back(now, signature);
  own.push_back(signature);
  return signature;
}

SignatureBook::Verdict SignatureBook::consume(const std::string& signature) {
  std::lock_guard lock(mutex_);
  Clock::time_point now = Clock::now();
  auto it = entries_.find(signature);
  if (it == entries_.end()) return Verdict::Unknown;
  if (it->second.used) return Verdict::Used;
  it->second.used = true;
  if (now - it->second.issued >= lifetime_) return Verdict::Expired;
  return Verdict::Fresh;
}

void SignatureBook::forgetOldLocked(Clock::time_point now) {
  // Keep entries well past their lifetime so that a late reuse is told "expired" or "used"
  // rather than "unknown"; the capacity bounds the memory all the same.
  const auto keep = lifetime_ + std::chrono::seconds(600);
  while (!order_.empty() && now - order_.front().first > keep) forgetFrontLocked();
}

void SignatureBook::forgetFrontLocked() {
  const std::string signature = std::move(order_.front().second);
  order_.pop_front();
  auto entry = entries_.find(signature);
  if (entry == entries_.end()) return;  // forgotten already, by its address's limit
  // The oldest signature overall is also the oldest its address still has.
  auto own = byAddress_.find(entry->second.address);
  if (own != byAddress_.end()) {
    if (!own->second.empty() && own->second.front() == signature) own->second.pop_front();
    if (own->second.empty()) byAddress_.erase(own);
  }
  entries_.erase(entry);
}

// ---------------------------------------------------------------------------------------
// Routes

namespace {

// The pre-routing step moves a multipart Content-Type here (see install()).
const char* const kMultipartType = "X-Velm-Multipart-Content-Type";

const char* const kXmlType = "text/xml; charset=utf-8";
const char* const kHtmlType = "text/html; charset=utf-8";

constexpr std::size_t kMaxCaption = 1024;
constexpr std::size_t kMaxDescription = 65536;
constexpr std::size_t kMaxTags = 8192;
constexpr std::size_t kMaxAlbumName = 255;
constexpr std::size_t kMaxFileName = 1024;

void answerError(httplib::Response& res, Error error) {
  res.status = httpStatusFor(error);
  res.set_content(errorXml(error), kXmlType);
}

std::string okXml(const std::string& inner) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<rsp stat=\"ok\">\n" + inner + "</rsp>\n";
}

std::string_view rawQuery(const httplib::Request& req) {
  std::string_view target = req.target;
  std::size_t q = target.find('?');
  return q == std::string_view::npos ? std::string_view() : target.substr(q + 1);
}

std::string formatCoordinate(double value) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%.6f", value);
  return buffer;
}

std::string htmlPage(const std::string& title, const std::string& body) {
  return "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n<title>" +
         xmlEscape(title) +
         "</title>\n<style>body{font-family:sans-serif;max-width:60em;margin:2em auto;padding:0 "
         "1em}img{max-width:100%}dt{font-weight:bold}.thumbs img{max-height:10em}</style>\n"
         "</head>\n<body>\n" +
         body + "</body>\n</html>\n";
}

void answerPage(httplib::Response& res, const std::string& html) {
  res.status = 200;
  res.set_header("Content-Security-Policy", "default-src 'self'; style-src 'unsafe-inline'");
  res.set_header("X-Content-Type-Options", "nosniff");
  res.set_content(html, kHtmlType);
}

void answerNotFoundPage(httplib::Response& res) {
  answerPage(res, htmlPage("Not found", "<h1>Not found</h1>\n"));
  res.status = 404;
}

// A nameless temporary file (O_TMPFILE) that an upload body is written to, and read back
// through a read-only mapping. Nothing is left behind however the request ends.
class SpoolFile {
 public:
  explicit SpoolFile(const std::filesystem::path& folder) {
    fd_ = ::open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd_ < 0 && (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL)) {
      // A file system without nameless files: a private named one, unlinked at once.
      std::string name = (folder / ".upload-XXXXXX").string();
      fd_ = ::mkostemp(name.data(), O_CLOEXEC);
      if (fd_ >= 0) ::unlink(name.c_str());
    }
  }
  ~SpoolFile() {
    if (map_) ::munmap(map_, size_);
    if (fd_ >= 0) ::close(fd_);
  }
  SpoolFile(const SpoolFile&) = delete;
  SpoolFile& operator=(const SpoolFile&) = delete;

  bool ok() const { return fd_ >= 0; }
  std::size_t size() const { return size_; }
  bool append(const char* data, std::size_t length) {
    while (length > 0) {
      ssize_t n = ::write(fd_, data, length);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      data += n;
      length -= static_cast<std::size_t>(n);
      size_ += static_cast<std::size_t>(n);
    }
    return true;
  }
  bool view(std::string_view* out) {
    if (size_ == 0) {
      *out = {};
      return true;
    }
    void* p = ::mmap(nullptr, size_, PROT_READ, MAP_PRIVATE, fd_, 0);
    if (p == MAP_FAILED) return false;
    map_ = p;
    *out = std::string_view(static_cast<const char*>(p), size_);
    return true;
  }

 private:
  int fd_ = -1;
  std::size_t size_ = 0;
  void* map_ = nullptr;
};

}  // namespace

struct Service::Routes {
  Service& s;

  // Checks the three authentication parameters; the signature is used up either way.
  std::optional<User> authenticate(const Query& query, Error* error) {
    auto name = query.find("auth_user_name");
    auto signature = query.find("api_signature");
    auto token = query.find("auth_token");
    if (name == query.end() || signature == query.end() || token == query.end()) {
      *error = Error::MissingParameter;
      return std::nullopt;
    }
    switch (s.signatures_.consume(signature->second)) {
      case SignatureBook::Verdict::Fresh: break;
      case SignatureBook::Verdict::Unknown: *error = Error::UnknownSignature; return std::nullopt;
      case SignatureBook::Verdict::Used: *error = Error::SignatureUsed; return std::nullopt;
      case SignatureBook::Verdict::Expired: *error = Error::SignatureExpired; return std::nullopt;
    }
    std::optional<User> user = s.store_.findUser(name->second);
    if (!user) {
      *error = Error::UnknownUser;
      return std::nullopt;
    }
    std::string expected = md5Hex(user->passwordMd5 + signature->second);
    if (!sameSecret(expected, token->second)) {
      *error = Error::WrongToken;
      return std::nullopt;
    }
    return user;
  }

  // Parses the query and authenticates; answers the error itself and returns nothing on
  // failure.
  std::optional<std::pair<Query, User>> begin(const httplib::Request& req,
                                              httplib::Response& res) {
    Error error{};
    std::optional<Query> query = parseQuery(rawQuery(req), &error);
    if (!query) {
      answerError(res, error);
      return std::nullopt;
    }
    std::optional<User> user = authenticate(*query, &error);
    if (!user) {
      answerError(res, error);
      return std::nullopt;
    }
    return std::make_pair(std::move(*query), std::move(*user));
  }

  std::string photoUrl(const std::string& key) const { return s.options_.publicUrl + "/photo/" + key; }
  std::string albumUrl(const std::string& key) const { return s.options_.publicUrl + "/album/" + key; }

  void signature(const httplib::Request& req, httplib::Response& res) {
    std::string signature = s.signatures_.issue(req.remote_addr);
    if (signature.empty()) {
      answerError(res, Error::StorageFailure);
      return;
    }
    res.set_header("Cache-Control", "no-store");
    // The body is the signature and nothing else: the client takes it whole.
    res.set_content(signature, "text/plain; charset=utf-8");
  }

  // Refuses an upload before its body is read: the connection closes after the answer, as
  // the unread body would otherwise be taken for the next request.
  void refuseUnread(httplib::Response& res, Error error) {
    if (RequestStream* stream = RequestStream::current()) stream->closeAfterAnswer();
    res.set_header("Connection", "close");
    answerError(res, error);
  }

  void upload(const httplib::Request& req, httplib::Response& res,
              const httplib::ContentReader& reader) {
    // Everything the query says is checked before the body is read, so that a request that
    // will be refused costs no more than its header lines.
    Error error{};
    std::optional<Query> parsed = parseQuery(rawQuery(req), &error);
    if (!parsed) return refuseUnread(res, error);
    const Query& query = *parsed;
    std::optional<User> authenticated = authenticate(query, &error);
    if (!authenticated) return refuseUnread(res, error);
    const User& user = *authenticated;

    static const char* const kRequired[] = {
        "caption",   "description", "tags",      "object_latitude", "object_longitude",
        "latitude",  "longitude",   "privacy"};
    for (const char* key : kRequired) {
      if (!query.count(key)) return refuseUnread(res, Error::MissingParameter);
    }

    Photo photo;
    photo.userId = user.id;
    photo.userName = user.name;
    photo.caption = query.at("caption");
    photo.description = query.at("description");
    photo.tags = query.at("tags");
    if (photo.caption.size() > kMaxCaption || photo.description.size() > kMaxDescription ||
        photo.tags.size() > kMaxTags)
      return refuseUnread(res, Error::ValueTooLong);

    struct Coordinate {
      const char* key;
      double limit;
      double* into;
    } coordinates[] = {
        {"object_latitude", 90, &photo.objectLatitude},
        {"object_longitude", 180, &photo.objectLongitude},
        {"latitude", 90, &photo.latitude},
        {"longitude", 180, &photo.longitude},
    };
    for (const auto& c : coordinates) {
      std::optional<double> value = parseCoordinate(query.at(c.key));
      if (!value) return refuseUnread(res, Error::BadNumber);
      if (*value < -c.limit || *value > c.limit) return refuseUnread(res, Error::CoordinateOutOfRange);
      *c.into = *value;
    }
    std::optional<int> privacy = parseInteger(query.at("privacy"));
    if (!privacy) return refuseUnread(res, Error::BadNumber);
    if (*privacy < 0 || *privacy > 1000) return refuseUnread(res, Error::PrivacyOutOfRange);
    photo.privacy = *privacy;

    if (auto album = query.find("add_to_album_name"); album != query.end()) {
      // An empty album name asks for no album.
      if (album->second.size() > kMaxAlbumName) return refuseUnread(res, Error::BadAlbumName);
      photo.albumName = album->second;
    }

    std::string boundary = multipartBoundary(req.get_header_value(kMultipartType));
    if (boundary.empty()) return refuseUnread(res, Error::MalformedMultipart);
    if (req.has_header("Content-Length")) {
      std::optional<int> declared = parseInteger(req.get_header_value("Content-Length"));
      if (!declared || static_cast<unsigned>(*declared) > s.options_.maxUpload)
        return refuseUnread(res, Error::UploadTooLarge);
    }

    // The body goes to a nameless file in the data folder, so memory stays bounded whatever
    // the size of the upload; the file vanishes with its last descriptor.
    SpoolFile spool(s.store_.spoolFolder());
    if (!spool.ok()) return refuseUnread(res, Error::StorageFailure);
    bool tooLarge = false, writeFailed = false;
    bool complete = reader([&](const char* data, std::size_t length) {
      if (length > s.options_.maxUpload - spool.size()) {
        tooLarge = true;
        return false;
      }
      if (!spool.append(data, length)) {
        writeFailed = true;
        return false;
      }
      return true;
    });
    if (tooLarge) return refuseUnread(res, Error::UploadTooLarge);
    if (writeFailed) return refuseUnread(res, Error::StorageFailure);
    if (!complete) {
      RequestStream* stream = RequestStream::current();
      if (stream && stream->timedOut()) return refuseUnread(res, Error::RequestTimeout);
      return refuseUnread(res, res.status == 413 ? Error::UploadTooLarge : Error::MalformedMultipart);
    }

    std::string_view body;
    if (!spool.view(&body)) return answerError(res, Error::StorageFailure);
    std::optional<FormPart> part = findFormPart(body, boundary, "file", &error);
    if (!part) return answerError(res, error);
    const std::string_view jpeg = part->content;
    if (jpeg.size() < 3 || static_cast<unsigned char>(jpeg[0]) != 0xFF ||
        static_cast<unsigned char>(jpeg[1]) != 0xD8 || static_cast<unsigned char>(jpeg[2]) != 0xFF)
      return answerError(res, Error::NoPhoto);
    if (!isCleanText(part->fileName)) return answerError(res, Error::NotUtf8);
    if (part->fileName.size() > kMaxFileName) return answerError(res, Error::ValueTooLong);
    photo.fileName = part->fileName;

    if (!s.store_.addPhoto(&photo, jpeg)) return answerError(res, Error::StorageFailure);

    std::string inner = "<photo>\n<id>" + std::to_string(photo.id) + "</id>\n<url>" +
                        xmlEscape(photoUrl(photo.key)) + "</url>\n";
    if (photo.albumId)
      inner += "<album_page>" + xmlEscape(albumUrl(photo.albumKey)) + "</album_page>\n";
    inner += "</photo>\n";
    res.set_content(okXml(inner), kXmlType);
  }

  void albumList(const httplib::Request& req, httplib::Response& res) {
    auto begun = begin(req, res);
    if (!begun) return;
    const Query& query = begun->first;
    const User& user = begun->second;
    auto owner = query.find("user_name");
    if (owner == query.end()) return answerError(res, Error::MissingParameter);
    if (owner->second != user.name) return answerError(res, Error::ForeignAlbums);

    std::vector<Album> albums;
    if (!s.store_.albums(user.id, &albums)) return answerError(res, Error::StorageFailure);
    // Only album names stand in <name> elements: readers take every <name> as one.
    std::string inner = "<albums_count>" + std::to_string(albums.size()) + "</albums_count>\n<albums>\n";
    for (const Album& a : albums) {
      inner += "<album><id>" + std::to_string(a.id) + "</id><name>" + xmlEscape(a.name) +
               "</name><photos_count>" + std::to_string(a.photoCount) + "</photos_count><url>" +
               xmlEscape(albumUrl(a.key)) + "</url></album>\n";
    }
    inner += "</albums>\n";
    res.set_content(okXml(inner), kXmlType);
  }

  void createAlbum(const httplib::Request& req, httplib::Response& res) {
    auto begun = begin(req, res);
    if (!begun) return;
    const Query& query = begun->first;
    const User& user = begun->second;
    auto name = query.find("name");
    if (name == query.end()) return answerError(res, Error::MissingParameter);
    if (name->second.empty() || name->second.size() > kMaxAlbumName)
      return answerError(res, Error::BadAlbumName);
    Album album;
    switch (s.store_.createAlbum(user.id, name->second, &album)) {
      case Store::Outcome::Done: break;
      case Store::Outcome::Exists: return answerError(res, Error::AlbumExists);
      case Store::Outcome::Failed: return answerError(res, Error::StorageFailure);
    }
    res.set_content(okXml("<album>\n<id>" + std::to_string(album.id) + "</id>\n<name>" +
                          xmlEscape(album.name) + "</name>\n<url>" +
                          xmlEscape(albumUrl(album.key)) + "</url>\n</album>\n"),
                    kXmlType);
  }

  void photoImage(const httplib::Request& req, httplib::Response& res) {
    std::optional<Photo> photo = s.store_.photoByKey(req.matches[1]);
    if (!photo) return answerNotFoundPage(res);
    std::ifstream f(s.store_.photoFile(photo->key), std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    if (!f.good() && !f.eof()) return answerNotFoundPage(res);
    res.set_header("X-Content-Type-Options", "nosniff");
    res.set_content(std::move(bytes), "image/jpeg");
  }

  void photoPage(const httplib::Request& req, httplib::Response& res) {
    std::optional<Photo> photo = s.store_.photoByKey(req.matches[1]);
    if (!photo) return answerNotFoundPage(res);
    const Photo& p = *photo;
    std::string title = p.caption.empty() ? std::string("Untitled photo") : p.caption;
    std::ostringstream b;
    b << "<h1>" << xmlEscape(title) << "</h1>\n";
    b << "<p><img src=\"/photo/" << p.key << ".jpg\" alt=\"" << xmlEscape(title) << "\"></p>\n";
    b << "<dl>\n";
    b << "<dt>Name</dt><dd class=\"caption\">" << xmlEscape(p.caption) << "</dd>\n";
    b << "<dt>Caption</dt><dd class=\"description\">" << xmlEscape(p.description) << "</dd>\n";
    b << "<dt>Keywords</dt><dd class=\"keywords\">" << xmlEscape(p.tags) << "</dd>\n";
    b << "<dt>Position</dt><dd class=\"position\">";
    if (p.latitude == 0 && p.longitude == 0)
      b << "no position";
    else
      b << formatCoordinate(p.latitude) << ", " << formatCoordinate(p.longitude);
    b << "</dd>\n";
    if (p.albumId)
      b << "<dt>Album</dt><dd class=\"album\"><a href=\"/album/" << p.albumKey << "\">"
        << xmlEscape(p.albumName) << "</a></dd>\n";
    b << "<dt>File</dt><dd class=\"file\">" << xmlEscape(p.fileName) << " (" << p.size
      << " bytes)</dd>\n";
    b << "<dt>Privacy</dt><dd class=\"privacy\">" << p.privacy << "</dd>\n";
    b << "<dt>Uploaded by</dt><dd class=\"user\">" << xmlEscape(p.userName) << "</dd>\n";
    b << "</dl>\n";
    answerPage(res, htmlPage(title, b.str()));
  }

  void albumPage(const httplib::Request& req, httplib::Response& res) {
    std::optional<Album> album = s.store_.albumByKey(req.matches[1]);
    if (!album) return answerNotFoundPage(res);
    std::vector<Photo> photos;
    if (!s.store_.photosInAlbum(album->id, &photos)) return answerNotFoundPage(res);
    std::ostringstream b;
    b << "<h1>" << xmlEscape(album->name) << "</h1>\n";
    b << "<p class=\"count\">" << photos.size() << (photos.size() == 1 ? " photo" : " photos")
      << "</p>\n<ul class=\"thumbs\">\n";
    for (const Photo& p : photos) {
      b << "<li><a href=\"/photo/" << p.key << "\"><img src=\"/photo/" << p.key
        << ".jpg\" alt=\"\"> " << xmlEscape(p.caption) << "</a></li>\n";
    }
    b << "</ul>\n";
    answerPage(res, htmlPage(album->name, b.str()));
  }
};

Service::Service(Store& store, ServiceOptions options)
    : store_(store), options_(std::move(options)), signatures_(options_.signatureLifetime, options_.signaturesPerAddress) {}

Service::~Service() = default;

void Service::install(httplib::Server& server) {
  auto routes = std::make_shared<Routes>(Routes{*this});
  using httplib::Request;
  using httplib::Response;

  // The library's own multipart reader insists on a line break after the closing
  // delimiter, which the format leaves optional and which uploads from our client do not
  // have. Such bodies are therefore taken in raw (the Content-Type is moved aside before
  // routing) and split by findFormPart. The Request object is the server's own, mutable one.
  //
  // The answers of the interface are a few hundred bytes: compressing them (the library's
  // Brotli at its highest quality) takes longer than sending them as they are, so their
  // requests are treated as accepting no compression. Pages keep it.
  server.set_pre_routing_handler([](const Request& constReq, Response&) {
    auto& req = const_cast<Request&>(constReq);
    if (req.path.rfind("/api/", 0) == 0) req.headers.erase("Accept-Encoding");
    req.headers.erase(kMultipartType);
    std::string type = req.get_header_value("Content-Type");
    if (isMultipartType(type)) {
      req.headers.erase("Content-Type");
      req.headers.emplace("Content-Type", "application/octet-stream");
      req.headers.emplace(kMultipartType, type);
    }
    return httplib::Server::HandlerResponse::Unhandled;
  });

  const std::string signaturePath = "/api/get_api_signature.php";
  const std::string uploadPath = "/api/post_photo_xml.php";
  const std::string albumsPath = "/api/get_albums_xml.php";
  const std::string createPath = "/api/create_album_xml.php";

  server.Get(signaturePath, [routes](const Request& q, Response& r) { routes->signature(q, r); });
  server.Post(uploadPath, [routes](const Request& q, Response& r, const httplib::ContentReader& c) {
    routes->upload(q, r, c);
  });
  server.Get(albumsPath, [routes](const Request& q, Response& r) { routes->albumList(q, r); });
  server.Get(createPath, [routes](const Request& q, Response& r) { routes->createAlbum(q, r); });
  server.Get("/photo/([0-9a-f]{24})\\.jpg",
             [routes](const Request& q, Response& r) { routes->photoImage(q, r); });
  server.Get("/photo/([0-9a-f]{24})", [routes](const Request& q, Response& r) { routes->photoPage(q, r); });
  server.Get("/album/([0-9a-f]{24})", [routes](const Request& q, Response& r) { routes->albumPage(q, r); });

  auto wrongMethod = [](const Request&, Response& r) { answerError(r, Error::MethodNotAllowed); };
  server.Get(uploadPath, wrongMethod);
  for (const std::string& path : {signaturePath, albumsPath, createPath})
    server.Post(path, [](const Request&, Response& r, const httplib::ContentReader& reader) {
      reader([](const char*, std::size_t) { return true; });
      answerError(r, Error::MethodNotAllowed);
    });

  // Whatever the library itself refuses still gets an error element.
  server.set_error_handler(httplib::Server::HandlerWithResponse(
      [](const Request&, Response& res) {
        if (!res.body.empty()) return httplib::Server::HandlerResponse::Unhandled;
        switch (res.status) {
          case 404: answerError(res, Error::UnknownRequest); break;
          case 405: answerError(res, Error::MethodNotAllowed); break;
          case 413: answerError(res, Error::UploadTooLarge); break;
          case 414: answerError(res, Error::RequestTooLong); break;
          case 400: {
            // The library could not read the request line or header lines: too slow, too
            // long, or malformed.
            RequestStream* stream = RequestStream::current();
            if (stream && stream->timedOut()) answerError(res, Error::RequestTimeout);
            else if (stream && stream->headersTooLong()) answerError(res, Error::RequestTooLong);
            else answerError(res, Error::MalformedQuery);
            break;
          }
          default: {
            int status = res.status;
            answerError(res, Error::StorageFailure);
            res.status = status;
          }
        }
        return httplib::Server::HandlerResponse::Handled;
      }));

  server.set_exception_handler([](const Request&, Response& res, std::exception_ptr) {
    answerError(res, Error::StorageFailure);
  });

  server.set_payload_max_length(options_.maxUpload);
}

}  // namespace velmserver
