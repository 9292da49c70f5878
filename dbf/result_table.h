// Where a recovery method writes its result table.
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

}  // namespace kest

#endif  // KEST_DBF_RESULT_TABLE_H_
