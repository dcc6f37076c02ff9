// Handles and pointers over the C heap (see MacMemory.h).
#include "MacMemory.h"

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <unordered_set>

namespace {

// A handle is the address of `bytes`, the block's master pointer.
struct HandleBlock {
  char* bytes;
  Size size;
};

thread_local OSErr gMemError = noErr;

// Live handles, so that a stale or foreign pointer is refused instead of followed.
struct Registry {
  std::mutex lock;
  std::unordered_set<HandleBlock*> live;
};
Registry& registry() {
  static Registry* r = new Registry;
  return *r;
}

HandleBlock* blockOf(Handle h) {
  if (!h) return nullptr;
  HandleBlock* b = reinterpret_cast<HandleBlock*>(h);
  Registry& r = registry();
  std::lock_guard<std::mutex> guard(r.lock);
  return r.live.count(b) ? b : nullptr;
}

Handle newHandle(Size byteCount, bool clear) {
  if (byteCount < 0) {
    gMemError = memFullErr;
    return nullptr;
  }
  // At least one byte, so that an empty block still has a master pointer that is not null.
  char* bytes = static_cast<char*>(clear ? std::calloc(size_t(byteCount) + 1, 1)
                                         : std::malloc(size_t(byteCount) + 1));
  HandleBlock* b = bytes ? new (std::nothrow) HandleBlock{bytes, byteCount} : nullptr;
  if (!b) {
    std::free(bytes);
    gMemError = memFullErr;
    return nullptr;
  }
  {
    Registry& r = registry();
    std::lock_guard<std::mutex> guard(r.lock);
    r.live.insert(b);
  }
  gMemError = noErr;
  return reinterpret_cast<Handle>(b);
}

}  // namespace

OSErr MemError(void) { return gMemError; }

Handle NewHandle(Size byteCount) { return newHandle(byteCount, false); }
Handle NewHandleClear(Size byteCount) { return newHandle(byteCount, true); }

Size GetHandleSize(Handle h) {
  HandleBlock* b = blockOf(h);
  if (!b) {
    gMemError = nilHandleErr;
    return 0;
  }
  gMemError = noErr;
  return b->size;
}

void SetHandleSize(Handle h, Size newSize) {
  HandleBlock* b = blockOf(h);
  if (!b) {
    gMemError = nilHandleErr;
    return;
  }
  if (newSize < 0) {
    gMemError = memFullErr;
    return;
  }
  char* grown = static_cast<char*>(std::realloc(b->bytes, size_t(newSize) + 1));
  if (!grown) {
    gMemError = memFullErr;
    return;
  }
  if (newSize > b->size) std::memset(grown + b->size, 0, size_t(newSize - b->size));
  b->bytes = grown;
  b->size = newSize;
  gMemError = noErr;
}

void DisposeHandle(Handle h) {
  if (!h) {
    gMemError = noErr;
    return;
  }
  HandleBlock* b = reinterpret_cast<HandleBlock*>(h);
  {
    Registry& r = registry();
    std::lock_guard<std::mutex> guard(r.lock);
    if (!r.live.erase(b)) {
      gMemError = nilHandleErr;
      return;
    }
  }
  std::free(b->bytes);
  delete b;
  gMemError = noErr;
}

OSErr PtrToHand(const void* srcPtr, Handle* dstHndl, long size) {
  if (!dstHndl || size < 0 || (size > 0 && !srcPtr)) return gMemError = paramErr;
  *dstHndl = NewHandle(size);
  if (!*dstHndl) return gMemError = memFullErr;
  if (size) std::memcpy(**dstHndl, srcPtr, size_t(size));
  return gMemError = noErr;
}

Ptr NewPtr(Size byteCount) {
  if (byteCount < 0) {
    gMemError = memFullErr;
    return nullptr;
  }
  Ptr p = static_cast<Ptr>(std::malloc(size_t(byteCount) + 1));
  gMemError = p ? noErr : memFullErr;
  return p;
}

Ptr NewPtrClear(Size byteCount) {
  if (byteCount < 0) {
    gMemError = memFullErr;
    return nullptr;
  }
  Ptr p = static_cast<Ptr>(std::calloc(size_t(byteCount) + 1, 1));
  gMemError = p ? noErr : memFullErr;
  return p;
}

void DisposePtr(Ptr p) {
  std::free(p);
  gMemError = noErr;
}
