// Photo preparation: the exported photo decoded, scaled down to the chosen size and encoded
// again, with its metadata, into memory for the upload.
#pragma once

#include "CoreFoundation.h"
#include "CoreServices.h"
#include "MacTypes.h"

// The photo of ref encoded as type (JPEG, kUTTypeJPEG), with its longer side at most maxSize
// pixels (never enlarged, orientation applied) or at full size and unturned when maxSize is 0,
// carrying the source's metadata. A new buffer the caller releases; null when the file is no
// readable image or encoding fails.
CFMutableDataRef resizePhotoFileAs(const FSRef* ref, SInt32 maxSize, CFStringRef type);
