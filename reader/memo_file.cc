#include "reader/memo_file.h"

#include <algorithm>

#include "dbf/memo_companion.h"
#include "dbf/memo_repair.h"
#include "platform/path.h"

namespace kest::reader {

bool isMemoType(char type, const Header& header) { return isMemoFieldType(type, header.version); }

std::vector<std::string> memoCompanions(const std::string& tablePath) {
  std::vector<std::string> found;
  const std::string folder = platform::FolderOf(tablePath);
  for (const std::string& name : listMemoCompanions(tablePath, platform::Env::Default())) {
    found.push_back(folder + name);
  }
  std::sort(found.begin(), found.end());
  return found;
}

std::unique_ptr<MemoFile> MemoFile::Open(const std::string& tablePath, const Header& header) {
  platform::Env* env = platform::Env::Default();
  std::string path = findMemoFile(tablePath, header.version, env);
  if (path.empty()) return nullptr;
  std::unique_ptr<MemoFile> memo(new MemoFile());
  memo->path_ = path;
  if (!env->OpenReadOnly(path, &memo->file_)) return nullptr;
  memo->reader_ = std::make_unique<kest::MemoReader>(memo->file_.get(),
                                                     memoKindOfFile(path, header.version));
  return memo;
}

MemoRead MemoFile::read(uint32_t block, std::string* bytes) {
  bytes->clear();
  // A FoxPro block says by its type whether it holds text.
  Memo memo = reader_->read(block, /*text=*/true);
  if (memo.fault == MemoFault::kWrongType) memo = reader_->read(block, /*text=*/false);
  switch (memo.fault) {
    case MemoFault::kNone:
      *bytes = std::move(memo.bytes);
      return MemoRead::kText;
    case MemoFault::kEmpty: return MemoRead::kNone;
    case MemoFault::kInHeader:
    case MemoFault::kPastEnd:
    case MemoFault::kRunsPastEnd: return MemoRead::kOutsideFile;
    case MemoFault::kTooLong: return MemoRead::kTooLong;
    case MemoFault::kBrokenHead:
    case MemoFault::kNotText:
    case MemoFault::kWrongType:
    case MemoFault::kUnreadable: return MemoRead::kDamaged;
  }
  return MemoRead::kDamaged;
}

}  // namespace kest::reader
