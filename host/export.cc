#include "host/export.h"

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <thread>

#include "host/cli_text.h"
#include "host/engine_library.h"
#include "host/export_writers.h"
#include "host/subcommand_cli.h"
#include "host/table_files.h"
#include "platform/console.h"
#include "platform/path.h"
#include "reader/field_value.h"
#include "reader/memo_file.h"
#include "reader/table.h"
#include "reader/text_decoder.h"

namespace kest::host {
namespace fs = std::filesystem;
namespace {

const char kUsageLine[] = "Usage: dbfrecover export [options] TABLE.dbf... -o OUT\n";
const char kHelp[] =
    "Usage: dbfrecover export [options] TABLE.dbf... -o OUT\n"
    "Writes the records of each table to CSV, JSON Lines or an SQLite database.\n"
    "Tables and memo companions are only read; nothing that exists is replaced,\n"
    "and an output appears whole or not at all. A damaged table is recovered\n"
    "first (the default recovery, in a temp folder) and what it brings back is\n"
    "exported; the table's closing line says so.\n"
    "\n"
    "Options:\n"
    "  -o, --output OUT     csv, jsonl: an existing folder, which gets TABLE.csv or\n"
    "                       TABLE.jsonl; sqlite: the database file, which gets a\n"
    "                       table TABLE (created when missing)\n"
    "  -f, --format FORMAT  csv (default), jsonl or sqlite (in builds with SQLite)\n"
    "      --encoding NAME  character set of the text (default: the table's code page)\n"
    "      --deleted        keep deleted records, with a leading column _deleted\n"
    "  -h, --help           show this help and exit\n"
    "\n"
    "Values are decoded by type: text in UTF-8, numbers, ISO dates and timestamps,\n"
    "booleans, memo texts. A value that cannot be decoded is left empty (null) and\n"
    "counted in the table's closing line.\n"
    "\n"
    "Examples:\n"
    "  dbfrecover export calls.dbf -o out            (out/calls.csv)\n"
    "  dbfrecover export -f jsonl --deleted *.dbf -o out\n"
    "  dbfrecover export -f sqlite --encoding CP1251 orders.dbf -o orders.db\n"
    "\n"
    "Exit status:\n"
    "  0  every table was exported\n"
    "  4  a table cannot be read\n"
    "  5  an output cannot be created or written (also: it exists already)\n"
    "  130  stopped by Ctrl-C (the table being exported has no output)\n"
    "  Over several tables the worst counts: 5, then 4.\n"
    "  2  usage error (nothing was exported)\n";

std::string stemOf(const std::string& path) { return fs::path(path).stem().string(); }

// The memo companion of a table, or null when it has none: the one place
// export opens memo files.
std::unique_ptr<reader::MemoFile> openMemo(const std::string& tablePath,
                                           const reader::Header& header) {
  return reader::MemoFile::Open(tablePath, header);
}

// Column names in UTF-8, unique: a damaged or duplicated descriptor name
// must not make two columns of one name.
std::vector<Column> columnsOf(const std::vector<const reader::Field*>& fields,
                              const reader::Header& header, reader::TextDecoder& text,
                              bool withDeleted) {
  std::vector<Column> columns;
  std::set<std::string> taken;
  if (withDeleted) {
    columns.push_back({"_deleted", reader::ColumnKind::kBool});
    taken.insert("_deleted");
  }
  for (size_t i = 0; i < fields.size(); ++i) {
    std::string name;
    if (!text.decode(fields[i]->name, &name) || name.empty()) name = plainText(fields[i]->name);
    if (name.empty()) name = "FIELD" + std::to_string(i + 1);
    std::string unique = name;
    for (int n = 2; taken.count(unique) != 0; ++n) unique = name + "_" + std::to_string(n);
    taken.insert(unique);
    columns.push_back({unique, reader::columnKind(*fields[i], header)});
  }
  return columns;
}

// The bar of the recovery's terminal output: "[####....] 40%" after a
// label, redrawn in place, never wider than the terminal.
class ProgressBar {
 public:
  ProgressBar(bool on, std::ostream& err) : on_(on), err_(err) {}
  ~ProgressBar() { clear(); }
  void label(const std::string& text) {
    label_ = plainText(text);
    shown_ = -1;
  }
  void show(uint64_t done, uint64_t total) {
    if (on_ && total > 0) percent(static_cast<int>(done * 100 / total));
  }
  void percent(int percent) {
    percent = std::clamp(percent, 0, 100);
    if (!on_ || percent == shown_) return;
    shown_ = percent;
    constexpr int kBarWidth = 20;
    int filled = percent * kBarWidth / 100;
    std::string bar = "[" + std::string(filled, '#') + std::string(kBarWidth - filled, '.') +
                      "] " + std::to_string(percent) + "%";
    int columns = platform::TerminalColumns(platform::ConsoleStream::kError);
    size_t room = static_cast<size_t>(columns >= 20 ? columns - 1 : 79);
    std::string line = bar;
    if (room > bar.size() + 1) line = cutToFit(label_, room - bar.size() - 1) + " " + bar;
    err_ << "\r\033[K" << cutToFit(line, room) << std::flush;
  }
  void clear() {
    if (on_ && shown_ >= 0) err_ << "\r\033[K" << std::flush;
    shown_ = -1;
  }

