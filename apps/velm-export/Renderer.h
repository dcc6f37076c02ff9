// The rendering of an image version: the file the host writes into the plug-in's export folder
// for a photo of the library. The original file is read only, never changed.
#pragma once

#include <string>

#include "ExportSettings.h"
#include "PhotoLibrary.h"

// A photo is rendered in one of three ways:
// - a file whose metadata Exiv2 writes (JPEG, PNG, TIFF, WebP ...) is copied as it is, with the
//   version's metadata written into the copy;
// - a camera RAW (every format LibRaw reads: DNG, CR2, CR3, NEF, ARW, ORF, RAF, RW2 ...) is
//   developed by LibRaw at full size with the camera's white balance, turned upright, and
//   encoded as JPEG carrying the RAW's EXIF (the picture's tags, not its layout), GPS, IPTC and
//   XMP;
// - any other picture (HEIC, AVIF: Exiv2 reads their metadata but does not write it) is
//   decoded, turned upright and encoded as JPEG carrying its metadata in the same way.
// The version's metadata is then merged over what the file holds: the caption and keywords as
// the library hands them to the plug-in, the sidecar's GPS position over the photo's, and with
// ExportSettings::noLocation no GPS data at all.

// The extension (with its dot) of the rendered file of a photo: the photo's own when it is
// copied, ".jpg" when it is developed or encoded again.
std::string renderedExtension(const PhotoLibrary::Photo& photo);

// The name of the rendered file in the plug-in's export folder: the version name made a plain
// file name (no "/", not hidden, at most 240 bytes, cut at a character's end) and the rendered
// extension. A title never names a file outside the folder.
std::string renderedFileName(const PhotoLibrary::Photo& photo);

// Whether LibRaw reads the file as a camera RAW.
bool isRawPhoto(const std::string& path);

// Writes the rendered version of the library's photo at index into a new file at destination
// (through a temporary file made exclusively beside it and renamed into place, so no link
// planted there is followed). False, with a sentence in `error`, when the photo cannot be read
// or rendered or the file cannot be written; nothing is left at destination then. When
// `written` is given it receives the bytes of the file, so that they need not be read back.
bool renderVersion(const PhotoLibrary& library, size_t index, const std::string& destination,
                   const ExportSettings& settings, std::string* error, std::string* written = nullptr);

// The pixel size of the JPEG that photo preparation makes of the image file at path for a
// longest side of maxSize (0 full size): never enlarged, turned by its orientation when
// scaled. False when the file is no readable image.
bool renderedSize(const std::string& path, int maxSize, int* width, int* height);
