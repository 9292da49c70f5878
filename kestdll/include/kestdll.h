/*
 * kestdll: recovery engine for damaged dBASE/FoxPro tables (C interface).
 *
 * A host loads the engine library (libkestdll.so; kestdll.dll on Windows),
 * hands it a break byte with SetBreakFlag and calls FileRecover (or
 * FileRecoverEx, for the thorough recovery) once per damaged table. The
 * engine never writes to the table or its memo
 * companions (.dbt/.fpt): it writes a repaired copy into a new results
 * folder "Recovered <table file name> <d>-<Mon>-<yy> <hh>.<mm>" that it
 * makes inside the output folder. Nothing thrown inside the engine crosses
 * this interface: every failure arrives as a return code.
 *
 * Loading
 *   At load the engine sets up its diagnostic log with a private temp
 *   workspace (under the folder named by the environment variable
 *   BRENMOORTMP, else the system's temp folder) and binds the host-services
 *   library (libvalcore.so; valcore.dll on Windows), looked for first in
 *   the folder of the host's executable and then in the folder of the
 *   engine library itself. From it the engine takes the localized stage
 *   texts of its status lines.
 *
 *   A failure of either step does not stop the load and never ends the
 *   host process. The engine stays loaded but refuses to work: every
 *   FileRecover call returns KEST_INTERNAL (-2) at once, without reading
 *   the table or making any folder or file (only the host's log file, when
 *   one is named, receives the reason). Before returning, it sends exactly
 *   one status report to the host (when a status callback is given), whose
 *   text begins with KEST_NOT_READY_STATUS followed by the reason,
 *   and no progress report. A successful LoadValcore call (after the host
 *   has put things right) makes the engine usable again.
 *
 * Threading
 *   The engine holds no state per call: the host runs one FileRecover at a
 *   time (from any one thread), and must not call SetBreakFlag or
 *   LoadValcore while a run is under way. When a thorough run
 *   (FileRecoverEx with KEST_THOROUGH) has to work the record layout out
 *   of the table's bytes, it scores the candidate layouts on one helper
 *   thread beside the caller's, begun while the caller's thread counts
 *   the table's records, on a machine of more than one processor;
 *   the helper has ended before the call returns. It is the only thread
 *   the engine starts, and it never calls the host: both callbacks are
 *   called synchronously on the thread that called FileRecover, in order,
 *   and the engine waits for them to return. A host that wants the engine on its own thread
 *   alone sets the environment variable KEST_HELPER_THREAD to "0" before
 *   the run; the results are the same either way. The only thing another
 *   thread may touch during a run is the break byte.
 *
 * Texts
 *   All texts and paths are NUL-terminated narrow strings in the system's
 *   code page (on Linux the character set of the process locale).
 */
#ifndef KESTDLL_H_
#define KESTDLL_H_

#include <stdint.h>

#ifdef _WIN32
#define KEST_CALL __cdecl
#ifdef KEST_BUILDING_ENGINE
#define KEST_API __declspec(dllexport)
#else
#define KEST_API __declspec(dllimport)
#endif
#else
#define KEST_CALL
#define KEST_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/*
 * Receives a status line: a "Pass" line such as "Pass 2: trying best-case
 * recovery method..." when a stage begins, "done" when it has finished.
 * The words come from the host-services library and may be localized.
 * `text` is valid only during the call. The result is ignored.
 */
typedef int32_t(KEST_CALL* StatusCallback)(const char* text, void* userData);

/*
 * Receives a percentage from 0 to 100; `text` is always the empty string.
 * The result is ignored.
 */
typedef int32_t(KEST_CALL* ProgressCallback)(const char* text, int32_t percent,
                                             void* userData);

/* How the one status report of a refused run begins (see Loading). */
#define KEST_NOT_READY_STATUS "Recovery engine not ready: "

/* Return codes of FileRecover. */
enum {
  /* The repaired table was written into the new results folder: under the
   * table's own name with copies of its memo companions (best-case method),
   * or as RECOVERED.DBF (worst-case method). */
  KEST_OK = 0,
  /* Internal failure, or a user break while the result was being written
   * (the writer stops; what it wrote so far may remain in the results
   * folder), or the engine could not be set up at load (see Loading). */
  KEST_INTERNAL = -2,
  /* Neither method found a record to recover; no folder was made. */
  KEST_NOTHING = -3,
  /* The table cannot be opened or read (missing, unreadable, 4 GiB or more). */
  KEST_SOURCE_UNREADABLE = -4,
  /* The result cannot be created: the output folder is missing or not
   * writable, a results folder of the same name exists already (a second
   * run on the same table within the same minute), the result file cannot
   * be created, a result path would not fit in 259 characters, or the
   * table's file name, split at slashes and backslashes alike, leaves no
   * name for the result table (nothing, "." or ".."). */
  KEST_CANNOT_CREATE = -5,
  /* Stopped by the user through the break byte before anything was written. */
  KEST_USER_BREAK = -1000
};

