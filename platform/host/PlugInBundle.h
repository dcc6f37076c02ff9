// Loading plug-in bundles.
//
// A plug-in bundle is a folder NAME.bundle:
//   Contents/Info.plist                      CFBundleIdentifier; CFBundleExecutable, the shared
//                                            object's file name; NSPrincipalClass, the principal
//                                            class's name; PlugInFactory, the name of the
//                                            exported function that creates the principal object
//   Contents/Linux/<CFBundleExecutable>      the shared object
//   Contents/Resources/                      interface files, <language>.lproj/<table>.strings
// A bundle's code stays loaded for the life of the process, as on the original platform.
#pragma once

#include <memory>

#include "ApertureExportPlugIn.h"
#include "CFBundle.h"

// Loads the bundle's shared object; true when it is loaded (now or before).
Boolean CFBundleLoadExecutable(CFBundleRef bundle);
// The address of a function the bundle's shared object exports (loading it first), or null.
void* CFBundleGetFunctionPointerForName(CFBundleRef bundle, CFStringRef functionName);

// +[NSBundle bundleForClass:]: the loaded bundle whose principal class has this name; the main
// bundle when no loaded bundle names it.
CFBundleRef NSBundleForClass(const char* className);

// Opens the bundle folder and loads its code; null (with a line in the system log) when the
// folder is no plug-in bundle or its code cannot be loaded. The bundle stays open for the life
// of the process: do not release it.
CFBundleRef PlugInLoadBundle(CFStringRef bundlePath);
// Creates the bundle's principal object with the host's API manager; null when the bundle has no
// factory or the object refuses to be made (for example without an export manager).
std::unique_ptr<ApertureExportPlugIn> PlugInCreatePrincipalObject(CFBundleRef bundle, PROAPIManager* apiManager);
