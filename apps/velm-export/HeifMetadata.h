// The XMP packet of a HEIF photo (HEIC, AVIF), which Exiv2 does not read from every such file:
// read through libheif from the primary image's metadata item of type "application/rdf+xml".
#pragma once

#include <string>

// The packet; "" when the file is no HEIF file or holds no XMP.
std::string heifXmpPacket(const std::string& path);