 private:
  bool on_;
  std::ostream& err_;
  std::string label_;
  int shown_ = -1;
};

// Why a table cannot be exported as it stands but through the recovery;
// nullopt when its header and file agree. Damage inside the records that
// the reader can see (a deletion flag that is neither) is caught as the
// records are read.
const char kNoLayout[] = "the header gives no record layout";

std::optional<std::string> damageOf(const reader::Table& table) {
  // The header is judged as the recovery judges it: what the recovery
  // would rebuild is no layout to export by.
  switch (headerFault(table.headerFacts())) {
    case HeaderFault::kNone:
      break;
    case HeaderFault::kRecordTooShort:
      return "a field lies beyond the record";
    default:
      return kNoLayout;
  }
  const reader::Header& header = table.header();
  uint64_t records = uint64_t{header.recordCount} * header.recordLength;
  if (table.fileSize() < header.headerLength + records) {
    return "the file ends before the records its header counts";
  }
  // After the records: an end mark and padding, or nothing. More is records
  // the count leaves out or stray bytes that put records out of step.
  if (table.fileSize() - header.headerLength - records >= header.recordLength &&
      header.layout != reader::Layout::kDbase2) {
    return "the file holds more than the records its header counts";
  }
  return std::nullopt;
}

// What one table's export did, for its closing line.
struct Exported {
  uint64_t written = 0, leftOut = 0, nulls = 0;
  std::map<std::string, uint64_t> nullsByField;
  bool asciiOnly = false;
};

enum class Outcome { kDone, kDamaged, kUnreadable, kCannotCreate, kStopped };

// One thread's means of decoding records of a table: its own reads, text
// conversion and memo file.
class RowDecoder {
 public:
  RowDecoder(const ExportOptions& options, std::unique_ptr<reader::Table> table)
      : deleted_(options.deleted),
        table_(std::move(table)),
        text_(options.encoding.empty() ? reader::defaultEncoding(table_->header())
                                       : options.encoding),
        memo_(openMemo(table_->path(), table_->header())),
        decoder_(table_->header(), memo_.get(), &text_),
        pieceBytes_(std::max<size_t>(options.memoPieceBytes, 4)) {
    for (const reader::Field& f : table_->fields()) {
      if (reader::isSystemField(f)) continue;
      fields_.push_back(&f);
      memoFields_.push_back(reader::isMemoType(f.type, table_->header()));
    }
    values_.resize(fields_.size() + (deleted_ ? 1 : 0));
  }

  reader::Table& table() { return *table_; }
  reader::TextDecoder& text() { return text_; }
  const std::vector<const reader::Field*>& fields() const { return fields_; }
  const std::vector<reader::Value>& values() const { return values_; }

  enum class Row { kTaken, kLeftOut, kDamaged, kReadError, kWriteError };
  // Writes out the text `format` made so far: a long memo's text goes out
  // while it is formatted. False (and the writer's error) on a write error.
  using Spill = std::function<bool(RowText*)>;
  // Reads and decodes record `index` into values(), counting in `done`;
  // kDamaged at a deletion flag that is neither live nor deleted, when
  // `strict`.
  Row decode(uint64_t index, bool strict, const std::vector<Column>& columns, Exported* done) {
    std::string_view record;
    Row row = take(index, strict, &record, done);
    if (row != Row::kTaken) return row;
    size_t at = deleted_ ? 1 : 0;
    if (deleted_) {
      values_[0].kind = reader::Value::Kind::kBool;
      values_[0].boolean = record[0] == static_cast<char>(reader::kDeletedFlag);
    }
    for (size_t k = 0; k < fields_.size(); ++k) decodeField(k, at + k, record, columns, done);
    ++done->written;
    return Row::kTaken;
  }

