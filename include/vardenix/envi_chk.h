// Vardenix: checks an examination set-up before an exam of computer-operation skills.
//
// A host creates a ClsEnviChk, sets PingName (the ProgID of the scoring component) and PingPath (the
// working folder), then calls PingEnviChk (or ResultChk alone). The answer is a verdict and two
// reports: a readable error text (CR LF lines) and a RuleErrs XML document.
//
// Threading: an object is used by one thread at a time; separate objects may run on separate
// threads, each with a working folder of its own. One working folder serves one check at a time:
// two checks (of one object or of two, in one process or in two) on the same folder share its
// archive files and what they extract, and may answer a wrong verdict. The host keeps them apart
// (the `vardenix` command holds an advisory flock on the folder for a whole check). Failures inside the checks become
// verdicts; only a failure of the entry point itself reaches the host, as vardenix::RuntimeError.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "vardenix/error.h"

namespace vardenix {

// Bits of TestOptions.
enum ChkPingConstants : int32_t {
  ChkResultDoc = 1,  // the typical-document check, ResultChk
  ChkSubject = 2,    // the subject question-bank sampling check
};

struct Platform;  // platform/platform.h: the seams a check object reaches the outside through

// What became of one graded item: the typical document or one sampled record of a question bank.
enum class RecordOutcome : int32_t {
  kPassed = 0,          // the component scored exactly the full mark
  kFailed = 1,          // scored below the full mark; `text` and `xml` hold the component's report
  kNotGraded = 2,       // there was nothing to grade; `reason` says why (no Tbl_Operation row, no
                        // answer text, no archive, or a dry run)
  kRefusedArchive = 3,  // the archive control refused the archive; `reason` is its reason
  kRunTimeFailure = 4,  // a failure struck before an answer; `reason` is its description
};

// One graded item, as the check observer is told of it.
struct RecordResult {
  bool typical_document = false;  // the host's typical document rather than a bank record
  std::string module;             // C_Module of the record; empty for the typical document
  std::string rec_no;             // C_RecNo of the record; empty for the typical document
  int32_t draw = 0;               // the draw within its module, from 1; 0 for the typical document
  RecordOutcome outcome = RecordOutcome::kNotGraded;
  float score = 0.0f;             // the component's score, when it answered (passed or failed)
  std::string reason;             // why not graded, why refused, or the failure's description
  std::string text;               // the component's error text, when it answered
  std::string xml;                // the component's error XML, when it answered
  double seconds = 0.0;           // time the item took, staging and extraction included
  // What the item added to the check's error text and error XML: empty when it passed or had
  // nothing to grade. A sweep split into shards is joined again from these.
  std::string report_text;
  std::string report_xml;
};

// How the subject check picks the records it grades. The default is the random sample; the library
// never changes it by itself.
struct SubjectSelection {
  enum class Kind {
    kSample,         // floor(rate x questions) + 1 draws per module, with replacement
    kEveryQuestion,  // every question of every module once, in bank order
    kListed,         // exactly the records in `listed`, module by module, in the order given;
                     // passes only when every one of them was graded and passed (a record not in
                     // the bank, or in a module the total bank does not list, fails it, named in
                     // the report)
  };
  Kind kind = Kind::kSample;
  std::vector<std::pair<std::string, std::string>> listed;  // (module, record number), for kListed
  // False: every draw is told to the observer as not graded ("dry run") without staging,
  // extracting or grading anything. The verdict then says only that the banks could be read and
  // the draws made; nothing was graded.
  bool grade = true;
  // Workers that grade the records of a kEveryQuestion sweep at once (1: one after another in the
  // working folder). Each worker has a working folder of its own, "vardenix-job-N" inside the check's
  // (emptied when it is there already), its own connection to the subject bank and its own archive
  // control; the records are reported in bank order, with the same texts and reports as one worker
  // gives. The random sample and listed records are always graded one after another.
  int32_t jobs = 1;
  // A share of a kEveryQuestion or kListed sweep: the draws are numbered 0, 1, ... across the modules
  // in sweep order (module by module, each in bank or listed order), and shard K of N (K from 0)
  // takes the contiguous run [floor(K x T / N), floor((K + 1) x T / N)) of the T draws. The others
  // are not told to the observer; draw numbers stay those of the whole sweep. A listed record that no
  // module reaches belongs to the last shard. The random sample is never split.
  int32_t shard_index = 0;
  int32_t shard_count = 1;
  // False: a subject check asked for alone (ChkSubject without ChkResultDoc) in which no record was
  // graded (none drawn had an answer text and an archive, or no module listed a question) does not
  // pass, and says so in one recorded entry naming the subject; a result with nothing graded is no
  // evidence. True: such a check passes, as it did before anything was graded.
  bool allow_nothing_graded = false;
};

// Optional progress and counts of a check, for hosts that show them. Callbacks run on the
// checking thread, inside the call; they must not call back into the check object.
class CheckObserver {
 public:
  virtual ~CheckObserver() = default;
  // The subject check starts on its modules (count of module rows).
  virtual void OnModules(int32_t /*count*/) {}
  // Module `index` (from 1) named `name` is sampled: `questions` rows, `samples` draws.
  virtual void OnModule(int32_t /*index*/, const std::string& /*name*/, int32_t /*questions*/,
                        int32_t /*samples*/) {}
  // A sampled record was checked. A refused archive is told first through OnExtractionFailed.
  virtual void OnSample(const std::string& /*module*/, const std::string& /*rec_no*/, bool /*passed*/) {}
  // The archive control refused an archive (typical document or record), with its reason.
  virtual void OnExtractionFailed(const std::string& /*archive_path*/, const std::string& /*reason*/) {}
  // An item was graded, or found to have nothing to grade: the typical document, and each draw of
  // the subject check (after OnSample for the same draw). Told for every draw, in draw order.
  virtual void OnRecord(const RecordResult& /*result*/) {}
};

class ClsEnviChk {
 public:
  // Uses the real system: file system, class registry, archive control, database engine.
  ClsEnviChk();
  // Uses the given seams (tests, hosts that bring their own). The bundle must not be null.
  explicit ClsEnviChk(std::shared_ptr<Platform> platform);
  ~ClsEnviChk();
  ClsEnviChk(const ClsEnviChk&) = delete;
  ClsEnviChk& operator=(const ClsEnviChk&) = delete;

