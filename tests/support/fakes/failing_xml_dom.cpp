#include "tests/support/fakes/failing_xml_dom.h"

#include "vardenix/error.h"

namespace vardenix::fakes {
namespace {

class FailingDocument final : public XmlDocument {
 public:
  FailingDocument(FailingXmlDom& dom, std::unique_ptr<XmlDocument> real)
      : dom_(dom), real_(std::move(real)) {}
  bool LoadXml(const std::string& text) override {
    dom_.Tick();
    if (!dom_.poison.empty() && text.find(dom_.poison) != std::string::npos) {
      throw RuntimeError("XML: injected failure on loading a text that holds \"" + dom_.poison + "\"");
    }
    return real_->LoadXml(text);
  }
  XmlNode CreateElement(const std::string& name) override { dom_.Tick(); return real_->CreateElement(name); }
  void SetText(XmlNode element, const std::string& text) override { dom_.Tick(); real_->SetText(element, text); }
  XmlNode DocumentElement() override { dom_.Tick(); return real_->DocumentElement(); }
  XmlNode AppendChild(XmlNode parent, XmlNode child) override { dom_.Tick(); return real_->AppendChild(parent, child); }
  std::vector<XmlNode> GetOutermostElementsByTagName(const std::string& name) override {
    dom_.Tick();
    return real_->GetOutermostElementsByTagName(name);
  }
  std::string Xml() override { dom_.Tick(); return real_->Xml(); }

 private:
  FailingXmlDom& dom_;
  std::unique_ptr<XmlDocument> real_;
};

}  // namespace

void FailingXmlDom::Tick() {
  if (++operations == fail_at) throw RuntimeError("XML: injected failure of operation " + std::to_string(fail_at));
}

std::unique_ptr<XmlDocument> FailingXmlDom::NewDocument() {
  Tick();
  return std::make_unique<FailingDocument>(*this, SystemXmlDom().NewDocument());
}

}  // namespace vardenix::fakes