  // As `decode`, but the record's row goes straight to `out` as `writer`
  // formats it: the values most fields hold without a copy, the rest
  // decoded as `decode` does. With `spill`, a memo longer than a piece
  // goes in pieces, and kWriteError says that a spill failed.
  Row format(uint64_t index, bool strict, const std::vector<Column>& columns,
             const RecordWriter& writer, RowText* out, Exported* done,
             const Spill* spill = nullptr) {
    std::string_view record;
    Row row = take(index, strict, &record, done);
    if (row != Row::kTaken) return row;
    size_t at = 0;
    if (deleted_) {
      reader::ValueView flag;
      flag.kind = reader::Value::Kind::kBool;
      flag.boolean = record[0] == static_cast<char>(reader::kDeletedFlag);
      writer.formatValue(at++, flag, out);
    }
    reader::ValueView common;
    for (size_t k = 0; k < fields_.size(); ++k) {
      if (decoder_.decodeCommon(*fields_[k], record, &common)) {
        writer.formatValue(at + k, common, out);
      } else if (spill != nullptr && memoFields_[k]) {
        if (!formatMemo(k, at + k, record, columns, writer, out, *spill, done)) {
          return Row::kWriteError;
        }
      } else {
        decodeField(k, at + k, record, columns, done);
        writer.formatValue(at + k, reader::ValueView(values_[at + k]), out);
      }
    }
    writer.endRow(out);
    ++done->written;
    return Row::kTaken;
  }

 private:
  // The record `index`, unless it is left out or cannot be read.
  Row take(uint64_t index, bool strict, std::string_view* record, Exported* done) {
    if (!table_->record(index, record)) return Row::kReadError;
    auto flag = static_cast<uint8_t>((*record)[0]);
    if (strict && flag != reader::kLiveFlag && flag != reader::kDeletedFlag) return Row::kDamaged;
    if (flag == reader::kDeletedFlag && !deleted_) {
      ++done->leftOut;
      return Row::kLeftOut;
    }
    return Row::kTaken;
  }

  void decodeField(size_t k, size_t column, std::string_view record,
                   const std::vector<Column>& columns, Exported* done) {
    if (!decoder_.decode(*fields_[k], record, &values_[column], &reason_)) {
      countNull(columns[column], done);
    }
  }

  void countNull(const Column& column, Exported* done) {
    ++done->nulls;
    ++done->nullsByField[column.name + " (" + reason_ + ")"];
  }

  // A memo field's value as `decodeField` gives it; one longer than a
  // piece goes in pieces. False when a spill failed.
  bool formatMemo(size_t k, size_t column, std::string_view record,
                  const std::vector<Column>& columns, const RecordWriter& writer, RowText* out,
                  const Spill& spill, Exported* done) {
    using MemoBytes = reader::FieldDecoder::MemoBytes;
    // The room of a long memo before is given back, not kept beside the
    // next one's while that is read.
    if (memoBytes_.capacity() > pieceBytes_) std::string().swap(memoBytes_);
    MemoBytes read = decoder_.readMemo(*fields_[k], record, &memoBytes_, &reason_);
    const bool binary = read == MemoBytes::kBinary;
    if ((read == MemoBytes::kText || binary) && memoBytes_.size() > pieceBytes_ &&
        (binary || text_.cuttable())) {
      return streamMemo(column, binary, columns, writer, out, spill, done);
    }
    if (!decoder_.memoValue(read, memoBytes_, &values_[column], &reason_)) {
      countNull(columns[column], done);
    }
    writer.formatValue(column, reader::ValueView(values_[column]), out);
    return true;
  }

  // The memo in memoBytes_ decoded (or base64) and written a piece at a
  // time. A row that has gone out in part cannot be taken back, so the
  // value's fate is decided before its first byte: every piece is decoded
  // once to see that the text decodes (else it is null, as a whole memo
  // that does not decode is) and what the format must know of it, then
  // again to be written.
  bool streamMemo(size_t column, bool binary, const std::vector<Column>& columns,
                  const RecordWriter& writer, RowText* out, const Spill& spill, Exported* done) {
    PieceSurvey survey;
    for (size_t at = 0; at < memoBytes_.size();) {
      if (!nextPiece(binary, &at)) {
        reason_ = decoder_.notTextReason();
        values_[column] = reader::Value();
        countNull(columns[column], done);
        writer.formatValue(column, reader::ValueView(values_[column]), out);
        return true;
      }
      writer.survey(piece_, &survey);
    }
    // Formatted text beyond this goes out between pieces.
    constexpr size_t kSpillBytes = 1 << 18;
    writer.beginPieces(column, survey, out);
    for (size_t at = 0; at < memoBytes_.size();) {
      nextPiece(binary, &at);  // decoded once already
      writer.putPiece(piece_, survey, out);
      if (out->size() >= kSpillBytes && !spill(out)) return false;
    }
    writer.endPieces(survey, out);
    return true;
  }