  // The ProgID of the scoring component; stored and returned unchanged.
  void PingName(const std::string& vData);
  std::string PingName() const;
  // The working folder; stored and returned unchanged.
  void PingPath(const std::string& vData);
  std::string PingPath() const;

  // The typical-document check: stages byteArr as "ChkPing.ZIP" in the working folder, extracts it
  // and lets the scoring component grade it against strRule. True only on a score of exactly 100.
  // strErrMsg and strErrMsgXml receive the component's texts.
  bool ResultChk(std::vector<uint8_t>& byteArr, std::string strRule, std::string& strErrMsg,
                 std::string& strErrMsgXml);

  // Runs the checks that TestOptions requests and answers the verdict; both reports are replaced.
  bool PingEnviChk(std::string& strErrMsg, std::string& strErrMsgXml, std::vector<uint8_t>& byteArr,
                   std::string strRule, ChkPingConstants TestOptions = ChkPingConstants(3),
                   std::string strTotalPath = {}, std::string strSubjectPath = {},
                   std::string strSubjectCode = {}, int32_t lngContractCode = -1,
                   float sngChkRate = 0.1f);

  // Progress and counts; not owned, may be null. Must outlive the calls it observes.
  void SetObserver(CheckObserver* observer);
  // How later subject checks pick their records (default: the random sample).
  void SetSelection(SubjectSelection selection);

  // The entries the checks have recorded since the object was created (a bank that is missing, a
  // check's run-time failure, a listed record not graded), as text and as a RuleErrs report: the
  // part of a failed check's reports that comes after the graded items' own texts.
  std::string RecordedErrInfo() const;
  std::string RecordedErrInfoXml() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace vardenix
