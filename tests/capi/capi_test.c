/* The C API driven from C: every function, its error paths, and checks that pass and fail.
 *
 *     capi_test SETUP_DIR FILECHECK_MODULE HOSTILE_MODULE COMPONENT_HOST WORK_DIR
 *
 * SETUP_DIR is what tests/capi/make_setup.py makes. Each test case is a function; a failed
 * expectation prints the case, the line and the last error, and the program exits 1 at the end. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include "vardenix/vardenix.h"

static int failures = 0;
static const char* current_case = "";

#define EXPECT(cond)                                                                                \
  do {                                                                                              \
    if (!(cond)) {                                                                                  \
      fprintf(stderr, "FAILED %s line %d: %s (last error: \"%s\")\n", current_case, __LINE__, #cond, \
              vx_last_error());                                                                     \
      ++failures;                                                                                   \
    }                                                                                               \
  } while (0)

#define EXPECT_STATUS(call, expected) EXPECT((call) == (expected))

static const char* setup_dir;
static const char* filecheck_module;
static const char* hostile_module;
static const char* component_host;
static const char* work_root;

static char* Join(const char* folder, const char* name) {
  char* out = malloc(strlen(folder) + strlen(name) + 2);
  sprintf(out, "%s/%s", folder, name);
  return out;
}

/* A new empty working folder under WORK_DIR. */
static char* WorkFolder(const char* name) {
  char* path = Join(work_root, name);
  char command[4096];
  snprintf(command, sizeof command, "rm -rf '%s' && mkdir -p '%s'", path, path);
  if (system(command) != 0) {
    fprintf(stderr, "cannot make %s\n", path);
    exit(2);
  }
  return path;
}

static unsigned char* ReadFile(const char* path, size_t* len) {
  FILE* f = fopen(path, "rb");
  unsigned char* bytes;
  long size;
  if (f == NULL) {
    fprintf(stderr, "cannot read %s\n", path);
    exit(2);
  }
  fseek(f, 0, SEEK_END);
  size = ftell(f);
  fseek(f, 0, SEEK_SET);
  bytes = malloc((size_t)size + 1);
  *len = fread(bytes, 1, (size_t)size, f);
  bytes[*len] = 0;
  fclose(f);
  return bytes;
}

static int Contains(const char* text, const char* part) { return text != NULL && strstr(text, part) != NULL; }

/* An object with the sample component loaded and a fresh working folder. */
static vx_chk* MadeCheck(const char* folder_name) {
  vx_chk* chk = NULL;
  char* folder = WorkFolder(folder_name);
  EXPECT_STATUS(vx_chk_create(&chk), VX_STATUS_OK);
  EXPECT_STATUS(vx_chk_load_module(chk, filecheck_module), VX_STATUS_OK);
  EXPECT_STATUS(vx_chk_set_ping_name(chk, "Vardenix.FileCheck"), VX_STATUS_OK);
  EXPECT_STATUS(vx_chk_set_ping_path(chk, folder), VX_STATUS_OK);
  free(folder);
  return chk;
}

/* What the observer was told. */
typedef struct Seen {
  vx_chk* chk;
  int modules_count;
  int module_calls;
  int samples;
  int failed_samples;
  int extraction_failures;
  int records;
  int typical_records;
  int outcomes[5];
  char failed_rec_no[64];
  char last_reason[1024];
  vx_status call_from_observer;
} Seen;