  // The piece of memoBytes_ from `*at` into piece_, and `*at` past it: a
  // piece of text ends between characters, one of base64 on a multiple
  // of 3 bytes. False when a text piece does not decode.
  bool nextPiece(bool binary, size_t* at) {
    std::string_view rest = std::string_view(memoBytes_).substr(*at);
    size_t take = std::min(rest.size(), pieceBytes_);
    if (binary) {
      if (take < rest.size()) take -= take % 3;
      piece_ = reader::base64(rest.substr(0, take));
      *at += take;
      return true;
    }
    if (take < rest.size()) take = text_.cut(rest.substr(0, take));
    if (take == 0) take = rest.size();  // no cut in the piece: the rest whole
    *at += take;
    return text_.decode(rest.substr(0, take), &piece_);
  }

  bool deleted_;
  std::unique_ptr<reader::Table> table_;
  reader::TextDecoder text_;
  std::unique_ptr<reader::MemoFile> memo_;
  reader::FieldDecoder decoder_;
  std::vector<const reader::Field*> fields_;
  std::vector<reader::Value> values_;
  std::string reason_;
  std::vector<bool> memoFields_;  // by fields_
  size_t pieceBytes_;
  std::string memoBytes_, piece_;
};

// Records formatted as text by one thread, to be written in their turn.
struct Batch {
  RowText rows;
  Exported done;
  RowDecoder::Row end = RowDecoder::Row::kTaken;  // kDamaged or kReadError: stopped there
  uint64_t stoppedAt = 0;
  uint64_t next = 0;  // the first record of the batch not in `rows`
};

// A batch's text stops after the row that takes it past this: JSON's keys
// and escapes can make rows many times their records (a key of ten bytes
// for a field of one), and the text held must stay bounded whatever the
// table. Rooms of that size are taken once, and only what is written
// there is memory in use.
constexpr size_t kBatchTextBytes = 4 << 20;

// Formats records [first, end) into `batch`, until its text is full.
void formatBatch(RowDecoder& rows, const RecordWriter& writer, const std::vector<Column>& columns,
                 uint64_t first, uint64_t end, bool strict, Batch* batch) {
  batch->rows.clear();
  batch->rows.room(kBatchTextBytes + (64 << 10));
  batch->done = Exported();
  batch->end = RowDecoder::Row::kTaken;
  for (uint64_t i = first; i < end; ++i) {
    RowDecoder::Row row = rows.format(i, strict, columns, writer, &batch->rows, &batch->done);
    if (row != RowDecoder::Row::kTaken && row != RowDecoder::Row::kLeftOut) {
      batch->end = row;
      batch->stoppedAt = i;
      return;
    }
    if (batch->rows.size() >= kBatchTextBytes) {
      batch->next = i + 1;
      return;
    }
  }
  batch->next = end;
}

void add(const Exported& part, Exported* done) {
  done->written += part.written;
  done->leftOut += part.leftOut;
  done->nulls += part.nulls;
  for (const auto& [field, count] : part.nullsByField) done->nullsByField[field] += count;
}

// Tables smaller than this are not worth a second thread.
constexpr uint64_t kParallelBytes = 8 << 20;

// The batches of a table (one read of records each, about 1 MiB) formatted
// by two threads, each taking the next batch not yet taken whenever it is
// free, and written in order by the thread that writes. A thread never
// waits for the other while there is a batch to format: on a busy machine
// the other may be off its core for a while. At most kSlots batches are
// formatted and not yet written, each of at most kBatchTextBytes and a row.
class BatchTurns {
 public:
  BatchTurns(uint64_t perBatch, uint64_t total)
      : perBatch_(perBatch), total_(total), batches_((total + perBatch - 1) / perBatch) {}

  uint64_t batches() const { return batches_; }
  uint64_t first(uint64_t b) const { return b * perBatch_; }
  uint64_t end(uint64_t b) const { return std::min(first(b) + perBatch_, total_); }

  // The helper's part: formats batches until none is left or stop().
  void formatWhileAny(RowDecoder& rows, const RecordWriter& writer,
                      const std::vector<Column>& columns, bool strict) {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      changed_.wait(lock, [&] { return stopped_ || next_ >= batches_ || hasRoom(); });
      if (stopped_ || next_ >= batches_) return;
      formatNext(lock, rows, writer, columns, strict);
    }
  }

