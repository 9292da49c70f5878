#include "host/export_writers.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <memory>
#include <nlohmann/json.hpp>

#include "dbf/result_publishing.h"

#ifdef KEST_HAVE_SQLITE
#include <sqlite3.h>
#endif

namespace kest::host {

void RowText::grow(size_t count) {
  size_t capacity = std::max(2 * capacity_, size_ + count + 4096);
  std::unique_ptr<char[]> data(new char[capacity]);
  if (size_ > 0) std::memcpy(data.get(), data_.get(), size_);
  data_ = std::move(data);
  capacity_ = capacity;
}

namespace {

using reader::Value;

// True when `special` finds a byte it looks for in one of the words that
// cover `text`: eight bytes a step, the last step overlapping the one
// before; a text of four to seven bytes as one word of two overlapping
// halves; a shorter one a byte at a time, as a word of that byte.
template <typename Special>
bool anyByte(std::string_view text, Special special) {
  const char* at = text.data();
  const size_t n = text.size();
  uint64_t w;
  if (n < 4) {
    for (size_t i = 0; i < n; ++i) {
      if (special(uint64_t{0x0101010101010101u} * static_cast<uint8_t>(at[i]))) return true;
    }
    return false;
  }
  if (n < 8) {
    uint32_t low, high;
    std::memcpy(&low, at, 4);
    std::memcpy(&high, at + n - 4, 4);
    return special(low | (uint64_t{high} << 32));
  }
  for (size_t i = 0; i + 8 < n; i += 8) {
    std::memcpy(&w, at + i, 8);
    if (special(w)) return true;
  }
  std::memcpy(&w, at + n - 8, 8);
  return special(w);
}

constexpr uint64_t kOnes = 0x0101010101010101u, kHighs = 0x8080808080808080u;
// Has `w` a zero byte (the exact test, not one with false alarms).
constexpr uint64_t zeroByte(uint64_t w) { return (w - kOnes) & ~w & kHighs; }

using reader::ValueView;

// Rows gather in memory up to this size before they reach the file.
constexpr size_t kFlushBytes = 1 << 18;

std::string systemWords(const platform::Status& status) {
  return status.text().empty() ? "error " + std::to_string(status.code()) : status.text();
}

// An output written under its partial name beside the final one and
// published whole: synced, then renamed without replacing anything. A
// failure or a kill midway leaves no file under the final name.
class PublishedFile {
 public:
  explicit PublishedFile(platform::Env* env) : env_(env) {}
  ~PublishedFile() { abandon(); }

  bool create(const std::string& path, std::string* error) {
    path_ = path;
    // Checked first so that a table is not exported in vain; the rename
    // that publishes is the check that holds.
    if (platform::IsPresent(env_->KindOf(path))) {
      *error = path + ": exists already";
      return false;
    }
    std::string partial = partialName(path);
    platform::Status made = env_->CreateNew(partial, &file_);
    if (!made) {
      *error = partial + ": " +
               (platform::IsPresent(env_->KindOf(partial))
                    ? "exists already (left by an export cut short, or another one writing it)"
                    : systemWords(made));
      return false;
    }
    created_ = true;
    return true;
  }

  bool write(std::string_view bytes, std::string* error) {
    platform::Status status =
        file_ ? file_->Append(bytes.data(), bytes.size()) : platform::Status::Failure(0, "");
    return status ? true : fail(status, error);
  }

  bool publish(std::string* error) {
    if (!file_) return false;
    platform::Status status = file_->Sync();
    if (status) status = file_->Close();
    file_.reset();
    bool renamed = false;
    if (status) status = publishPartial(env_, path_, &renamed);
    if (status) {
      created_ = false;
      return true;
    }
    if (renamed) {
      // Only the folder's sync failed: the name may not survive a power
      // cut, so the output is taken back, as a failed one is.
      created_ = false;
      env_->RemoveFile(path_);
      return fail(status, error);
    }
    if (platform::IsPresent(env_->KindOf(path_))) {
      *error = path_ + ": exists already";
      return false;
    }
    return fail(status, error);
  }

