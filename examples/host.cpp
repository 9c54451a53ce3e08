// A host of Vardenix: registers its own scoring component in-process and checks a typical document.
//
//   host ARCHIVE.zip WORKING_FOLDER RULE
//
// The component here gives full marks when the file that the rule names was extracted from the
// archive. Exit status: 0 passed, 1 not passed, 2 could not run.
#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

#include "vardenix/component.h"
#include "vardenix/envi_chk.h"

namespace {

class FileExistsScorer {
 public:
  void Put(const std::string& member, const vx::Value& value) {
    if (member == "TestPath") {
      folder_ = value.text;
    } else if (member == "AnsCont") {
      file_ = value.text;
    } else if (member == "GetTotalScore") {
      total_ = value.Number();
    } else if (member != "ErrInfoType") {
      throw vx::UnknownMember();
    }
  }

  vx::Value Read(const std::string& member) {
    const bool found = std::ifstream(folder_ + "/" + file_).good();
    if (member == "ping") return vx::Value::R4(static_cast<float>(found ? total_ : 0));
    if (member == "ShowErr") return vx::Value::Text(found ? "" : file_ + " is missing\r\n");
    if (member == "ErrMsgXml") return vx::Value::Text("");
    throw vx::UnknownMember();
  }

 private:
  std::string folder_, file_;
  double total_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::cerr << "usage: host ARCHIVE.zip WORKING_FOLDER RULE\n";
    return 2;
  }
  std::ifstream in(argv[1], std::ios::binary);
  if (!in) {
    std::cerr << "cannot read " << argv[1] << '\n';
    return 2;
  }
  std::vector<uint8_t> archive{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};

  try {
    vx::RegisterComponent<FileExistsScorer>("Example.FileExists");
    vardenix::ClsEnviChk check;
    check.PingName("Example.FileExists");
    check.PingPath(argv[2]);
    std::string text, xml;
    const bool passed = check.PingEnviChk(text, xml, archive, argv[3], vardenix::ChkResultDoc);
    std::cout << text << (passed ? "passed" : "not passed") << '\n';
    return passed ? 0 : 1;
  } catch (const std::exception& e) {
    std::cerr << e.what() << '\n';
    return 2;
  }
}
