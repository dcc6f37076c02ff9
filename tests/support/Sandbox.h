// A private HOME and private XDG folders for a test process, so that nothing it runs touches
// the real user's files, keychain, preferences, Trash or Desktop.
#pragma once
#include <filesystem>

namespace velmtest {

// Creates a fresh folder in the system's temporary folder, points HOME, the XDG folders,
// TMPDIR and the Desktop into it, and forgets the session bus and the display. Returns the
// folder, or an empty path when it could not be made.
std::filesystem::path enterSandbox();

// Removes the folder enterSandbox made, unless VELM_KEEP_TEST_DIR is set.
void leaveSandbox(const std::filesystem::path& sandbox);

}  // namespace velmtest