  // Takes the partial file away; nothing was published.
  void abandon() {
    if (file_) file_->Close();
    file_.reset();
    if (created_) env_->RemoveFile(partialName(path_));
    created_ = false;
  }

 private:
  bool fail(const platform::Status& status, std::string* error) {
    *error = path_ + ": write error" + (status.text().empty() ? "" : ": " + status.text());
    return false;
  }

  platform::Env* env_;
  std::string path_;
  std::unique_ptr<platform::WritableFile> file_;
  bool created_ = false;
};

// Rows built in one reused buffer, written in large pieces.
class TextFileWriter : public RecordWriter {
 public:
  TextFileWriter(std::string path, platform::Env* env) : path_(std::move(path)), file_(env) {}

  bool formatsText() const override { return true; }

  bool row(const std::vector<Value>& values, std::string* error) override {
    for (size_t i = 0; i < values.size(); ++i) formatValue(i, ValueView(values[i]), &buffer_);
    endRow(&buffer_);
    return rowDone(error);
  }

  bool putRows(std::string_view rows, std::string* error) override {
    if (!buffer_.empty() && !flush(error)) return false;
    return file_.write(rows, error);
  }

  bool finish(bool ok, std::string* error) override {
    if (ok && !flush(error)) ok = false;
    if (!ok) {
      file_.abandon();
      return false;
    }
    return file_.publish(error);
  }

 protected:
  bool create(std::string* error) { return file_.create(path_, error); }
  bool rowDone(std::string* error) { return buffer_.size() < kFlushBytes || flush(error); }
  bool flush(std::string* error) {
    bool ok = file_.write(buffer_.view(), error);
    buffer_.clear();
    return ok;
  }

  std::string path_;
  PublishedFile file_;
  RowText buffer_;
};

class CsvWriter : public TextFileWriter {
 public:
  using TextFileWriter::TextFileWriter;

  bool begin(const std::vector<Column>& columns, std::string* error) override {
    if (!create(error)) return false;
    for (size_t i = 0; i < columns.size(); ++i) {
      buffer_.room(1);
      if (i > 0) buffer_.put(',');
      putQuoted(columns[i].name, &buffer_);
    }
    buffer_.room(2);
    buffer_.put("\r\n");
    return rowDone(error);
  }

  void formatValue(size_t column, const ValueView& v, RowText* out) const override {
    out->room(sizeof ",false");
    if (column > 0) out->put(',');
    switch (v.kind) {
      case Value::Kind::kNull: break;
      case Value::Kind::kBool: out->put(v.boolean ? std::string_view("true") : "false"); break;
      case Value::Kind::kText: putQuoted(v.text, out); break;
      default:
        // Numbers, dates and timestamps are digits, signs, points, dashes
        // and colons (a real that is no number: letters): never quoted.
        out->room(v.text.size());
        out->put(v.text);
        break;
    }
  }
  void endRow(RowText* out) const override {
    out->room(2);
    out->put("\r\n");
  }

  void survey(std::string_view piece, PieceSurvey* survey) const override {
    survey->quoted = survey->quoted || needsQuotes(piece);
  }
  void beginPieces(size_t column, const PieceSurvey& survey, RowText* out) const override {
    out->room(2);
    if (column > 0) out->put(',');
    if (survey.quoted) out->put('"');
  }
  void putPiece(std::string_view piece, const PieceSurvey& survey, RowText* out) const override {
    if (survey.quoted) {
      putDoubled(piece, out);
    } else {
      out->room(piece.size());
      out->put(piece);
    }
  }
  void endPieces(const PieceSurvey& survey, RowText* out) const override {
    out->room(1);
    if (survey.quoted) out->put('"');
  }

