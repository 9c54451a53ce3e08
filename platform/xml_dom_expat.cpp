// The DOM seam: expat checks and reads the text, and a small tree of our own holds it.
//
// expat is a conforming, non-validating parser. It is told that the input is UTF-8, which overrides
// whatever encoding the declaration names, and it is stopped at a DOCTYPE, so it never reads a DTD
// or expands an entity beyond the five predefined ones and character references.
//
// The tree keeps its nodes in one arena per document, linked by pointers: freeing a document frees
// the arena in one go, and every walk (search, copy, serialise) follows the links in a loop, so a
// document a million levels deep costs its size and never the stack.
#include <expat.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <exception>
#include <random>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/xml_dom.h"
#include "vardenix/error.h"

namespace vardenix {
namespace {

// Elements nested deeper than this are written without line breaks or indentation, so the layout
// adds a bounded number of characters per element however deep the document is.
constexpr int kIndentLevels = 8;

enum class Kind : unsigned char { kDocument, kElement, kText, kComment, kInstruction, kDeclaration };

struct Attribute {
  std::string_view name;
  std::string_view value;
};

// Plain data, so that the arena can hand out blocks of nodes without constructing or destroying
// each one.
struct Node {
  Kind kind;
  bool has_element_child;
  std::string_view name;   // element name; target of an instruction (kept in the document's arena)
  std::string_view value;  // text, comment, data of an instruction (kept in the document's arena)
  // Attributes of an element in their order; version, encoding, standalone of a declaration.
  const Attribute* attributes;
  std::size_t attribute_count;
  Node* parent;
  Node* first;
  Node* last;
  Node* prev;
  Node* next;

  std::span<const Attribute> Attributes() const { return {attributes, attribute_count}; }
};

// Where a document keeps its nodes and their texts: large blocks, freed all at once with the
// document. Nothing is freed one by one, so a report of many small texts costs few allocations.
class Arena {
 public:
  Node* NewNode(Kind kind) {
    if (nodes_used_ == nodes_size_) {
      nodes_size_ = std::min(kMaxNodesPerBlock, std::max<std::size_t>(16, nodes_size_ * 2));
      node_blocks_.push_back(std::make_unique_for_overwrite<Node[]>(nodes_size_));
      nodes_used_ = 0;
    }
    Node* node = &node_blocks_.back()[nodes_used_++];
    *node = Node{};
    node->kind = kind;
    return node;
  }

  // Gives `node` these attributes, their texts kept here.
  void SetAttributes(Node* node, std::span<const Attribute> attributes) {
    if (attributes.empty()) return;
    attribute_blocks_.push_back(std::make_unique<Attribute[]>(attributes.size()));
    Attribute* kept = attribute_blocks_.back().get();
    for (std::size_t i = 0; i < attributes.size(); ++i) {
      kept[i] = Attribute{Keep(attributes[i].name), Keep(attributes[i].value)};
    }
    node->attributes = kept;
    node->attribute_count = attributes.size();
  }

  std::string_view Keep(std::string_view text) {
    if (text.empty()) return {};
    if (text.size() > kMaxBytesPerBlock / 4) {  // a large text gets a block of its own
      big_blocks_.push_back(std::make_unique_for_overwrite<char[]>(text.size()));
      std::memcpy(big_blocks_.back().get(), text.data(), text.size());
      return {big_blocks_.back().get(), text.size()};
    }
    if (bytes_size_ - bytes_used_ < text.size()) {
      bytes_size_ = std::min(kMaxBytesPerBlock, std::max<std::size_t>(512, bytes_size_ * 2));
      while (bytes_size_ < text.size()) bytes_size_ *= 2;
      byte_blocks_.push_back(std::make_unique_for_overwrite<char[]>(bytes_size_));
      bytes_used_ = 0;
    }
    char* at = byte_blocks_.back().get() + bytes_used_;
    std::memcpy(at, text.data(), text.size());
    bytes_used_ += text.size();
    return {at, text.size()};
  }

  void Clear() { *this = Arena(); }

