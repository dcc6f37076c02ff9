// Data forks: open files behind fork reference numbers, positioned reads and writes, the
// logical end of file, and volume flushing.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sys/sysmacros.h>

#include <cerrno>
#include <cstring>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "FilesInternal.h"

namespace velm_files {
namespace {

struct Fork {
  int fd = -1;
  bool canRead = false;
  bool canWrite = false;
  UInt64 device = 0;
  UInt64 inode = 0;
  std::string path;
  SInt8 permissions = 0;
  std::mutex lock;  // one operation at a time: the mark is shared
  SInt64 mark = 0;
  ~Fork() {
    if (fd >= 0) close(fd);
  }
};

struct ForkTable {
  std::mutex lock;
  std::map<FSIORefNum, std::shared_ptr<Fork>> forks;
  FSIORefNum next = 1;
};

ForkTable& forkTable() {
  static ForkTable* table = new ForkTable;
  return *table;
}

std::shared_ptr<Fork> findFork(FSIORefNum refNum) {
  ForkTable& t = forkTable();
  std::lock_guard<std::mutex> guard(t.lock);
  auto found = t.forks.find(refNum);
  return found == t.forks.end() ? nullptr : found->second;
}

// Gives the fork a number; numbers are handed out in turn, so that a number just closed is not
// given again at once. 0 when every number is in use.
FSIORefNum addFork(std::shared_ptr<Fork> fork) {
  ForkTable& t = forkTable();
  std::lock_guard<std::mutex> guard(t.lock);
  for (int tries = 0; tries < std::numeric_limits<FSIORefNum>::max(); ++tries) {
    FSIORefNum n = t.next;
    t.next = n == std::numeric_limits<FSIORefNum>::max() ? 1 : FSIORefNum(n + 1);
    if (t.forks.emplace(n, fork).second) return n;
  }
  return 0;
}

OSErr forkSize(const Fork& fork, SInt64* size) {
  struct stat st;
  if (fstat(fork.fd, &st) != 0) return osErrFromErrno(errno);
  *size = st.st_size;
  return noErr;
}

// The absolute position that a position mode and offset give.
OSErr position(const Fork& fork, UInt16 positionMode, SInt64 offset, SInt64* at) {
  SInt64 base = 0;
  switch (positionMode & 0x3) {
    case fsAtMark: *at = fork.mark; return noErr;
    case fsFromStart: base = 0; break;
    case fsFromLEOF: {
      OSErr err = forkSize(fork, &base);
      if (err != noErr) return err;
      break;
    }
    case fsFromMark: base = fork.mark; break;
  }
  if ((offset > 0 && base > std::numeric_limits<SInt64>::max() - offset)) return posErr;
  *at = base + offset;
  return *at < 0 ? OSErr(posErr) : OSErr(noErr);
}

// An uncached transfer (noCacheMask) leaves none of its bytes in the page cache: written bytes
// are first sent to the disk, since dirty pages cannot be dropped, then the range is dropped.
void dropFromCache(int fd, SInt64 at, ByteCount length, bool written) {
  if (length == 0) return;
  if (written)
    sync_file_range(fd, static_cast<off_t>(at), static_cast<off_t>(length),
                    SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER);
  posix_fadvise(fd, static_cast<off_t>(at), static_cast<off_t>(length), POSIX_FADV_DONTNEED);
}

}  // namespace

bool itemHasOpenFork(UInt64 device, UInt64 inode) {
  ForkTable& t = forkTable();
  std::lock_guard<std::mutex> guard(t.lock);
  for (const auto& [n, fork] : t.forks)
    if (fork->device == device && fork->inode == inode) return true;
  return false;
}

}  // namespace velm_files

using namespace velm_files;

OSErr FSGetDataForkName(HFSUniStr255* dataForkName) {
  if (!dataForkName) return paramErr;
  std::memset(dataForkName, 0, sizeof *dataForkName);
  return noErr;
}