 private:
  // True when `text` holds a comma, quote, CR or LF.
  static bool needsQuotes(std::string_view text) {
    return anyByte(text, [](uint64_t w) {
      return (zeroByte(w ^ (kOnes * ',')) | zeroByte(w ^ (kOnes * '"')) |
              zeroByte(w ^ (kOnes * '\r')) | zeroByte(w ^ (kOnes * '\n'))) != 0;
    });
  }

  static void putQuoted(std::string_view text, RowText* out) {
    if (!needsQuotes(text)) {
      out->room(text.size());
      out->put(text);
      return;
    }
    out->room(2);
    out->put('"');
    putDoubled(text, out);
    out->put('"');
  }

  // `text` with every quote doubled.
  static void putDoubled(std::string_view text, RowText* out) {
    out->room(2 * text.size() + 1);
    for (char c : text) {
      if (c == '"') out->put('"');
      out->put(c);
    }
  }
};

// One object a line, as nlohmann::json's dump(-1) writes it: plain ASCII
// strings and integers are written here, the rest (other text, which it
// checks as UTF-8, and reals) through its own routines.
class JsonLinesWriter : public TextFileWriter {
 public:
  using TextFileWriter::TextFileWriter;

  bool begin(const std::vector<Column>& columns, std::string* error) override {
    keys_.clear();
    for (size_t i = 0; i < columns.size(); ++i) {
      keys_.push_back((i == 0 ? "{" : ",") + jsonText(columns[i].name) + ":");
    }
    return create(error);
  }

  void formatValue(size_t column, const ValueView& v, RowText* out) const override {
    // Room for the key and any value but a string, which makes its own.
    out->room(keys_[column].size() + kNumberRoom);
    out->put(keys_[column]);
    switch (v.kind) {
      case Value::Kind::kNull: out->put("null"); break;
      case Value::Kind::kBool: out->put(v.boolean ? std::string_view("true") : "false"); break;
      case Value::Kind::kInteger:
        // An integer's text is to_chars' own, as the library writes it.
        out->room(v.text.size());
        out->put(v.text);
        break;
      case Value::Kind::kReal:
        if (isShortestForm(v.text)) {
          out->room(v.text.size());
          out->put(v.text);
        } else {
          putReal(v.real, out);
        }
        break;
      case Value::Kind::kDate:
      case Value::Kind::kTimestamp:
        // Digits, dashes, colons, a point and a T: nothing to escape.
        out->room(v.text.size() + 2);
        out->put('"');
        out->put(v.text);
        out->put('"');
        break;
      default: putString(v.text, out); break;
    }
  }
  void endRow(RowText* out) const override {
    out->room(3);
    out->put(keys_.empty() ? std::string_view("{}\n") : "}\n");
  }

  // The library escapes a character at a time, so the pieces of a text
  // that end between characters escape to the pieces of its escape.
  void beginPieces(size_t column, const PieceSurvey&, RowText* out) const override {
    out->room(keys_[column].size() + 1);
    out->put(keys_[column]);
    out->put('"');
  }
  void putPiece(std::string_view piece, const PieceSurvey&, RowText* out) const override {
    if (isPlain(piece)) {
      out->room(piece.size());
      out->put(piece);
      return;
    }
    std::string escaped = jsonText(piece);
    std::string_view inside(escaped.data() + 1, escaped.size() - 2);
    out->room(inside.size());
    out->put(inside);
  }
  void endPieces(const PieceSurvey&, RowText* out) const override {
    out->room(1);
    out->put('"');
  }

 private:
  // The longest number the library writes is 24 characters.
  static constexpr size_t kNumberRoom = 64;

  static std::string jsonText(std::string_view text) {
    return nlohmann::json(std::string(text))
        .dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  }

