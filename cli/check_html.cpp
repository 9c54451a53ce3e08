#include <algorithm>
#include <cstdio>

#include "cli/check_results.h"
#include "cli/cli_support.h"
#include "cli/sha256.h"
#include "platform/rule_err_reader.h"

namespace vardenix::cli {
namespace {

std::string E(const std::string& text) { return XmlEscape(text); }

std::string Number(double value, const char* format = "%.3g") {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, format, value);
  return buffer;
}

// The fonts named before the generic family: a Chinese text (the checks' own texts, the banks'
// names) is drawn with a CJK font wherever one is installed, not as empty boxes.
constexpr const char* kStyle = R"(
body{font-family:system-ui,"Noto Sans CJK SC","Source Han Sans SC","WenQuanYi Micro Hei","Microsoft YaHei","PingFang SC",sans-serif;margin:0 auto;max-width:70em;padding:1em;color:#222;line-height:1.4}
pre,code{font-family:ui-monospace,"DejaVu Sans Mono","Noto Sans Mono CJK SC","WenQuanYi Micro Hei Mono","WenQuanYi Micro Hei",monospace}
h1{margin:0}.verdict{padding:1em;border-radius:6px;margin-bottom:1em}
.verdict.passed{background:#e6f4ea;border:2px solid #1e7e34}.verdict.failed{background:#fdecea;border:2px solid #b02a37}
table{border-collapse:collapse;margin:.5em 0}th,td{border:1px solid #ccc;padding:.25em .5em;text-align:left;vertical-align:top}
th{background:#f3f3f3}pre{background:#f7f7f7;padding:.5em;white-space:pre-wrap;word-break:break-all;margin:.25em 0}
.record{border-left:6px solid #ccc;padding:.25em .75em;margin:.75em 0}.record.passed{border-color:#1e7e34}
.record.failed,.record.refusedArchive,.record.runTimeFailure{border-color:#b02a37}.record.notGraded{border-color:#c69500}
.outcome{font-weight:bold}code{word-break:break-all}
#failures td.outcome{color:#b02a37}ol.passed{columns:16em;font-size:.9em;margin:.25em 0}
details>summary{cursor:pointer}.warning{color:#8a5a00}
)";

// True when the text holds a character of the CJK blocks (U+2E80 to U+9FFF, U+F900 to U+FAFF,
// U+FF00 to U+FFEF), told from the lead byte and the one after it of its UTF-8 form.
bool HoldsCjk(const std::string& text) {
  for (size_t i = 0; i + 2 < text.size(); ++i) {
    const auto b0 = static_cast<unsigned char>(text[i]);
    const auto b1 = static_cast<unsigned char>(text[i + 1]);
    if (b0 == 0xE2 && b1 >= 0xBA) return true;                // U+2E80..U+2FFF
    if (b0 >= 0xE3 && b0 <= 0xE9) return true;                // U+3000..U+9FFF
    if (b0 == 0xEF && (b1 >= 0xA4 && b1 <= 0xAB)) return true;  // U+F900..U+FAFF
    if (b0 == 0xEF && (b1 == 0xBC || b1 == 0xBD || b1 == 0xBE || b1 == 0xBF)) return true;  // U+FF00..U+FFFF
  }
  return false;
}

// The lang attribute of an element holding text from the checks, the component or the banks: the
// page is in English, a text holding Chinese is marked as such, so that a browser picks a Chinese
// font and the Chinese forms of the shared characters.
std::string Lang(const std::string& text) { return HoldsCjk(text) ? " lang=\"zh-CN\"" : std::string(); }

// A bar of passed / failed / not graded. A share that is not zero is at least kMinimum pixels wide,
// so that one failure in thousands shows; the counts of what did not pass are written beside it.
std::string Bar(const ModuleResult& m) {
  const int total = m.passed + m.failed + m.not_graded;
  constexpr int kWidth = 120;
  constexpr int kMinimum = 4;
  constexpr int kLabel = 110;
  std::string label;
  if (m.failed > 0) label = std::to_string(m.failed) + " failed";
  if (m.not_graded > 0) label += (label.empty() ? "" : ", ") + std::to_string(m.not_graded) + " not graded";
  std::string svg = "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + std::to_string(kWidth + kLabel) +
                    "\" height=\"14\" role=\"img\" aria-label=\"" + std::to_string(m.passed) + " passed, " +
                    std::to_string(m.failed) + " failed, " + std::to_string(m.not_graded) + " not graded\">";
  svg += "<rect width=\"" + std::to_string(kWidth) + "\" height=\"14\" fill=\"#eee\"/>";
  if (total > 0) {
    const auto share = [&](int count) {
      if (count == 0) return 0;
      return std::max(kMinimum, static_cast<int>(static_cast<int64_t>(count) * kWidth / total));
    };
    int failed = share(m.failed);
    int not_graded = share(m.not_graded);
    // The minimums come out of the passed share, which keeps at least a pixel when it is not zero.
    int passed = m.passed == 0 ? 0 : std::max(1, kWidth - failed - not_graded);
    if (m.passed == 0) {
      if (m.failed > 0 && m.not_graded > 0) {
        failed = std::max(kMinimum, static_cast<int>(static_cast<int64_t>(m.failed) * kWidth / total));
        not_graded = kWidth - failed;
      } else {
        failed = m.failed > 0 ? kWidth : 0;
        not_graded = m.not_graded > 0 ? kWidth : 0;
      }
    }
    int x = 0;
    const struct {
      int width;
      const char* colour;
    } parts[] = {{passed, "#1e7e34"}, {failed, "#b02a37"}, {not_graded, "#c69500"}};
    for (const auto& part : parts) {
      if (part.width > 0) {
        svg += "<rect x=\"" + std::to_string(x) + "\" width=\"" + std::to_string(part.width) +
               "\" height=\"14\" fill=\"" + part.colour + "\"/>";
      }
      x += part.width;
    }
  }
  if (!label.empty()) {
    svg += "<text x=\"" + std::to_string(kWidth + 4) + "\" y=\"11\" font-size=\"11\" fill=\"#b02a37\">" + label +
           "</text>";
  }
  return svg + "</svg>";
}

std::string RuleErrTable(const std::string& report) {
  const RuleErrReading reading = ReadRuleErrs(report);
  if (!reading.parses) {
    return "<p class=\"problem\">The component's report is not well-formed XML (" + E(reading.problem) +
           "):</p><pre" + Lang(report) + ">" + E(report) + "</pre>";
  }
  if (reading.entries.empty()) return std::string();
  static const char* const kChildren[] = {"Rule", "RuleErrInfo", "Operation", "NeedSet", "UserSet", "Runtime", "Format"};
  std::string out = "<table class=\"rule-errs\"><tr>";
  for (const char* child : kChildren) out += std::string("<th>") + child + "</th>";
  out += "</tr>";
  for (const RuleErrFields& entry : reading.entries) {
    out += "<tr>";
    for (const char* child : kChildren) {
      std::string value;
      for (const auto& [name, text] : entry) {
        if (name == child) {
          value = text;
          break;
        }
      }
      out += "<td" + Lang(value) + ">" + E(value) + "</td>";
    }
    out += "</tr>";
  }
  return out + "</table>";
}

std::string Bank(const std::string& label, const std::string& path) {
  if (path.empty()) return std::string();
  const std::string sha = FileSha256(path);
  return "<tr><th>" + label + "</th><td><code>" + E(path) + "</code><br>SHA-256: <code>" +
         (sha.empty() ? std::string("(cannot be read)") : sha) + "</code></td></tr>";
}

}  // namespace

std::string HtmlFailureRow(const RecordResult& r, int64_t number) {
  const std::string reason = OneLineReason(r);
  return "<tr><td>" + std::to_string(number) + "</td><td" + Lang(r.module) + ">" +
         E(r.typical_document ? std::string("typical document") : r.module) + "</td><td><a href=\"#record-" +
         std::to_string(number) + "\">" + E(r.typical_document ? std::string("-") : r.rec_no) +
         (r.draw > 0 ? " (draw " + std::to_string(r.draw) + ")" : "") + "</a></td><td class=\"outcome\">" +
         OutcomeWords(r.outcome) + "</td><td" + Lang(reason) + ">" + E(reason) + "</td></tr>\n";
}

std::string HtmlGroupHeading(const RecordResult& first) {
  const std::string group = first.typical_document ? std::string("Typical document") : "Module " + first.module;
  return "<h3" + Lang(group) + ">" + E(group) + "</h3>\n";
}

std::string HtmlPassedItem(const RecordResult& r, int64_t number) {
  const std::string line = FirstLine(r.text);
  std::string item = "<li id=\"record-" + std::to_string(number) + "\"" + Lang(r.rec_no + line) + ">" +
                     E(r.typical_document ? std::string("-") : r.rec_no) +
                     (r.draw > 0 ? " #" + std::to_string(r.draw) : "") + " " + Number(r.score, "%g") +
                     (line.empty() ? "" : " " + E(line));
  for (const std::string& warning : r.warnings) item += " <span class=\"warning\">" + E(warning) + "</span>";
  return item + "</li>\n";
}

std::string HtmlRecordArticle(const RecordResult& r, int64_t number) {
  std::string html = "<article class=\"record " + std::string(OutcomeName(r.outcome)) + "\" id=\"record-" +
                     std::to_string(number) + "\">\n<h4" + Lang(r.module) + ">" + E(ItemName(r)) +
                     (r.draw > 0 ? " (draw " + std::to_string(r.draw) + ")" : "") + ": <span class=\"outcome\">" +
                     OutcomeWords(r.outcome) + "</span>";
  if (r.outcome == RecordOutcome::kFailed) html += ", score " + Number(r.score, "%g");
  html += " <small>(" + Number(r.seconds, "%.3f") + " s)</small></h4>\n";
  if (!r.reason.empty()) html += "<p class=\"reason\"" + Lang(r.reason) + ">" + E(r.reason) + "</p>\n";
  for (const std::string& warning : r.warnings) html += "<p class=\"warning\">" + E(warning) + "</p>\n";
  if (!r.text.empty()) html += "<pre class=\"text\"" + Lang(r.text) + ">" + E(r.text) + "</pre>\n";
  html += RuleErrTable(r.xml);
  return html + "</article>\n";
}

std::string HtmlPassedFoldStart(int64_t count) {
  return "<details class=\"passed\"><summary>" + Count(count, "record passed", "records passed") +
         " (record, draw, score)</summary>\n<ol class=\"passed\">\n";
}

void WriteHtmlReport(CheckRun& run, const std::string& version, std::ostream& out) {
  const RecordCounts counts = run.records.Counts();
  const std::string verdict = run.dry_run        ? std::string("Dry run")
                              : run.verdict      ? std::string("Passed")
                              : run.reason.empty() ? std::string("Not passed")
                                                   : "Not passed: " + run.reason;
  std::string html = "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
                     "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
                     "<title>vardenix check: " + verdict + "</title>\n<style>" + kStyle + "</style>\n</head>\n<body>\n";
  html += "<header id=\"verdict\" class=\"verdict " + std::string(run.verdict && !run.dry_run ? "passed" : "failed") +
          "\">\n<h1>" + verdict + "</h1>\n<p id=\"counts\">" + Count(counts.graded, "record graded", "records graded") + " (" +
          std::to_string(counts.passed) + " passed, " + std::to_string(counts.not_passed) + " not passed), " +
          std::to_string(counts.not_graded) + " not graded" + (counts.graded == 0 ? " &#8212; nothing was graded" : "") +
          ". Took " + Number(run.elapsed_seconds, "%.2f") + " s.</p>\n</header>\n";

  // Every record that did not pass, first: in a sweep of thousands they are what a reader came for.
  if (run.records.HasFailureRows()) {
    out << html << "<section id=\"failures\">\n<h2>Not passed or not graded</h2>\n<table>\n<tr><th>#</th><th>Module</th>"
                   "<th>Record</th><th>Outcome</th><th>Reason</th></tr>\n";
    html.clear();
    run.records.WriteFailureRows(out);
    html += "</table>\n</section>\n";
  }

  html += "<section id=\"replay\">\n<h2>Replay</h2>\n";
  if (run.mode == "sample") {
    html += "<p>Seed: <code id=\"seed\">" + std::to_string(run.seed) + "</code></p>\n";
  } else {
    html += "<p id=\"seed\">No seed: " +
            std::string(run.mode == "all" ? "--all grades every question once, in bank order"
                                          : "--rerun grades the listed records once each") +
            ".</p>\n";
  }
  html += "<pre id=\"replay-command\"" + Lang(run.replay) + ">" + E(run.replay) + "</pre>\n";
  if (counts.not_passed + counts.not_graded > 0 && !run.dry_run) {
    html += "<p>To grade again only the records that did not pass: save this run's result with <code>--json &gt; "
            "results.json</code> (the command above with <code>--json</code>), then</p>\n<pre id=\"rerun-command\">"
            "vardenix check --rerun results.json</pre>\n";
  }
  html += "</section>\n";

  html += "<section id=\"environment\">\n<h2>Environment</h2>\n<table>\n<tr><th>ProgID</th><td><code>" +
          E(run.ping_name) + "</code></td></tr>\n";
  if (!run.component_source.empty()) {
    html += "<tr><th>Component</th><td><code id=\"component\">" + E(run.component_source) + "</code></td></tr>\n";
  }
  html += Bank("Total bank", run.total_path) + Bank("Subject bank", run.subject_path);
  if (!run.subject_code.empty()) {
    html += "<tr><th>Subject code</th><td><code" + Lang(run.subject_code) + ">" + E(run.subject_code) +
            "</code></td></tr>\n";
    html += "<tr><th>Selection</th><td>" +
            E(run.mode == "all"     ? std::string("every question once (--all)")
              : run.mode == "rerun" ? std::string("the records an earlier run did not pass (--rerun)")
                                    : "rate " + run.rate + ": floor(rate \xC3\x97 questions) + 1 draws per module") +
            "</td></tr>\n";
  }
  if (!run.ping_path.empty()) html += "<tr><th>Working folder</th><td><code>" + E(run.ping_path) + "</code></td></tr>\n";
  html += "<tr><th>Vardenix</th><td>" + E(version) + "</td></tr>\n</table>\n</section>\n";

  if (!run.modules.empty()) {
    html += "<section id=\"modules\">\n<h2>Modules</h2>\n<table>\n<tr><th>Module</th><th>Questions</th><th>Draws</th>"
            "<th>Passed</th><th>Failed</th><th>Not graded</th><th></th></tr>\n";
    for (const ModuleResult& m : run.modules) {
      html += "<tr><td" + Lang(m.name) + ">" + E(m.name) + "</td><td>" + std::to_string(m.questions) + "</td><td>" +
              std::to_string(m.samples) + "</td><td>" + std::to_string(m.passed) + "</td><td>" +
              std::to_string(m.failed) + "</td><td>" + std::to_string(m.not_graded) + "</td><td>" + Bar(m) +
              "</td></tr>\n";
    }
    html += "</table>\n</section>\n";
  }

  // Records in draw order, grouped by module: what did not pass in full; what passed folded, one
  // short line each (a few dozen bytes, so that a sweep of thousands stays a light page).
  html += "<section id=\"records\">\n<h2>Records</h2>\n";
  if (counts.records == 0) html += "<p>No record was checked.</p>\n";
  out << html;
  html.clear();
  run.records.WriteHtmlRecords(out);
  html += "</section>\n";

  if (!run.err_msg.empty()) {
    html += "<section id=\"error-text\">\n<h2>Error text</h2>\n";
    // The check's own report, as it is; a long one (a line per failed record) folded.
    const size_t lines = static_cast<size_t>(std::count(run.err_msg.begin(), run.err_msg.end(), '\n'));
    const std::string pre = "<pre" + Lang(run.err_msg) + ">" + E(run.err_msg) + "</pre>\n";
    html += lines > 20 ? "<details><summary>" + Count(static_cast<int64_t>(lines), "line", "lines") + "</summary>\n" +
                             pre + "</details>\n"
                       : pre;
    html += "</section>\n";
  }
  html += "</body>\n</html>\n";
  out << html;
}

}  // namespace vardenix::cli
