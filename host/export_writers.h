// Where dbfrecover export puts the records of one table: a CSV file (RFC
// 4180: CRLF line ends, a header row, quotes where needed), a JSON Lines
// file (one object per record), or a table of an SQLite database (typed
// columns, one transaction per table).
//
// Writers never replace an existing file or table: creating one that is
// there already fails. A file (and a new database) is written under its
// partial name and takes its final name whole, in `finish`; a table added
// to a database that exists is one transaction. A writer that failed
// stays failed; `finish` undoes what it made and reports the first error.
#ifndef KEST_HOST_EXPORT_WRITERS_H_
#define KEST_HOST_EXPORT_WRITERS_H_

#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/env.h"
#include "reader/field_value.h"

namespace kest::host {

// Rows of text as they are built: `room` makes space for a number of
// bytes, and the puts after it take that space without checking it, so
// that a value costs a copy and no more.
class RowText {
 public:
  void room(size_t count) {
    if (capacity_ - size_ < count) grow(count);
  }
  void put(char c) { data_[size_++] = c; }
  void put(std::string_view text) {
    char* to = data_.get() + size_;
    const char* from = text.data();
    size_t n = text.size();
    // Most values are short: two overlapping fixed-size copies, inline,
    // rather than a call.
    if (n >= 8 && n <= 16) {
      std::memcpy(to, from, 8);
      std::memcpy(to + n - 8, from + n - 8, 8);
    } else if (n >= 4 && n < 8) {
      std::memcpy(to, from, 4);
      std::memcpy(to + n - 4, from + n - 4, 4);
    } else if (n > 0) {  // an empty view may hold no pointer at all
      std::memcpy(to, from, n);
    }
    size_ += n;
  }
  // Where the next bytes go, and how many were put there.
  char* end() { return data_.get() + size_; }
  void added(size_t count) { size_ += count; }

  std::string_view view() const { return {data_.get(), size_}; }
  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  void clear() { size_ = 0; }

 private:
  void grow(size_t count);

  std::unique_ptr<char[]> data_;
  size_t size_ = 0, capacity_ = 0;
};

struct Column {
  std::string name;  // UTF-8, unique within the table
  reader::ColumnKind kind = reader::ColumnKind::kText;
};

// What a format must know of a whole text value before it writes the
// value's first byte, gathered from its pieces.
struct PieceSurvey {
  bool quoted = false;  // CSV: a piece holds a comma, quote, CR or LF
};

class RecordWriter {
 public:
  virtual ~RecordWriter() = default;
  // Starts the output; false and `error` when it cannot be created.
  virtual bool begin(const std::vector<Column>& columns, std::string* error) = 0;
  // One record: one value per column, in column order.
  virtual bool row(const std::vector<reader::Value>& values, std::string* error) = 0;
  // Completes the output (`ok` false: abandon it); false on a write error.
  virtual bool finish(bool ok, std::string* error) = 0;

  // Writers of text also take rows formatted elsewhere, a value at a
  // time: `formatValue` for each column in order, then `endRow`. Both may
  // be called on any thread once `begin` has returned (they read only what
  // begin set up), and `putRows` writes such rows, in order, in place of
  // `row`.
  virtual bool formatsText() const { return false; }
  virtual void formatValue(size_t, const reader::ValueView&, RowText*) const {}
  virtual void endRow(RowText*) const {}
  virtual bool putRows(std::string_view, std::string*) { return false; }

  // A text value too long to hold formatted whole goes in pieces of UTF-8
  // that end between characters, in place of its `formatValue`: every
  // piece first to `survey`, then `beginPieces`, every piece again to
  // `putPiece` (the text may be written out between pieces), `endPieces`.
  // The result is the text `formatValue` gives for the whole value.
  virtual void survey(std::string_view, PieceSurvey*) const {}
  virtual void beginPieces(size_t, const PieceSurvey&, RowText*) const {}
  virtual void putPiece(std::string_view, const PieceSurvey&, RowText*) const {}
  virtual void endPieces(const PieceSurvey&, RowText*) const {}
};

std::unique_ptr<RecordWriter> MakeCsvWriter(const std::string& path, platform::Env* env);
std::unique_ptr<RecordWriter> MakeJsonLinesWriter(const std::string& path, platform::Env* env);

#ifdef KEST_HAVE_SQLITE
// The database at `databasePath` (created when missing) gets a table
// `tableName`.
std::unique_ptr<RecordWriter> MakeSqliteWriter(const std::string& databasePath,
                                               const std::string& tableName, platform::Env* env);
#endif

}  // namespace kest::host

#endif  // KEST_HOST_EXPORT_WRITERS_H_
