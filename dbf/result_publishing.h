// Where a recovery method writes its result table, and how a file of the
// results folder comes to its final name: it is written under
// partialName(), a name no reader takes for a table or a memo file, made
// durable, and only then renamed (never over anything), so that a run cut
// short by a kill or a power cut leaves its final names whole or absent.
#ifndef KEST_DBF_RESULT_TABLE_H_
#define KEST_DBF_RESULT_TABLE_H_

#include <string>

#include "platform/env.h"

namespace kest {

// The fixed name of a result written into a folder.
inline constexpr const char* kRecoveredTableName = "RECOVERED.DBF";
// Paths travel in buffers of 260 bytes: 259 characters and the terminator.
inline constexpr size_t kMaxPathLength = 259;

// When `path` names something that exists it is taken as a folder (one
// trailing separator dropped) and the result is RECOVERED.DBF in it;
// otherwise `path` itself is the result's name. Returns false, leaving
// `name` empty, when the name would not fit in 259 characters: a cut name
// would point somewhere the caller never asked for.
bool resultTableName(const std::string& path, platform::Env* env, std::string* name);

// What a file under a temporary name ends in.
inline constexpr const char* kPartialSuffix = ".partial";
std::string partialName(const std::string& finalName);

// Moves partialName(finalName), already synced and closed, to `finalName`
// without replacing anything, then syncs the folder so that the new entry
// survives a power cut. `*renamed` tells whether the file took its final
// name (true when only the folder sync failed).
platform::Status publishPartial(platform::Env* env, const std::string& finalName, bool* renamed);

// Takes back what was made for `finalName`: the partial file, or the final
// one when `renamed`. Logs what was removed, or what stays and why.
void discardPartial(platform::Env* env, const std::string& finalName, bool renamed);

// The system's text for a failure, or "error <code>" when it has none.
std::string systemText(const platform::Status& status);

// "<what> failed: <system text>" as an ERROR line of the log.
void logWriteFailure(const std::string& what, const platform::Status& status);

}  // namespace kest

#endif  // KEST_DBF_RESULT_TABLE_H_
