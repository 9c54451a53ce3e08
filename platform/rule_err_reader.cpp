#include "platform/rule_err_reader.h"

#include <expat.h>

#include <memory>

namespace vardenix {
namespace {

struct ReaderState {
  XML_Parser parser = nullptr;
  RuleErrReading* reading = nullptr;
  int depth = 0;
  int rule_err_depth = 0;  // depth of the open RuleErr, 0 when none
  bool in_field = false;   // inside a child element of the open RuleErr
  int field_depth = 0;
  bool refused = false;
  std::string refusal;
};

void XMLCALL OnStart(void* data, const XML_Char* name, const XML_Char** /*attributes*/) {
  auto& s = *static_cast<ReaderState*>(data);
  ++s.depth;
  const std::string element = name;
  if (s.rule_err_depth == 0 && element == "RuleErr") {
    s.rule_err_depth = s.depth;
    s.reading->entries.emplace_back();
  } else if (s.rule_err_depth != 0 && s.depth == s.rule_err_depth + 1) {
    s.reading->entries.back().emplace_back(element, std::string());
    s.in_field = true;
    s.field_depth = s.depth;
  }
}

void XMLCALL OnEnd(void* data, const XML_Char* /*name*/) {
  auto& s = *static_cast<ReaderState*>(data);
  if (s.in_field && s.depth == s.field_depth) s.in_field = false;
  if (s.depth == s.rule_err_depth) s.rule_err_depth = 0;
  --s.depth;
}

void XMLCALL OnText(void* data, const XML_Char* text, int length) {
  auto& s = *static_cast<ReaderState*>(data);
  if (s.in_field && s.depth == s.field_depth) {
    s.reading->entries.back().back().second.append(text, static_cast<size_t>(length));
  }
}

// Documents with a DTD are refused: no entity is ever expanded.
void XMLCALL OnDoctype(void* data, const XML_Char*, const XML_Char*, const XML_Char*, int) {
  auto& s = *static_cast<ReaderState*>(data);
  s.refused = true;
  s.refusal = "a document type declaration is not allowed";
  XML_StopParser(s.parser, XML_FALSE);
}

}  // namespace

RuleErrReading ReadRuleErrs(const std::string& report) {
  RuleErrReading reading;
  if (report.find_first_not_of(" \t\r\n") == std::string::npos) {
    reading.parses = true;
    return reading;
  }
  // The text is UTF-8 whatever its declaration says.
  std::unique_ptr<XML_ParserStruct, decltype(&XML_ParserFree)> parser(XML_ParserCreate("UTF-8"), &XML_ParserFree);
  if (!parser) {
    reading.problem = "out of memory";
    return reading;
  }
  ReaderState state;
  state.parser = parser.get();
  state.reading = &reading;
  XML_SetUserData(parser.get(), &state);
  XML_SetElementHandler(parser.get(), OnStart, OnEnd);
  XML_SetCharacterDataHandler(parser.get(), OnText);
  XML_SetStartDoctypeDeclHandler(parser.get(), OnDoctype);
  const XML_Status status = XML_Parse(parser.get(), report.data(), static_cast<int>(report.size()), XML_TRUE);
  if (state.refused) {
    reading.problem = state.refusal;
  } else if (status != XML_STATUS_OK) {
    reading.problem = std::string(XML_ErrorString(XML_GetErrorCode(parser.get()))) + " at line " +
                      std::to_string(XML_GetCurrentLineNumber(parser.get())) + ", column " +
                      std::to_string(XML_GetCurrentColumnNumber(parser.get()) + 1);
  }
  if (!reading.problem.empty()) {
    reading.entries.clear();
    return reading;
  }
  reading.parses = true;
  return reading;
}

}  // namespace vardenix
