// The rendering of an image version: the file the host writes into the plug-in's export folder
// for a photo of the library. The original file is read only, never changed.
#pragma once

#include <string>

#include "ExportSettings.h"
#include "PhotoLibrary.h"

// The extension (with its dot) of the rendered file of a photo: the photo's own.
std::string renderedExtension(const PhotoLibrary::Photo& photo);

// Writes the rendered version of the library's photo at index into a new file at destination
// (created exclusively; an existing file there is replaced only through a fresh temporary file
// beside it). False, with a sentence in `error`, when the photo cannot be read or rendered or
// the file cannot be written; nothing is left at destination then.
bool renderVersion(const PhotoLibrary& library, size_t index, const std::string& destination,
                   const ExportSettings& settings, std::string* error);

// The pixel size of the JPEG that photo preparation makes of the image file at path for a
// longest side of maxSize (0 full size): never enlarged, turned by its orientation when
// scaled. False when the file is no readable image.
bool renderedSize(const std::string& path, int maxSize, int* width, int* height);
