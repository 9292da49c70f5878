#include "host/export.h"

#include <algorithm>
#include <filesystem>
#include <map>
#include <memory>
#include <set>

#include "host/cli_text.h"
#include "host/export_writers.h"
#include "host/subcommand_cli.h"
#include "platform/console.h"
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
    "Tables and memo companions are only read; nothing that exists is replaced.\n"
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
    "  Over several tables the worst counts: 5, then 4.\n"
    "  2  usage error (nothing was exported)\n";

constexpr int kBarWidth = 20;

std::string stemOf(const std::string& path) { return fs::path(path).stem().string(); }

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

class ProgressBar {
 public:
  ProgressBar(bool on, std::ostream& err, std::string label)
      : on_(on), err_(err), label_(cutToFit(plainText(label), 40)) {}
  void show(uint64_t done, uint64_t total) {
    if (!on_ || total == 0) return;
    int percent = static_cast<int>(done * 100 / total);
    if (percent == shown_) return;
    shown_ = percent;
    int filled = percent * kBarWidth / 100;
    err_ << "\r\033[K" << label_ << " [" << std::string(filled, '#')
         << std::string(kBarWidth - filled, '.') << "] " << percent << "%" << std::flush;
  }
  void clear() {
    if (on_ && shown_ >= 0) err_ << "\r\033[K" << std::flush;
  }

 private:
  bool on_;
  std::ostream& err_;
  std::string label_;
  int shown_ = -1;
};

int exportTable(const ExportOptions& options, const std::string& path, std::ostream& out,
                std::ostream& err) {
  std::string error;
  std::unique_ptr<reader::Table> table = reader::Table::Open(path, &error);
  if (!table) {
    err << plainText(path) << ": cannot be read: " << error << "\n";
    return kExitUnreadable;
  }
  const reader::Header& header = table->header();
  if (header.recordLength == 0 || (table->fields().empty() && header.recordLength != 1)) {
    err << plainText(path)
        << ": cannot be read: the header gives no record layout (dbfrecover inspect says more)\n";
    return kExitUnreadable;
  }
  std::string encoding =
      options.encoding.empty() ? reader::defaultEncoding(header) : options.encoding;
  reader::TextDecoder text(encoding);
  std::unique_ptr<reader::MemoFile> memo = reader::MemoFile::Open(path, header);
  reader::FieldDecoder decoder(header, memo.get(), &text);

  std::vector<const reader::Field*> fields;
  for (const reader::Field& f : table->fields()) {
    if (!reader::isSystemField(f)) fields.push_back(&f);
  }
  std::vector<Column> columns = columnsOf(fields, header, text, options.deleted);

  std::string target;
  std::unique_ptr<RecordWriter> writer;
  if (options.format == "csv") {
    target = (fs::path(options.output) / (stemOf(path) + ".csv")).string();
    writer = MakeCsvWriter(target);
  } else if (options.format == "jsonl") {
    target = (fs::path(options.output) / (stemOf(path) + ".jsonl")).string();
    writer = MakeJsonLinesWriter(target);
  }
#ifdef KEST_HAVE_SQLITE
  else {
    target = options.output + " table " + stemOf(path);
    writer = MakeSqliteWriter(options.output, stemOf(path));
  }
#endif
  if (!writer->begin(columns, &error)) {
    writer->finish(false, &error);
    err << plainText(path) << ": cannot create the output: " << plainText(error) << "\n";
    return kExitCannotCreate;
  }

  ProgressBar bar(options.progress, err, path);
  const uint64_t total = table->readableRecords();
  uint64_t written = 0, leftOut = 0, nulls = 0;
  std::map<std::string, uint64_t> nullsByField;
  std::vector<reader::Value> values(columns.size());
  std::string_view record;
  std::string reason;
  bool ok = true;
  uint64_t i = 0;
  for (; i < total && table->record(i, &record); ++i) {
    bar.show(i, total);
    bool deleted = static_cast<uint8_t>(record[0]) == reader::kDeletedFlag;
    if (deleted && !options.deleted) {
      ++leftOut;
      continue;
    }
    size_t at = 0;
    if (options.deleted) {
      values[0] = reader::Value();
      values[0].kind = reader::Value::Kind::kBool;
      values[0].boolean = deleted;
      at = 1;
    }
    for (size_t k = 0; k < fields.size(); ++k) {
      if (!decoder.decode(*fields[k], record, &values[at + k], &reason)) {
        ++nulls;
        ++nullsByField[columns[at + k].name + " (" + reason + ")"];
      }
    }
    if (!writer->row(values, &error)) {
      ok = false;
      break;
    }
    ++written;
  }
  bar.clear();
  if (ok && i < total) {
    error = "read error at record " + std::to_string(i + 1);
    writer->finish(false, &error);
    err << plainText(path) << ": cannot be read: " << error << "\n";
    return kExitUnreadable;
  }
  if (!writer->finish(ok, &error) || !ok) {
    err << plainText(path) << ": cannot write the output: " << plainText(error) << "\n";
    return kExitCannotCreate;
  }

  out << plainText(path) << ": " << written << " records to " << plainText(target);
  if (leftOut > 0) out << "; " << leftOut << " deleted left out";
  if (nulls > 0) {
    out << "; " << nulls << (nulls == 1 ? " value" : " values")
        << " could not be decoded, left null:";
    const char* separator = " ";
    for (const auto& [field, count] : nullsByField) {
      out << separator << plainText(field) << " " << count;
      separator = ", ";
    }
  }
  if (text.encoding().empty()) out << "; code page has no conversion, only ASCII text kept";
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
  return RunExport(options, out, err);
}

}  // namespace kest::host
