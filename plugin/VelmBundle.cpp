// The bundle's entry: the factory that Info.plist names (PlugInFactory).
#include "Velm.h"

extern "C" __attribute__((visibility("default"))) ApertureExportPlugIn* VelmCreatePlugIn(PROAPIManager* apiManager) {
  try {
    return Velm::initWithAPIManager(apiManager);
  } catch (...) {
    return nullptr;
  }
}
