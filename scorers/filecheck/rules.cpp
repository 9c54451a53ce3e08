#include "scorers/filecheck/rules.h"

#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdint>

namespace vardenix::filecheck {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

// True when `s` is well-formed UTF-8: shortest forms only, no surrogates, nothing past U+10FFFF.
bool IsUtf8(std::string_view s) {
  size_t i = 0;
  while (i < s.size()) {
    const auto c = static_cast<uint8_t>(s[i]);
    size_t extra;
    uint32_t cp;
    if (c < 0x80) {
      ++i;
      continue;
    } else if (c >= 0xC2 && c <= 0xDF) {
      extra = 1, cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
      extra = 2, cp = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      extra = 3, cp = c & 0x07;
    } else {
      return false;
    }
    if (s.size() - i <= extra) return false;
    for (size_t k = 1; k <= extra; ++k) {
      const auto cc = static_cast<uint8_t>(s[i + k]);
      if ((cc & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (cc & 0x3F);
    }
    if ((extra == 2 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) ||
        (extra == 3 && (cp < 0x10000 || cp > 0x10FFFF))) {
      return false;
    }
    i += extra + 1;
  }
  return true;
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

// Takes the next blank-separated word off the front of `rest`.
std::string_view NextWord(std::string_view& rest) {
  rest = Trim(rest);
  size_t end = 0;
  while (end < rest.size() && !IsBlank(rest[end])) ++end;
  const std::string_view word = rest.substr(0, end);
  rest.remove_prefix(end);
  return word;
}

// Reads a points word: digits, optionally a point and more digits. from_chars alone would also
// take exponents, "inf" and hexadecimal forms that nobody means in a rule text.
double ParsePoints(std::string_view word, int line) {
  bool digit = false, point = false;
  for (char c : word) {
    if (c >= '0' && c <= '9') {
      digit = true;
    } else if (c == '.' && !point) {
      point = true;
    } else {
      digit = false;
      break;
    }
  }
  double points = 0;
  const char* end = word.data() + word.size();
  const auto parsed = digit ? std::from_chars(word.data(), end, points) : std::from_chars_result{};
  if (!digit || parsed.ec != std::errc() || parsed.ptr != end) {
    throw RuleError(line, "a rule starts with its points, a number such as 2 or 0.5, not \"" +
                              std::string(word) + "\"");
  }
  if (!(points > 0) || points > kMaxPoints) {
    throw RuleError(line, "the points of a rule must be more than 0 and at most 10000, not " + std::string(word));
  }
  return points;
}

// Takes the path off the front of `rest`: up to the next blank, or between double quotes.
std::string ParsePathWord(std::string_view& rest, int line) {
  rest = Trim(rest);
  if (rest.empty()) throw RuleError(line, "the rule has no path");
  std::string_view path;
  if (rest.front() == '"') {
    const size_t close = rest.find('"', 1);
    if (close == std::string_view::npos) throw RuleError(line, "the path's closing quote is missing");
    path = rest.substr(1, close - 1);
    rest.remove_prefix(close + 1);
    if (!rest.empty() && !IsBlank(rest.front())) {
      throw RuleError(line, "a quoted path must be followed by a blank or the end of the line");
    }
  } else {
    path = NextWord(rest);
    if (path.find('"') != std::string_view::npos) {
      throw RuleError(line, "quotes may only surround a whole path: " + std::string(path));
    }
  }
  return std::string(path);
}

// Splits a path at '/' and '\', refusing every form that could name something outside the folder.
std::vector<std::string> SplitPath(const std::string& path, int line) {
  if (path.empty()) throw RuleError(line, "the path is empty");
  if (path.front() == '/' || path.front() == '\\') {
    throw RuleError(line, "the path " + path + " is absolute; paths are relative to the graded folder");
  }
  if (path.size() >= 2 && path[1] == ':' &&
      ((path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z'))) {
    throw RuleError(line, "the path " + path + " names a drive; paths are relative to the graded folder");
  }
  std::vector<std::string> parts;
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find_first_of("/\\", start);
    if (end == std::string::npos) end = path.size();
    const std::string part = path.substr(start, end - start);
    if (part == "..") throw RuleError(line, "the path " + path + " leaves the graded folder (\"..\")");
    if (!part.empty() && part != ".") parts.push_back(part);
    start = end + 1;
  }
  if (parts.empty()) throw RuleError(line, "the path " + path + " names no file or folder");
  return parts;
}

Rule ParseLine(std::string_view source, int line) {
  Rule rule;
  rule.line = line;
  rule.source = std::string(source);
  std::string_view rest = source;
  rule.points = ParsePoints(NextWord(rest), line);

  const std::string_view kind = NextWord(rest);
  if (EqualsIgnoringCase(kind, "exists")) {
    rule.kind = RuleKind::kExists;
  } else if (EqualsIgnoringCase(kind, "absent")) {
    rule.kind = RuleKind::kAbsent;
  } else if (EqualsIgnoringCase(kind, "folder")) {
    rule.kind = RuleKind::kFolder;
  } else if (EqualsIgnoringCase(kind, "contains")) {
    rule.kind = RuleKind::kContains;
  } else if (kind.empty()) {
    throw RuleError(line, "the rule has no kind; write exists, absent, folder or contains after the points");
  } else {
    throw RuleError(line, "unknown rule kind \"" + std::string(kind) +
                              "\"; write exists, absent, folder or contains");
  }

  rule.path = ParsePathWord(rest, line);
  rule.parts = SplitPath(rule.path, line);
  rest = Trim(rest);
  if (rule.kind == RuleKind::kContains) {
    if (rest.empty()) throw RuleError(line, "a contains rule needs the text to look for after the path");
    rule.text = std::string(rest);
  } else if (!rest.empty()) {
    throw RuleError(line, "unexpected text after the path: " + std::string(rest) +
                              " (a path with spaces is written in double quotes)");
  }
  return rule;
}

}  // namespace

RuleError::RuleError(int line, const std::string& reason)
    : std::runtime_error("rule line " + std::to_string(line) + ": " + reason), line_(line) {}

std::vector<Rule> ParseRules(std::string_view text) {
  constexpr std::string_view kBom = "\xEF\xBB\xBF";
  if (text.substr(0, kBom.size()) == kBom) text.remove_prefix(kBom.size());

  std::vector<Rule> rules;
  int line = 0;
  while (!text.empty()) {
    ++line;
    size_t end = text.find_first_of("\r\n");
    std::string_view raw = text.substr(0, end);
    if (end == std::string_view::npos) {
      text = {};
    } else {
      // CR LF is one line end; a lone CR or LF is one too.
      const bool crlf = text[end] == '\r' && end + 1 < text.size() && text[end + 1] == '\n';
      text.remove_prefix(end + (crlf ? 2 : 1));
    }

    // Checked before anything is read, so that no rule and no message carries broken text.
    if (!IsUtf8(raw)) throw RuleError(line, "the line is not valid UTF-8 text");
    for (char c : raw) {
      if (static_cast<unsigned char>(c) < 0x20 && c != '\t') {
        throw RuleError(line, "the line holds a control character");
      }
    }

    const std::string_view source = Trim(raw);
    if (source.empty() || source.front() == '#') continue;
    rules.push_back(ParseLine(source, line));
  }
  return rules;
}

}  // namespace vardenix::filecheck
