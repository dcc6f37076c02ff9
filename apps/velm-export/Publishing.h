// What an export to the service would do with each photo, before anything is sent: which
// photos are published already (their caption holds a page address of the service, or the
// publication ledger knows their bytes), and for a dry run exactly what each upload would
// carry. The command line and the desktop window both decide and show an export from these.
//
// Order of use: fill a PhotoLibrary with the photos the user named, open the ledger, make the
// ServicePages, call findPublished; show or print what it found; PhotoLibrary::retain the
// photos to export; previewExport for a dry run, or an ExportSession with setLedger for the
// real export.
#pragma once

#include <string>
#include <vector>

#include "ExportSettings.h"
#include "PhotoLibrary.h"
#include "PublicationLedger.h"


// The page addresses of one service, as they are found in captions: an address whose host
// (and port, for a numeric host) is the service's, shares its domain (www.example.com for
// api.example.com), or is the host of a page the ledger recorded for the service.
class ServicePages {
 public:
  explicit ServicePages(const std::string& service, const std::vector<std::string>& knownAddresses = {});

  // The first page address of the service in the text; "" when it holds none.
  std::string firstAddress(const std::string& text) const;
  // The text without the lines that hold a page address of the service, and without the
  // empty lines those leave at its end. Lines end at CR, LF or CR LF.
  std::string withoutAddresses(const std::string& text) const;

 private:
  struct Origin {
    std::string host, port;
  };
  static bool parseOrigin(const std::string& address, Origin* origin);
  bool isServiceOrigin(const Origin& origin) const;

  Origin service_;
  std::vector<Origin> known_;
};

// Whether one photo of the library is published to the service and account already, or is
// the same photo (the same bytes) as an earlier one of this export.
struct PublishedCheck {
  enum Source { NotPublished, ByCaption, ByLedger, SameAsEarlier } source = NotPublished;
  std::string address;    // the page it was published at
  std::string ledgerPath; // by the ledger: the path it was uploaded from (a copy or the old name)
  size_t sameAs = 0;      // SameAsEarlier: the index of that earlier photo
  bool published() const { return source == ByCaption || source == ByLedger; }
  bool duplicate() const { return source == SameAsEarlier; }
  // Left out of an export unless the user asks to publish again.
  bool leftOut() const { return source != NotPublished; }
};

// For each photo of the library, in its order. The ledger may be null (not available). A photo
// whose bytes equal those of an earlier photo of the library that is not published is
// SameAsEarlier: one export never sends the same photo twice by accident.
std::vector<PublishedCheck> findPublished(const PhotoLibrary& library, const ServicePages& pages,
                                          const PublicationLedger* ledger, const ExportSettings& settings);

// The indexes of the photos an export takes: all of them with `republish`, else the ones not
// left out.
std::vector<size_t> photosToExport(const std::vector<PublishedCheck>& checks, const ExportSettings& settings);

// What the upload of one photo would carry, as the plug-in would send it.
struct PhotoPreview {
  std::string path;
  bool leftOut = false;
  std::string why;  // why it is left out: "already published: ADDRESS", "the same photo as NAME"
  std::string name;     // the version name
  // The rest is set for photos that would be uploaded.
  std::string caption;  // the description sent
  std::vector<std::string> keywords;
  bool hasPosition = false;
  double latitude = 0, longitude = 0;  // signed: south and west negative; 0, 0 without position
  int width = 0, height = 0;           // of the JPEG sent; 0 when the photo cannot be read
  std::string size, privacy, album;    // as the panel names them; album "" for none
};

struct PreviewChoices {
  int maxSize = 0;  // longest side in pixels, 0 full size
  std::string sizeName, privacyName, album;
};

// The preview of an export: `library` holds the photos the export takes (after retain), `all`
// and `checks` every photo named, for the ones left out. Contacts no service, writes nothing
// the user keeps.
std::vector<PhotoPreview> previewExport(const PhotoLibrary& all, const std::vector<PublishedCheck>& checks,
                                        const PhotoLibrary& library, const PreviewChoices& choices,
                                        const ExportSettings& settings);
