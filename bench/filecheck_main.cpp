// vardenix_filecheck_bench FOLDER RULE N: grades FOLDER against the rule text RULE N times with
// Vardenix.FileCheck's grader (the rule parsed once), and exits 0 when every grading gave full
// marks. bench/run counts this process's system calls for N and for 0 gradings under strace: the
// difference over N is what one grading costs.
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>

#include "scorers/filecheck/grader.h"
#include "scorers/filecheck/rules.h"

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: %s FOLDER RULE N\n", argv[0]);
    return 2;
  }
  try {
    const auto rules = vardenix::filecheck::ParseRules(argv[2]);
    const long n = std::strtol(argv[3], nullptr, 10);
    for (long i = 0; i < n; ++i) {
      if (vardenix::filecheck::Grade(argv[1], rules, 100).score != 100) {
        std::fprintf(stderr, "grading %ld did not give full marks\n", i + 1);
        return 1;
      }
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "grading failed: %s\n", e.what());
    return 1;
  }
  return 0;
}
