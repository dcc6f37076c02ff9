// What the window shows of a photo before it is exported: a thumbnail made with the image
// layer, its caption and keywords as the host's library reads them, and its position. Made on
// a worker thread (it decodes the whole photo), never on the display thread.
#pragma once

#include <QImage>
#include <QString>
#include <QStringList>

#include <optional>
#include <string>
#include <vector>

namespace velmexport {

struct PhotoDetails {
  QImage thumbnail;  // null when the image layer could not decode the photo
  QString caption;
  QStringList keywords;
  bool hasPosition = false;
  double latitude = 0, longitude = 0;  // signed: south and west negative
};

// Reads the photo's details; the thumbnail's longer side is at most `thumbnailSide` pixels.
PhotoDetails readPhotoDetails(const std::string& path, int thumbnailSide);

// What the user dropped or chose: photos (folders walked with their subfolders) and the files
// left out because they are not photos. `error` names the first name that cannot be read.
struct CollectedPhotos {
  std::vector<std::string> photos, notPhotos;
  std::string error;
};
CollectedPhotos collectDroppedPhotos(const std::vector<std::string>& names);

}  // namespace velmexport
