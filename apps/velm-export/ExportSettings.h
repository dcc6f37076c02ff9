// The user's choices for an export beyond the plug-in's panel, shared by the host core's
// checks, its renderer and its sessions.
#pragma once

#include <string>

struct ExportSettings {
  std::string service;      // the service in use (velmexport::serviceInUse())
  std::string account;      // the account the photos go to
  bool republish = false;   // upload photos published already once more
  bool noLocation = false;  // send no position: rendered photos carry no GPS data
};
