// The DOM seam on pugixml.
//
// pugixml cannot hold an element outside a tree, so CreateElement builds it in a scratch document
// and AppendChild copies it into place. Parsing forces UTF-8 (the declared encoding is only a label)
// and keeps the declaration so that serialising writes it back. End-of-line normalisation is off so
// that the CR LF line ends of report texts survive a round trip.
#include <pugixml.hpp>

#include <sstream>

#include "platform/xml_dom.h"
#include "vardenix/error.h"

namespace vardenix {
namespace {

// Fragment mode keeps text that stands beside the root, so that such input can be refused below.
// A text made only of spaces is kept when it is an element's whole content (a report field may be
// just that); white space between elements is layout and is dropped after parsing.
constexpr unsigned kParseOptions = (pugi::parse_default & ~pugi::parse_eol) | pugi::parse_declaration |
                                   pugi::parse_fragment | pugi::parse_ws_pcdata_single;
constexpr unsigned kFormat = pugi::format_indent | pugi::format_no_declaration;

pugi::xml_node ToPugi(XmlNode node) {
  return pugi::xml_node(static_cast<pugi::xml_node_struct*>(node.impl));
}

bool IsBlank(const char* text) {
  for (; *text; ++text) {
    if (*text != ' ' && *text != '\t' && *text != '\r' && *text != '\n') return false;
  }
  return true;
}

// Removes white-space texts that stand beside elements (indentation), keeping lone texts.
void DropLayoutWhiteSpace(pugi::xml_node node) {
  bool has_element = false;
  for (pugi::xml_node child : node.children()) has_element |= child.type() == pugi::node_element;
  for (pugi::xml_node child = node.first_child(); child;) {
    pugi::xml_node next = child.next_sibling();
    if (child.type() == pugi::node_element) {
      DropLayoutWhiteSpace(child);
    } else if (has_element && child.type() == pugi::node_pcdata && IsBlank(child.value())) {
      node.remove_child(child);
    }
    child = next;
  }
}

class PugiDocument final : public XmlDocument {
 public:
  bool LoadXml(const std::string& text) override {
    pugi::xml_parse_result result =
        doc_.load_buffer(text.data(), text.size(), kParseOptions, pugi::encoding_utf8);
    if (!result) {
      doc_.reset();
      return false;
    }
    // A document has exactly one root element and no text beside it.
    int elements = 0;
    for (pugi::xml_node child : doc_.children()) {
      if (child.type() == pugi::node_element) {
        ++elements;
      } else if ((child.type() == pugi::node_pcdata || child.type() == pugi::node_cdata) &&
                 !IsBlank(child.value())) {
        elements = 2;
      }
    }
    if (elements != 1) {
      doc_.reset();
      return false;
    }
    DropLayoutWhiteSpace(doc_.document_element());
    return true;
  }

  XmlNode CreateElement(const std::string& name) override {
    pugi::xml_node node = scratch_.append_child(pugi::node_element);
    if (!node || !node.set_name(name.c_str())) throw RuntimeError("XML: cannot create element " + name);
    return Wrap(node);
  }

  void SetText(XmlNode element, const std::string& text) override {
    pugi::xml_node node = Checked(element, "set text");
    while (node.first_child()) node.remove_child(node.first_child());
    if (text.empty()) return;
    if (!node.append_child(pugi::node_pcdata).set_value(text.c_str())) {
      throw RuntimeError("XML: cannot set the text of " + std::string(node.name()));
    }
  }

  XmlNode DocumentElement() override {
    pugi::xml_node root = doc_.document_element();
    return root ? Wrap(root) : XmlNode{};
  }

  XmlNode AppendChild(XmlNode parent, XmlNode child) override {
    pugi::xml_node target = Checked(parent, "append a child");
    if (!child) throw RuntimeError("XML: cannot append a null node");
    pugi::xml_node source = ToPugi(child);
    pugi::xml_node appended;
    if (child.owner == this && source.root() == doc_.root()) {
      appended = target.append_move(source);
    } else {
      appended = target.append_copy(source);
      if (appended && child.owner == this) scratch_.remove_child(source);
    }
    if (!appended) throw RuntimeError("XML: cannot append " + std::string(source.name()));
    return Wrap(appended);
  }

  std::vector<XmlNode> GetElementsByTagName(const std::string& name) override {
    std::vector<XmlNode> found;
    // Document order is the order of a depth-first, pre-order walk.
    struct Walker : pugi::xml_tree_walker {
      const std::string* name;
      std::vector<XmlNode>* found;
      PugiDocument* doc;
      bool for_each(pugi::xml_node& node) override {
        if (node.type() == pugi::node_element && *name == node.name()) found->push_back(doc->Wrap(node));
        return true;
      }
    } walker;
    walker.name = &name;
    walker.found = &found;
    walker.doc = this;
    doc_.traverse(walker);
    return found;
  }

  std::string Xml() override {
    // White space beside elements is layout; dropping it keeps a write-parse-write round trip
    // stable (the skeleton's line breaks, say, once entries stand beside them).
    DropLayoutWhiteSpace(doc_.document_element());
    std::ostringstream out;
    doc_.save(out, "  ", kFormat, pugi::encoding_utf8);
    return out.str();
  }

 private:
  XmlNode Wrap(pugi::xml_node node) { return XmlNode{node.internal_object(), this}; }

  pugi::xml_node Checked(XmlNode node, const char* what) {
    if (!node) throw RuntimeError(std::string("XML: cannot ") + what + " on a null node");
    return ToPugi(node);
  }

  pugi::xml_document doc_;
  pugi::xml_document scratch_;
};

class PugiDom final : public XmlDom {
 public:
  std::unique_ptr<XmlDocument> NewDocument() override { return std::make_unique<PugiDocument>(); }
};

}  // namespace

XmlDom& SystemXmlDom() {
  static PugiDom dom;
  return dom;
}

}  // namespace vardenix