static void OnModules(void* context, int32_t count) { ((Seen*)context)->modules_count = count; }
static void OnModule(void* context, int32_t index, const char* name, int32_t questions, int32_t samples) {
  Seen* seen = context;
  (void)index;
  (void)name;
  (void)questions;
  (void)samples;
  ++seen->module_calls;
}
static void OnSample(void* context, const char* module, const char* rec_no, int32_t passed) {
  Seen* seen = context;
  (void)module;
  (void)rec_no;
  ++seen->samples;
  if (!passed) ++seen->failed_samples;
}
static void OnExtractionFailed(void* context, const char* archive_path, const char* reason) {
  (void)archive_path;
  (void)reason;
  ++((Seen*)context)->extraction_failures;
}
static void OnRecord(void* context, const vx_record* record) {
  Seen* seen = context;
  ++seen->records;
  if (record->size < sizeof(vx_record)) return;
  if (record->typical_document) ++seen->typical_records;
  if (record->outcome >= 0 && record->outcome < 5) ++seen->outcomes[record->outcome];
  if (record->outcome == VX_OUTCOME_FAILED) snprintf(seen->failed_rec_no, sizeof seen->failed_rec_no, "%s", record->rec_no);
  snprintf(seen->last_reason, sizeof seen->last_reason, "%s", record->reason);
  /* Calling back into the object that is checking is refused, not run. */
  if (seen->chk != NULL) seen->call_from_observer = vx_chk_set_ping_name(seen->chk, "Other.Name");
}

static vx_observer ObserverOf(Seen* seen) {
  vx_observer observer;
  memset(&observer, 0, sizeof observer);
  observer.size = sizeof observer;
  observer.context = seen;
  observer.on_modules = OnModules;
  observer.on_module = OnModule;
  observer.on_sample = OnSample;
  observer.on_extraction_failed = OnExtractionFailed;
  observer.on_record = OnRecord;
  return observer;
}

static void NullObjectIsRefusedByEveryFunction(void) {
  char* text = (char*)"untouched";
  int32_t passed = 7;
  uint64_t seed = 0;
  vx_ping_args args = VX_PING_ARGS_INIT;
  vx_selection selection = VX_SELECTION_INIT;
  vx_isolation_settings isolation = VX_ISOLATION_SETTINGS_INIT;
  current_case = "NullObjectIsRefusedByEveryFunction";
  EXPECT_STATUS(vx_chk_create(NULL), VX_STATUS_INVALID_ARGUMENT);
  EXPECT(vx_last_error()[0] != '\0');
  EXPECT_STATUS(vx_chk_set_ping_name(NULL, "x"), VX_STATUS_INVALID_ARGUMENT);
  EXPECT(Contains(vx_last_error(), "vx_chk_set_ping_name"));
  EXPECT_STATUS(vx_chk_get_ping_name(NULL, &text), VX_STATUS_INVALID_ARGUMENT);
  EXPECT(text == NULL); /* an answer pointer is cleared, even when the call fails */
  EXPECT_STATUS(vx_chk_set_ping_path(NULL, "x"), VX_STATUS_INVALID_ARGUMENT);
  EXPECT_STATUS(vx_chk_get_ping_path(NULL, &text), VX_STATUS_INVALID_ARGUMENT);
  EXPECT_STATUS(vx_chk_result_chk(NULL, NULL, 0, "", &passed, NULL, NULL), VX_STATUS_INVALID_ARGUMENT);
  EXPECT_STATUS(vx_chk_ping_envi_chk(NULL, &args, &passed, NULL, NULL), VX_STATUS_INVALID_ARGUMENT);
  EXPECT_STATUS(vx_chk_set_selection(NULL, &selection), VX_STATUS_INVALID_ARGUMENT);
  EXPECT_STATUS(vx_chk_set_seed(NULL, 1), VX_STATUS_INVALID_ARGUMENT);
  EXPECT_STATUS(vx_chk_get_seed(NULL, &seed), VX_STATUS_INVALID_ARGUMENT);
  EXPECT_STATUS(vx_chk_set_observer(NULL, NULL), VX_STATUS_INVALID_ARGUMENT);
  EXPECT_STATUS(vx_chk_set_registry_folder(NULL, ""), VX_STATUS_INVALID_ARGUMENT);
  EXPECT_STATUS(vx_chk_load_module(NULL, filecheck_module), VX_STATUS_INVALID_ARGUMENT);
  EXPECT_STATUS(vx_chk_set_isolation(NULL, &isolation), VX_STATUS_INVALID_ARGUMENT);
  vx_chk_destroy(NULL);
  vx_free(NULL);
  /* A success clears the last error. */
  EXPECT(strlen(vx_version()) > 0);
  {
    vx_chk* chk = NULL;
    EXPECT_STATUS(vx_chk_create(&chk), VX_STATUS_OK);
    EXPECT(vx_last_error()[0] == '\0');
    vx_chk_destroy(chk);
  }
}