  // True when `text` (the number as written, which reads as the value's
  // double) is what the JSON library writes for that double: at most 15
  // significant digits, which no other decimal of as few digits shares,
  // so that the shortest form is they; a point with digits on both sides,
  // no leading or trailing zero; no more than three zeros after "0.".
  static bool isShortestForm(std::string_view text) {
    if (!text.empty() && text[0] == '-') text.remove_prefix(1);
    size_t point = text.find('.');
    if (point == std::string_view::npos || point == 0 || point + 1 == text.size()) return false;
    std::string_view whole = text.substr(0, point), part = text.substr(point + 1);
    if (part.back() == '0' || (whole.size() > 1 && whole[0] == '0')) return false;
    size_t digits = whole.size() + part.size();
    if (whole == "0") {
      size_t zeros = part.find_first_not_of('0');
      if (zeros > 3) return false;
      digits = part.size() - zeros;
    }
    return digits <= 15;
  }

  static void putReal(double real, RowText* out) {
    if (!std::isfinite(real)) {
      out->put("null");
      return;
    }
    out->added(static_cast<size_t>(
        nlohmann::detail::to_chars(out->end(), out->end() + kNumberRoom, real) - out->end()));
  }

  // Plain ASCII without quotes, backslashes or control bytes as it is;
  // any other through the library.
  static bool isPlain(std::string_view text) {
    // A byte below 0x20 has its top three bits clear; one from 0x80 its
    // top bit set.
    return !anyByte(text, [](uint64_t w) {
      return (zeroByte(w & (kOnes * 0xE0)) | (w & kHighs) | zeroByte(w ^ (kOnes * '"')) |
              zeroByte(w ^ (kOnes * '\\'))) != 0;
    });
  }

  static void putString(std::string_view text, RowText* out) {
    if (!isPlain(text)) {
      std::string escaped = jsonText(text);
      out->room(escaped.size());
      out->put(escaped);
      return;
    }
    out->room(text.size() + 2);
    out->put('"');
    out->put(text);
    out->put('"');
  }

  std::vector<std::string> keys_;
};

#ifdef KEST_HAVE_SQLITE
std::string sqlName(const std::string& name) {
  std::string out = "\"";
  for (char c : name) {
    if (c == '"') out += '"';
    out += c;
  }
  return out + "\"";
}

const char* sqlType(reader::ColumnKind kind) {
  switch (kind) {
    case reader::ColumnKind::kInteger: return "INTEGER";
    case reader::ColumnKind::kBool: return "INTEGER";
    case reader::ColumnKind::kReal: return "REAL";
    default: return "TEXT";
  }
}

// A database that exists gets the table inside one transaction: it is
// there whole or not at all. A new database is made under its partial
// name and published whole with its first table, so that a failure never
// leaves a half-made database under the name asked for.
class SqliteWriter : public RecordWriter {
 public:
  SqliteWriter(std::string path, std::string table, platform::Env* env)
      : path_(std::move(path)), table_(std::move(table)), env_(env) {}
  ~SqliteWriter() override {
    close();
    if (fresh_) env_->RemoveFile(partialName(path_));
  }

