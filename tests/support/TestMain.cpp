// main() of every test binary: a private HOME and private XDG folders, so that no test
// touches the real user's files, keychain, preferences or Desktop.
#include <gtest/gtest.h>

#include "Sandbox.h"
#include "TestSupport.h"

namespace velmtest {
namespace {
std::filesystem::path gSandbox;
}

const std::filesystem::path& sandboxDir() { return gSandbox; }

}  // namespace velmtest

int main(int argc, char** argv) {
  velmtest::gSandbox = velmtest::enterSandbox();
  if (velmtest::gSandbox.empty()) return 2;
  testing::InitGoogleTest(&argc, argv);
  int rc = RUN_ALL_TESTS();
  velmtest::leaveSandbox(velmtest::gSandbox);
  return rc;
}
