// The tables of `dbfrecover serve` and their one queue to the engine.
//
// Every table handed in gets a numbered folder inside the server's private
// folder: in/ holds the upload as table.dbf (with table.fpt or table.dbt),
// out/ the engine's results folder, get/ the downloads made from it. The
// names the user's files had are labels only.
//
// The engine runs one recovery at a time: a worker thread takes the queued
// tables in order. Cancel takes a waiting table out of the queue, or sets
// the break byte of the running one. All members are safe to call from any
// thread; the engine's callbacks come on the worker.
#ifndef KEST_HOST_SERVE_DESK_H_
#define KEST_HOST_SERVE_DESK_H_

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>

#include "host/engine_library.h"
#include "host/reporter.h"
#include "platform/env.h"

namespace kest::host {

enum class DeskState { kReceiving, kReady, kQueued, kRunning, kDone, kFailed, kCancelled };
const char* deskStateName(DeskState state);

// What a request gets back: an HTTP status and a JSON body, or a file to send.
struct DeskAnswer {
  int status = 200;
  nlohmann::ordered_json body;
  std::string file;          // set for a download: the file to send
  std::string downloadName;  // what the browser saves it as
  std::string contentType;

  static DeskAnswer error(int status, const std::string& message);
};

class ServeDesk {
 public:
  // `folder` is the server's private folder, existing and empty. Without an
  // engine (`engine` null) tables are taken and inspected, and a recovery
  // fails with `engineProblem`.
  ServeDesk(platform::Env* env, std::string folder, std::optional<Engine> engine,
            std::string engineProblem, uint64_t uploadLimit);
  // Stops the running recovery at the engine's next check and waits for it.
  ~ServeDesk();
  ServeDesk(const ServeDesk&) = delete;
  ServeDesk& operator=(const ServeDesk&) = delete;

  uint64_t uploadLimit() const { return uploadLimit_; }

  // A new table labelled `label`: its folders made, the table's file path
  // to receive the upload into. nullopt with `answer` set on refusal.
  std::optional<std::pair<int, std::string>> beginTable(const std::string& label,
                                                        DeskAnswer* answer);
  // The memo file's path for table `id` labelled `label` (.fpt or .dbt).
  std::optional<std::string> beginMemo(int id, const std::string& label, DeskAnswer* answer);
  // The upload into `id` (its table, or its memo when `memo`) ended: with
  // `failedStatus` 0 it arrived whole and the table is inspected again;
  // otherwise it failed with that HTTP status for `problem`, and the table
  // is forgotten or left without memo.
  DeskAnswer endUpload(int id, bool memo, int failedStatus, const std::string& problem);

  DeskAnswer list() const;
  DeskAnswer inspect(int id) const;
  DeskAnswer recover(int id);
  DeskAnswer cancel(int id);
  // "zip", "csv", "jsonl" or "sqlite" of a recovered table, made on the
  // first request.
  DeskAnswer download(int id, const std::string& format);

  // For the engine's callbacks, on the worker: a status text (or null)
  // and a percentage (or -1) of the running table.
  struct Table;
  struct Run;
  void noteStatus(Table* table, const char* text, int percent);

 private:

  std::string tableFolder(int id) const;
  nlohmann::ordered_json describe(const Table& table, size_t queuePlace) const;
  DeskAnswer makeDownload(int id, const std::string& label, const ResultLocation& result,
                          const std::string& format);
  void work();
  void runOne(Table* table);
  nlohmann::ordered_json inspectSource(const Table& table) const;

  platform::Env* env_;
  std::string folder_;
  std::optional<Engine> engine_;
  std::string engineProblem_;
  uint64_t uploadLimit_;

  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::map<int, std::unique_ptr<Table>> tables_;
  std::deque<int> queue_;
  int nextId_ = 1;
  int running_ = 0;  // the table the engine has, 0 for none
  bool stopping_ = false;
  // The engine reads it at its poll points; Cancel and the destructor set it.
  volatile char breakByte_ = 0;
  // Downloads are made one at a time: exports of the same table would
  // race for the same files. Taken before engineMutex_, never after it.
  std::mutex downloadMutex_;
  // Held by whatever uses the engine: a recovery, and an export (which
  // recovers a damaged table first). The engine runs one at a time.
  std::mutex engineMutex_;
  std::thread worker_;
};

}  // namespace kest::host

#endif  // KEST_HOST_SERVE_DESK_H_