  bool begin(const std::vector<Column>& columns, std::string* error) override {
    columns_ = columns;
    std::string opened = path_;
    if (!platform::IsPresent(env_->KindOf(path_))) {
      // An empty file is an empty database; made here so that nothing
      // that is there is ever taken over.
      opened = partialName(path_);
      std::unique_ptr<platform::WritableFile> file;
      platform::Status made = env_->CreateNew(opened, &file);
      if (!made) {
        *error = opened + ": " +
                 (platform::IsPresent(env_->KindOf(opened))
                      ? "exists already (left by an export cut short, or another one writing it)"
                      : systemWords(made));
        return false;
      }
      fresh_ = true;
      // A device that fails the close of an empty file fails the pages too.
      if (platform::Status closed = file->Close(); !closed) {
        *error = opened + ": " + systemWords(closed);
        return false;
      }
    }
    if (sqlite3_open_v2(opened.c_str(), &db_, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
      return fail(error);
    }
    // Nothing needs rolling back in a database that nobody sees yet.
    if (fresh_ && !exec("PRAGMA journal_mode=OFF", error)) return false;
    // SQLite wants a column; a table of no fields still has its records.
    if (columns.empty()) columns_.push_back({"_no_fields", reader::ColumnKind::kInteger});
    std::string create = "CREATE TABLE " + sqlName(table_) + " (";
    std::string insert = "INSERT INTO " + sqlName(table_) + " VALUES (";
    for (size_t i = 0; i < columns_.size(); ++i) {
      create += (i ? ", " : "") + sqlName(columns_[i].name) + " " + sqlType(columns_[i].kind);
      insert += i ? ", ?" : "?";
    }
    create += ")";
    insert += ")";
    if (!exec("BEGIN", error)) return false;
    began_ = true;
    if (!exec(create, error)) return false;
    if (sqlite3_prepare_v2(db_, insert.c_str(), -1, &insert_, nullptr) != SQLITE_OK) {
      return fail(error);
    }
    return true;
  }

  bool row(const std::vector<Value>& values, std::string* error) override {
    sqlite3_reset(insert_);
    if (values.empty()) sqlite3_bind_null(insert_, 1);
    for (size_t i = 0; i < values.size(); ++i) {
      int at = static_cast<int>(i + 1);
      const Value& v = values[i];
      switch (v.kind) {
        case Value::Kind::kNull: sqlite3_bind_null(insert_, at); break;
        case Value::Kind::kBool: sqlite3_bind_int(insert_, at, v.boolean ? 1 : 0); break;
        case Value::Kind::kInteger: sqlite3_bind_int64(insert_, at, v.integer); break;
        case Value::Kind::kReal: sqlite3_bind_double(insert_, at, v.real); break;
        default:
          // The values outlive the step that copies them.
          sqlite3_bind_text(insert_, at, v.text.data(), static_cast<int>(v.text.size()),
                            SQLITE_STATIC);
          break;
      }
    }
    if (sqlite3_step(insert_) != SQLITE_DONE) return fail(error);
    return true;
  }

  bool finish(bool ok, std::string* error) override {
    if (db_ == nullptr || !began_) return ok;
    if (!ok) {
      sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
      return false;
    }
    if (!exec("COMMIT", error)) return false;
    if (!fresh_) return true;
    if (!close()) {
      *error = path_ + ": cannot be closed";
      return false;
    }
    bool renamed = false;
    platform::Status status = publishPartial(env_, path_, &renamed);
    if (renamed) fresh_ = false;
    if (status) return true;
    if (renamed) env_->RemoveFile(path_);  // as with a file: see PublishedFile
    *error = path_ + ": " +
             (!renamed && platform::IsPresent(env_->KindOf(path_)) ? "exists already"
                                                                    : systemWords(status));
    return false;
  }

 private:
  bool close() {
    sqlite3_finalize(insert_);
    insert_ = nullptr;
    bool closed = sqlite3_close(db_) == SQLITE_OK;
    db_ = nullptr;
    return closed;
  }
  bool exec(const std::string& sql, std::string* error) {
    if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK) return true;
    return fail(error);
  }
  bool fail(std::string* error) {
    *error = path_ + ": " + (db_ != nullptr ? sqlite3_errmsg(db_) : "cannot be opened");
    return false;
  }

  std::string path_, table_;
  platform::Env* env_;
  std::vector<Column> columns_;
  sqlite3* db_ = nullptr;
  sqlite3_stmt* insert_ = nullptr;
  bool began_ = false;
  bool fresh_ = false;  // the database is new, under its partial name
};
#endif

}  // namespace

std::unique_ptr<RecordWriter> MakeCsvWriter(const std::string& path, platform::Env* env) {
  return std::make_unique<CsvWriter>(path, env);
}

std::unique_ptr<RecordWriter> MakeJsonLinesWriter(const std::string& path, platform::Env* env) {
  return std::make_unique<JsonLinesWriter>(path, env);
}

#ifdef KEST_HAVE_SQLITE
std::unique_ptr<RecordWriter> MakeSqliteWriter(const std::string& databasePath,
                                               const std::string& tableName, platform::Env* env) {
  return std::make_unique<SqliteWriter>(databasePath, tableName, env);
}
#endif

}  // namespace kest::host