OSErr FSOpenFork(const FSRef* ref, UniCharCount forkNameLength, const UniChar* forkName,
                 SInt8 permissions, FSIORefNum* forkRefNum) {
  if (!forkRefNum) return paramErr;
  *forkRefNum = 0;
  if (forkNameLength != 0) return errFSForkNotFound;  // only the data fork exists here
  Item item;
  OSErr err = resolveRef(ref, &item);
  if (err != noErr) return err;
  if (!S_ISREG(item.st.stx_mode)) return notAFileErr;

  auto fork = std::make_shared<Fork>();
  const int flags = O_NOFOLLOW | O_CLOEXEC | O_NOCTTY;
  switch (permissions & 0x0F) {
    case fsCurPerm:
      fork->fd = open(item.path.c_str(), O_RDWR | flags);
      if (fork->fd >= 0) {
        fork->canRead = fork->canWrite = true;
      } else if (errno == EACCES || errno == EPERM || errno == EROFS) {
        fork->fd = open(item.path.c_str(), O_RDONLY | flags);
        fork->canRead = true;
      }
      break;
    case fsRdPerm:
      fork->fd = open(item.path.c_str(), O_RDONLY | flags);
      fork->canRead = true;
      break;
    case fsWrPerm:
      fork->fd = open(item.path.c_str(), O_WRONLY | flags);
      fork->canWrite = true;
      break;
    case fsRdWrPerm:
    case fsRdWrShPerm:
      fork->fd = open(item.path.c_str(), O_RDWR | flags);
      fork->canRead = fork->canWrite = true;
      break;
    default:
      return paramErr;
  }
  if (fork->fd < 0) return errno == ELOOP ? OSErr(notAFileErr) : osErrFromErrno(errno);
  // The file opened must be the item referenced, not one put in its place meanwhile.
  struct stat st;
  if (fstat(fork->fd, &st) != 0) return osErrFromErrno(errno);
  fork->device = (UInt64(item.st.stx_dev_major) << 32) | item.st.stx_dev_minor;
  fork->inode = st.st_ino;
  fork->path = item.path;
  fork->permissions = permissions;
  if (st.st_ino != item.st.stx_ino || major(st.st_dev) != item.st.stx_dev_major ||
      minor(st.st_dev) != item.st.stx_dev_minor)
    return fnfErr;
  FSIORefNum n = addFork(std::move(fork));
  if (n == 0) return tmfoErr;
  *forkRefNum = n;
  return noErr;
}

