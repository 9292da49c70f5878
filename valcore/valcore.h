/*
 * valcore: stand-in for the host-services library of the product line.
 *
 * The recovery engine binds this library at load and takes the words of
 * its status lines from it (GetString, group 13); it resolves all thirteen
 * entry points below but calls only GetString and Initialize. The stand-in
 * lives beside the host executable (libvalcore.so; valcore.dll on Windows).
 *
 * Language: the environment variable VALCORE_LANGUAGE, read at each
 * GetString call, chooses the texts:
 *   unset, empty, "en" or anything not listed below
 *             English, as narrow text; the same words the engine uses when
 *             no library supplies any ("done", "initializing", "trying
 *             best-case recovery method", "trying worst-case recovery
 *             method", "writing results", "Pass").
 *   "de"      German, as UTF-16LE (plain ASCII letters, so that they read
 *             the same in every code page).
 *   "fr"      French, as UTF-16LE, with accented letters: in a process
 *             whose code page cannot show them they arrive as '?'.
 *
 * Every other entry point does nothing visible: it writes nothing outside
 * the buffers it is given, shows nothing, stores nothing, and answers as
 * documented at each declaration.
 *
 * Not thread-safe beyond what getenv is; the engine calls it at load only.
 */
#ifndef VALCORE_VALCORE_H_
#define VALCORE_VALCORE_H_

#include <stdint.h>

#ifdef _WIN32
#define VALCORE_CALL __cdecl
#define VALCORE_API __declspec(dllexport)
#else
#define VALCORE_CALL
#define VALCORE_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* The group of the engine's stage texts, and their ids. */
#define VALCORE_STAGE_TEXT_GROUP 13
#define VALCORE_TEXT_BUFFER_SIZE 256

/* Remembers `code` (the engine passes 269); returns 0. */
VALCORE_API int32_t VALCORE_CALL Initialize(int32_t code);

/* Would show a notification; shows nothing and returns 0. */
VALCORE_API int32_t VALCORE_CALL NotifyMsg(int32_t kind, const char* text);

/* Would ask for a file name; answers "" in `buffer` (when `size` > 0) and
 * returns -1 (nothing chosen). */
VALCORE_API int32_t VALCORE_CALL GetFileName(char* buffer, int32_t size);

/* Would give the text of a menu item; answers "" and returns -1. */
VALCORE_API int32_t VALCORE_CALL GetMenuItemText(int32_t id, char* buffer, int32_t size);

/* Would run after a host procedure; does nothing and returns 0. */
VALCORE_API int32_t VALCORE_CALL AfterProc(void);

/* Would show a message box; shows nothing and returns 0 (as if dismissed). */
VALCORE_API int32_t VALCORE_CALL HiBox(const char* text, const char* caption);

/* Would ask for a password; answers "" and returns -1 (cancelled). */
VALCORE_API int32_t VALCORE_CALL GetPassword(char* buffer, int32_t size);

/* Accepts every version: returns 0. */
VALCORE_API int32_t VALCORE_CALL CheckVersion(int32_t version);

/* Answers "valcore stand-in" (cut to `size` - 1) and returns 0. */
VALCORE_API int32_t VALCORE_CALL GetFullName(char* buffer, int32_t size);

/*
 * Writes text `id` of `group` into `buffer`, which holds
 * VALCORE_TEXT_BUFFER_SIZE bytes, and its size in bytes (without the
 * terminator) into `*textLength` when that is not null. Group 13, ids 1 to
 * 6: "done", "initializing", "trying best-case recovery method", "trying
 * worst-case recovery method", "writing results", "Pass" in the chosen
 * language. Returns 0, or -1 for any other group or id (nothing written).
 */
VALCORE_API int32_t VALCORE_CALL GetString(int32_t group, int32_t id, void* buffer,
                                           int32_t* textLength);

/* No profile is kept: returns `defaultValue`. */
VALCORE_API int32_t VALCORE_CALL ReadProfileInt(const char* section, const char* key,
                                                int32_t defaultValue);

/* No profile is kept: copies `defaultValue` ("" when null) into `buffer`,
 * cut to `size` - 1, and returns its length. */
VALCORE_API int32_t VALCORE_CALL ReadProfileString(const char* section, const char* key,
                                                   const char* defaultValue, char* buffer,
                                                   int32_t size);

/* No profile is kept: stores nothing and returns 0. */
VALCORE_API int32_t VALCORE_CALL SaveProfileString(const char* section, const char* key,
                                                   const char* value);

#ifdef __cplusplus
}
#endif

#endif /* VALCORE_VALCORE_H_ */
