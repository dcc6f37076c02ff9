#include "ExportReport.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QString>

namespace {

QString q(const std::string& s) { return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size())); }

std::string text(const QJsonObject& o) {
  QByteArray bytes = QJsonDocument(o).toJson(QJsonDocument::Indented);
  return std::string(bytes.constData(), static_cast<size_t>(bytes.size()));
}

}  // namespace

std::vector<PhotoResult> exportResults(const PhotoLibrary& all, const std::vector<PublishedCheck>& checks,
                                       const PhotoLibrary& library, const std::vector<PhotoOutcome>& outcomes) {
  std::vector<PhotoResult> out;
  size_t next = 0;
  for (size_t i = 0; i < all.count(); ++i) {
    PhotoResult r;
    r.path = all.photo(i).path;
    if (next < library.count() && library.photo(next).path == r.path) {
      r.name = library.photo(next).versionName;
      PhotoOutcome o = next < outcomes.size() ? outcomes[next] : PhotoOutcome{};
      ++next;
      r.status = o.state == PhotoOutcome::Uploaded ? "uploaded" : o.state == PhotoOutcome::Failed ? "failed" : "not exported";
      r.address = o.address;
      r.code = o.code;
      r.message = o.reason;
    } else {
      r.name = all.photo(i).versionName;
      if (i < checks.size() && checks[i].duplicate()) {
        r.status = "left out";
        r.message = "the same photo as " + all.photo(checks[i].sameAs).versionName;
      } else {
        r.status = "already published";
        if (i < checks.size()) r.address = checks[i].address;
      }
    }
    out.push_back(r);
  }
  return out;
}

ResultCounts countResults(const std::vector<PhotoResult>& results) {
  ResultCounts c;
  for (const auto& r : results) {
    if (r.status == "uploaded") ++c.uploaded;
    else if (r.status == "failed") ++c.failed;
    else if (r.status == "already published") ++c.alreadyPublished;
    else if (r.status == "left out") ++c.leftOut;
    else ++c.notExported;
  }
  return c;
}

std::string resultsJson(const std::vector<PhotoResult>& results) {
  QJsonArray photos;
  for (const auto& r : results) {
    QJsonObject p;
    p["path"] = q(r.path);
    p["name"] = q(r.name);
    p["status"] = q(r.status);
    p["address"] = r.address.empty() ? QJsonValue() : QJsonValue(q(r.address));
    p["error"] = static_cast<qint64>(r.code);
    p["message"] = q(r.message);
    photos.append(p);
  }
  ResultCounts c = countResults(results);
  QJsonObject doc;
  doc["photos"] = photos;
  doc["uploaded"] = static_cast<qint64>(c.uploaded);
  doc["failed"] = static_cast<qint64>(c.failed);
  doc["not_exported"] = static_cast<qint64>(c.notExported);
  doc["already_published"] = static_cast<qint64>(c.alreadyPublished);
  doc["left_out"] = static_cast<qint64>(c.leftOut);
  return text(doc);
}

std::string previewJson(const std::vector<PhotoPreview>& previews) {
  QJsonArray photos;
  qint64 sending = 0, leftOut = 0;
  for (const auto& v : previews) {
    QJsonObject p;
    p["path"] = q(v.path);
    p["name"] = q(v.name);
    if (v.leftOut) {
      ++leftOut;
      p["status"] = "left out";
      p["reason"] = q(v.why);
    } else {
      ++sending;
      p["status"] = "would upload";
      p["caption"] = q(v.caption);
      QJsonArray keywords;
      for (const auto& k : v.keywords) keywords.append(q(k));
      p["keywords"] = keywords;
      p["has_position"] = v.hasPosition;
      p["latitude"] = v.latitude;
      p["longitude"] = v.longitude;
      p["width"] = v.width;
      p["height"] = v.height;
      p["size"] = q(v.size);
      p["privacy"] = q(v.privacy);
      p["album"] = v.album.empty() ? QJsonValue() : QJsonValue(q(v.album));
    }
    photos.append(p);
  }
  QJsonObject doc;
  doc["dry_run"] = true;
  doc["photos"] = photos;
  doc["would_upload"] = sending;
  doc["left_out"] = leftOut;
  return text(doc);
}
