// The diagnostics log.
#include "myDebug.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "RZMCoreFunctions.h"
#include "stringEngine.h"

CFStringRef gLogFileName = CFSTR("RZM Log.txt");
UInt32 gCounterTicks = 0;

namespace {

constexpr const char* kSourceName = "myDebug";
// Every write appends: from the logical end of file, uncached.
constexpr UInt16 kAppendMode = fsFromLEOF | noCacheMask;

OSErr writeBytes(SInt16 refNum, const void* bytes, ByteCount count) {
  return FSWriteFork(refNum, kAppendMode, 0, count, bytes, nullptr);
}

OSErr writePString(SInt16 refNum, ConstStr255Param pString) {
  if (!pString) return noErr;
  return writeBytes(refNum, pString + 1, pString[0]);
}

void writeHeader(SInt16 refNum) {
  // Values that Gestalt cannot supply show as 0.
  SInt32 major = 0, minor = 0, bugFix = 0, ram = 0, clock = 0;
  Gestalt(gestaltSystemVersionMajor, &major);
  Gestalt(gestaltSystemVersionMinor, &minor);
  Gestalt(gestaltSystemVersionBugFix, &bugFix);
  Gestalt(gestaltPhysicalRAMSizeInMegabytes, &ram);
  Gestalt(gestaltProcClkSpeedMHz, &clock);
  char line[128];
  debugWriteCString(refNum, "Orbandel Intel code running\n");
  std::snprintf(line, sizeof line, "Mac OS X  %i.%i.%i\n", int(major), int(minor), int(bugFix));
  debugWriteCString(refNum, line);
  std::snprintf(line, sizeof line, "RAM:   %li  MB\n", long(ram));
  debugWriteCString(refNum, line);
  std::snprintf(line, sizeof line, "%i CPUs with %li MHz\n", int(MPProcessors()), long(clock));
  debugWriteCString(refNum, line);
  debugWriteCString(refNum, "\n\n");
}

// Opens the log, writes the formatted text (a zero-terminated string) and closes it.
OSErr addText(const char* text) {
  SInt16 refNum = debugOpenLogfile();
  if (refNum == 0) return 0;
  debugWriteCString(refNum, text);
  return debugCloseLogFile(refNum);
}

// The common start of the source-and-line entries: date, time, source, line, and a tab.
void writeSourceAndLine(SInt16 refNum, const char* sourceName, SInt32 line) {
  debugWriteDateTime(refNum);
  debugWriteCString(refNum, sourceName);
  debugWriteTab(refNum);
  debugWriteSInt32(refNum, line);
  debugWriteTab(refNum);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Opening, closing and the write primitives

SInt16 debugOpenLogfile(void) {
  HFSUniStr255 name;
  HFSUniStr255 dataFork;
  utMakeHFSStringFromCFString(gLogFileName, &name);
  FSGetDataForkName(&dataFork);

  FSRef desktop;
  if (FSFindFolder(kUserDomain, kDesktopFolderType, kCreateFolder, &desktop) != noErr) return 0;

  FSRef file;
  bool headerDue = false;
  OSErr err = FSMakeFSRefUnicode(&desktop, name.length, name.unicode, kTextEncodingUnknown, &file);
  if (err == fnfErr) {
    FSCatalogInfo info;
    std::memset(&info, 0, sizeof info);
    FileInfo finder;
    std::memset(&finder, 0, sizeof finder);
    finder.fileType = FOUR_CHAR_CODE('T', 'E', 'X', 'T');
    finder.fileCreator = 0;
    std::memcpy(info.finderInfo, &finder, sizeof finder);
    if (FSCreateFileUnicode(&desktop, name.length, name.unicode, kFSCatInfoFinderInfo, &info, &file, nullptr) != noErr)
      return 0;
    headerDue = true;
  } else if (err != noErr) {
    return 0;
  }

  SInt16 refNum = 0;
  if (FSOpenFork(&file, dataFork.length, dataFork.unicode, fsRdWrPerm, &refNum) != noErr) return 0;
  if (headerDue) writeHeader(refNum);
  return refNum;
}

OSErr debugCloseLogFile(SInt16 refNum) {
  // The volume that holds the log is the one to flush; it is asked while the fork is still open.
  FSForkInfo info;
  OSErr err = FSGetForkCBInfo(refNum, 0, nullptr, nullptr, &info, nullptr, nullptr);
  FSCloseFork(refNum);
  if (err != noErr) return err;
  return FlushVol(nullptr, info.volume);
}

OSErr debugWriteCString(SInt16 refNum, const char* s) {
  if (!s) return noErr;
  return writeBytes(refNum, s, static_cast<ByteCount>(std::strlen(s)));
}

OSErr debugWriteAndReleaseCFString(SInt16 refNum, CFStringRef s) {
  if (!s) return noErr;
  OSErr err = noErr;
  const size_t length = static_cast<size_t>(ORBStringGetLength(s));
  if (length > 0) {
    // 20 bytes a unit is room for any encoding of it; short strings get 256 bytes.
    size_t size = length * 20;
    if (size <= 79) size = 256;
    char* buffer = static_cast<char*>(std::calloc(size, 1));
    if (buffer) {
      const CFIndex bufferSize = static_cast<CFIndex>(size);
      if (CFStringGetCString(s, buffer, bufferSize, kCFStringEncodingMacRoman) ||
          CFStringGetCString(s, buffer, bufferSize, kCFStringEncodingUTF8))
        err = debugWriteCString(refNum, buffer);
      std::free(buffer);
    }
  }
  // The string was handed over, so it is released whether or not anything was written.
  ORBStringRelease(&s);
  return err;
}

OSErr debugWriteSInt32(SInt16 refNum, SInt32 value) {
  return debugWriteAndReleaseCFString(refNum, CFStringCreateWithFormat(nullptr, nullptr, CFSTR("%li  "), long(value)));
}

OSErr debugWriteUInt64(SInt16 refNum, UInt64 value) {
  return debugWriteAndReleaseCFString(
      refNum, CFStringCreateWithFormat(nullptr, nullptr, CFSTR("%llu  "), static_cast<unsigned long long>(value)));
}

OSErr debugWriteTab(SInt16 refNum) { return writeBytes(refNum, "\t", 1); }

OSErr debugWriteReturn(SInt16 refNum) { return writeBytes(refNum, "\r", 1); }

OSErr debugWriteDateTime(SInt16 refNum) {
  UInt32 now = 0;
  Str255 text;
  GetDateTime(&now);
  DateString(now, shortDate, text, nullptr);
  writePString(refNum, text);
  debugWriteTab(refNum);
  TimeString(now, TRUE, text, nullptr);
  writePString(refNum, text);
  return debugWriteTab(refNum);
}

// ---------------------------------------------------------------------------------------------
// Entries

OSErr debugAddToLog(ConstStr255Param pString) {
  SInt16 refNum = debugOpenLogfile();
  if (refNum == 0) return 0;
  writePString(refNum, pString);
  return debugCloseLogFile(refNum);
}

OSErr debugAddLong(SInt32 value) {
  SInt16 refNum = debugOpenLogfile();
  if (refNum == 0) return 0;
  debugWriteSInt32(refNum, value);
  return debugCloseLogFile(refNum);
}

OSErr debugAddLongLong(UInt64 value) {
  SInt16 refNum = debugOpenLogfile();
  if (refNum == 0) return 0;
  debugWriteUInt64(refNum, value);
  return debugCloseLogFile(refNum);
}

OSErr debugAddLongHex(UInt32 value) {
  char text[16];
  std::snprintf(text, sizeof text, "%lx\n", static_cast<unsigned long>(value));
  return addText(text);
}

OSErr debugAddUInt16Hex(UInt16 value) {
  char text[16];
  std::snprintf(text, sizeof text, "%x\n", static_cast<unsigned>(value));
  return addText(text);
}

OSErr debugAddUInt16Octal(UInt16 value) {
  char text[16];
  std::snprintf(text, sizeof text, "%o\n", static_cast<unsigned>(value));
  return addText(text);
}

OSErr debugFormat(const char* format, ...) {
  // Formatted before the log is opened; longer output is cut at 2,047 bytes.
  char text[2048];
  text[0] = 0;
  if (format) {
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
  }
  SInt16 refNum = debugOpenLogfile();
  if (refNum == 0) return 0;
  debugWriteCString(refNum, text);
  debugWriteReturn(refNum);
  return debugCloseLogFile(refNum);
}

OSErr debugLogCFString(CFStringRef s) {
  SInt16 refNum = debugOpenLogfile();
  if (refNum == 0) {
    ORBStringRelease(&s);  // handed over: released even when nothing can be written
    return 0;
  }
  debugWriteDateTime(refNum);
  debugWriteAndReleaseCFString(refNum, s);
  debugWriteReturn(refNum);
  return debugCloseLogFile(refNum);
}

OSErr debugAssertFailed(SInt16 status, const char* sourceName, SInt32 line) {
  SInt16 refNum = debugOpenLogfile();
  if (refNum == 0) return 0;
  debugWriteDateTime(refNum);
  char text[512];
  std::snprintf(text, sizeof text, "%s\t%li\t%i\n", sourceName ? sourceName : "", long(line), int(status));
  debugWriteCString(refNum, text);
  return debugCloseLogFile(refNum);
}

OSErr debugProtocoll(const char* message, const char* sourceName, SInt32 line) {
  SInt16 refNum = debugOpenLogfile();
  if (refNum == 0) return 0;
  writeSourceAndLine(refNum, sourceName, line);
  debugWriteCString(refNum, message);
  debugWriteReturn(refNum);
  return debugCloseLogFile(refNum);
}

OSErr debugProtocolLongString(const void* bytes, UInt32 count, const char* sourceName, SInt32 line) {
  SInt16 refNum = debugOpenLogfile();
  if (refNum == 0) return 0;
  writeSourceAndLine(refNum, sourceName, line);
  if (bytes) writeBytes(refNum, bytes, count);
  debugWriteReturn(refNum);
  return debugCloseLogFile(refNum);
}

OSErr debugProtocollPString(ConstStr255Param pString, const char* sourceName, SInt32 line) {
  SInt16 refNum = debugOpenLogfile();
  if (refNum == 0) return 0;
  writeSourceAndLine(refNum, sourceName, line);
  writePString(refNum, pString);
  debugWriteReturn(refNum);
  return debugCloseLogFile(refNum);
}

OSErr debugLogFilePath(const FSRef* ref, const char* label, SInt32 number) {
  SInt16 refNum = debugOpenLogfile();
  if (refNum == 0) return 0;
  debugWriteDateTime(refNum);
  if (label) {
    debugWriteCString(refNum, label);
    debugWriteTab(refNum);
  }
  if (number != 0) {
    debugWriteSInt32(refNum, number);
    debugWriteTab(refNum);
  }
  UInt8 path[1024];
  if (FSRefMakePath(ref, path, sizeof path) == noErr) debugWriteCString(refNum, reinterpret_cast<const char*>(path));
  debugWriteReturn(refNum);
  return debugCloseLogFile(refNum);
}

OSErr debugLogFileInformation(const FSRef* ref, const char* label, SInt32 number) {
  debugLogFilePath(ref, label, number);
  // After a failed query the six entries show zeros.
  FSCatalogInfo info;
  std::memset(&info, 0, sizeof info);
  constexpr FSCatalogInfoBitmap kWanted = kFSCatInfoNodeFlags | kFSCatInfoVolume | kFSCatInfoParentDirID |
                                          kFSCatInfoNodeID | kFSCatInfoCreateDate | kFSCatInfoContentMod |
                                          kFSCatInfoPermissions | kFSCatInfoFinderInfo | kFSCatInfoDataSizes |
                                          kFSCatInfoRsrcSizes | kFSCatInfoUserPrivs;
  static_assert(kWanted == 0x2CC7E);
  OSErr err = FSGetCatalogInfo(ref, kWanted, &info, nullptr, nullptr, nullptr);
  if (err != noErr) debugAssertFailed(err, kSourceName, __LINE__);
  debugAddUInt16Hex(info.nodeFlags);
  debugAddUInt16Hex(info.userPrivileges);
  debugAddLongHex(info.permissions.userID);
  debugAddLongHex(info.permissions.groupID);
  debugAddUInt16Hex(info.permissions.userAccess);
  return debugAddUInt16Octal(info.permissions.mode);
}

// ---------------------------------------------------------------------------------------------
// Timer and numbers on standard output

void debugCounterStart(void) { gCounterTicks = TickCount(); }

void debugCounterStop(void) {
  UInt32 elapsed = TickCount() - gCounterTicks;  // unsigned: right across a wrap of the counter
  std::printf("Orbandel Time: %li ticks\n", static_cast<long>(elapsed));
}

void debugDisplayNumber(SInt32 value) { std::printf("Orbandel: %li\n", static_cast<long>(value)); }
