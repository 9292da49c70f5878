/*
 * kestdll: recovery engine for damaged dBASE/FoxPro tables (C interface).
 *
 * A host loads the engine library, hands it a break byte with SetBreakFlag
 * and calls FileRecover once per damaged table, one call at a time. The
 * engine never writes to the table or its memo companions; it writes a
 * repaired copy into a new results folder inside the output folder.
 * Nothing thrown inside the engine crosses this interface: every failure
 * arrives as a return code.
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

/* Receives a status text, valid only during the call. Result ignored. */
typedef int32_t(KEST_CALL* StatusCallback)(const char* text, void* userData);
/* Receives a percentage 0..100; `text` is always empty. Result ignored. */
typedef int32_t(KEST_CALL* ProgressCallback)(const char* text, int32_t percent,
                                             void* userData);

/* Return codes of FileRecover. */
enum {
  KEST_OK = 0,                /* the repaired table was written */
  KEST_INTERNAL = -2,         /* internal failure (also: engine not usable) */
  KEST_NOTHING = -3,          /* nothing to recover */
  KEST_SOURCE_UNREADABLE = -4,/* the table cannot be opened or read */
  KEST_CANNOT_CREATE = -5,    /* the results folder or table cannot be made */
  KEST_USER_BREAK = -1000     /* stopped by the user */
};

KEST_API int32_t KEST_CALL FileRecover(const char* sourcePath, const char* outputFolder,
                                       int32_t reserved, StatusCallback statusCallback,
                                       ProgressCallback progressCallback, void* userData,
                                       const char* logFileName);
KEST_API void KEST_CALL SetBreakFlag(char* flag);
KEST_API int32_t KEST_CALL GetDllVersion(void);
KEST_API int32_t KEST_CALL isEnvReady(void);
KEST_API int32_t KEST_CALL LoadValcore(void);

#ifdef __cplusplus
}
#endif

#endif /* KESTDLL_H_ */
