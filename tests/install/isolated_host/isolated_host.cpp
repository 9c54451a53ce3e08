// isolated_host MODULE PROG_ID ARCHIVE.zip WORKING_FOLDER RULE
//
// Loads MODULE, runs its components out of process with the default settings (so the component
// host is looked for as an installed host program's would be), and checks the typical document.
// Exit status: 0 passed, 1 not passed (the error text on stdout), 2 could not run.
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

#include "vardenix/component.h"
#include "vardenix/envi_chk.h"

int main(int argc, char** argv) {
  if (argc != 6) {
    std::cerr << "usage: isolated_host MODULE PROG_ID ARCHIVE.zip WORKING_FOLDER RULE\n";
    return 2;
  }
  char message[1024];
  vx_isolation isolation{};
  isolation.size = sizeof isolation;
  if (vardenix_isolate_components(&isolation, message, sizeof message) != VX_OK ||
      vardenix_load_module(argv[1], message, sizeof message) != VX_OK) {
    std::cerr << message << '\n';
    return 2;
  }
  std::ifstream in(argv[3], std::ios::binary);
  if (!in) {
    std::cerr << "cannot read " << argv[3] << '\n';
    return 2;
  }
  std::vector<uint8_t> archive{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  try {
    vardenix::ClsEnviChk check;
    check.PingName(argv[2]);
    check.PingPath(argv[4]);
    std::string text, xml;
    const bool passed = check.PingEnviChk(text, xml, archive, argv[5], vardenix::ChkResultDoc);
    std::cout << text << (passed ? "passed" : "not passed") << '\n';
    return passed ? 0 : 1;
  } catch (const std::exception& e) {
    std::cerr << e.what() << '\n';
    return 2;
  }
}