static void PropertiesAreStoredUnchanged(void) {
  vx_chk* chk = NULL;
  char* text = NULL;
  uint64_t seed = 0;
  current_case = "PropertiesAreStoredUnchanged";
  EXPECT_STATUS(vx_chk_create(&chk), VX_STATUS_OK);
  EXPECT_STATUS(vx_chk_get_ping_name(chk, &text), VX_STATUS_OK);
  EXPECT(text != NULL && strcmp(text, "") == 0);
  vx_free(text);
  EXPECT_STATUS(vx_chk_set_ping_name(chk, "Acme.评分"), VX_STATUS_OK);
  EXPECT_STATUS(vx_chk_get_ping_name(chk, &text), VX_STATUS_OK);
  EXPECT(text != NULL && strcmp(text, "Acme.评分") == 0);
  vx_free(text);
  EXPECT_STATUS(vx_chk_set_ping_path(chk, "/srv/考试/ "), VX_STATUS_OK);
  EXPECT_STATUS(vx_chk_get_ping_path(chk, &text), VX_STATUS_OK);
  EXPECT(text != NULL && strcmp(text, "/srv/考试/ ") == 0);
  vx_free(text);
  EXPECT_STATUS(vx_chk_set_ping_path(chk, NULL), VX_STATUS_OK);
  EXPECT_STATUS(vx_chk_get_ping_path(chk, &text), VX_STATUS_OK);
  EXPECT(text != NULL && strcmp(text, "") == 0);
  vx_free(text);
  EXPECT_STATUS(vx_chk_get_ping_name(chk, NULL), VX_STATUS_INVALID_ARGUMENT);
  EXPECT_STATUS(vx_chk_get_ping_path(chk, NULL), VX_STATUS_INVALID_ARGUMENT);
  EXPECT_STATUS(vx_chk_set_seed(chk, 18446744073709551615ull), VX_STATUS_OK);
  EXPECT_STATUS(vx_chk_get_seed(chk, &seed), VX_STATUS_OK);
  EXPECT(seed == 18446744073709551615ull);
  EXPECT_STATUS(vx_chk_get_seed(chk, NULL), VX_STATUS_INVALID_ARGUMENT);
  vx_chk_destroy(chk);
}