/*
 * Recovers one table.
 *   sourcePath        the damaged .dbf table; read only, never written.
 *   outputFolder      existing folder in which the results folder is made.
 *   reserved          ignored.
 *   statusCallback    may be null.
 *   progressCallback  may be null.
 *   userData          handed back unchanged to both callbacks.
 *   logFileName       the diagnostic log for this run (appended to), or
 *                     null or "" for no log. A name that designates the
 *                     table itself or one of its memo companions is
 *                     refused: the run goes on without a log.
 * Returns one of the codes above. A complete run reports progress 0 first
 * and 100 last; a run that ends with KEST_USER_BREAK, KEST_SOURCE_UNREADABLE
 * or KEST_CANNOT_CREATE stops reporting where it ends.
 */
KEST_API int32_t KEST_CALL FileRecover(const char* sourcePath, const char* outputFolder,
                                       int32_t reserved, StatusCallback statusCallback,
                                       ProgressCallback progressCallback, void* userData,
                                       const char* logFileName);

/*
 * The thorough recovery: FileRecover and more. A host chooses it or not,
 * and the few things below it may leave out; a host that sets no flag gets
 * exactly what FileRecover gives (the same callbacks, log lines, result
 * bytes and return codes).
 *
 * What the thorough recovery does beyond the classic run: a record count
 * larger than the file holds is corrected from the size; a header whose
 * own fields are destroyed is rebuilt from intact field descriptors; the
 * records are found where the table's own records say they are (a model
 * of what a record of this table looks like, learned from the table): a
 * stretch overwritten in place is passed over, bytes inserted or removed
 * are followed, records behind the header's count are taken, and no slot
 * that does not look like the table's records is ever written, whatever
 * its values; values a sound table may hold (blank dates, '?' logicals)
 * count as empty; a record whose only fault is a jammed deletion flag is
 * kept, its flag restored; level-7 descriptors are read and written in the
 * 32-byte layout every common reader opens; records referring past the
 * end of a cut memo companion stay whole. The worst-case method searches
 * the whole table and takes its record offset by the same evidence. What
 * the run found is in the report (and, whole, in the report files beside
 * the result).
 *
 * Bits 0x0001..0x2000 named the steps one by one in earlier versions:
 * any of them still chooses the thorough recovery, and none is refused.
 * The two below on their own choose nothing: they say what a thorough
 * recovery leaves out when they are not set.
 */
enum {
  /* Progress moves during the long scans as well, within the ranges the
   * classic run uses (11..19 while the best-case method counts, 71..94
   * while it writes). Part of KEST_THOROUGH; leave it out for the classic
   * run's progress. */
  KEST_FINE_PROGRESS = 0x0200,
  /* The thorough recovery repairs memos: every memo reference of a kept
   * record is checked against the memo file, the result gets a memo file
   * of its own holding exactly the memos that check out (references
   * renumbered), an unreadable reference is emptied alone and named in
   * the report, and the memos no kept record refers to go into
   * <table>_memos.txt beside the result. With this bit a table whose memo
   * file is missing keeps its memo fields as memo fields, emptied, beside
   * a fresh empty memo file. Part of KEST_THOROUGH; leave it out to have
   * such memo fields blanked as the classic run does. */
  KEST_KEEP_MEMO_REFERENCES = 0x0400,
  /* The thorough recovery with everything above. */
  KEST_THOROUGH = 0x3FFF
};

#ifdef __cplusplus
#define KEST_NULL_BY_DEFAULT = nullptr
#else
#define KEST_NULL_BY_DEFAULT
#endif

/*
 * Options of FileRecoverEx. `size` is sizeof(KestRecoverOptions) as the
 * host was built with it, so that the structure can grow: an engine reads
 * only the fields that `size` covers.
 */
typedef struct KestRecoverOptions {
  uint32_t size;
  uint32_t flags; /* KEST_THOROUGH, less what the host leaves out */
  /* Added later; read only when `size` holds it. A healthy copy of the
   * table (an old backup, the empty table its program ships), or null.
   * The result then takes that copy's header, field descriptors and back
   * link (version, fields, record length, code page), the table's records
   * are read by that layout whatever its own header says, and the report
   * says so and whether the table's own header agreed. A run with a
   * template is thorough (no flag set means every extension). A template
   * that cannot be read, or whose record length the table's records
   * plainly do not fit, ends the run before anything is written
   * (KEST_SOURCE_UNREADABLE, KEST_NOTHING), the report's failure saying
   * why. A C++ host that lists only size and flags leaves it null. */
  const char* templatePath KEST_NULL_BY_DEFAULT;
} KestRecoverOptions;