  // Batch `b` formatted, by whichever thread took it; while it is not,
  // this thread formats the next batches there is room for. Throws what
  // the helper threw.
  Batch& awaitBatch(uint64_t b, RowDecoder& rows, const RecordWriter& writer,
                    const std::vector<Column>& columns, bool strict) {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!slot(b).ready && !failure_) {
      if (next_ < batches_ && hasRoom()) {
        formatNext(lock, rows, writer, columns, strict);
      } else {
        changed_.wait(lock);
      }
    }
    if (std::exception_ptr failure = failure_) {
      lock.unlock();
      std::rethrow_exception(failure);
    }
    return slot(b).batch;
  }

  // The helper failed: it formats no more.
  void fail(std::exception_ptr failure) {
    std::lock_guard<std::mutex> lock(mutex_);
    failure_ = failure;
    stopped_ = true;
    changed_.notify_all();
  }

  // Batch `b` is written: its slot takes another.
  void written(uint64_t b) {
    std::lock_guard<std::mutex> lock(mutex_);
    slot(b).ready = false;
    written_ = b + 1;
    changed_.notify_all();
  }

  void stop() {
    std::lock_guard<std::mutex> lock(mutex_);
    stopped_ = true;
    changed_.notify_all();
  }

 private:
  static constexpr uint64_t kSlots = 3;
  struct Slot {
    Batch batch;
    bool ready = false;
  };
  Slot& slot(uint64_t b) { return slots_[b % kSlots]; }
  bool hasRoom() const { return next_ < written_ + kSlots; }

  // Takes the next batch and formats it without the lock.
  void formatNext(std::unique_lock<std::mutex>& lock, RowDecoder& rows,
                  const RecordWriter& writer, const std::vector<Column>& columns, bool strict) {
    const uint64_t b = next_++;
    Batch& batch = slot(b).batch;
    lock.unlock();
    formatBatch(rows, writer, columns, first(b), end(b), strict, &batch);
    lock.lock();
    slot(b).ready = true;
    changed_.notify_all();
  }

  const uint64_t perBatch_, total_, batches_;
  std::mutex mutex_;
  std::condition_variable changed_;
  Slot slots_[kSlots];
  uint64_t next_ = 0;     // the first batch no thread has taken
  uint64_t written_ = 0;  // the first batch not yet written
  bool stopped_ = false;
  std::exception_ptr failure_;
};