static void TypicalDocumentPassesAndFails(void) {
  size_t len = 0;
  char* path = Join(setup_dir, "typical.zip");
  unsigned char* archive = ReadFile(path, &len);
  vx_chk* chk = MadeCheck("typical");
  int32_t passed = 7;
  char* text = NULL;
  char* xml = NULL;
  current_case = "TypicalDocumentPassesAndFails";
  EXPECT_STATUS(vx_chk_result_chk(chk, archive, len, "1 exists 考生/报告.txt", &passed, &text, &xml), VX_STATUS_OK);
  EXPECT(passed == 1);
  EXPECT(text != NULL && text[0] == '\0');
  vx_free(text);
  vx_free(xml);

  EXPECT_STATUS(vx_chk_result_chk(chk, archive, len, "1 exists 考生/缺少.txt", &passed, &text, &xml), VX_STATUS_OK);
  EXPECT(passed == 0);
  EXPECT(Contains(text, "考生/缺少.txt"));
  EXPECT(Contains(xml, "RuleErr"));
  vx_free(text);
  vx_free(xml);
  /* The reports are optional. */
  EXPECT_STATUS(vx_chk_result_chk(chk, archive, len, "1 exists 考生/报告.txt", &passed, NULL, NULL), VX_STATUS_OK);
  EXPECT(passed == 1);

  /* PingEnviChk with its defaults, the typical document alone. */
  {
    vx_ping_args args = VX_PING_ARGS_INIT;
    args.options = VX_CHK_RESULT_DOC;
    args.archive = archive;
    args.archive_len = len;
    args.rule = "1 exists 考生/报告.txt";
    EXPECT(args.contract_code == -1 && args.rate > 0.09f && args.rate < 0.11f);
    EXPECT_STATUS(vx_chk_ping_envi_chk(chk, &args, &passed, &text, &xml), VX_STATUS_OK);
    EXPECT(passed == 1);
    vx_free(text);
    vx_free(xml);
    /* An archive that is not a zip is refused by the archive control: a verdict, not an error. */
    args.archive = (const uint8_t*)"not a zip";
    args.archive_len = 9;
    EXPECT_STATUS(vx_chk_ping_envi_chk(chk, &args, &passed, &text, &xml), VX_STATUS_OK);
    EXPECT(passed == 0);
    vx_free(text);
    vx_free(xml);
  }

  /* Bad arguments. */
  {
    vx_ping_args args = VX_PING_ARGS_INIT;
    text = (char*)"untouched";
    EXPECT_STATUS(vx_chk_result_chk(chk, NULL, 5, "", &passed, &text, NULL), VX_STATUS_INVALID_ARGUMENT);
    EXPECT(text == NULL);
    EXPECT_STATUS(vx_chk_result_chk(chk, archive, len, "", NULL, NULL, NULL), VX_STATUS_INVALID_ARGUMENT);
    EXPECT_STATUS(vx_chk_ping_envi_chk(chk, NULL, &passed, NULL, NULL), VX_STATUS_INVALID_ARGUMENT);
    EXPECT_STATUS(vx_chk_ping_envi_chk(chk, &args, NULL, NULL, NULL), VX_STATUS_INVALID_ARGUMENT);
    args.size = 8;
    EXPECT_STATUS(vx_chk_ping_envi_chk(chk, &args, &passed, NULL, NULL), VX_STATUS_INVALID_ARGUMENT);
    EXPECT(Contains(vx_last_error(), "VX_PING_ARGS_INIT"));
    args.size = sizeof args;
    args.archive = NULL;
    args.archive_len = 3;
    EXPECT_STATUS(vx_chk_ping_envi_chk(chk, &args, &passed, NULL, NULL), VX_STATUS_INVALID_ARGUMENT);
  }
  vx_chk_destroy(chk);
  free(archive);
  free(path);
}