#define KEST_REPORT_REPAIRS 8
#define KEST_REPORT_TEXT 256
#define KEST_REPORT_TEXT_FILE "REPORT.TXT"
#define KEST_REPORT_JSON_FILE "REPORT.JSON"

/*
 * What a run found and did, for the host to show its user. The host sets
 * `size` to sizeof(KestRecoverReport); the engine fills the rest, also
 * when the run fails (then with what it had found so far). The counts are
 * those of the method whose result was written: for the best-case method
 * the record slots its header declares (or the repaired count), for the
 * worst-case method the slots of its layout (those that fail count as
 * invalidRecords). A classic run fills it as well; what it counts then
 * changes nothing the run shows.
 */
typedef struct KestRecoverReport {
  uint32_t size;
  int32_t method;            /* 0 no result, 1 best case, 2 worst case */
  uint32_t recordsWritten;   /* records in the result table */
  /* Record slots of the table that did not reach the result, by reason. */
  uint32_t deletedRecords;   /* marked deleted */
  uint32_t jammedRecords;    /* deletion flag neither ' ' nor '*' */
  uint32_t invalidRecords;   /* a field failed the value check */
  uint32_t cutOffRecords;    /* beyond the end of the file */
  /* What the run found and repaired, in words for the user ("record count
   * 1000000 corrected to 6630 from the file size", "bytes 1,175,552-
   * 1,179,647 held no records: 12 records lost"), NUL-terminated and cut
   * to KEST_REPORT_TEXT - 1 bytes; `repairCount` counts them all, the
   * first KEST_REPORT_REPAIRS are described. A thorough run that
   * writes a result also leaves the whole report beside it in its results
   * folder, as KEST_REPORT_TEXT_FILE (plain text) and
   * KEST_REPORT_JSON_FILE. */
  uint32_t repairCount;
  char repairs[KEST_REPORT_REPAIRS][KEST_REPORT_TEXT];
  /* Added later; filled only when `size` holds them. Why the result or a
   * memo companion could not be written whole (a full disk, an I/O error):
   * the system's code and its text, cut like the repairs; 0 and empty when
   * nothing failed in the writing. The run then returned KEST_INTERNAL
   * and left no result and no companion under their final names. */
  uint32_t writeErrorCode;
  char writeError[KEST_REPORT_TEXT];
  /* Added later; filled only when `size` holds it. Why a thorough run
   * returned a code other than KEST_OK, in plain words ("the table is
   * empty", "the table cannot be opened (Permission denied)"), cut like
   * the repairs; empty after KEST_OK and after a classic run. The run's
   * log holds the same words as an ERROR line, followed by the path they
   * concern. */
  char failure[KEST_REPORT_TEXT];
} KestRecoverReport;

/*
 * FileRecover with options and a report. `options` null (or no flag set)
 * is FileRecover itself; `report` may be null. In a thorough run the choice
 * between the methods weighs the records each would write (the classic
 * choice weighs the worst-case method's slots, passing or not), and a run
 * whose worst-case layout passes no record while the best case found none
 * returns KEST_NOTHING rather than an empty result. A thorough run that
 * returns a code other than KEST_OK writes one ERROR line
 * more than FileRecover would, last before its exit line: why, in plain
 * words and with the system's words where it gave some, then ": " and the
 * path concerned (the table, the output or results folder, the result
 * path), e.g. "the table is empty: /data/t.dbf". Returns the codes of FileRecover; an
 * `options` or `report` whose `size` is smaller than the first version of
 * its structure, or flags outside KEST_THOROUGH, are refused with
 * KEST_INTERNAL before anything is read or made (no callback is called).
 */
KEST_API int32_t KEST_CALL FileRecoverEx(const char* sourcePath, const char* outputFolder,
                                         int32_t reserved, StatusCallback statusCallback,
                                         ProgressCallback progressCallback, void* userData,
                                         const char* logFileName,
                                         const KestRecoverOptions* options,
                                         KestRecoverReport* report);

/*
 * Hands the engine the host's break byte. A nonzero byte asks the running
 * recovery to stop at its next poll; the host may set it from any thread.
 * The engine never sets it and clears it only at the start of the next
 * FileRecover. The byte must stay valid while the engine may read it; a
 * later call replaces the pointer. Without this call runs cannot be
 * stopped.
 */
KEST_API void KEST_CALL SetBreakFlag(char* flag);

/* Both return 0 and touch nothing. */
KEST_API int32_t KEST_CALL GetDllVersion(void);
KEST_API int32_t KEST_CALL isEnvReady(void);

/*
 * Binds the host-services library again (and sets the temp workspace up
 * again when that failed at load). Returns 0 when the engine is ready to
 * run recoveries, -1 when it is not (FileRecover then keeps refusing and
 * reports why).
 */
KEST_API int32_t KEST_CALL LoadValcore(void);

#ifdef __cplusplus
}
#endif

#endif /* KESTDLL_H_ */