 private:
  // Blocks start small (most documents are a report of a few entries) and double up to these.
  static constexpr std::size_t kMaxNodesPerBlock = 4096;
  static constexpr std::size_t kMaxBytesPerBlock = 256 * 1024;
  std::vector<std::unique_ptr<Node[]>> node_blocks_;
  std::vector<std::unique_ptr<Attribute[]>> attribute_blocks_;
  std::vector<std::unique_ptr<char[]>> byte_blocks_;
  std::vector<std::unique_ptr<char[]>> big_blocks_;
  std::size_t nodes_used_ = 0;
  std::size_t nodes_size_ = 0;
  std::size_t bytes_used_ = 0;
  std::size_t bytes_size_ = 0;
};

bool IsLayout(std::string_view text) {
  return std::all_of(text.begin(), text.end(),
                     [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; });
}

// For each byte: 0 stays as it is, 1 is escaped everywhere, 2 only in attribute values (which a
// parser normalises: a raw TAB or LF there would come back as a space). A raw CR in a text would
// come back as part of a line end, so it is escaped too.
constexpr std::array<unsigned char, 256> kEscape = [] {
  std::array<unsigned char, 256> table{};
  for (unsigned char c : {'&', '<', '>', '\r'}) table[c] = 1;
  for (unsigned char c : {'"', '\t', '\n'}) table[c] = 2;
  return table;
}();

const char* Entity(char c) {
  switch (c) {
    case '&': return "&amp;";
    case '<': return "&lt;";
    case '>': return "&gt;";
    case '"': return "&quot;";
    case '\r': return "&#13;";
    case '\t': return "&#9;";
    default: return "&#10;";
  }
}

void AppendEscaped(std::string& out, std::string_view text, bool attribute) {
  const unsigned char limit = attribute ? 2 : 1;
  std::size_t run = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const unsigned char kind = kEscape[static_cast<unsigned char>(text[i])];
    if (kind == 0 || kind > limit) continue;
    out.append(text.data() + run, i - run);
    out += Entity(text[i]);
    run = i + 1;
  }
  out.append(text.data() + run, text.size() - run);
}

// A name as elements of a report may have: ASCII letters, digits, '_', '-', '.', ':', and any
// character beyond ASCII; not starting with a digit, '-' or '.'.
bool IsElementName(const std::string& name) {
  if (name.empty() || !XmlCanHoldText(name)) return false;
  const auto ok = [](unsigned char c, bool first) {
    if (c >= 0x80 || c == '_' || c == ':' || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z')) return true;
    return !first && ((c >= '0' && c <= '9') || c == '-' || c == '.');
  };
  if (!ok(static_cast<unsigned char>(name[0]), true)) return false;
  return std::all_of(name.begin() + 1, name.end(), [&](char c) { return ok(static_cast<unsigned char>(c), false); });
}

class ExpatDocument final : public XmlDocument {
 public:
  ExpatDocument() { Clear(); }

  bool LoadXml(const std::string& text) override;

  XmlNode CreateElement(const std::string& name) override {
    if (!IsElementName(name)) throw RuntimeError("XML: cannot create an element named \"" + name + "\"");
    Node* node = arena_.NewNode(Kind::kElement);
    node->name = arena_.Keep(name);
    return Wrap(node);
  }

  void SetText(XmlNode element, const std::string& text) override {
    Node* node = Own(element, "set text");
    if (!XmlCanHoldText(text)) {
      throw RuntimeError("XML: the text for <" + std::string(node->name) +
                         "> holds a NUL, a control character or bytes that are not UTF-8, which a report cannot hold");
    }
    for (Node* child = node->first; child; child = child->next) child->parent = nullptr;
    node->first = node->last = nullptr;
    node->has_element_child = false;
    if (text.empty()) return;
    Node* content = arena_.NewNode(Kind::kText);
    content->value = arena_.Keep(text);
    Link(node, content);
  }

  XmlNode DocumentElement() override {
    for (Node* child = document_.first; child; child = child->next) {
      if (child->kind == Kind::kElement) return Wrap(child);
    }
    return XmlNode{};
  }

  XmlNode AppendChild(XmlNode parent, XmlNode child) override {
    Node* target = Own(parent, "append a child");
    if (!child) throw RuntimeError("XML: cannot append a null node");
    const auto* source_doc = dynamic_cast<const ExpatDocument*>(child.owner);
    if (!source_doc) throw RuntimeError("XML: cannot append a node of another kind of document");
    Node* source = static_cast<Node*>(child.impl);
    if (source->kind == Kind::kDocument) throw RuntimeError("XML: cannot append a document");
    if (source_doc != this) {
      Node* copy = CopyTree(*source);
      AddChild(target, copy);
      return Wrap(copy);
    }
    for (const Node* up = target; up; up = up->parent) {
      if (up == source) throw RuntimeError("XML: cannot append <" + std::string(source->name) + "> inside itself");
    }
    Unlink(source);
    AddChild(target, source);
    return Wrap(source);
  }

  std::vector<XmlNode> GetOutermostElementsByTagName(const std::string& name) override {
    std::vector<XmlNode> found;
    for (Node* node = document_.first; node;) {
      const bool match = node->kind == Kind::kElement && node->name == name;
      if (match) found.push_back(Wrap(node));
      node = NextInOrder(node, /*descend=*/!match);
    }
    return found;
  }

  std::string Xml() override;

 private:
  friend struct Builder;

  XmlNode Wrap(Node* node) { return XmlNode{node, this}; }

  Node* Own(XmlNode node, const char* what) {
    if (!node) throw RuntimeError(std::string("XML: cannot ") + what + " on a null node");
    if (node.owner != this) throw RuntimeError(std::string("XML: cannot ") + what + " on a node of another document");
    Node* n = static_cast<Node*>(node.impl);
    if (n->kind != Kind::kElement) throw RuntimeError(std::string("XML: cannot ") + what + " on a node that is not an element");
    return n;
  }

  void Clear() {
    arena_.Clear();
    loaded_bytes_ = 0;
    document_ = Node{};
    document_.kind = Kind::kDocument;
  }

  // Links `child` as the last child of `parent`, nothing more.
  static void Link(Node* parent, Node* child) {
    child->parent = parent;
    child->prev = parent->last;
    child->next = nullptr;
    if (parent->last) {
      parent->last->next = child;
    } else {
      parent->first = child;
    }
    parent->last = child;
    if (child->kind == Kind::kElement) parent->has_element_child = true;
  }

  static void Unlink(Node* node) {
    Node* parent = node->parent;
    if (!parent) return;
    (node->prev ? node->prev->next : parent->first) = node->next;
    (node->next ? node->next->prev : parent->last) = node->prev;
    node->parent = node->prev = node->next = nullptr;
    if (node->kind == Kind::kElement) {
      parent->has_element_child = false;
      for (const Node* c = parent->first; c && !parent->has_element_child; c = c->next) {
        parent->has_element_child = c->kind == Kind::kElement;
      }
    }
  }

  // Links `child` as the last child of `parent`. When it is the first element there, the white
  // space beside it has become layout and is dropped.
  static void AddChild(Node* parent, Node* child) {
    if (child->kind == Kind::kElement && !parent->has_element_child) {
      for (Node* c = parent->first; c;) {
        Node* next = c->next;
        if (c->kind == Kind::kText && IsLayout(c->value)) Unlink(c);
        c = next;
      }
    }
    Link(parent, child);
  }

  // The node after `node` in document order within the tree; with descend false, `node`'s own
  // children are passed over.
  static Node* NextInOrder(Node* node, bool descend) {
    if (descend && node->first) return node->first;
    for (; node && node->kind != Kind::kDocument; node = node->parent) {
      if (node->next) return node->next;
    }
    return nullptr;
  }

  Node* Clone(const Node& from) {
    Node* node = arena_.NewNode(from.kind);
    node->name = arena_.Keep(from.name);
    node->value = arena_.Keep(from.value);
    arena_.SetAttributes(node, from.Attributes());
    return node;
  }

  // A detached copy of `source` with everything it contains, made in a loop over the source's links.
  Node* CopyTree(const Node& source) {
    Node* top = Clone(source);
    const Node* from = &source;
    Node* to = top;
    for (;;) {
      if (from->first) {
        from = from->first;
        Node* copy = Clone(*from);
        Link(to, copy);
        to = copy;
        continue;
      }
      while (from != &source && !from->next) {
        from = from->parent;
        to = to->parent;
      }
      if (from == &source) break;
      from = from->next;
      Node* copy = Clone(*from);
      Link(to->parent, copy);
      to = copy;
    }
    return top;
  }

  Arena arena_;
  Node document_;
  std::size_t loaded_bytes_ = 0;  // size of the text last loaded: what the serialisation will be near
};

// Builds the tree from expat's events. Handlers never let an exception into expat: they stop the
// parser and keep the exception for LoadXml to throw.
struct Builder {
  XML_Parser parser = nullptr;
  ExpatDocument* doc = nullptr;
  Node* open = nullptr;  // the innermost open element, or the document
  std::string text;      // character data not yet made a node (expat hands it over in pieces)
  bool doctype = false;
  std::exception_ptr failure;

  void Flush() {
    if (text.empty()) return;
    if (!(open->has_element_child && IsLayout(text))) {
      Node* node = doc->arena_.NewNode(Kind::kText);
      node->value = doc->arena_.Keep(text);
      ExpatDocument::Link(open, node);
    }
    text.clear();
  }

  template <typename F>
  static void Guard(void* data, F&& f) {
    auto* b = static_cast<Builder*>(data);
    if (b->failure) return;
    try {
      f(*b);
    } catch (...) {
      b->failure = std::current_exception();
      XML_StopParser(b->parser, XML_FALSE);
    }
  }

  static void OnStart(void* data, const XML_Char* name, const XML_Char** attributes) {
    Guard(data, [&](Builder& b) {
      b.Flush();
      Arena& arena = b.doc->arena_;
      Node* node = arena.NewNode(Kind::kElement);
      node->name = arena.Keep(name);
      if (*attributes) {
        std::vector<Attribute> list;
        for (const XML_Char** a = attributes; *a; a += 2) list.push_back({a[0], a[1]});
        arena.SetAttributes(node, list);
      }
      ExpatDocument::AddChild(b.open, node);
      b.open = node;
    });
  }

  static void OnEnd(void* data, const XML_Char*) {
    Guard(data, [](Builder& b) {
      b.Flush();
      b.open = b.open->parent;
    });
  }

  static void OnText(void* data, const XML_Char* s, int len) {
    Guard(data, [&](Builder& b) { b.text.append(s, static_cast<std::size_t>(len)); });
  }

  static void OnComment(void* data, const XML_Char* s) {
    Guard(data, [&](Builder& b) {
      b.Flush();
      Node* node = b.doc->arena_.NewNode(Kind::kComment);
      node->value = b.doc->arena_.Keep(s);
      ExpatDocument::Link(b.open, node);
    });
  }

  static void OnInstruction(void* data, const XML_Char* target, const XML_Char* s) {
    Guard(data, [&](Builder& b) {
      b.Flush();
      Node* node = b.doc->arena_.NewNode(Kind::kInstruction);
      node->name = b.doc->arena_.Keep(target);
      node->value = b.doc->arena_.Keep(s);
      ExpatDocument::Link(b.open, node);
    });
  }

  static void OnDeclaration(void* data, const XML_Char* version, const XML_Char* encoding, int standalone) {
    Guard(data, [&](Builder& b) {
      if (!version) return;  // a text declaration, which only external entities have
      Arena& arena = b.doc->arena_;
      Node* node = arena.NewNode(Kind::kDeclaration);
      std::vector<Attribute> list = {{"version", version}};
      if (encoding) list.push_back({"encoding", encoding});
      if (standalone >= 0) list.push_back({"standalone", standalone ? "yes" : "no"});
      arena.SetAttributes(node, list);
      ExpatDocument::Link(b.open, node);
    });
  }

  static void OnDoctype(void* data, const XML_Char*, const XML_Char*, const XML_Char*, int) {
    auto* b = static_cast<Builder*>(data);
    b->doctype = true;
    XML_StopParser(b->parser, XML_FALSE);
  }
};

// One parser per thread, reset for each document: making a parser costs more than parsing a
// report of a few entries. A parser that has read a large document keeps buffers the size of it,
// so it is freed instead of kept. Each thread's parser keeps one random hash salt.
class ThreadParser {
 public:
  static constexpr std::size_t kKeepAfterBytes = 64 * 1024;

  ~ThreadParser() { Drop(); }

  XML_Parser Take() {
    if (parser_ && !XML_ParserReset(parser_, "UTF-8")) Drop();
    if (!parser_) {
      // The encoding given here overrides the declaration's: the text is already decoded.
      parser_ = XML_ParserCreate("UTF-8");
      if (!parser_) throw RuntimeError("XML: cannot create a parser");
      if (!salt_) salt_ = std::random_device()() | 1u;
    }
    XML_SetHashSalt(parser_, salt_);
    return parser_;
  }

  void Done(std::size_t bytes) {
    if (bytes > kKeepAfterBytes) Drop();
  }

 private:
  void Drop() {
    if (parser_) XML_ParserFree(parser_);
    parser_ = nullptr;
  }

  XML_Parser parser_ = nullptr;
  unsigned long salt_ = 0;
};

bool ExpatDocument::LoadXml(const std::string& text) {
  Clear();
  thread_local ThreadParser thread_parser;
  struct Release {
    ThreadParser& owner;
    std::size_t bytes;
    ~Release() { owner.Done(bytes); }
  } release{thread_parser, text.size()};
  XML_Parser parser = thread_parser.Take();
  Builder builder;
  builder.parser = parser;
  builder.doc = this;
  builder.open = &document_;
  XML_SetUserData(parser, &builder);
  XML_SetElementHandler(parser, Builder::OnStart, Builder::OnEnd);
  XML_SetCharacterDataHandler(parser, Builder::OnText);
  XML_SetCommentHandler(parser, Builder::OnComment);
  XML_SetProcessingInstructionHandler(parser, Builder::OnInstruction);
  XML_SetXmlDeclHandler(parser, Builder::OnDeclaration);
  XML_SetStartDoctypeDeclHandler(parser, Builder::OnDoctype);
  XML_SetParamEntityParsing(parser, XML_PARAM_ENTITY_PARSING_NEVER);

  // expat takes its input length as an int.
  constexpr std::size_t kChunk = std::size_t{1} << 30;
  std::size_t offset = 0;
  XML_Status status = XML_STATUS_OK;
  do {
    const std::size_t size = std::min(kChunk, text.size() - offset);
    const bool last = offset + size == text.size();
    status = XML_Parse(parser, text.data() + offset, static_cast<int>(size), last ? XML_TRUE : XML_FALSE);
    offset += size;
  } while (status == XML_STATUS_OK && offset < text.size());

  if (builder.failure) {
    Clear();
    try {
      std::rethrow_exception(builder.failure);
    } catch (const std::exception& e) {
      throw RuntimeError(std::string("XML: cannot build the document: ") + e.what());
    }
  }
  if (status != XML_STATUS_OK || builder.doctype) {
    Clear();
    return false;
  }
  loaded_bytes_ = text.size();
  return true;
}

std::string ExpatDocument::Xml() {
  std::string out;
  out.reserve(loaded_bytes_ + loaded_bytes_ / 4 + 1024);
  const auto line = [&out](int depth) {
    out += "\r\n";
    out.append(static_cast<std::size_t>(depth) * 2, ' ');
  };
  // Children of an element are laid out one to a line only when it holds no text of its own,
  // where added white space would change a text.
  const auto laid_out = [](const Node* element) {
    if (!element->has_element_child) return false;
    for (const Node* c = element->first; c; c = c->next) {
      if (c->kind == Kind::kText) return false;
    }
    return true;
  };
  // Which open elements lay out their children; only the first kIndentLevels levels can.
  std::vector<bool> layout;
  int depth = 0;  // elements open around the node being written

  for (Node* node = document_.first; node;) {
    if (node->parent == &document_) {
      if (node != document_.first) out += "\r\n";
    } else if (depth <= kIndentLevels && layout[static_cast<std::size_t>(depth - 1)]) {
      line(depth);
    }
    switch (node->kind) {
      case Kind::kElement:
        out += '<';
        out += node->name;
        for (const auto& [name, value] : node->Attributes()) {
          out += ' ';
          out += name;
          out += "=\"";
          AppendEscaped(out, value, /*attribute=*/true);
          out += '"';
        }
        out += node->first ? ">" : "/>";
        break;
      case Kind::kText:
        AppendEscaped(out, node->value, /*attribute=*/false);
        break;
      case Kind::kComment:
        out += "<!--";
        out += node->value;
        out += "-->";
        break;
      case Kind::kInstruction:
        out += "<?";
        out += node->name;
        if (!node->value.empty()) {
          out += ' ';
          out += node->value;
        }
        out += "?>";
        break;
      case Kind::kDeclaration:
        out += "<?xml";
        for (const auto& [name, value] : node->Attributes()) {
          out += ' ';
          out += name;
          out += "=\"";
          out += value;
          out += '"';
        }
        out += " ?>";
        break;
      case Kind::kDocument:
        break;
    }
    if (node->kind == Kind::kElement && node->first) {
      if (depth < kIndentLevels) layout.push_back(laid_out(node));
      ++depth;
      node = node->first;
      continue;
    }
    // Close every element that ends here, then go on with the next sibling.
    while (!node->next && node->parent != &document_) {
      node = node->parent;
      --depth;
      if (depth < kIndentLevels) {
        if (layout.back()) line(depth);
        layout.pop_back();
      }
      out += "</";
      out += node->name;
      out += '>';
    }
    node = node->next;
  }
  return out;
}

class ExpatDom final : public XmlDom {
 public:
  std::unique_ptr<XmlDocument> NewDocument() override { return std::make_unique<ExpatDocument>(); }
};

}  // namespace

XmlDom& SystemXmlDom() {
  static ExpatDom dom;
  return dom;
}

namespace {

// The length of the well-formed UTF-8 character at `p` (1 to 4) and its code point, or 0 when the
// byte at `p` starts none.
int DecodeUtf8(const unsigned char* p, const unsigned char* end, char32_t& code) {
  const unsigned char c = *p;
  if (c < 0x80) {
    code = c;
    return 1;
  }
  int extra;
  if (c >= 0xC2 && c <= 0xDF) {
    extra = 1;
    code = c & 0x1F;
  } else if (c >= 0xE0 && c <= 0xEF) {
    extra = 2;
    code = c & 0x0F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    extra = 3;
    code = c & 0x07;
  } else {
    return 0;  // a continuation byte, an overlong lead byte or beyond U+10FFFF
  }
  if (end - p <= extra) return 0;
  for (int i = 1; i <= extra; ++i) {
    if ((p[i] & 0xC0) != 0x80) return 0;
    code = (code << 6) | (p[i] & 0x3F);
  }
  // Overlong forms, surrogates and beyond U+10FFFF.
  if ((extra == 2 && code < 0x800) || (extra == 3 && (code < 0x10000 || code > 0x10FFFF)) ||
      (code >= 0xD800 && code <= 0xDFFF)) {
    return 0;
  }
  return extra + 1;
}

// A character XML 1.0 excludes from a document.
bool ExcludedFromXml(char32_t code) {
  return (code < 0x20 && code != '\t' && code != '\n' && code != '\r') || code == 0xFFFE || code == 0xFFFF;
}

}  // namespace

bool XmlCanHoldText(std::string_view text) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const auto* end = p + text.size();
  while (p < end) {
    char32_t code = 0;
    const int length = DecodeUtf8(p, end, code);
    if (length == 0 || ExcludedFromXml(code)) return false;
    p += length;
  }
  return true;
}

std::string XmlSafeText(std::string_view text) {
  if (XmlCanHoldText(text)) return std::string(text);
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size() + 16);
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const auto* end = p + text.size();
  while (p < end) {
    char32_t code = 0;
    const int length = DecodeUtf8(p, end, code);
    if (length == 0) {
      out += "\\x";
      out += kHex[*p >> 4];
      out += kHex[*p & 0x0F];
      ++p;
    } else if (ExcludedFromXml(code)) {
      out += "\\u";
      for (int shift = 12; shift >= 0; shift -= 4) out += kHex[(code >> shift) & 0x0F];
      p += length;
    } else {
      out.append(reinterpret_cast<const char*>(p), static_cast<std::size_t>(length));
      p += length;
    }
  }
  return out;
}

}  // namespace vardenix