// The records of `table` into `writer`. kDamaged (and the output abandoned)
// at a deletion flag that is neither live nor deleted, when `strict`. A
// writer of text gets the rows of a large table formatted on two threads
// (BatchTurns).
Outcome copyRecords(const ExportOptions& options, const std::string& path, bool strict,
                    platform::Env* env, ProgressBar& bar, RecordWriter& writer, Exported* done,
                    std::string* error) {
  std::unique_ptr<reader::Table> table = reader::Table::Open(path, error, env);
  if (!table) {
    *error = "cannot be read: " + *error;
    return Outcome::kUnreadable;
  }
  const uint64_t total = table->readableRecords();
  const uint64_t recordLength = table->header().recordLength;
  RowDecoder rows(options, std::move(table));
  done->asciiOnly = rows.text().encoding().empty();
  std::vector<Column> columns =
      columnsOf(rows.fields(), rows.table().header(), rows.text(), options.deleted);
  if (!writer.begin(columns, error)) {
    writer.finish(false, error);
    *error = "cannot create the output: " + plainText(*error);
    return Outcome::kCannotCreate;
  }
  auto failWriting = [&] {
    writer.finish(false, error);
    *error = "cannot write the output: " + plainText(*error);
    return Outcome::kCannotCreate;
  };
  auto ended = [&](RowDecoder::Row row, uint64_t at) {
    writer.finish(false, error);
    if (row == RowDecoder::Row::kDamaged) return Outcome::kDamaged;
    *error = "cannot be read: read error at record " + std::to_string(at + 1);
    return Outcome::kUnreadable;
  };

  // A second reader of the table for the helper thread; without one, or
  // for a small table or a writer of its own rows, one thread does it all.
  std::unique_ptr<RowDecoder> helper;
  std::string ignored;
  // A memo text may be up to 16 MiB: a batch of rows with memos has no
  // bound worth holding three of, so such tables take one row at a time,
  // and a long memo goes out in pieces as it is formatted.
  const bool memos = std::any_of(rows.fields().begin(), rows.fields().end(),
                                 [&](const reader::Field* f) {
                                   return reader::isMemoType(f->type, rows.table().header());
                                 });
  if (writer.formatsText() && !memos && total * recordLength >= kParallelBytes) {
    if (std::unique_ptr<reader::Table> again = reader::Table::Open(path, &ignored, env)) {
      helper = std::make_unique<RowDecoder>(options, std::move(again));
    }
  }

  if (!helper) {
    // Rows of text gather up to this size before they are written.
    constexpr size_t kPendingBytes = 1 << 18;
    RowText pending;
    const RowDecoder::Spill spill = [&](RowText* text) {
      if (!writer.putRows(text->view(), error)) return false;
      text->clear();
      return true;
    };
    for (uint64_t i = 0; i < total; ++i) {
      if ((i & 0x3FF) == 0) {
        bar.show(i, total);
        if (platform::InterruptCount() != 0) {
          writer.finish(false, error);
          return Outcome::kStopped;
        }
      }
      RowDecoder::Row row = RowDecoder::Row::kTaken;
      if (writer.formatsText()) {
        row = rows.format(i, strict, columns, writer, &pending, done, &spill);
        if (row == RowDecoder::Row::kWriteError) return failWriting();
        if (pending.size() >= kPendingBytes) {
          if (!writer.putRows(pending.view(), error)) return failWriting();
          pending.clear();
        }
      } else {
        row = rows.decode(i, strict, columns, done);
        if (row == RowDecoder::Row::kTaken && !writer.row(rows.values(), error)) {
          return failWriting();
        }
      }
      if (row != RowDecoder::Row::kTaken && row != RowDecoder::Row::kLeftOut) {
        return ended(row, i);
      }
    }
    if (!pending.empty() && !writer.putRows(pending.view(), error)) return failWriting();
  } else {
    BatchTurns turns(rows.table().recordsPerRead(), total);
    std::thread helping([&] {
      try {
        turns.formatWhileAny(*helper, writer, columns, strict);
      } catch (...) {
        turns.fail(std::current_exception());
      }
    });
    // Whatever happens below, the helper ends before the writer finishes
    // and before its reader goes.
    struct Join {
      BatchTurns& turns;
      std::thread& thread;
      void now() {
        turns.stop();
        if (thread.joinable()) thread.join();
      }
      ~Join() { now(); }
    } join{turns, helping};
    for (uint64_t b = 0; b < turns.batches(); ++b) {
      bar.show(turns.first(b), total);
      if (platform::InterruptCount() != 0) {
        join.now();
        writer.finish(false, error);
        return Outcome::kStopped;
      }
      Batch& batch = turns.awaitBatch(b, rows, writer, columns, strict);
      // A batch whose text filled up is written and formatted on in turn.
      for (;;) {
        add(batch.done, done);
        if (batch.end != RowDecoder::Row::kTaken) {
          join.now();
          return ended(batch.end, batch.stoppedAt);
        }
        if (!writer.putRows(batch.rows.view(), error)) {
          join.now();
          return failWriting();
        }
        if (batch.next == turns.end(b)) break;
        formatBatch(rows, writer, columns, batch.next, turns.end(b), strict, &batch);
      }
      turns.written(b);
    }
  }
  bar.clear();
  if (!writer.finish(true, error)) {
    *error = "cannot write the output: " + plainText(*error);
    return Outcome::kCannotCreate;
  }
  return Outcome::kDone;
}

// The file an export of the table `stem` makes; for SQLite, the table
// in the database.
std::string targetOf(const ExportOptions& options, const std::string& stem) {
  if (options.format == "sqlite") return options.output + " table " + stem;
  return (fs::path(options.output) / (stem + "." + options.format)).string();
}

std::unique_ptr<RecordWriter> writerFor(const ExportOptions& options, const std::string& stem,
                                        platform::Env* env) {
  std::string target = targetOf(options, stem);
  if (options.format == "csv") return MakeCsvWriter(target, env);
  if (options.format == "jsonl") return MakeJsonLinesWriter(target, env);
#ifdef KEST_HAVE_SQLITE
  return MakeSqliteWriter(options.output, stem, env);
#else
  return nullptr;
#endif
}

// The engine's reports during a recovery for export: its progress moves
// the bar, its texts are not shown.
int32_t KEST_CALL onRecoveryStatus(const char*, void*) { return 0; }
int32_t KEST_CALL onRecoveryProgress(const char*, int32_t percent, void* bar) {
  try {
    static_cast<ProgressBar*>(bar)->percent(percent);
  } catch (...) {
  }
  return 0;
}

// The engine reads this byte at its poll points; the first Ctrl-C sets it
// (when ExportMain runs), and the export itself stops at it as well. A
// host that calls RunExport itself keeps the break byte it gave the engine.
volatile char gBreakByte = 0;
bool gBreakByteOurs = false;

