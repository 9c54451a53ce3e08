// An XML DOM that fails its Nth operation (counted across all its documents) and passes every
// other one to the real DOM. fail_at = 0 never fails. With `poison` set it also fails to load any
// text that holds it, wherever that text comes in a run, so two routines can be made to fail on
// the same input.
#pragma once

#include <string>

#include "platform/xml_dom.h"

namespace vardenix::fakes {

class FailingXmlDom final : public XmlDom {
 public:
  explicit FailingXmlDom(int fail_at = 0) : fail_at(fail_at) {}
  std::unique_ptr<XmlDocument> NewDocument() override;
  void Tick();  // counts one operation; throws when it is the Nth

  int fail_at;
  int operations = 0;
  std::string poison;
};

}  // namespace vardenix::fakes
