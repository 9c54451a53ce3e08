// The XML DOM seam: just the operations the report routines use.
//
// Parsing holds a text to XML 1.0 well-formedness as a conforming parser does (a bare "&", an
// undefined entity, a duplicate attribute, "<" in an attribute value, a declaration or text after the
// root element, a NUL or bytes that are not UTF-8 are all refused) and refuses any DOCTYPE, so no
// DTD is read, nothing is loaded from outside and no entity is expanded. The string's characters
// are taken as they are (UTF-8); an encoding named in the declaration is a label and never used to
// re-decode. Line ends in texts are normalised to LF as XML requires; a CR that a text holds is
// written as a character reference, so it survives a write-parse round trip. White space that stands
// beside elements is layout: it is dropped on parsing and when an element joins it, and the
// serialiser writes its own. Comments and processing instructions are kept. No operation recurses
// per level of the tree, so no document, however deep, can exhaust the stack.
//
// A document and its nodes are used by one thread; nodes are handles that stay valid while their
// document lives and is not loaded again. Failures of the library throw RuntimeError.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
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
  // Replaces the element's whole content by one text. A text that XML cannot hold (see
  // XmlCanHoldText) is refused with RuntimeError and the element is left as it was.
  virtual void SetText(XmlNode element, const std::string& text) = 0;
  // The root element, or a null handle.
  virtual XmlNode DocumentElement() = 0;
  // Appends `child` as the last child of `parent` and answers the appended node. A child of another
  // document is imported whole; a detached element of this document is attached.
  virtual XmlNode AppendChild(XmlNode parent, XmlNode child) = 0;
  // Every element with this name anywhere in the document that does not stand inside another
  // element of this name, in document order. Appending each one carries the inner ones with it,
  // so each element of that name arrives exactly once.
  virtual std::vector<XmlNode> GetOutermostElementsByTagName(const std::string& name) = 0;
  // The whole document serialised, declaration included.
  virtual std::string Xml() = 0;
};

class XmlDom {
 public:
  virtual ~XmlDom() = default;
  // A fresh, empty document.
  virtual std::unique_ptr<XmlDocument> NewDocument() = 0;
};

// The DOM on expat; stateless, shared by the whole process.
XmlDom& SystemXmlDom();

// Whether an XML 1.0 document can hold this text in an element: it is well-formed UTF-8 and every
// character is one XML allows (no NUL, no control character other than TAB, LF and CR, no
// U+FFFE or U+FFFF). A text that fails cannot be kept whole in a report, so it is refused.
bool XmlCanHoldText(std::string_view text);

// The text with what XML cannot hold replaced, by one rule used for every report (the text and
// XML reports, JSON, JUnit, HTML): each byte that is not part of well-formed UTF-8 becomes "\xNN"
// (its value in two upper-case hex digits), and each character XML 1.0 excludes (a control
// character other than TAB, LF and CR, U+FFFE, U+FFFF) becomes "\uXXXX" ("\u0007" for a bell).
// Everything else is kept as it is; a text XmlCanHoldText takes comes back unchanged.
std::string XmlSafeText(std::string_view text);

}  // namespace vardenix
