// What a run tells of the index files that stood beside the table: which
// they are, that the recovered table has none of them and how the owning
// program re-creates them, and, in the results folder, the plain list of
// their tags (INDEXES.TXT) so that they can be re-created exactly. No index
// file is ever copied: it would point at records the result does not have.
#ifndef KEST_KESTDLL_INDEX_NOTICE_H_
#define KEST_KESTDLL_INDEX_NOTICE_H_

#include <string>
#include <string_view>
#include <vector>

#include "dbf/index_format.h"
#include "platform/env.h"

namespace kest {

inline constexpr const char* kIndexListName = "INDEXES.TXT";
// The step the run's findings name for these sentences.
inline constexpr std::string_view kIndexStep = "indexes";

// The list's text: one line a file (name, how to rebuild it), one a tag
// (name, key, filter, order), tab-separated.
std::string indexListText(const std::string& tableName, const std::vector<IndexFile>& files);

// Looks for the table's index files and, when there are any, writes the
// list into `resultFolder` (under a temporary name first, as every result
// file) and returns the report's sentences; nothing when there are none.
// Never raises; a list that cannot be written is named in a sentence.
std::vector<std::string> noteIndexFiles(const std::string& tablePath,
                                        const std::string& resultFolder, platform::Env* env);

}  // namespace kest

#endif  // KEST_KESTDLL_INDEX_NOTICE_H_
