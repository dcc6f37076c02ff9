// libFuzzer target for velm-export's publication ledger as it finds it on disk: the file is
// opened read-only (as a dry run does) and read, then opened for writing and a run recorded
// into it, as an export does.
#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "FuzzScratch.h"
#include "PublicationLedger.h"

namespace {

void readAll(const PublicationLedger& ledger) {
  (void)ledger.find("0123456789abcdef0123456789abcdef", "http://127.0.0.1:1", "anna");
  (void)ledger.addresses("http://127.0.0.1:1");
  int64_t run = 0;
  (void)ledger.lastFailedRun("http://127.0.0.1:1", "anna", &run);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string path = fuzzscratch::folder("ledger") + "/ledger.sqlite";
  for (const char* extra : {"-journal", "-wal", "-shm"}) unlink((path + extra).c_str());
  fuzzscratch::writeFile(path, data, size);

  std::string why;
  {
    PublicationLedger ledger;
    if (ledger.open(path, PublicationLedger::Access::ReadOnly, &why)) readAll(ledger);
  }
  {
    PublicationLedger ledger;
    if (ledger.open(path, PublicationLedger::Access::ReadWrite, &why)) {
      readAll(ledger);
      int64_t run = ledger.beginRun("http://127.0.0.1:1", "anna");
      PublicationLedger::Publication photo{"/photos/a.jpg", "0123456789abcdef0123456789abcdef",
                                           "http://127.0.0.1:1", "anna", "http://127.0.0.1:1/photo/7", 1};
      (void)ledger.record(run, photo, PublicationLedger::PhotoState::Uploaded, 0, "");
      (void)ledger.record(run, photo, PublicationLedger::PhotoState::Failed, 121, "not stored");
      readAll(ledger);
    }
  }
  unlink(path.c_str());
  return 0;
}
