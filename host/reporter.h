// How dbfrecover tells the user what the engine is doing and how each table
// ended, in one of four styles:
//   terminal  Pass lines and a live progress bar on stderr, results on stdout
//   plain     the same lines without the bar, for a stderr that is no terminal
//   json      one JSON object per line on stdout for every report and result
//   quiet     failures only, on stderr
// Names and texts arrive in the process's narrow code page; every line is
// written whole, plain lines free of control characters, JSON lines valid.
//
// A Reporter serves one batch, from the thread that runs it (the engine's
// callbacks come on that thread too).
#ifndef KEST_HOST_REPORTER_H_
#define KEST_HOST_REPORTER_H_

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/table_files.h"

struct KestRecoverReport;

namespace kest::host {

enum class Style { kJson, kTerminal, kPlain, kQuiet };

// What a thorough run reported (FileRecoverEx's report), texts in UTF-8. A
// classic run has none.
struct RunReport {
  std::string method;  // "best-case", "worst-case" or "none"
  uint32_t records = 0;
  uint32_t deleted = 0;
  uint32_t jammed = 0;
  uint32_t invalid = 0;
  uint32_t cutOff = 0;
  // The repairs described; `repairCount` counts them all.
  std::vector<std::string> repairs;
  uint32_t repairCount = 0;
  // Why no result was written, in the engine's words; empty when it wrote
  // one or did not say.
  std::string failure;
};

// The engine's report with its texts in UTF-8, each ended where the engine
// ended it or at the field's last byte.
RunReport reportFromEngine(const ::KestRecoverReport& raw);

// What one output style does with each report; the Reporter has worked out
// the sentences and converted every text to UTF-8 before a sink sees it.
class ReportSink {
 public:
  virtual ~ReportSink() = default;
  virtual void beginTable(const std::string& table) = 0;
  virtual void status(const std::string& table, const std::string& text) = 0;
  // The one report of an engine that could not be set up at load. The
  // failure sentence of the run carries it as well.
  virtual void notReadyStatus(const std::string& table, const std::string& text) = 0;
  virtual void progress(const std::string& table, int32_t percent) = 0;
  // Closes what the run left open.
  virtual void endRun() = 0;
  virtual void written(const std::string& table, const std::optional<ResultLocation>& location,
                       const std::string& outputFolder,
                       const std::optional<RunReport>& report) = 0;
  virtual void failed(const std::string& table, int32_t code, const std::string& sentence,
                      const std::optional<RunReport>& report) = 0;
  virtual void stoppedWhileWriting(const std::string& table,
                                   const std::optional<ResultLocation>& location,
                                   const std::string& sentence) = 0;
  virtual void notRun(const std::string& table, const std::string& sentence) = 0;
  virtual void notWritten(const std::string& table, const std::optional<ResultLocation>& location,
                          const std::string& sentence) = 0;
};

std::unique_ptr<ReportSink> makeSink(Style style);

// Shows the engine's reports for one table at a time.
class Reporter {
 public:
  explicit Reporter(Style style);

  void beginTable(const std::string& table);
  // A status text or a progress report from the engine.
  void status(const char* raw);
  void progress(int32_t percent);
  void endRun();

  // How the table's run ended: written, failed with `code`, or stopped by
  // the user while the result was being written.
  // `report` is the thorough run's, none for a classic run.
  void written(const std::optional<ResultLocation>& location, const std::string& outputFolder,
               const std::optional<RunReport>& report = std::nullopt);
  void failed(int32_t code, const std::optional<RunReport>& report = std::nullopt);
  // A word for the user before the batch (an engine without the thorough
  // recovery); quiet and JSON styles keep it to stderr as well.
  void note(const std::string& text);
  void stoppedWhileWriting(const std::optional<ResultLocation>& location);
  // The result could not be written whole, for the system's reason.
  void notWritten(const std::optional<ResultLocation>& location, const std::string& reason);
  // A table the batch did not run because the user stopped it.
  void notRun(const std::string& table);

  // True when this table's run said the engine could not be set up.
  bool engineNotReady() const { return !notReady_.empty(); }

 private:
  Style style_;
  std::unique_ptr<ReportSink> sink_;
  std::string table_;
  std::string notReady_;
};

}  // namespace kest::host

#endif  // KEST_HOST_REPORTER_H_