static void SubjectCheckTellsEveryRecord(void) {
  char* total = Join(setup_dir, "total.db");
  char* subject = Join(setup_dir, "subject.db");
  vx_chk* chk = MadeCheck("subject");
  vx_ping_args args = VX_PING_ARGS_INIT;
  vx_selection every = VX_SELECTION_INIT;
  Seen seen;
  vx_observer observer;
  int32_t passed = 7;
  char* text = NULL;
  char* xml = NULL;
  current_case = "SubjectCheckTellsEveryRecord";
  memset(&seen, 0, sizeof seen);
  seen.chk = chk;
  seen.call_from_observer = VX_STATUS_OK;
  observer = ObserverOf(&seen);
  EXPECT_STATUS(vx_chk_set_observer(chk, &observer), VX_STATUS_OK);
  every.kind = VX_SELECT_EVERY_QUESTION;
  EXPECT_STATUS(vx_chk_set_selection(chk, &every), VX_STATUS_OK);
  args.options = VX_CHK_SUBJECT;
  args.total_path = total;
  args.subject_path = subject;
  args.subject_code = "JSJ01";
  EXPECT_STATUS(vx_chk_ping_envi_chk(chk, &args, &passed, &text, &xml), VX_STATUS_OK);
  EXPECT(passed == 0);
  EXPECT(Contains(text, "考生/目录.txt"));
  EXPECT(seen.modules_count == 2 && seen.module_calls == 2);
  EXPECT(seen.records == 5 && seen.typical_records == 0);
  EXPECT(seen.outcomes[VX_OUTCOME_PASSED] == 4 && seen.outcomes[VX_OUTCOME_FAILED] == 1);
  EXPECT(strcmp(seen.failed_rec_no, "DOC-03") == 0);
  EXPECT(seen.samples == 5 && seen.failed_samples == 1);
  EXPECT(seen.call_from_observer == VX_STATUS_BUSY);
  vx_free(text);
  vx_free(xml);
  {
    char* name = NULL;
    EXPECT_STATUS(vx_chk_get_ping_name(chk, &name), VX_STATUS_OK);
    EXPECT(name != NULL && strcmp(name, "Vardenix.FileCheck") == 0); /* the observer's call did not run */
    vx_free(name);
  }

  /* The records listed alone: the ones that pass pass. */
  {
    const char* modules[] = {"Word", "Excel"};
    const char* rec_nos[] = {"DOC-01", "XLS-02"};
    vx_selection listed = VX_SELECTION_INIT;
    listed.kind = VX_SELECT_LISTED;
    listed.listed_modules = modules;
    listed.listed_rec_nos = rec_nos;
    listed.listed_count = 2;
    EXPECT_STATUS(vx_chk_set_selection(chk, &listed), VX_STATUS_OK);
    memset(&seen, 0, sizeof seen);
    EXPECT_STATUS(vx_chk_ping_envi_chk(chk, &args, &passed, NULL, NULL), VX_STATUS_OK);
    EXPECT(passed == 1);
    EXPECT(seen.records == 2 && seen.outcomes[VX_OUTCOME_PASSED] == 2);
  }

  /* A dry run grades nothing and tells each draw as not graded. */
  {
    vx_selection dry = VX_SELECTION_INIT;
    dry.dry_run = 1;
    EXPECT_STATUS(vx_chk_set_selection(chk, &dry), VX_STATUS_OK);
    EXPECT_STATUS(vx_chk_set_seed(chk, 7), VX_STATUS_OK);
    memset(&seen, 0, sizeof seen);
    EXPECT_STATUS(vx_chk_ping_envi_chk(chk, &args, &passed, NULL, NULL), VX_STATUS_OK);
    EXPECT(seen.records > 0 && seen.outcomes[VX_OUTCOME_NOT_GRADED] == seen.records);
  }

  /* The random sample, replayed by its seed: the same draws twice. */
  {
    int first_failed;
    EXPECT_STATUS(vx_chk_set_selection(chk, NULL), VX_STATUS_OK);
    args.rate = 1.0f;
    EXPECT_STATUS(vx_chk_set_seed(chk, 42), VX_STATUS_OK);
    memset(&seen, 0, sizeof seen);
    EXPECT_STATUS(vx_chk_ping_envi_chk(chk, &args, &passed, NULL, NULL), VX_STATUS_OK);
    EXPECT(seen.records == 4 + 3); /* floor(1 x 3) + 1 and floor(1 x 2) + 1 */
    first_failed = seen.outcomes[VX_OUTCOME_FAILED];
    EXPECT(passed == (first_failed == 0));
    EXPECT_STATUS(vx_chk_set_seed(chk, 42), VX_STATUS_OK);
    memset(&seen, 0, sizeof seen);
    EXPECT_STATUS(vx_chk_ping_envi_chk(chk, &args, &passed, NULL, NULL), VX_STATUS_OK);
    EXPECT(seen.outcomes[VX_OUTCOME_FAILED] == first_failed);
  }

  /* A missing bank and a rate that is not a number fail the check; they are verdicts, not errors. */
  {
    vx_ping_args missing = args;
    char* nowhere = Join(setup_dir, "no-such-bank.db");
    missing.subject_path = nowhere;
    EXPECT_STATUS(vx_chk_ping_envi_chk(chk, &missing, &passed, &text, NULL), VX_STATUS_OK);
    EXPECT(passed == 0);
    EXPECT(text != NULL && text[0] != '\0');
    vx_free(text);
    missing = args;
    missing.rate = 0.0f / 0.0f;
    EXPECT_STATUS(vx_chk_ping_envi_chk(chk, &missing, &passed, NULL, NULL), VX_STATUS_OK);
    EXPECT(passed == 0);
    free(nowhere);
  }

  /* Selections that cannot be used. */
  {
    vx_selection bad = VX_SELECTION_INIT;
    bad.size = 4;
    EXPECT_STATUS(vx_chk_set_selection(chk, &bad), VX_STATUS_INVALID_ARGUMENT);
    bad.size = sizeof bad;
    bad.kind = 9;
    EXPECT_STATUS(vx_chk_set_selection(chk, &bad), VX_STATUS_INVALID_ARGUMENT);
    bad.kind = VX_SELECT_EVERY_QUESTION;
    bad.jobs = 257;
    EXPECT_STATUS(vx_chk_set_selection(chk, &bad), VX_STATUS_INVALID_ARGUMENT);
    bad.jobs = -1;
    EXPECT_STATUS(vx_chk_set_selection(chk, &bad), VX_STATUS_INVALID_ARGUMENT);
    bad.jobs = 0;
    bad.kind = VX_SELECT_LISTED;
    bad.listed_count = 1;
    EXPECT_STATUS(vx_chk_set_selection(chk, &bad), VX_STATUS_INVALID_ARGUMENT);
    {
      const char* modules[] = {"Word"};
      const char* rec_nos[] = {NULL};
      bad.listed_modules = modules;
      bad.listed_rec_nos = rec_nos;
      EXPECT_STATUS(vx_chk_set_selection(chk, &bad), VX_STATUS_INVALID_ARGUMENT);
    }
  }
  {
    vx_observer small = ObserverOf(&seen);
    small.size = 4;
    EXPECT_STATUS(vx_chk_set_observer(chk, &small), VX_STATUS_INVALID_ARGUMENT);
    EXPECT_STATUS(vx_chk_set_observer(chk, NULL), VX_STATUS_OK);
  }
  vx_chk_destroy(chk);
  free(total);
  free(subject);
}

