// vardenix_extract_bench ARCHIVE FOLDER: extracts ARCHIVE into FOLDER through the process-wide
// archive control, exactly as a scoring run drives it, and exits 0 on success. bench/run times this
// process beside unzip and bsdtar; on failure it prints the control's reason and exits 1.
#include <cstdio>
#include <exception>
#include <string>

#include "archive/archive_control.h"
#include "platform/variant.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s ARCHIVE FOLDER\n", argv[0]);
    return 2;
  }
  using namespace vardenix;
  try {
    DispatchObject& control = SystemArchiveControl();
    control.Put(archive_dispid::kZipFilename, Variant::Text(argv[1]));
    control.Put(archive_dispid::kOption16, Variant::Bool(false));
    control.Put(archive_dispid::kOption11, Variant::I2(2));
    control.Put(archive_dispid::kUnzipToFolder, Variant::Text(argv[2]));
    const int16_t code = ToInt16(control.Call(archive_dispid::kUnzip, {Variant::I2(0)}));
    if (code != 0) {
      std::fprintf(stderr, "extraction failed (%d): %s\n", code,
                   ToText(control.Get(archive_dispid::kLastFailureReason)).c_str());
      return 1;
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "extraction failed: %s\n", e.what());
    return 1;
  }
  return 0;
}
