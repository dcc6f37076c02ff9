// The results of an export photo by photo, for every photo the user named: the ones the export
// took with their outcomes and the ones it left out as published already; and the same, or a
// dry run's preview, as one JSON document for scripts.
#pragma once

#include <string>
#include <vector>

#include "ExportHost.h"
#include "PhotoLibrary.h"
#include "Publishing.h"

struct PhotoResult {
  std::string path;
  std::string name;     // the version name
  std::string status;   // "uploaded", "failed", "not exported", "already published" or
                        // "left out" (the same photo as an earlier one of the export)
  std::string address;  // the page: of the upload, or of the earlier publication
  SInt32 code = 0;      // the plug-in's code for a failure
  std::string message;  // why it failed or was left out, in plain words
};

struct ResultCounts {
  unsigned uploaded = 0, failed = 0, notExported = 0, alreadyPublished = 0, leftOut = 0;
};

// `all` and `checks` hold every photo named, `library` the photos the export took (in the same
// order) and `outcomes` theirs.
std::vector<PhotoResult> exportResults(const PhotoLibrary& all, const std::vector<PublishedCheck>& checks,
                                       const PhotoLibrary& library, const std::vector<PhotoOutcome>& outcomes);
ResultCounts countResults(const std::vector<PhotoResult>& results);

// {"photos": [{"path", "name", "status", "address", "error", "message"}...],
//  "uploaded": N, "failed": N, "not_exported": N, "already_published": N, "left_out": N}
std::string resultsJson(const std::vector<PhotoResult>& results);
// {"dry_run": true, "photos": [{"path", "status": "would upload" | "left out", "reason", "name",
//  "caption", "keywords", "latitude", "longitude", "has_position", "width", "height", "size",
//  "privacy", "album"}...], "would_upload": N, "left_out": N}
std::string previewJson(const std::vector<PhotoPreview>& previews);
