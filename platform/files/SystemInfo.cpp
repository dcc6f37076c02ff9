// Gestalt, the processor count, local date and time as seconds and as text, and the tick count.
#include <sys/utsname.h>
#include <time.h>
#include <unistd.h>
#include <unicode/uchar.h>
#include <unicode/ucnv.h>
#include <unicode/udat.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>

#include "CoreServices.h"

namespace {

// Seconds between the start of 1904 and the start of 1970.
constexpr SInt64 kOffset1904 = 2082844800;

bool kernelVersion(int part, SInt32* value) {
  struct utsname u;
  if (uname(&u) != 0) return false;
  int numbers[3] = {0, 0, 0};
  if (std::sscanf(u.release, "%d.%d.%d", &numbers[0], &numbers[1], &numbers[2]) < 1) return false;
  *value = numbers[part];
  return true;
}

bool clockMHz(SInt32* value) {
  // The nominal clock where the kernel reports one, else the clock of the first processor now.
  std::ifstream freq("/sys/devices/system/cpu/cpu0/cpufreq/cpuinfo_max_freq");
  long kHz = 0;
  if (freq >> kHz && kHz > 0) {
    *value = static_cast<SInt32>(kHz / 1000);
    return true;
  }
  std::ifstream cpuinfo("/proc/cpuinfo");
  std::string line;
  while (std::getline(cpuinfo, line)) {
    if (line.rfind("cpu MHz", 0) != 0) continue;
    size_t colon = line.find(':');
    if (colon == std::string::npos) break;
    double mhz = std::strtod(line.c_str() + colon + 1, nullptr);
    if (mhz <= 0) break;
    *value = static_cast<SInt32>(std::lround(mhz));
    return true;
  }
  return false;
}

// The locale of the user's regional settings for dates and times, as an ICU locale ID.
std::string timeLocale() {
  const char* names[] = {"LC_ALL", "LC_TIME", "LANG"};
  for (const char* name : names) {
    const char* value = std::getenv(name);
    if (!value || !*value) continue;
    std::string id(value);
    id = id.substr(0, id.find_first_of(".@"));
    if (id == "C" || id == "POSIX") return "en_US_POSIX";
    return id;
  }
  return "en_US_POSIX";
}

struct FormatCloser {
  void operator()(UDateFormat* f) const { udat_close(f); }
};
struct ConverterCloser {
  void operator()(UConverter* c) const { ucnv_close(c); }
};

// Formats local seconds since 1904 with the given ICU styles into a MacRoman Pascal string.
void formatLocal(UInt32 localSeconds, UDateFormatStyle timeStyle, UDateFormatStyle dateStyle,
                 Str255 result) {
  result[0] = 0;
  UErrorCode status = U_ZERO_ERROR;
  // The seconds are local wall-clock time already, so they are formatted as UTC.
  static const UChar utc[] = {'U', 'T', 'C', 0};
  std::unique_ptr<UDateFormat, FormatCloser> format(
      udat_open(timeStyle, dateStyle, timeLocale().c_str(), utc, 3, nullptr, 0, &status));
  if (U_FAILURE(status)) return;
  UDate when = (static_cast<double>(localSeconds) - static_cast<double>(kOffset1904)) * 1000.0;
  UChar text[256];
  int32_t length = udat_format(format.get(), when, text, 256, nullptr, &status);
  if (U_FAILURE(status) || status == U_STRING_NOT_TERMINATED_WARNING) return;
  // Narrow and non-breaking spaces that some locales put between the parts become blanks.
  for (int32_t i = 0; i < length; ++i)
    if (u_charType(text[i]) == U_SPACE_SEPARATOR) text[i] = ' ';
  std::unique_ptr<UConverter, ConverterCloser> macRoman(ucnv_open("macintosh", &status));
  if (U_FAILURE(status)) return;
  ucnv_setSubstChars(macRoman.get(), "?", 1, &status);
  char bytes[512];
  int32_t size = ucnv_fromUChars(macRoman.get(), bytes, sizeof bytes, text, length, &status);
  if (U_FAILURE(status)) return;
  if (size > 255) size = 255;
  std::memcpy(result + 1, bytes, static_cast<size_t>(size));
  result[0] = static_cast<unsigned char>(size);
}

}  // namespace

OSErr Gestalt(OSType selector, SInt32* response) {
  if (!response) return paramErr;
  SInt32 value = 0;
  bool known = false;
  switch (selector) {
    case gestaltSystemVersionMajor: known = kernelVersion(0, &value); break;
    case gestaltSystemVersionMinor: known = kernelVersion(1, &value); break;
    case gestaltSystemVersionBugFix: known = kernelVersion(2, &value); break;
    case gestaltPhysicalRAMSizeInMegabytes: {
      long pages = sysconf(_SC_PHYS_PAGES);
      long pageSize = sysconf(_SC_PAGE_SIZE);
      if (pages > 0 && pageSize > 0) {
        UInt64 mb = UInt64(pages) * UInt64(pageSize) / (1024 * 1024);
        value = mb > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<SInt32>(mb);
        known = true;
      }
      break;
    }
    case gestaltProcClkSpeedMHz: known = clockMHz(&value); break;
    default: break;
  }
  if (!known) return gestaltUndefSelectorErr;
  *response = value;
  return noErr;
}

ItemCount MPProcessors(void) {
  long n = sysconf(_SC_NPROCESSORS_ONLN);
  return n > 0 ? static_cast<ItemCount>(n) : 1;
}

void GetDateTime(UInt32* secs) {
  if (!secs) return;
  time_t now = time(nullptr);
  struct tm local;
  localtime_r(&now, &local);
  // Wraps in 2040, as the platform's 32-bit count of seconds does.
  *secs = static_cast<UInt32>(static_cast<SInt64>(now) + local.tm_gmtoff + kOffset1904);
}

void DateString(UInt32 dateTime, DateForm longFlag, Str255 result, Handle intlHandle) {
  if (!result) return;
  UDateFormatStyle style = longFlag == longDate ? UDAT_FULL : longFlag == abbrevDate ? UDAT_MEDIUM : UDAT_SHORT;
  formatLocal(dateTime, UDAT_NONE, style, result);
}

void TimeString(UInt32 dateTime, Boolean wantSeconds, Str255 result, Handle intlHandle) {
  if (!result) return;
  formatLocal(dateTime, wantSeconds ? UDAT_MEDIUM : UDAT_SHORT, UDAT_NONE, result);
}

UInt32 TickCount(void) {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  UInt64 ticks = UInt64(now.tv_sec) * 60 + UInt64(now.tv_nsec) * 60 / 1000000000u;
  return static_cast<UInt32>(ticks);
}
