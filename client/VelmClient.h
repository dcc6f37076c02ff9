// VelmClient: every exchange with the Velm service's HTTP API (signature, token, photo
// upload, album list, album creation) and the reading of its XML answers.
//
// Every operation is synchronous and blocks the calling thread for its HTTP exchanges; one
// thread uses a client at a time. Failures are result codes: 0 success, 100 no answer (or an
// error code without end), otherwise the number in the service's error element.
//
// The service's address is fixed (kVelmDefaultServiceURL) unless the preference
// "VelmServiceURL" of the current application names another, or the environment variable
// VELM_SERVICE_URL does (the variable wins). The four request paths are appended to it.
//
// Ownership follows CoreFoundation's rule, member by member as noted: "new" results are the
// caller's to release; "borrowed" ones stay the client's.
#pragma once

#include <atomic>

#include "CoreFoundation.h"
#include "MacTypes.h"
#include "NSURL.h"

extern const char* const kVelmDefaultServiceURL;

// New: the service's address the requests go to (VELM_SERVICE_URL, the preference, or the
// fixed address), without trailing slashes.
CFStringRef VelmCopyServiceBaseURL(void);

class VelmClient {
 public:
  // A new client has every field nil or 0.
  VelmClient() = default;
  ~VelmClient() = default;
  VelmClient(const VelmClient&) = delete;
  VelmClient& operator=(const VelmClient&) = delete;

  // ---- Used by the plug-in
  // Replaces the account name and password (copied).
  void setName(CFStringRef name, CFStringRef password);
  // Replaces the album each upload is added to; null means none.
  void setAlbumName(CFStringRef albumName);
  void setPrivacy(SInt32 privacy);
  // Uploads one JPEG: 0 on success, else the result code. Afterwards getResultURL (success)
  // or getResultDataString (failure) tell more, until the next upload.
  SInt32 uploadFileSync(CFDataRef data, CFStringRef name, CFStringRef description,
                        CFStringRef keywords, double lattitude, double longitude);
  // Borrowed: the photo's page from the last upload's answer, or null.
  CFStringRef getResultURL() const { return lResultURL.get(); }
  // Borrowed: the text of the last upload's answer; empty when none arrived, null when it
  // was not UTF-8.
  CFStringRef getResultDataString() const { return resultDataString.get(); }
  // New: the last upload's failure in plain words: "no answer from the service" for 100,
  // otherwise "error N: meaning" from the service's table, and the service's own text when its
  // answer has one. Null after a success.
  CFStringRef copyResultDescription(SInt32 code) const;
  // The meaning of a service error number (borrowed; null for a number the table lacks).
  static CFStringRef errorMeaning(SInt32 code);
  Boolean operationRunning() const { return false; }
  // Stops the request in progress, from any thread: it ends at once with no answer, and the
  // operation it belongs to sends nothing more. The next operation starts afresh.
  void stopCurrentOperation() { lStopped = true; }

  // ---- The steps of a request
  // New: the body of a fresh signature request; empty when none arrived or it was not UTF-8.
  CFStringRef getVelmAPISignatureSync();
  // New: MD5 hex of (MD5 hex of the password, followed by the signature).
  CFStringRef getVelmAuthToken(CFStringRef signature);
  // New: the bytes of the service's answer to the upload, or null when none arrived.
  CFDataRef uploadPhotoToVelmSync(CFDataRef data, CFStringRef name, CFStringRef description,
                                  CFStringRef keywords, float lattitude, float longitude);
  // New: the answer to a multipart POST of the photo as the part "file", or null.
  CFDataRef POSTFileDataSync(const NSURL& url, CFDataRef fileData, CFStringRef fileName);
  // The result code of an answer (null or empty: 100).
  SInt32 processVelmResult(CFDataRef data);
  // New: the text of the answer's first url element, or null.
  CFStringRef getVelmResultURL(CFDataRef data);

  // ---- Albums
  // Borrowed (kept until the next album list is read): the account's album names, at most
  // 50; null on failure, with the result code stored through error.
  CFArrayRef getAlbumListSync(SInt32* error);
  // Borrowed, as above: the album names in an answer; null for an empty answer.
  CFArrayRef getAlbumListFromResult(CFDataRef data);
  // The result code of an album creation request.
  SInt32 createAlbumInVelmSync(CFStringRef albumName);
  // Always 98; starts nothing.
  SInt32 getAlbumList() { return 98; }

  // For tests only: every request's time-out without progress, and its overall deadline, in
  // seconds (0: the usual ones).
  void setTimeoutIntervalForTesting(double seconds) { lTimeoutForTesting = seconds; }
  void setDeadlineIntervalForTesting(double seconds) { lDeadlineForTesting = seconds; }

  // Bounds of every exchange. Answers are short XML texts; one longer than this is no answer.
  static constexpr CFIndex kMaxAnswerLength = 1 << 20;
  // The whole of a signature or album request.
  static constexpr double kRequestDeadline = 180.0;
  // The whole of an upload: a fixed allowance plus one second per 16 KiB sent, so that a
  // large photo on a slow line still arrives but an answer that never ends is given up.
  static double uploadDeadline(CFIndex bodyLength) { return 180.0 + static_cast<double>(bodyLength) / 16384.0; }

 private:
  CFDataRef getSync(CFStringRef url);

  CFRef<CFStringRef> lName;
  CFRef<CFStringRef> lPwd;
  CFRef<CFStringRef> lAlbumName;
  SInt32 lPrivacy = 0;
  CFRef<CFStringRef> resultDataString;
  CFRef<CFStringRef> lResultURL;
  CFRef<CFArrayRef> lAlbumList;
  double lTimeoutForTesting = 0;
  double lDeadlineForTesting = 0;
  std::atomic<bool> lStopped{false};
};