static void ComponentsComeFromModulesOrRecords(void) {
  size_t len = 0;
  char* path = Join(setup_dir, "typical.zip");
  char* registry = Join(setup_dir, "registry");
  unsigned char* archive = ReadFile(path, &len);
  char* folder = WorkFolder("records");
  vx_chk* chk = NULL;
  int32_t passed = 7;
  char* text = NULL;
  current_case = "ComponentsComeFromModulesOrRecords";
  EXPECT_STATUS(vx_chk_create(&chk), VX_STATUS_OK);
  EXPECT_STATUS(vx_chk_set_ping_name(chk, "Vardenix.FileCheck"), VX_STATUS_OK);
  EXPECT_STATUS(vx_chk_set_ping_path(chk, folder), VX_STATUS_OK);
  /* Without a module or a record the component is not installed: a failed verdict naming it. */
  EXPECT_STATUS(vx_chk_result_chk(chk, archive, len, "1 exists 考生/报告.txt", &passed, &text, NULL), VX_STATUS_OK);
  EXPECT(passed == 0);
  vx_free(text);
  EXPECT_STATUS(vx_chk_set_registry_folder(chk, registry), VX_STATUS_OK);
  EXPECT_STATUS(vx_chk_result_chk(chk, archive, len, "1 exists 考生/报告.txt", &passed, NULL, NULL), VX_STATUS_OK);
  EXPECT(passed == 1);
  EXPECT_STATUS(vx_chk_set_registry_folder(chk, NULL), VX_STATUS_OK);
  EXPECT_STATUS(vx_chk_result_chk(chk, archive, len, "1 exists 考生/报告.txt", &passed, NULL, NULL), VX_STATUS_OK);
  EXPECT(passed == 0);

  EXPECT_STATUS(vx_chk_load_module(chk, "/nonexistent/module.so"), VX_STATUS_FAILED);
  EXPECT(Contains(vx_last_error(), "/nonexistent/module.so"));
  EXPECT_STATUS(vx_chk_load_module(chk, NULL), VX_STATUS_INVALID_ARGUMENT);
  EXPECT_STATUS(vx_chk_load_module(chk, ""), VX_STATUS_INVALID_ARGUMENT);
  vx_chk_destroy(chk);
  free(archive);
  free(path);
  free(registry);
  free(folder);
}

