// An XML DOM that fails its Nth operation (counted across all its documents) and passes every
// other one to the real DOM. fail_at = 0 never fails.
#pragma once

#include "platform/xml_dom.h"

namespace vardenix::fakes {

class FailingXmlDom final : public XmlDom {
 public:
  explicit FailingXmlDom(int fail_at = 0) : fail_at(fail_at) {}
  std::unique_ptr<XmlDocument> NewDocument() override;
  void Tick();  // counts one operation; throws when it is the Nth

  int fail_at;
  int operations = 0;
};

}  // namespace vardenix::fakes
