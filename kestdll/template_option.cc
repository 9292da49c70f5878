#include "kestdll/template_option.h"

#include <algorithm>
#include <memory>
#include <vector>

#include "dbf/result_publishing.h"

namespace kest {

std::optional<TableTemplate> loadTemplate(const std::string& path, platform::Env* env,
                                          std::string* why) {
  std::unique_ptr<platform::ReadableFile> file;
  platform::Status opened = env->OpenReadOnly(path, &file);
  if (!opened) {
    *why = "the template cannot be opened (" + systemText(opened) + ")";
    return std::nullopt;
  }
  std::vector<uint8_t> bytes(static_cast<size_t>(std::min<uint64_t>(file->Size(), kTemplateBytes)));
  size_t got = 0;
  platform::Status read = file->ReadAt(0, bytes.data(), bytes.size(), &got);
  if (!read) {
    *why = "the template cannot be read (" + systemText(read) + ")";
    return std::nullopt;
  }
  std::string reason;
  std::optional<TableTemplate> layout = parseTemplate(bytes.data(), got, &reason);
  if (!layout) *why = "the template is no sound table: " + reason;
  return layout;
}

std::string templateMisfit(const TemplateEvidence& e) {
  // Damage is local: a template the records fit leaves most slots fitting.
  // Only where hardly any do, and the bytes themselves repeat at another
  // length that holds clearly more records, is the template plainly wrong.
  const bool fewFit = uint64_t{e.fitting} * 4 < e.slots || e.fitting == 0;
  const bool otherLengthHolds = e.layoutRecordLength != 0 &&
                                e.layoutRecordLength != e.recordLength &&
                                e.layoutPassing > 2 * uint64_t{e.fitting};
  if (e.slots == 0 || !fewFit || (e.fitting != 0 && !otherLengthHolds)) return "";
  std::string words = "the template's records are " + std::to_string(e.recordLength) +
                      " bytes long, but the table's records do not fit that length (" +
                      std::to_string(e.fitting) + " of " + std::to_string(e.slots) +
                      " slots hold a record";
  if (e.layoutRecordLength != 0 && e.layoutRecordLength != e.recordLength) {
    words += "; its bytes repeat every " + std::to_string(e.layoutRecordLength) + " bytes";
  }
  return words + "): nothing was written";
}

std::string templateFit(const TemplateEvidence& e) {
  return std::to_string(e.fitting) + " of the " + std::to_string(e.slots) +
         " record slots the file holds at the template's record length (" +
         std::to_string(e.recordLength) + " bytes) held records";
}

}  // namespace kest