static void CrashOutOfProcessIsAFailedVerdict(void) {
  size_t len = 0;
  char* path = Join(setup_dir, "typical.zip");
  unsigned char* archive = ReadFile(path, &len);
  char* folder = WorkFolder("isolated");
  vx_chk* chk = NULL;
  vx_isolation_settings isolation = VX_ISOLATION_SETTINGS_INIT;
  vx_ping_args args = VX_PING_ARGS_INIT;
  Seen seen;
  vx_observer observer;
  int32_t passed = 7;
  char* text = NULL;
  current_case = "CrashOutOfProcessIsAFailedVerdict";
  memset(&seen, 0, sizeof seen);
  observer = ObserverOf(&seen);
  EXPECT_STATUS(vx_chk_create(&chk), VX_STATUS_OK);
  EXPECT_STATUS(vx_chk_set_observer(chk, &observer), VX_STATUS_OK);
  isolation.size = 4;
  EXPECT_STATUS(vx_chk_set_isolation(chk, &isolation), VX_STATUS_INVALID_ARGUMENT);
  isolation.size = sizeof isolation;
  isolation.sandbox = 1; /* without its folder */
  EXPECT_STATUS(vx_chk_set_isolation(chk, &isolation), VX_STATUS_INVALID_ARGUMENT);
  isolation.sandbox = 0;
  isolation.host_path = component_host;
  isolation.time_limit_ms = 20000;
  EXPECT_STATUS(vx_chk_set_isolation(chk, &isolation), VX_STATUS_OK);
  EXPECT_STATUS(vx_chk_load_module(chk, hostile_module), VX_STATUS_OK);
  EXPECT_STATUS(vx_chk_set_ping_name(chk, "Hostile.Segv"), VX_STATUS_OK);
  EXPECT_STATUS(vx_chk_set_ping_path(chk, folder), VX_STATUS_OK);
  args.options = VX_CHK_RESULT_DOC;
  args.archive = archive;
  args.archive_len = len;
  args.rule = "perfect";
  EXPECT_STATUS(vx_chk_ping_envi_chk(chk, &args, &passed, &text, NULL), VX_STATUS_OK);
  EXPECT(passed == 0);
  EXPECT(seen.records == 1 && seen.outcomes[VX_OUTCOME_RUN_TIME_FAILURE] == 1);
  EXPECT(Contains(seen.last_reason, "Hostile.Segv"));
  vx_free(text);
  /* The host process is replaced after the crash: a good component of the same module passes. */
  EXPECT_STATUS(vx_chk_set_ping_name(chk, "Hostile.Good"), VX_STATUS_OK);
  EXPECT_STATUS(vx_chk_ping_envi_chk(chk, &args, &passed, NULL, NULL), VX_STATUS_OK);
  EXPECT(passed == 1);
  EXPECT_STATUS(vx_chk_set_isolation(chk, NULL), VX_STATUS_OK);
  vx_chk_destroy(chk);
  free(archive);
  free(path);
  free(folder);
}

int main(int argc, char** argv) {
  if (argc != 6) {
    fprintf(stderr, "usage: capi_test SETUP_DIR FILECHECK_MODULE HOSTILE_MODULE COMPONENT_HOST WORK_DIR\n");
    return 2;
  }
  setup_dir = argv[1];
  filecheck_module = argv[2];
  hostile_module = argv[3];
  component_host = argv[4];
  work_root = argv[5];
  mkdir(work_root, 0755);
  NullObjectIsRefusedByEveryFunction();
  PropertiesAreStoredUnchanged();
  TypicalDocumentPassesAndFails();
  SubjectCheckTellsEveryRecord();
  ComponentsComeFromModulesOrRecords();
  CrashOutOfProcessIsAFailedVerdict();
  if (failures != 0) {
    fprintf(stderr, "%d expectations failed\n", failures);
    return 1;
  }
  printf("capi_test: every expectation held\n");
  return 0;
}
