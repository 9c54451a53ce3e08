/* Vardenix for hosts in any language: the check object as a C API, in libvardenix.so.
 *
 * A host creates a check object (vx_chk_create), sets its ProgID (the scoring component) and its
 * working folder, then runs vx_chk_ping_envi_chk (or vx_chk_result_chk alone). The answer is a
 * verdict and two reports: a readable error text (CR LF lines) and a RuleErrs XML document. These
 * functions are the C++ check object of vardenix/envi_chk.h (vardenix::ClsEnviChk), one to one,
 * with a stable ABI: the library is built with its own C++ runtime inside, so a host built with
 * any compiler, or none (Python's ctypes), can use it.
 *
 * Rules that hold for every function:
 *   - Nothing throws and nothing aborts. Each function answers a status (vx_status); on a status
 *     other than VX_STATUS_OK, vx_last_error() says why. A failed check is no error: it is the
 *     verdict 0 with its reports, and the status is VX_STATUS_OK.
 *   - Handles are opaque. Structures that may grow start with their size, set by the caller to
 *     sizeof the structure it was built with (the VX_..._INIT macros do); later versions add fields
 *     only at the end, and a structure smaller than the first version's is refused.
 *   - Text is UTF-8 and NUL-terminated, both ways. Text the host passes is the host's and is
 *     copied during the call. Text the library answers through a `char**` is the caller's: release
 *     it with vx_free. Text handed to an observer callback is valid only during the callback.
 *   - Threads: one object is used by one thread at a time; a call on an object that is in a call
 *     on another thread answers VX_STATUS_BUSY instead of running. Objects are independent of each
 *     other: separate objects may run checks on separate threads at once, each with a working
 *     folder of its own (two checks on one folder share its files and may answer a wrong verdict).
 *   - Each object has its own component settings: the registration records it looks up
 *     (vx_chk_set_registry_folder), the modules it loaded (vx_chk_load_module), and whether module
 *     components run in this process or in a component host process with limits
 *     (vx_chk_set_isolation). A new object has no registry folder, no modules and runs module
 *     components in this process, as a C++ check object does.
 */
#ifndef VARDENIX_VARDENIX_H_
#define VARDENIX_VARDENIX_H_

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(VARDENIX_BUILDING_CAPI)
#define VX_API __attribute__((visibility("default")))
#else
#define VX_API
#endif

/* The version of the library this header describes; vx_version() answers the library's. */
#define VX_VERSION_MAJOR 1
#define VX_VERSION_MINOR 0

/* What every function answers. */
typedef enum vx_status {
  VX_STATUS_OK = 0,
  VX_STATUS_INVALID_ARGUMENT = 1, /* a NULL handle or pointer, a too-small structure, a value out of range */
  VX_STATUS_FAILED = 2,           /* the call itself failed (a module refused, a check that could not run) */
  VX_STATUS_NO_MEMORY = 3,        /* memory ran out */
  VX_STATUS_BUSY = 4              /* the object is in a call on another thread (or from its own observer) */
} vx_status;

/* Bits of vx_ping_args.options. */
#define VX_CHK_RESULT_DOC 1 /* the typical-document check */
#define VX_CHK_SUBJECT 2    /* the subject question-bank sampling check */

/* A check object. */
typedef struct vx_chk vx_chk;

/* The text of the last failure of a vx_ function on the calling thread ("" after a success). The
 * text is the library's, valid until the next vx_ call on this thread. Never NULL. */
VX_API const char* vx_last_error(void);

/* The library's version as "MAJOR.MINOR.PATCH"; static text. */
VX_API const char* vx_version(void);

/* Releases text the library answered through a `char**`. NULL is allowed. */
VX_API void vx_free(void* text);

/* Makes a check object in *chk. INVALID_ARGUMENT when chk is NULL; NO_MEMORY. */
VX_API vx_status vx_chk_create(vx_chk** chk);

/* Releases a check object; NULL is allowed. The object must not be in a call. */
VX_API void vx_chk_destroy(vx_chk* chk);

/* The ProgID of the scoring component; stored and answered unchanged (NULL sets ""). */
VX_API vx_status vx_chk_set_ping_name(vx_chk* chk, const char* ping_name);
/* *ping_name receives a copy, which the caller releases with vx_free. */
VX_API vx_status vx_chk_get_ping_name(vx_chk* chk, char** ping_name);

/* The working folder, which must exist; stored and answered unchanged (NULL sets ""). */
VX_API vx_status vx_chk_set_ping_path(vx_chk* chk, const char* ping_path);
VX_API vx_status vx_chk_get_ping_path(vx_chk* chk, char** ping_path);

