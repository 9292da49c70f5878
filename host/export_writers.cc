#include "host/export_writers.h"

#include <memory>
#include <nlohmann/json.hpp>

#include "platform/env.h"

#ifdef KEST_HAVE_SQLITE
#include <sqlite3.h>
#endif

namespace kest::host {
namespace {

using reader::Value;

// A new file, never one that exists. Made by the platform's create-new
// call, since not every C runtime knows fopen's "x" (the Windows one takes
// "wbx" for "wb" and replaces the file).
class NewFile {
 public:
  bool create(const std::string& path, std::string* error) {
    platform::Env* env = platform::Env::Default();
    platform::Status made = env->CreateNew(path, &file_);
    if (!made) {
      *error = path + ": " + (platform::IsPresent(env->KindOf(path)) ? "exists already"
                                                                       : made.text());
      return false;
    }
    return true;
  }
  bool write(const std::string& bytes) {
    return file_ != nullptr && file_->Append(bytes.data(), bytes.size()).ok();
  }
  bool close() {
    if (file_ == nullptr) return true;
    bool ok = file_->Close().ok();
    file_.reset();
    return ok;
  }
  ~NewFile() { close(); }

 private:
  std::unique_ptr<platform::WritableFile> file_;
};

class CsvWriter : public RecordWriter {
 public:
  explicit CsvWriter(std::string path) : path_(std::move(path)) {}

  bool begin(const std::vector<Column>& columns, std::string* error) override {
    if (!file_.create(path_, error)) return false;
    std::string line;
    for (const Column& c : columns) line += (line.empty() ? "" : ",") + quoted(c.name);
    return put(line + "\r\n", error);
  }

  bool row(const std::vector<Value>& values, std::string* error) override {
    std::string line;
    for (size_t i = 0; i < values.size(); ++i) {
      if (i > 0) line += ',';
      const Value& v = values[i];
      switch (v.kind) {
        case Value::Kind::kNull: break;
        case Value::Kind::kBool: line += v.boolean ? "true" : "false"; break;
        default: line += quoted(v.text); break;
      }
    }
    return put(line + "\r\n", error);
  }

  bool finish(bool, std::string* error) override {
    if (!file_.close()) {
      *error = path_ + ": write error";
      return false;
    }
    return true;
  }

 private:
  static std::string quoted(const std::string& text) {
    if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
    std::string out = "\"";
    for (char c : text) {
      if (c == '"') out += '"';
      out += c;
    }
    return out + "\"";
  }
  bool put(const std::string& bytes, std::string* error) {
    if (file_.write(bytes)) return true;
    *error = path_ + ": write error";
    return false;
  }

  std::string path_;
  NewFile file_;
};

class JsonLinesWriter : public RecordWriter {
 public:
  explicit JsonLinesWriter(std::string path) : path_(std::move(path)) {}

  bool begin(const std::vector<Column>& columns, std::string* error) override {
    columns_ = columns;
    return file_.create(path_, error);
  }

  bool row(const std::vector<Value>& values, std::string* error) override {
    nlohmann::ordered_json object = nlohmann::ordered_json::object();
    for (size_t i = 0; i < values.size(); ++i) {
      const Value& v = values[i];
      nlohmann::ordered_json& slot = object[columns_[i].name];
      switch (v.kind) {
        case Value::Kind::kNull: slot = nullptr; break;
        case Value::Kind::kBool: slot = v.boolean; break;
        case Value::Kind::kInteger: slot = v.integer; break;
        case Value::Kind::kReal: slot = v.real; break;
        default: slot = v.text; break;
      }
    }
    std::string line =
        object.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
    if (file_.write(line)) return true;
    *error = path_ + ": write error";
    return false;
  }

  bool finish(bool, std::string* error) override {
    if (!file_.close()) {
      *error = path_ + ": write error";
      return false;
    }
    return true;
  }

 private:
  std::string path_;
  NewFile file_;
  std::vector<Column> columns_;
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

class SqliteWriter : public RecordWriter {
 public:
  SqliteWriter(std::string path, std::string table)
      : path_(std::move(path)), table_(std::move(table)) {}
  ~SqliteWriter() override {
    sqlite3_finalize(insert_);
    sqlite3_close(db_);
  }

  bool begin(const std::vector<Column>& columns, std::string* error) override {
    columns_ = columns;
    if (sqlite3_open_v2(path_.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) !=
        SQLITE_OK) {
      return fail(error);
    }
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
    sqlite3_clear_bindings(insert_);
    for (size_t i = 0; i < values.size(); ++i) {
      int at = static_cast<int>(i + 1);
      const Value& v = values[i];
      switch (v.kind) {
        case Value::Kind::kNull: sqlite3_bind_null(insert_, at); break;
        case Value::Kind::kBool: sqlite3_bind_int(insert_, at, v.boolean ? 1 : 0); break;
        case Value::Kind::kInteger: sqlite3_bind_int64(insert_, at, v.integer); break;
        case Value::Kind::kReal: sqlite3_bind_double(insert_, at, v.real); break;
        default:
          sqlite3_bind_text(insert_, at, v.text.data(), static_cast<int>(v.text.size()),
                            SQLITE_TRANSIENT);
          break;
      }
    }
    if (sqlite3_step(insert_) != SQLITE_DONE) return fail(error);
    return true;
  }

  bool finish(bool ok, std::string* error) override {
    if (db_ == nullptr || !began_) return ok;
    if (ok) return exec("COMMIT", error);
    sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    return false;
  }

 private:
  bool exec(const std::string& sql, std::string* error) {
    if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK) return true;
    return fail(error);
  }
  bool fail(std::string* error) {
    *error = path_ + ": " + (db_ != nullptr ? sqlite3_errmsg(db_) : "cannot be opened");
    return false;
  }

  std::string path_, table_;
  std::vector<Column> columns_;
  sqlite3* db_ = nullptr;
  sqlite3_stmt* insert_ = nullptr;
  bool began_ = false;
};
#endif

}  // namespace

std::unique_ptr<RecordWriter> MakeCsvWriter(const std::string& path) {
  return std::make_unique<CsvWriter>(path);
}

std::unique_ptr<RecordWriter> MakeJsonLinesWriter(const std::string& path) {
  return std::make_unique<JsonLinesWriter>(path);
}

#ifdef KEST_HAVE_SQLITE
std::unique_ptr<RecordWriter> MakeSqliteWriter(const std::string& databasePath,
                                               const std::string& tableName) {
  return std::make_unique<SqliteWriter>(databasePath, tableName);
}
#endif

}  // namespace kest::host