// A private folder of the system's temp folder, taken away with all that
// a recovery put in it.
class Workspace {
 public:
  explicit Workspace(platform::Env* env) : env_(env) {}
  ~Workspace() {
    std::error_code ec;
    if (!path_.empty()) fs::remove_all(path_, ec);
  }
  bool make(std::string* error) {
    std::string root;
    if (!env_->TempPath(&root)) {
      *error = "no temp folder";
      return false;
    }
    for (int n = 0; n < 100; ++n) {
      std::string path = platform::InFolder(
          root, "dbfrecover-export-" + std::to_string(env_->ProcessId()) + "-" +
                    std::to_string(n));
      platform::Status made = env_->CreatePrivateFolder(path);
      if (made) {
        path_ = path;
        return true;
      }
      if (!platform::IsPresent(env_->KindOf(path))) {
        *error = path + ": " + made.text();
        return false;
      }
    }
    *error = "no free name for a temp folder in " + root;
    return false;
  }
  const std::string& path() const { return path_; }

 private:
  platform::Env* env_;
  std::string path_;
};

const char kStoppedWords[] = "stopped by the user; nothing written";

// Recovers `path` into `workspace` with the thorough recovery; the result
// table, or nullopt and `error`.
std::optional<ResultLocation> recoverForExport(const std::string& path,
                                               const std::string& workspace, ProgressBar& bar,
                                               std::string* error) {
  // Loaded once for all tables, and kept loaded, as dbfrecover's own run does.
  static std::string problem;
  static std::optional<Engine> engine = loadEngine(enginePath(), &problem);
  if (!engine) {
    *error = "the engine library cannot be loaded: " + problem;
    return std::nullopt;
  }
  if (engine->fileRecoverEx == nullptr) {
    *error = "the engine library has no thorough recovery";
    return std::nullopt;
  }
  if (gBreakByteOurs) engine->setBreakFlag(const_cast<char*>(&gBreakByte));
  KestRecoverOptions chosen{};
  chosen.size = sizeof chosen;
  chosen.flags = KEST_THOROUGH;
  KestRecoverReport report{};
  report.size = sizeof report;
  bar.label("recovering " + path);
  int32_t code = engine->fileRecoverEx(path.c_str(), workspace.c_str(), 0, onRecoveryStatus,
                                       onRecoveryProgress, &bar, nullptr, &chosen, &report);
  bar.clear();
  std::optional<ResultLocation> result = findNewResult(workspace, path, {});
  if (code == KEST_USER_BREAK || platform::InterruptCount() != 0) {
    *error = kStoppedWords;
    return std::nullopt;
  }
  if (code != KEST_OK || !result || result->table.empty()) {
    std::string cause(report.failure, strnlen(report.failure, sizeof report.failure));
    *error = code == KEST_OK ? std::string("the recovery left no table")
                             : failureSentence(code, platform::NarrowToUtf8(cause));
    return std::nullopt;
  }
  return result;
}