/* The typical-document check: stages the archive as "ChkPing.ZIP" in the working folder, extracts
 * it and lets the scoring component grade it against `rule`. *passed is 1 only on a score of exactly
 * 100, else 0. *err_msg and *err_msg_xml receive the component's texts (release each with vx_free);
 * either may be NULL when the host does not want it. archive may be NULL when archive_len is 0. */
VX_API vx_status vx_chk_result_chk(vx_chk* chk, const uint8_t* archive, size_t archive_len, const char* rule,
                                   int32_t* passed, char** err_msg, char** err_msg_xml);

/* The inputs of vx_chk_ping_envi_chk. VX_PING_ARGS_INIT sets the size and the defaults: options 3
 * (both checks), contract_code -1 (every contract), rate 0.1. */
typedef struct vx_ping_args {
  uint32_t size;           /* sizeof(vx_ping_args) */
  int32_t options;         /* VX_CHK_RESULT_DOC | VX_CHK_SUBJECT bits */
  const uint8_t* archive;  /* the typical document's zip archive; may be NULL when archive_len is 0 */
  size_t archive_len;
  const char* rule;          /* its rule (answer text); NULL is "" */
  const char* total_path;    /* the total question bank; NULL is "" */
  const char* subject_path;  /* the subject question bank; NULL is "" */
  const char* subject_code;  /* C_DataCode of the subject; NULL is "" */
  int32_t contract_code;     /* -1: every contract */
  float rate;                /* share of each module's questions to draw: floor(rate x n) + 1 draws */
} vx_ping_args;
#define VX_PING_ARGS_INIT {sizeof(vx_ping_args), 3, NULL, 0, NULL, NULL, NULL, NULL, -1, 0.1f}

/* Runs the checks that args->options requests and answers the verdict in *passed (1 passed, 0 not).
 * Both reports are answered anew (release each with vx_free; either pointer may be NULL). Failures
 * inside the checks (a missing bank, a component that is not installed or crashes) are the verdict
 * 0 with reports saying why; only a failure of the call itself is VX_STATUS_FAILED. */
VX_API vx_status vx_chk_ping_envi_chk(vx_chk* chk, const vx_ping_args* args, int32_t* passed, char** err_msg,
                                      char** err_msg_xml);

/* ---- How the subject check picks its records ---- */

#define VX_SELECT_SAMPLE 0         /* floor(rate x questions) + 1 draws per module, with replacement */
#define VX_SELECT_EVERY_QUESTION 1 /* every question of every module once, in bank order */
#define VX_SELECT_LISTED 2         /* exactly the listed records, in the order given; passes only when
                                      each was graded and passed */

/* All zero (VX_SELECTION_INIT) is the default: the random sample, graded, one job. */
typedef struct vx_selection {
  uint32_t size;  /* sizeof(vx_selection) */
  int32_t kind;   /* VX_SELECT_ */
  /* VX_SELECT_LISTED: listed_count records, the i-th being (listed_modules[i], listed_rec_nos[i]). */
  const char* const* listed_modules;
  const char* const* listed_rec_nos;
  size_t listed_count;
  /* Non-zero: every draw is told to the observer as not graded, and nothing is staged, extracted or
   * graded; the verdict then says only that the banks could be read and the draws made. */
  int32_t dry_run;
  /* VX_SELECT_EVERY_QUESTION: records graded at once, each worker in a folder of its own
   * ("vardenix-job-N" inside the working folder); 0 or 1: one after another. At most 256. */
  int32_t jobs;
} vx_selection;
#define VX_SELECTION_INIT {sizeof(vx_selection), VX_SELECT_SAMPLE, NULL, NULL, 0, 0, 0}

/* Sets how later subject checks pick their records; the selection is copied. NULL: the default. */
VX_API vx_status vx_chk_set_selection(vx_chk* chk, const vx_selection* selection);

/* Seeds the sampling: later checks draw from `seed`, so a run can be replayed. Each call starts the
 * draws afresh; without it the seed comes from the clock when the object is made. */
VX_API vx_status vx_chk_set_seed(vx_chk* chk, uint64_t seed);
/* *seed receives the base seed that replays the object's draws (with vx_chk_set_seed). */
VX_API vx_status vx_chk_get_seed(vx_chk* chk, uint64_t* seed);

/* ---- Progress and per-record results ---- */

