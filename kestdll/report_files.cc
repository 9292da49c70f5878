#include "kestdll/report_files.h"

#include <memory>

#include "Common/logger/logger.h"
#include "dbf/result_table.h"
#include "platform/path.h"

namespace kest {

namespace {

const char* methodName(int32_t method) {
  return method == 1 ? "best case" : method == 2 ? "worst case" : "none";
}

platform::Status writeWhole(platform::Env* env, const std::string& path, const std::string& text) {
  std::unique_ptr<platform::WritableFile> file;
  platform::Status status = env->CreateNew(partialName(path), &file);
  if (!status) return status;
  status = file->Append(text.data(), text.size());
  if (status) status = file->Sync();
  platform::Status closed = file->Close();
  if (status) status = closed;
  if (!status) {
    env->RemoveFile(partialName(path));
    return status;
  }
  bool renamed = false;
  status = publishPartial(env, path, &renamed);
  if (!status) discardPartial(env, path, renamed);
  return status;
}

}  // namespace

std::string reportText(const RecoveryReport& report) {
  const PassedOver& over = report.passedOver;
  std::string out = "method: " + std::string(methodName(report.method)) + "\n" +
                    "records written: " + groupedNumber(report.recordsWritten) + "\n" +
                    "passed over: " + groupedNumber(over.deleted) + " deleted, " +
                    groupedNumber(over.jammedFlag) + " with a jammed deletion flag, " +
                    groupedNumber(over.failedValueCheck) + " failing the value check, " +
                    groupedNumber(over.cutOffByEndOfFile) + " cut off by the end of the file\n";
  uint64_t lost = report.findings.recordsLost();
  if (lost != 0) out += "records lost in stretches that held none: " + groupedNumber(lost) + "\n";
  out += "\n";
  if (report.findings.empty()) out += "nothing else to report: the table read as it stands\n";
  return out + report.findings.plainText();
}

std::string reportJson(const RecoveryReport& report) {
  const PassedOver& over = report.passedOver;
  return "{\"method\":" + std::to_string(report.method) +
         ",\"recordsWritten\":" + std::to_string(report.recordsWritten) +
         ",\"deletedRecords\":" + std::to_string(over.deleted) +
         ",\"jammedRecords\":" + std::to_string(over.jammedFlag) +
         ",\"invalidRecords\":" + std::to_string(over.failedValueCheck) +
         ",\"cutOffRecords\":" + std::to_string(over.cutOffByEndOfFile) +
         ",\"recordsLost\":" + std::to_string(report.findings.recordsLost()) +
         ",\"findings\":" + report.findings.json() + "}\n";
}

std::vector<std::string> reportFilePaths(const std::string& resultFolder) {
  return {platform::InFolder(resultFolder, kReportTextName),
          platform::InFolder(resultFolder, kReportJsonName)};
}

bool placeReportFiles(const std::string& resultFolder, const RecoveryReport& report,
                      platform::Env* env) {
  std::vector<std::string> paths = reportFilePaths(resultFolder);
  const std::string texts[] = {reportText(report), reportJson(report)};
  bool whole = true;
  for (size_t i = 0; i < paths.size(); ++i) {
    platform::Status status = writeWhole(env, paths[i], texts[i]);
    if (status) continue;
    std::string why = paths[i] + ": " + systemText(status);
    Log().InfoString("Report file not written:", why.c_str());
    whole = false;
  }
  return whole;
}

}  // namespace kest
