#include "kestdll/index_notice.h"

#include <memory>

#include "dbf/result_publishing.h"
#include "platform/path.h"

namespace kest {

namespace {

const char* kindName(IndexKind kind) {
  switch (kind) {
    case IndexKind::kCompound:
      return "compound index";
    case IndexKind::kMultiple:
      return "multiple index";
    case IndexKind::kSingleCompact:
      return "single index";
    case IndexKind::kClipper:
    case IndexKind::kDbase3:
      break;
  }
  return "single index";
}

platform::Status writeList(platform::Env* env, const std::string& path, const std::string& text) {
  std::unique_ptr<platform::WritableFile> out;
  platform::Status status = env->CreateNew(partialName(path), &out);
  if (!status) return status;
  status = out->Append(text.data(), text.size());
  if (status) status = out->Sync();
  platform::Status closed = out->Close();
  if (status) status = closed;
  bool renamed = false;
  if (status) status = publishPartial(env, path, &renamed);
  if (!status) discardPartial(env, path, renamed);
  return status;
}

}  // namespace

std::string indexListText(const std::string& tableName, const std::vector<IndexFile>& files) {
  std::string text = "Index files that stood beside " + tableName +
                     "; the recovered table has none of them. Re-create each:\r\n";
  for (const IndexFile& file : files) {
    text += file.name + "\t" + kindName(file.kind) + "\t" + rebuildAdvice(file) + "\r\n";
    if (!file.readable) text += "\t(its tags could not be read)\r\n";
    for (const IndexTag& tag : file.tags) {
      text += "\ttag " + tag.name + "\tkey " + tag.key;
      if (!tag.filter.empty()) text += "\tfor " + tag.filter;
      if (tag.descending) text += "\tdescending";
      if (tag.unique) text += "\tunique";
      text += "\r\n";
    }
  }
  return text;
}

std::vector<std::string> noteIndexFiles(const std::string& tablePath,
                                        const std::string& resultFolder, platform::Env* env) {
  std::vector<std::string> notes;
  try {
    std::vector<IndexFile> files = findIndexFiles(tablePath, env);
    if (files.empty()) return notes;
    std::string tableName(platform::FileNameOf(tablePath));
    const std::string list = platform::InFolder(resultFolder, kIndexListName);
    platform::Status written = writeList(env, list, indexListText(tableName, files));
    for (const IndexFile& file : files) {
      std::string note = file.name + " stood beside the table and was not copied: " +
                         rebuildAdvice(file);
      note += file.readable ? " (its tags are listed in " + std::string(kIndexListName) + ")"
                            : " (its tags could not be read)";
      notes.push_back(note);
    }
    if (!written) {
      notes.push_back(std::string("the list of index tags could not be written: ") +
                      systemText(written));
    }
  } catch (...) {
    // A note is no reason to fail a run whose result stands.
  }
  return notes;
}

}  // namespace kest
