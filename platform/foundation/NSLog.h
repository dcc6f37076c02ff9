// NSLog: writes one dated line to standard error and to the system log (syslog).
// The format follows CFStringCreateWithFormat, with "%@" for objects.
#pragma once

#include <cstdarg>

#include "CFString.h"

void NSLog(CFStringRef format, ...);
void NSLogv(CFStringRef format, va_list args);
