// The diagnostics log: assertion records, dumps and formatted lines appended to the text file
// "RZM Log.txt" on the user's Desktop, and timings and numbers printed on standard output.
//
// Every entry opens the file (creating it with a header when it is missing), appends its bytes,
// closes it and flushes the volume; nothing stays open between entries. When the log cannot be
// opened an entry writes nothing and returns 0. Dated entries begin with the local date and time
// and end in a carriage return; the header, assertion records and hexadecimal and octal numbers
// end in a line feed; decimal numbers end in two blanks. Text of a CFStringRef is written in
// MacRoman, or in UTF-8 when MacRoman cannot hold it. There is no lock: entries from several
// threads or processes may interleave.
#pragma once

#include "CoreFoundation.h"
#include "CoreServices.h"
#include "MacTypes.h"

// The log file's name on the Desktop: "RZM Log.txt".
extern CFStringRef gLogFileName;
// The tick count stored by the last debugCounterStart.
extern UInt32 gCounterTicks;

// ---- Opening, closing and writing to an open log.
// The fork reference number of the opened log, or 0 when it cannot be opened.
SInt16 debugOpenLogfile(void);
// Closes the log and flushes the volume; returns the flush's status.
OSErr debugCloseLogFile(SInt16 refNum);
// Appends the string's bytes up to its terminating zero; returns the write's status.
OSErr debugWriteCString(SInt16 refNum, const char* s);
// Appends the string (MacRoman, else UTF-8; nothing when it is null or empty) and releases it:
// the call takes the string over.
OSErr debugWriteAndReleaseCFString(SInt16 refNum, CFStringRef s);
// Appends the value as "%li  ".
OSErr debugWriteSInt32(SInt16 refNum, SInt32 value);
// Appends the value as "%llu  ".
OSErr debugWriteUInt64(SInt16 refNum, UInt64 value);
OSErr debugWriteTab(SInt16 refNum);
OSErr debugWriteReturn(SInt16 refNum);
// Appends the local date, a tab, the local time with seconds and a tab.
OSErr debugWriteDateTime(SInt16 refNum);

// ---- Entries. Each returns the status of closing the log, or 0 when it could not be opened.
// The characters of a Pascal string.
OSErr debugAddToLog(ConstStr255Param pString);
OSErr debugAddLong(SInt32 value);        // "%li  "
OSErr debugAddLongLong(UInt64 value);    // "%llu  "
OSErr debugAddLongHex(UInt32 value);     // "%lx\n"
OSErr debugAddUInt16Hex(UInt16 value);   // "%x\n"
OSErr debugAddUInt16Octal(UInt16 value); // "%o\n"
// printf-style text of at most 2,047 bytes, then a carriage return.
OSErr debugFormat(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Date, time, the string, a carriage return. The call takes the string over and releases it.
OSErr debugLogCFString(CFStringRef s);
// Date, time, then "source<TAB>line<TAB>status" and a line feed. Any status is written, 0 too.
OSErr debugAssertFailed(SInt16 status, const char* sourceName, SInt32 line);
// Date, time, source, line, the message, a carriage return.
OSErr debugProtocoll(const char* message, const char* sourceName, SInt32 line);
OSErr debugProtocolLongString(const void* bytes, UInt32 count, const char* sourceName, SInt32 line);
OSErr debugProtocollPString(ConstStr255Param pString, const char* sourceName, SInt32 line);
// Date, time, the label (when not null), the number (when not 0), the item's POSIX path (when it
// can be made), a carriage return.
OSErr debugLogFilePath(const FSRef* ref, const char* label, SInt32 number);
// The debugLogFilePath entry, then the item's node flags, user privileges, owner, group, user
// access and permission mode as six entries.
OSErr debugLogFileInformation(const FSRef* ref, const char* label, SInt32 number);

// ---- Timer and numbers on standard output.
void debugCounterStart(void);
// Prints the ticks since the last debugCounterStart.
void debugCounterStop(void);
void debugDisplayNumber(SInt32 value);
