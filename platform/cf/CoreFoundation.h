// The CoreFoundation subset this project uses, on ICU and libplist.
#pragma once

#include "CFArray.h"
#include "CFBase.h"
#include "CFBundle.h"
#include "CFData.h"
#include "CFDate.h"
#include "CFDictionary.h"
#include "CFLocale.h"
#include "CFNumber.h"
#include "CFPreferences.h"
#include "CFPropertyList.h"
#include "CFRef.h"
#include "CFString.h"
#include "CFURL.h"
#include "CFUUID.h"
