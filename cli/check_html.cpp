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

constexpr const char* kStyle = R"(
body{font-family:system-ui,sans-serif;margin:0 auto;max-width:70em;padding:1em;color:#222;line-height:1.4}
h1{margin:0}.verdict{padding:1em;border-radius:6px;margin-bottom:1em}
.verdict.passed{background:#e6f4ea;border:2px solid #1e7e34}.verdict.failed{background:#fdecea;border:2px solid #b02a37}
table{border-collapse:collapse;margin:.5em 0}th,td{border:1px solid #ccc;padding:.25em .5em;text-align:left;vertical-align:top}
th{background:#f3f3f3}pre{background:#f7f7f7;padding:.5em;white-space:pre-wrap;word-break:break-all;margin:.25em 0}
.record{border-left:6px solid #ccc;padding:.25em .75em;margin:.75em 0}.record.passed{border-color:#1e7e34}
.record.failed,.record.refusedArchive,.record.runTimeFailure{border-color:#b02a37}.record.notGraded{border-color:#c69500}
.outcome{font-weight:bold}code{word-break:break-all}
)";

std::string Bar(const ModuleResult& m) {
  const int total = m.passed + m.failed + m.not_graded;
  constexpr int kWidth = 120;
  std::string svg = "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + std::to_string(kWidth) +
                    "\" height=\"12\" role=\"img\" aria-label=\"" + std::to_string(m.passed) + " passed, " +
                    std::to_string(m.failed) + " failed, " + std::to_string(m.not_graded) + " not graded\">";
  svg += "<rect width=\"" + std::to_string(kWidth) + "\" height=\"12\" fill=\"#eee\"/>";
  if (total > 0) {
    int x = 0;
    const struct {
      int count;
      const char* colour;
    } parts[] = {{m.passed, "#1e7e34"}, {m.failed, "#b02a37"}, {m.not_graded, "#c69500"}};
    for (const auto& part : parts) {
      const int width = part.count * kWidth / total;
      if (part.count > 0) {
        svg += "<rect x=\"" + std::to_string(x) + "\" width=\"" + std::to_string(width) + "\" height=\"12\" fill=\"" +
               part.colour + "\"/>";
      }
      x += width;
    }
  }
  return svg + "</svg>";
}

std::string RuleErrTable(const std::string& report) {
  const RuleErrReading reading = ReadRuleErrs(report);
  if (!reading.parses) {
    return "<p class=\"problem\">The component's report is not well-formed XML (" + E(reading.problem) +
           "):</p><pre>" + E(report) + "</pre>";
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
      out += "<td>" + E(value) + "</td>";
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

std::string HtmlReport(const CheckRun& run, const std::string& version) {
  const RecordCounts counts = CountRecords(run.records);
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

  html += "<section id=\"replay\">\n<h2>Replay</h2>\n<p>Seed: <code id=\"seed\">" + std::to_string(run.seed) +
          "</code></p>\n<pre id=\"replay-command\">" + E(run.replay) + "</pre>\n</section>\n";

  html += "<section id=\"environment\">\n<h2>Environment</h2>\n<table>\n<tr><th>ProgID</th><td><code>" +
          E(run.ping_name) + "</code></td></tr>\n";
  if (!run.component_source.empty()) {
    html += "<tr><th>Component</th><td><code id=\"component\">" + E(run.component_source) + "</code></td></tr>\n";
  }
  html += Bank("Total bank", run.total_path) + Bank("Subject bank", run.subject_path);
  if (!run.subject_code.empty()) {
    html += "<tr><th>Subject code</th><td><code>" + E(run.subject_code) + "</code></td></tr>\n";
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
      html += "<tr><td>" + E(m.name) + "</td><td>" + std::to_string(m.questions) + "</td><td>" +
              std::to_string(m.samples) + "</td><td>" + std::to_string(m.passed) + "</td><td>" +
              std::to_string(m.failed) + "</td><td>" + std::to_string(m.not_graded) + "</td><td>" + Bar(m) +
              "</td></tr>\n";
    }
    html += "</table>\n</section>\n";
  }

  html += "<section id=\"records\">\n<h2>Records</h2>\n";
  if (run.records.empty()) html += "<p>No record was checked.</p>\n";
  for (size_t i = 0; i < run.records.size(); ++i) {
    const RecordResult& r = run.records[i];
    html += "<article class=\"record " + std::string(OutcomeName(r.outcome)) + "\" id=\"record-" + std::to_string(i + 1) +
            "\">\n<h3>" + E(ItemName(r)) + (r.draw > 0 ? " (draw " + std::to_string(r.draw) + ")" : "") +
            ": <span class=\"outcome\">" + OutcomeWords(r.outcome) + "</span>";
    if (r.outcome == RecordOutcome::kPassed || r.outcome == RecordOutcome::kFailed) {
      html += ", score " + Number(r.score, "%g");
    }
    html += " <small>(" + Number(r.seconds, "%.3f") + " s)</small></h3>\n";
    if (r.outcome != RecordOutcome::kPassed && !r.reason.empty()) html += "<p class=\"reason\">" + E(r.reason) + "</p>\n";
    for (const std::string& warning : r.warnings) html += "<p class=\"warning\">" + E(warning) + "</p>\n";
    if (!r.text.empty()) html += "<pre class=\"text\">" + E(r.text) + "</pre>\n";
    html += RuleErrTable(r.xml);
    html += "</article>\n";
  }
  html += "</section>\n";

  if (!run.err_msg.empty()) {
    html += "<section id=\"error-text\">\n<h2>Error text</h2>\n<pre>" + E(run.err_msg) + "</pre>\n</section>\n";
  }
  html += "</body>\n</html>\n";
  return html;
}

}  // namespace vardenix::cli
