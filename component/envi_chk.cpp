// The check object and its entry point.
#include "vardenix/envi_chk.h"

#include "checks/check_context.h"
#include "checks/result_check.h"
#include "checks/subject_check.h"
#include "platform/platform.h"
#include "report/mod_xml_rw.h"

namespace vardenix {

struct ClsEnviChk::Impl {
  explicit Impl(std::shared_ptr<Platform> p) : platform(std::move(p)) {
    if (!platform) throw RuntimeError("a check object needs a platform bundle");
  }

  CheckContext Context() {
    return CheckContext{*platform, mstrPingPath, mstrPingName,
                        ErrorAccumulators{mstrErrInfo, mstrErrInfoXml, *platform->xml}, observer, &selection};
  }

  // Adds a failed check's working strings, then every entry recorded so far, to the reports.
  void AddFailedCheckReports(std::string& err_msg, std::string& err_msg_xml,
                             const std::string& work_text, const std::string& work_xml) {
    XmlDom& dom = *platform->xml;
    err_msg += work_text;
    err_msg_xml = MergeXml(err_msg_xml, work_xml, dom);
    err_msg += mstrErrInfo;
    err_msg_xml = MergeXml(err_msg_xml, mstrErrInfoXml, dom);
  }

  std::shared_ptr<Platform> platform;
  CheckObserver* observer = nullptr;
  SubjectSelection selection;

  // The object's state. The two accumulators are never cleared: they hold every entry recorded
  // since the object was created.
  std::string mstrPingPath;
  std::string mstrPingName;
  std::string mstrErrInfo;
  std::string mstrErrInfoXml;
};

ClsEnviChk::ClsEnviChk() : ClsEnviChk(std::make_shared<Platform>()) {}

ClsEnviChk::ClsEnviChk(std::shared_ptr<Platform> platform)
    : impl_(std::make_unique<Impl>(std::move(platform))) {}

ClsEnviChk::~ClsEnviChk() = default;

void ClsEnviChk::PingName(const std::string& vData) { impl_->mstrPingName = vData; }
std::string ClsEnviChk::PingName() const { return impl_->mstrPingName; }
void ClsEnviChk::PingPath(const std::string& vData) { impl_->mstrPingPath = vData; }
std::string ClsEnviChk::PingPath() const { return impl_->mstrPingPath; }
void ClsEnviChk::SetObserver(CheckObserver* observer) { impl_->observer = observer; }
void ClsEnviChk::SetSelection(SubjectSelection selection) { impl_->selection = std::move(selection); }
std::string ClsEnviChk::RecordedErrInfo() const { return impl_->mstrErrInfo; }
std::string ClsEnviChk::RecordedErrInfoXml() const { return impl_->mstrErrInfoXml; }

bool ClsEnviChk::ResultChk(std::vector<uint8_t>& byteArr, std::string strRule,
                           std::string& strErrMsg, std::string& strErrMsgXml) {
  CheckContext ctx = impl_->Context();
  return vardenix::ResultChk(ctx, byteArr, strRule, strErrMsg, strErrMsgXml);
}

bool ClsEnviChk::PingEnviChk(std::string& strErrMsg, std::string& strErrMsgXml,
                             std::vector<uint8_t>& byteArr, std::string strRule,
                             ChkPingConstants TestOptions, std::string strTotalPath,
                             std::string strSubjectPath, std::string strSubjectCode,
                             int32_t lngContractCode, float sngChkRate) {
  // The checks trap their own failures; anything that still escapes is the entry point's failure
  // and reaches the host as the library's exception, with the reports as they stood.
  try {
    std::string work_text;
    std::string work_xml;
    strErrMsg.clear();
    bool verdict = false;
    strErrMsgXml.clear();

    if ((TestOptions & ChkResultDoc) == ChkResultDoc) {
      verdict = ResultChk(byteArr, strRule, work_text, work_xml);
      if (!verdict) {
        impl_->AddFailedCheckReports(strErrMsg, strErrMsgXml, work_text, work_xml);
        return false;
      }
    }
    if ((TestOptions & ChkSubject) == ChkSubject) {
      CheckContext ctx = impl_->Context();
      SubjectTally tally;
      bool passed = SubjectMdbChk(ctx, work_text, work_xml, strTotalPath, strSubjectPath, strSubjectCode,
                                  lngContractCode, sngChkRate, &tally);
      // A subject check asked for alone that graded nothing has shown nothing; with the typical
      // document, that document was graded.
      const SubjectSelection& selection = impl_->selection;
      if (passed && (TestOptions & ChkResultDoc) != ChkResultDoc && tally.graded == 0 && selection.grade &&
          !selection.allow_nothing_graded) {
        AddErrInfo(ctx.recorder, kSubjectBankCheck, NothingGradedLine(strSubjectCode, tally.drawn), "", "", "", "",
                   "");
        passed = false;
      }
      if (!passed) {
        impl_->AddFailedCheckReports(strErrMsg, strErrMsgXml, work_text, work_xml);
        return false;
      }
      // Every requested check passed (the typical document too, when it was requested).
      verdict = true;
    }
    return verdict;
  } catch (const RuntimeError&) {
    throw;
  } catch (const std::exception& e) {
    throw RuntimeError(e.what());
  }
}

}  // namespace vardenix