OSErr FSReadFork(FSIORefNum forkRefNum, UInt16 positionMode, SInt64 positionOffset,
                 ByteCount requestCount, void* buffer, ByteCount* actualCount) {
  if (actualCount) *actualCount = 0;
  std::shared_ptr<Fork> fork = findFork(forkRefNum);
  if (!fork) return rfNumErr;
  if (!buffer && requestCount > 0) return paramErr;
  std::lock_guard<std::mutex> guard(fork->lock);
  if (!fork->canRead) return permErr;
  SInt64 at = 0;
  OSErr err = position(*fork, positionMode, positionOffset, &at);
  if (err != noErr) return err;
  ByteCount done = 0;
  err = noErr;
  while (done < requestCount) {
    ssize_t n = pread(fork->fd, static_cast<char*>(buffer) + done, requestCount - done,
                      static_cast<off_t>(at + done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      err = osErrFromErrno(errno);
      break;
    }
    if (n == 0) {
      err = eofErr;
      break;
    }
    done += static_cast<ByteCount>(n);
  }
  fork->mark = at + done;
  if (actualCount) *actualCount = done;
  if (positionMode & noCacheMask) dropFromCache(fork->fd, at, done, false);
  return err;
}

OSErr FSWriteFork(FSIORefNum forkRefNum, UInt16 positionMode, SInt64 positionOffset,
                  ByteCount requestCount, const void* buffer, ByteCount* actualCount) {
  if (actualCount) *actualCount = 0;
  std::shared_ptr<Fork> fork = findFork(forkRefNum);
  if (!fork) return rfNumErr;
  if (!buffer && requestCount > 0) return paramErr;
  std::lock_guard<std::mutex> guard(fork->lock);
  if (!fork->canWrite) return wrPermErr;
  const char* bytes = static_cast<const char*>(buffer);
  ByteCount done = 0;
  OSErr err = noErr;

  if ((positionMode & 0x3) == fsFromLEOF && positionOffset == 0) {
    // Appending: the kernel puts each piece at the end of the file as it is then, so that
    // appenders in other processes or on other forks never overwrite each other.
    int flags = fcntl(fork->fd, F_GETFL);
    if (flags < 0 || fcntl(fork->fd, F_SETFL, flags | O_APPEND) != 0) return osErrFromErrno(errno);
    while (done < requestCount) {
      ssize_t n = write(fork->fd, bytes + done, requestCount - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        err = osErrFromErrno(n < 0 ? errno : EIO);
        break;
      }
      done += static_cast<ByteCount>(n);
    }
    off_t end = lseek(fork->fd, 0, SEEK_CUR);
    fcntl(fork->fd, F_SETFL, flags);
    if (end >= 0) fork->mark = end;
    if (actualCount) *actualCount = done;
    if ((positionMode & noCacheMask) && end >= 0) dropFromCache(fork->fd, end - SInt64(done), done, true);
    return err;
  }

  SInt64 at = 0;
  err = position(*fork, positionMode, positionOffset, &at);
  if (err != noErr) return err;
  if (at > std::numeric_limits<SInt64>::max() - SInt64(requestCount)) return posErr;
  while (done < requestCount) {
    ssize_t n = pwrite(fork->fd, bytes + done, requestCount - done, static_cast<off_t>(at + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      err = osErrFromErrno(n < 0 ? errno : EIO);
      break;
    }
    done += static_cast<ByteCount>(n);
  }
  fork->mark = at + done;
  if (actualCount) *actualCount = done;
  if (positionMode & noCacheMask) dropFromCache(fork->fd, at, done, true);
  return err;
}

OSErr FSGetForkSize(FSIORefNum forkRefNum, SInt64* size) {
  if (!size) return paramErr;
  std::shared_ptr<Fork> fork = findFork(forkRefNum);
  if (!fork) return rfNumErr;
  return forkSize(*fork, size);
}

OSErr FSSetForkSize(FSIORefNum forkRefNum, UInt16 positionMode, SInt64 positionOffset) {
  std::shared_ptr<Fork> fork = findFork(forkRefNum);
  if (!fork) return rfNumErr;
  std::lock_guard<std::mutex> guard(fork->lock);
  if (!fork->canWrite) return wrPermErr;
  SInt64 at = 0;
  OSErr err = position(*fork, positionMode, positionOffset, &at);
  if (err != noErr) return err;
  if (ftruncate(fork->fd, static_cast<off_t>(at)) != 0) return osErrFromErrno(errno);
  if (fork->mark > at) fork->mark = at;
  return noErr;
}

OSErr FSCloseFork(FSIORefNum forkRefNum) {
  std::shared_ptr<Fork> fork;
  {
    ForkTable& t = forkTable();
    std::lock_guard<std::mutex> guard(t.lock);
    auto found = t.forks.find(forkRefNum);
    if (found == t.forks.end()) return rfNumErr;
    fork = std::move(found->second);
    t.forks.erase(found);
  }
  // Wait for an operation still running on it, then close here to report the result.
  std::lock_guard<std::mutex> guard(fork->lock);
  int fd = fork->fd;
  fork->fd = -1;
  return close(fd) == 0 ? OSErr(noErr) : OSErr(ioErr);
}

OSErr FSGetForkCBInfo(FSIORefNum desiredRefNum, FSVolumeRefNum, SInt16* iterator, FSIORefNum* actualRefNum,
                      FSForkInfo* forkInfo, FSRef* ref, HFSUniStr255* outForkName) {
  if (iterator) return paramErr;
  std::shared_ptr<Fork> fork = findFork(desiredRefNum);
  if (!fork) return rfNumErr;
  std::lock_guard<std::mutex> guard(fork->lock);
  if (actualRefNum) *actualRefNum = desiredRefNum;
  if (forkInfo) {
    std::memset(forkInfo, 0, sizeof *forkInfo);
    struct stat st;
    if (fstat(fork->fd, &st) != 0) return osErrFromErrno(errno);
    forkInfo->permissions = fork->permissions;
    forkInfo->volume = volumeRefNum(fork->device, parentPath(fork->path));
    forkInfo->nodeID = static_cast<UInt32>(fork->inode);
    forkInfo->currentPosition = static_cast<UInt64>(fork->mark);
    forkInfo->logicalEOF = static_cast<UInt64>(st.st_size);
    forkInfo->physicalEOF = static_cast<UInt64>(st.st_blocks) * 512;
    forkInfo->process = static_cast<UInt64>(getpid());
  }
  if (outForkName) std::memset(outForkName, 0, sizeof *outForkName);
  if (ref) {
    struct statx st;
    int e = statItem(fork->path, &st);
    if (e != 0) return osErrFromErrno(e);
    makeRef(fork->path, st, ref);
  }
  return noErr;
}

OSErr FlushVol(ConstStr63Param volName, FSVolumeRefNum vRefNum) {
  if (volName && volName[0] != 0) return nsvErr;  // volumes are not known by name here
  std::string folder;
  if (vRefNum == 0) folder = ".";
  else if (!volumeFolder(vRefNum, &folder)) return nsvErr;
  int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return osErrFromErrno(errno);
  int rc = syncfs(fd);
  int e = errno;
  close(fd);
  return rc == 0 ? OSErr(noErr) : osErrFromErrno(e);
}

namespace velm_files {

// A reserved number holds a fork without a descriptor, which no file belongs to.
FSIORefNum reserveForkRefNum() { return addFork(std::make_shared<Fork>()); }

void releaseForkRefNum(FSIORefNum refNum) {
  ForkTable& t = forkTable();
  std::lock_guard<std::mutex> guard(t.lock);
  auto found = t.forks.find(refNum);
  if (found != t.forks.end() && found->second->fd < 0) t.forks.erase(found);
}

}  // namespace velm_files
