// A C++ host of the check object, for bench/run to set beside the same check through the command and
// through the Python package: the subject check of a bank in-process, through the public headers
// alone, with an observer that keeps each record as a host would.
//
//     vardenix_cxx_host_bench MODULE WORK_FOLDER TOTAL SUBJECT SUBJECT_CODE RATE
//
// Prints "SECONDS RECORDS": the seconds of the PingEnviChk call and the records it graded.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "vardenix/component.h"
#include "vardenix/envi_chk.h"

namespace {

class Keeper final : public vardenix::CheckObserver {
 public:
  void OnRecord(const vardenix::RecordResult& result) override { records.push_back(result); }
  std::vector<vardenix::RecordResult> records;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 7) {
    std::fprintf(stderr, "usage: vardenix_cxx_host_bench MODULE WORK_FOLDER TOTAL SUBJECT SUBJECT_CODE RATE\n");
    return 2;
  }
  char message[1024];
  if (vardenix_load_module(argv[1], message, sizeof message) != VX_OK) {
    std::fprintf(stderr, "%s\n", message);
    return 2;
  }
  vardenix::ClsEnviChk chk;
  Keeper keeper;
  chk.SetObserver(&keeper);
  chk.PingName("Vardenix.FileCheck");
  chk.PingPath(argv[2]);
  std::string text, xml;
  std::vector<uint8_t> archive;
  const auto start = std::chrono::steady_clock::now();
  const bool passed = chk.PingEnviChk(text, xml, archive, "", vardenix::ChkSubject, argv[3], argv[4], argv[5], -1,
                                      std::strtof(argv[6], nullptr));
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("%.6f %zu\n", seconds, keeper.records.size());
  return passed ? 0 : 1;
}
