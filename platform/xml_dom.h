// The XML DOM seam: just the operations the report routines use.
//
// Parsing takes the string's characters as they are (UTF-8); an encoding named in the declaration
// is a label and never used to re-decode. No DTD processing, no entity expansion. Serialising keeps
// the declaration. A document and its nodes are used by one thread; nodes are handles that stay
// valid while their document lives. Failures of the library throw RuntimeError.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

namespace vardenix {

class XmlDocument;

// A handle to an element of one document; a default handle is null.
struct XmlNode {
  void* impl = nullptr;
  const XmlDocument* owner = nullptr;
  explicit operator bool() const { return impl != nullptr; }
};

class XmlDocument {
 public:
  virtual ~XmlDocument() = default;
  // Parses a whole document, replacing the content. False (and nothing thrown) when malformed.
  virtual bool LoadXml(const std::string& text) = 0;
  // A new element of this document, not attached to the tree.
  virtual XmlNode CreateElement(const std::string& name) = 0;
  // Replaces the element's whole content by one text.
  virtual void SetText(XmlNode element, const std::string& text) = 0;
  // The root element, or a null handle.
  virtual XmlNode DocumentElement() = 0;
  // Appends `child` as the last child of `parent` and answers the appended node. A child of another
  // document is imported whole; a detached element of this document is attached.
  virtual XmlNode AppendChild(XmlNode parent, XmlNode child) = 0;
  // Every element with this name anywhere in the document, in document order.
  virtual std::vector<XmlNode> GetElementsByTagName(const std::string& name) = 0;
  // The whole document serialised, declaration included.
  virtual std::string Xml() = 0;
};

class XmlDom {
 public:
  virtual ~XmlDom() = default;
  // A fresh, empty document.
  virtual std::unique_ptr<XmlDocument> NewDocument() = 0;
};

// The DOM on pugixml; stateless, shared by the whole process.
XmlDom& SystemXmlDom();

}  // namespace vardenix
