#include "checkSum.h"

// The MD5_* functions are the interface this module is defined on; OpenSSL 3 still provides them.
#define OPENSSL_API_COMPAT 0x10100000L
#include <openssl/md5.h>

#include <fcntl.h>
#include <setjmp.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "NSLog.h"
#include "fileEngine.h"
#include "myDebug.h"
#include "stringEngine.h"

// ---------------------------------------------------------------------------------------------
// File checksums

namespace {

constexpr UInt64 kWindowSize = 67108864;  // 64 MiB
constexpr UInt32 kPathBufferSize = 1024;

// Reading a mapped page that lies past the file's end (the file was cut while it was hashed)
// raises SIGBUS. While a window is hashed, the thread's jump buffer is set and the handler
// returns there; every other SIGBUS goes on to the handler that was installed before.
thread_local sigjmp_buf* tWindowGuard = nullptr;
struct sigaction gPreviousBusAction;

void onBusError(int signal, siginfo_t* info, void* context) {
  if (sigjmp_buf* guard = tWindowGuard) {
    tWindowGuard = nullptr;
    siglongjmp(*guard, 1);
  }
  const struct sigaction& previous = gPreviousBusAction;
  if (previous.sa_flags & SA_SIGINFO) {
    if (previous.sa_sigaction) previous.sa_sigaction(signal, info, context);
    return;
  }
  if (previous.sa_handler == SIG_IGN) return;
  if (previous.sa_handler == SIG_DFL || previous.sa_handler == nullptr) {
    struct sigaction fallback;
    std::memset(&fallback, 0, sizeof fallback);
    fallback.sa_handler = SIG_DFL;
    sigaction(SIGBUS, &fallback, nullptr);
    raise(SIGBUS);
    return;
  }
  previous.sa_handler(signal);
}

void installBusGuard() {
  static std::once_flag once;
  std::call_once(once, [] {
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_sigaction = onBusError;
    action.sa_flags = SA_SIGINFO | SA_NODEFER;
    sigemptyset(&action.sa_mask);
    sigaction(SIGBUS, &action, &gPreviousBusAction);
  });
}

// Hashes a mapped window; false when its pages vanished under it. The window is hashed through a
// small buffer that stays in the processor's cache: a streaming copy reads the mapped pages at
// full speed, where the digest reading them directly stalls at every page boundary (the
// hardware prefetchers stop there).
bool hashWindow(MD5_CTX* context, const void* bytes, size_t length) {
  constexpr size_t kChunk = 64 * 1024;
  alignas(64) static thread_local unsigned char chunk[kChunk];
  sigjmp_buf guard;
  if (sigsetjmp(guard, 1) != 0) return false;
  tWindowGuard = &guard;
  const unsigned char* at = static_cast<const unsigned char*>(bytes);
  for (size_t done = 0; done < length;) {
    size_t n = std::min(kChunk, length - done);
    std::memcpy(chunk, at + done, n);
    MD5_Update(context, chunk, n);
    done += n;
  }
  tWindowGuard = nullptr;
  return true;
}

}  // namespace

SInt32 csGetCheckSum(FSRef file, Checksum* digest, csProgressProc progress, void* argument) {
  char path[kPathBufferSize];
  OSStatus err = FSRefMakePath(&file, reinterpret_cast<UInt8*>(path), kPathBufferSize);
  if (err != noErr) return static_cast<SInt16>(err);
  const UInt64 size = feGetFileDataSize(&file);
  MD5_CTX context;
  MD5_Init(&context);
  int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return -1;
  installBusGuard();

  UInt64 done = 0, offset = 0, window = kWindowSize;
  while (done < size) {
    if (size - done < window) window = size - done;
    if (window == 0) break;
    void* bytes = mmap(nullptr, window, PROT_READ, MAP_PRIVATE | MAP_POPULATE, fd, static_cast<off_t>(offset));
    if (bytes == MAP_FAILED) {
      debugAssertFailed(static_cast<SInt16>(errno), "checkSum", 77);
      close(fd);
      return -2;
    }
    // While this window is hashed the next one is read ahead, so reading and hashing overlap
    // when the file is not in the page cache.
    if (offset + window < size) posix_fadvise(fd, static_cast<off_t>(offset + window), static_cast<off_t>(kWindowSize), POSIX_FADV_WILLNEED);
    bool whole = hashWindow(&context, bytes, window);
    munmap(bytes, window);
    if (!whole) {
      debugAssertFailed(eofErr, "checkSum", __LINE__);
      close(fd);
      return eofErr;
    }
    offset += window;
    done += window;
    if (progress && done != size) progress(argument);
  }
  MD5_Final(digest->bytes, &context);
  close(fd);
  return noErr;
}

// ---------------------------------------------------------------------------------------------
// Digests of bytes and strings

SInt32 csIsSameChecksum(const Checksum* a, const Checksum* b) {
  if (!a || !b) return 0;
  for (int w = 0; w < 4; ++w) {
    UInt32 x, y;
    memcpy(&x, a->bytes + 4 * w, 4);
    memcpy(&y, b->bytes + 4 * w, 4);
    if (x != y) return 0;
  }
  return 1;
}

CFStringRef csMakeStringFromChecksum(const Checksum* digest) {
  if (!digest) return nullptr;
  static const char kHex[] = "0123456789abcdef";
  char text[33];
  for (int i = 0; i < 16; ++i) {
    text[2 * i] = kHex[digest->bytes[i] >> 4];
    text[2 * i + 1] = kHex[digest->bytes[i] & 15];
  }
  text[32] = 0;
  return CFStringCreateWithCString(nullptr, text, kCFStringEncodingASCII);
}

CFStringRef csMakeMD5OfData(const void* bytes, UInt32 length) {
  Checksum digest{};
  MD5_CTX context;
  MD5_Init(&context);
  if (bytes && length) MD5_Update(&context, bytes, length);
  MD5_Final(digest.bytes, &context);
  return csMakeStringFromChecksum(&digest);
}

CFStringRef csMakeMD5OfString(CFStringRef s) {
  UInt32 size = ORBStringGetUTF8Size(s);
  void* buffer = calloc(size ? size : 1, 1);
  if (!buffer) return nullptr;
  UInt32 count = 0;
  ORBStringCopyToUTF8(s, buffer, &count);
  CFStringRef text = csMakeMD5OfData(buffer, count);
  free(buffer);
  return text;
}

void csTester(void) {
  // The MD5 of "abc" from the test suite of RFC 1321.
  static const Checksum kTest = {{0x90, 0x01, 0x50, 0x98, 0x3c, 0xd2, 0x4f, 0xb0, 0xd6, 0x96, 0x3f, 0x7d, 0x28, 0xe1,
                                  0x7f, 0x72}};
  CFRef<CFStringRef> text(csMakeStringFromChecksum(&kTest));
  NSLog(CFSTR("%@"), text.get());
}