#define VX_OUTCOME_PASSED 0           /* the component scored exactly the full mark */
#define VX_OUTCOME_FAILED 1           /* below the full mark; text and xml hold the component's report */
#define VX_OUTCOME_NOT_GRADED 2       /* nothing to grade (no row, no answer text, no archive, a dry run) */
#define VX_OUTCOME_REFUSED_ARCHIVE 3  /* the archive control refused the archive; reason says why */
#define VX_OUTCOME_RUN_TIME_FAILURE 4 /* a failure struck before an answer; reason describes it */

/* One graded item: the typical document or one draw of the subject check. The texts are valid only
 * during the callback. */
typedef struct vx_record {
  uint32_t size;             /* sizeof(vx_record) as the library was built; read only what it covers */
  int32_t typical_document;  /* 1 for the host's typical document, 0 for a bank record */
  const char* module;        /* C_Module; "" for the typical document */
  const char* rec_no;        /* C_RecNo; "" for the typical document */
  int32_t draw;              /* the draw within its module, from 1; 0 for the typical document */
  int32_t outcome;           /* VX_OUTCOME_ */
  float score;               /* the component's score, when it answered */
  const char* reason;        /* why not graded, why refused, or the failure's description */
  const char* text;          /* the component's error text, when it answered */
  const char* xml;           /* the component's error XML, when it answered */
  double seconds;            /* time the item took, staging and extraction included */
} vx_record;

/* Callbacks told while a check runs, on the checking thread, inside the call. Any may be NULL. They
 * must not call functions on the same object (such a call answers VX_STATUS_BUSY). */
typedef struct vx_observer {
  uint32_t size;  /* sizeof(vx_observer) */
  void* context;  /* handed to every callback unchanged */
  /* The subject check starts on its modules (count of module rows). */
  void (*on_modules)(void* context, int32_t count);
  /* Module `index` (from 1) named `name` is sampled: `questions` rows, `samples` draws. */
  void (*on_module)(void* context, int32_t index, const char* name, int32_t questions, int32_t samples);
  /* A sampled record was checked (passed 1 or 0). */
  void (*on_sample)(void* context, const char* module, const char* rec_no, int32_t passed);
  /* The archive control refused an archive, with its reason. */
  void (*on_extraction_failed)(void* context, const char* archive_path, const char* reason);
  /* An item was graded, or found to have nothing to grade: told for every draw, in draw order. */
  void (*on_record)(void* context, const vx_record* record);
} vx_observer;

/* Sets the observer of later checks (copied; the context must stay valid while it is set). NULL
 * removes it. */
VX_API vx_status vx_chk_set_observer(vx_chk* chk, const vx_observer* observer);

/* ---- Scoring components ---- */

/* Where the object looks up registration records (`vardenix register` writes them); NULL or "" for
 * nowhere. The folder need not exist. `vardenix` itself uses $XDG_DATA_HOME/vardenix/registry, or
 * ~/.local/share/vardenix/registry. */
VX_API vx_status vx_chk_set_registry_folder(vx_chk* chk, const char* folder);

/* Loads the component module at `path` for this object; its classes are found ahead of registration
 * records. FAILED, naming the module, when it cannot be loaded or is refused. */
VX_API vx_status vx_chk_load_module(vx_chk* chk, const char* path);

/* Where module components run. Every field left 0 (or NULL) takes its default. */
typedef struct vx_isolation_settings {
  uint32_t size;                /* sizeof(vx_isolation_settings) */
  uint32_t time_limit_ms;       /* wall time of one scoring run (default 120,000) */
  uint64_t memory_limit_bytes;  /* memory of the component's process (default 2 GiB) */
  uint64_t answer_limit_bytes;  /* each text the component answers (default 64 MiB) */
  /* The component host executable (default: vardenix-component-host beside the running program,
   * else the installed one). */
  const char* host_path;
  /* Non-zero: run the host under bubblewrap: the system read-only, only sandbox_folder (the working
   * folder) writable, no network, a private /tmp. */
  int32_t sandbox;
  const char* sandbox_folder;
} vx_isolation_settings;
#define VX_ISOLATION_SETTINGS_INIT {sizeof(vx_isolation_settings), 0, 0, 0, NULL, 0, NULL}

/* Runs this object's module components out of process from now on, in a component host process
 * kept across scoring runs and replaced after a crash, with the limits of `settings`; a breach or a
 * crash fails the scoring run, and the check answers 0 with a report naming the component and what
 * happened. NULL: in this process again. Program components always run in a process of their own,
 * with these limits. INVALID_ARGUMENT for unusable settings (a sandbox without its folder). */
VX_API vx_status vx_chk_set_isolation(vx_chk* chk, const vx_isolation_settings* settings);

#ifdef __cplusplus
}
#endif

#endif /* VARDENIX_VARDENIX_H_ */
