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
 *   The engine starts no threads and holds no state per call: the host
 *   runs one FileRecover at a time (from any one thread), and must not call
 *   SetBreakFlag or LoadValcore while a run is under way. Both callbacks
 *   are called synchronously on the thread that called FileRecover, and the
 *   engine waits for them to return. The only thing another thread may
 *   touch during a run is the break byte.
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
 * The thorough recovery: FileRecover with extensions beside the classic
 * run, each one a flag of its own. A host that switches none of them on
 * gets exactly what FileRecover gives (the same callbacks, log lines,
 * result bytes and return codes).
 */
enum {
  /* A record count larger than the file holds is corrected from the file
   * size: the whole records the file holds are read. A last record the end
   * of the file cuts through is left out and counted in cutOffRecords. */
  KEST_FIX_RECORD_COUNT = 0x0001,
  /* A header whose own fields are destroyed (a record length of 0 or too
   * short for its fields, a header length that does not reach past the
   * terminator or lies beyond the file) but whose field descriptors stand
   * is rebuilt from them: record length 1 + the field lengths, header
   * length the terminator's end (or that and the 263-byte back link of
   * Visual FoxPro, where the records begin there), count from the size.
   * With this flag the descriptors are read up to the terminator rather
   * than only the first 32, and displacements that put a field past the
   * record's end are taken as unset. */
  KEST_REBUILD_HEADER = 0x0002,
  /* Records that begin some bytes away from where the header puts them
   * are found and read from where they are: when hardly any record after
   * a faulty one passes the record check, the bytes up to the phase at
   * which a run of records passes best (looked for over eight records
   * and 4,096 bytes) are skipped, at the start of the records or in their
   * middle. Skipped bytes count as no record. */
  KEST_REALIGN_RECORDS = 0x0004,
  /* The worst-case method looks at the whole table, not only its first
   * 131,072 bytes (memory stays bounded). */
  KEST_WHOLE_TABLE_LAYOUT = 0x0008,
  /* The worst-case record offset is the one at which records pass the
   * record check. */
  KEST_PASSING_OFFSET = 0x0010,
  /* A worst-case record length that is a multiple of a shorter length
   * that fits as well gives way to the shorter one. */
  KEST_SHORTEST_LENGTH = 0x0020,
  /* Values a sound table may hold count as empty rather than invalid:
   * blank dates (spaces or zero bytes), dates outside 1970..2100 that are
   * calendar dates, '?' and zero-byte logicals, and memo fields that hold
   * their block number as text (blank or digits). */
  KEST_RELAXED_VALUES = 0x0040,
  /* The fields the worst-case method invents get types and lengths that
   * every common reader opens. */
  KEST_READER_SAFE_FIELDS = 0x0080,
  /* A record whose only fault is a deletion flag that is neither ' ' nor
   * '*' is kept, as a live record: its flag is written as ' ', every other
   * byte as the table holds it. Only where records stand (the records
   * around it pass, or no other phase is in sight) and only when it looks
   * like a record: not all zero bytes, no control bytes in its character
   * fields. The report counts the kept ones among the repairs. */
  KEST_KEEP_JAMMED_RECORDS = 0x0100,
  /* Progress moves during the long scans as well, within the ranges the
   * classic run uses (11..19 while the best-case method counts, 71..94
   * while it writes). */
  KEST_FINE_PROGRESS = 0x0200,
  /* A table without a memo companion keeps its records byte for byte: its
   * memo fields become character fields that hold the block numbers as
   * the records store them (digits, or four binary bytes in FoxPro
   * tables), not blanks, so that the memo texts can be joined to them
   * again should the companion turn up. */
  KEST_KEEP_MEMO_REFERENCES = 0x0400,
  /* A level-7 table (version 0x04 or 0x8C), whose field descriptors are
   * 48 bytes long after 36 bytes of language driver name, is judged by
   * those descriptors, and its result is written in the layout every
   * common reader opens: 32-byte descriptors (names cut to 10
   * characters), version 0x03, or 0x8B with a memo companion. The
   * records keep every byte; fields of the level-7 types that readers of
   * that layout do not know (+ I O @, and memo types without a companion)
   * become character fields of the same length. */
  KEST_LEVEL7_DESCRIPTORS = 0x0800,
  /* A memo companion cut short: when a record the best-case method keeps
   * refers to a memo that does not lie whole inside the companion, every
   * reader of the result would fail on it. The records stay byte for byte
   * and the result's memo fields become character fields holding the
   * block numbers, as without a companion; the cut companion is still
   * copied beside the result, for the memos it holds. The report names
   * how many records refer past the cut. */
  KEST_CUT_MEMO_REFERENCES = 0x1000,
  /* With KEST_REALIGN_RECORDS: in a table of text fields a column of
   * padding passes for a column of deletion flags, and every field passes
   * wherever it is cut from. Programs write text left-aligned, so where
   * records stand their text fields begin with their text; in a phase that
   * is off they begin with spaces as often as not. A phase whose filled
   * text fields begin with spaces more often than with text does not hold,
   * and a phase that passes as often as the scan's own and whose text
   * fields begin with their text more often, by half a field a slot at
   * least, is taken instead. */
  KEST_ALIGNED_TEXT = 0x2000,
  /* Every extension above. */
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
  uint32_t flags; /* KEST_* extension flags above, or'ed */
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

/*
 * What a run found and did, for the host to show its user. The host sets
 * `size` to sizeof(KestRecoverReport); the engine fills the rest, also
 * when the run fails (then with what it had found so far). The counts are
 * those of the method whose result was written: for the best-case method
 * the record slots its header declares (or the repaired count), for the
 * worst-case method the slots of its layout (those that fail count as
 * invalidRecords). A run without extensions fills it as well; what it
 * counts then changes nothing the run shows.
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
   * first KEST_REPORT_REPAIRS are described. A run with extensions that
   * writes a result also leaves the whole report beside it in its results
   * folder, as REPORT.TXT (plain text) and REPORT.JSON. */
  uint32_t repairCount;
  char repairs[KEST_REPORT_REPAIRS][KEST_REPORT_TEXT];
  /* Added later; filled only when `size` holds them. Why the result or a
   * memo companion could not be written whole (a full disk, an I/O error):
   * the system's code and its text, cut like the repairs; 0 and empty when
   * nothing failed in the writing. The run then returned KEST_INTERNAL
   * and left no result and no companion under their final names. */
  uint32_t writeErrorCode;
  char writeError[KEST_REPORT_TEXT];
  /* Added later; filled only when `size` holds it. Why a run with
   * extensions returned a code other than KEST_OK, in plain words ("the
   * table is empty", "the table cannot be opened (Permission denied)"),
   * cut like the repairs; empty after KEST_OK and after a run without
   * extensions. The run's log holds the same words as an ERROR line,
   * followed by the path they concern. */
  char failure[KEST_REPORT_TEXT];
} KestRecoverReport;

/*
 * FileRecover with options and a report. `options` null (or no flag set)
 * is FileRecover itself; `report` may be null. With extensions the choice
 * between the methods weighs the records each would write (the classic
 * choice weighs the worst-case method's slots, passing or not), and a run
 * whose worst-case layout passes no record while the best case found none
 * returns KEST_NOTHING rather than an empty result. A run with any
 * extension that returns a code other than KEST_OK writes one ERROR line
 * more than FileRecover would, last before its exit line: why, in plain
 * words and with the system's words where it gave some, then ": " and the
 * path concerned (the table, the output or results folder, the result
 * path), e.g. "the table is empty: /data/t.dbf". Returns the codes of FileRecover; an
 * `options` or `report` whose `size` is smaller than the first version of
 * its structure, or flags this engine does not know, are refused with
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