int exportTable(const ExportOptions& options, const std::string& path, std::ostream& out,
                std::ostream& err) {
  platform::Env* env = options.env != nullptr ? options.env : platform::Env::Default();
  const std::string shown = plainText(path);
  std::string error;
  std::unique_ptr<reader::Table> table = reader::Table::Open(path, &error, env);
  if (!table) {
    err << shown << ": cannot be read: " << error << "\n";
    return kExitUnreadable;
  }
  ProgressBar bar(options.progress, err);
  std::optional<std::string> damage = damageOf(*table);
  const std::string target = targetOf(options, stemOf(path));
  Exported done;
  Outcome outcome = Outcome::kDamaged;
  if (!damage) {
    std::unique_ptr<RecordWriter> writer = writerFor(options, stemOf(path), env);
    bar.label(path);
    outcome = copyRecords(options, path, true, env, bar, *writer, &done, &error);
    if (outcome == Outcome::kDamaged) {
      damage = "a record's deletion flag is neither live nor deleted";
      done = Exported();
    }
  }
  std::string method, recoveryFailure;
  Workspace workspace(env);
  if (outcome == Outcome::kDamaged) {
    // What the default recovery brings back, exported under the table's
    // own name; the recovered copy goes when the export is done.
    std::optional<ResultLocation> result;
    if (options.format != "sqlite" && platform::IsPresent(env->KindOf(target))) {
      // Said before the recovery, which would be in vain.
      err << shown << ": cannot create the output: " << plainText(target) << ": exists already\n";
      return kExitCannotCreate;
    }
    if (workspace.make(&error)) result = recoverForExport(path, workspace.path(), bar, &error);
    if (platform::InterruptCount() != 0) outcome = Outcome::kStopped;
    std::string readPath = path;
    if (result) method = result->method;
    if (outcome == Outcome::kStopped) {
      // Nothing more to do: the output was never made.
    } else if (result) {
      readPath = result->table;
    } else if (damageOf(*table) == std::optional<std::string>(kNoLayout)) {
      err << shown << ": cannot be read: " << *damage << ", and the recovery failed: "
          << plainText(error) << "\n";
      return kExitUnreadable;
    } else {
      // Never less than the table as it stands.
      recoveryFailure = error;
      if (!recoveryFailure.empty() && recoveryFailure.back() == '.') recoveryFailure.pop_back();
    }
    if (outcome != Outcome::kStopped) {
      std::unique_ptr<RecordWriter> writer = writerFor(options, stemOf(path), env);
      bar.label(path);
      outcome = copyRecords(options, readPath, false, env, bar, *writer, &done, &error);
    }
  }
  switch (outcome) {
    case Outcome::kDone: break;
    case Outcome::kStopped:
      bar.clear();
      err << shown << ": " << kStoppedWords << "\n";
      return kExitUserBreak;
    case Outcome::kUnreadable:
      err << shown << ": " << error << "\n";
      return kExitUnreadable;
    default:
      err << shown << ": " << error << "\n";
      return kExitCannotCreate;
  }

  out << shown << ": ";
  if (damage && recoveryFailure.empty()) {
    out << "damaged (" << *damage << "), exported what the recovery brings back ("
        << (method == "unknown" ? "its" : method) << " result): ";
  } else if (damage) {
    out << "damaged (" << *damage << "), the recovery brought nothing back ("
        << plainText(recoveryFailure) << "), exported as it stands: ";
  }
  out << done.written << " records to " << plainText(target);
  if (done.leftOut > 0) out << "; " << done.leftOut << " deleted left out";
  if (done.nulls > 0) {
    out << "; " << done.nulls << (done.nulls == 1 ? " value" : " values")
        << " could not be decoded, left null:";
    const char* separator = " ";
    for (const auto& [field, count] : done.nullsByField) {
      out << separator << plainText(field) << " " << count;
      separator = ", ";
    }
  }
  if (done.asciiOnly) out << "; code page has no conversion, only ASCII text kept";
  out << "\n" << std::flush;
  return kExitOk;
}

}  // namespace

std::vector<std::string> ExportFormats() {
#ifdef KEST_HAVE_SQLITE
  return {"csv", "jsonl", "sqlite"};
#else
  return {"csv", "jsonl"};
#endif
}

int RunExport(const ExportOptions& options, std::ostream& out, std::ostream& err) {
  int status = kExitOk;
  for (const std::string& table : options.tables) {
    if (platform::InterruptCount() != 0) return kExitUserBreak;
    status = std::max(status, exportTable(options, table, out, err));
  }
  return status;
}

int ExportMain(int argc, char** argv, std::ostream& out, std::ostream& err) {
  ExportOptions options;
  CLI::App app("export", "export");
  app.add_option("-o,--output", options.output)
      ->required()
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
  app.add_option("-f,--format", options.format)
      ->check(CLI::IsMember(ExportFormats()))
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
  app.add_option("--encoding", options.encoding)
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
  app.add_flag("--deleted", options.deleted);
  app.add_option("tables", options.tables)->required();
  int parsed = parseSubcommand(app, argc, argv, kHelp, out, err);
  if (parsed >= 0) return parsed;
  auto usage = [&](const std::string& problem) {
    return subcommandUsageError("export", kUsageLine, problem, err);
  };
  if (!options.encoding.empty() && !reader::TextDecoder(options.encoding).usable()) {
    return usage("unknown encoding '" + options.encoding + "'");
  }
  std::error_code ec;
  if (options.format != "sqlite" && !fs::is_directory(options.output, ec)) {
    return usage("output folder '" + options.output + "' is not an existing folder");
  }
  if (options.format == "sqlite") {
    // The database is written to: it must not be one of the tables read.
    for (const std::string& table : options.tables) {
      std::vector<std::string> sources = reader::memoCompanions(table);
      sources.push_back(table);
      for (const std::string& source : sources) {
        if (fs::exists(options.output, ec) && fs::equivalent(options.output, source, ec)) {
          return usage("output '" + options.output + "' is '" + source + "', which is to be read");
        }
      }
    }
  }
  options.progress = platform::IsTerminal(platform::ConsoleStream::kError);
  // The first Ctrl-C stops at the next check: the output and the recovery's
  // temp folder are taken away. The second ends the process at once.
  platform::InstallInterruptHandler(&gBreakByte, nullptr, kExitUserBreak);
  gBreakByteOurs = true;
  return RunExport(options, out, err);
}

}  // namespace kest::host
