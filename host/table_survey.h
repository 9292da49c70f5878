// dbfrecover inspect: what is wrong with a table, and what the default
// (thorough) recovery will make of it, before anything is written. Reads
// each table and its memo companion only; writes nothing to disk.
//
// surveyTable gathers what it finds into a TableSurvey: the header as read,
// the field list with the descriptors that cannot be right, the
// plausibility of the whole (file size, the terminator, the record length,
// the memo companions), a sample of the records, what is unusual but sound
// (Visual FoxPro back link, _NullFlags), how the recovery will read the
// table, and one closing verdict. A header whose own fields are destroyed
// is judged as the recovery judges it (dbf/table_rules.h): when its field
// descriptors stand, the recovery rebuilds the header from them, and the
// survey reads the records by that rebuilt layout too. The renderers
// (host/survey_render.h) turn a survey into plain lines or one JSON object.
#ifndef KEST_HOST_TABLE_SURVEY_H_
#define KEST_HOST_TABLE_SURVEY_H_

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "reader/table.h"

namespace kest::host {

// Exit statuses of inspect; over several tables the largest is left.
enum InspectStatus : int {
  kInspectHealthy = 0,
  kInspectDamaged = 1,
  // 2 is the usage error of every dbfrecover command.
  kInspectUnreadable = 4,  // missing, not a file, or not readable
};

struct InspectOptions {
  std::vector<std::string> tables;
  bool json = false;
  // Records looked at for the sample; 0 for all of them.
  uint64_t sampleRecords = 100000;
  // Character set of the text; empty for the table's own code page.
  std::string encoding;
};

struct SurveyField {
  std::string name;  // printable
  std::string type;  // the letter, or "?" for a byte that does not print
  uint32_t place = 0;
  uint32_t length = 0;
  uint32_t decimals = 0;
  uint32_t displacement = 0;
  std::vector<std::string> problems;
};

// The memo side of a table. The companions found, and what is wrong with
// them as far as the table's records show it; a deeper diagnosis of the
// memo file itself belongs here too.
struct SurveyMemoFile {
  std::string file;
  uint64_t size = 0;
  bool used = false;  // the one the memo fields are read from
  std::string layout;
  uint32_t blockSize = 0;
};

struct SurveyFieldFailure {
  std::string field;
  std::string reason;
  uint64_t records = 0;
  std::vector<uint64_t> first;
};

struct SurveyRecords {
  uint64_t read = 0, of = 0;
  uint64_t live = 0, deleted = 0, jammed = 0, failing = 0, garbled = 0;
  std::vector<uint64_t> firstJammed, firstFailing, firstGarbled;
  std::vector<SurveyFieldFailure> failures;
};

// How the default recovery will take the records' layout.
enum class RecoveryPath {
  kHeader,         // from the header, as it stands
  kRebuiltHeader,  // from a header it rebuilds out of the field descriptors
  kWorkedOut,      // out of the records' bytes, with invented fields
};

struct SurveyRecovery {
  RecoveryPath path = RecoveryPath::kHeader;
  // The layout it reads by: header length, record length, record slots.
  uint32_t headerLength = 0;
  uint32_t recordLength = 0;
  uint64_t records = 0;
  std::string text;  // in words for the user
  // What it will do about the problems found, in words, in their order.
  std::vector<std::string> steps;
};

struct TableSurvey {
  std::string table;
  std::string error;  // set when the table cannot be read; nothing else is then

  reader::Header header;  // as stored, whatever the recovery makes of it
  std::string versionMeaning;
  std::string lastUpdate;  // empty when none is recorded
  std::string encoding;    // empty: ASCII only
  std::string headerFault;  // why the header's own fields cannot be right; empty when they can

  std::vector<SurveyField> fields;
  // Descriptors read from a destroyed header with nothing standing: noise.
  bool fieldsAreNoise = false;

  uint64_t fileSize = 0;
  uint64_t expectedSize = 0;
  uint64_t recordsInFile = 0;
  std::optional<uint64_t> terminatorAt;
  uint64_t fieldLengthsPlusFlag = 0;
  std::vector<SurveyMemoFile> memoFiles;

  std::optional<SurveyRecords> records;  // none when the layout is lost
  SurveyRecovery recovery;
  // Unusual but sound: what sets the table apart from a plain one.
  std::vector<std::string> variants;
  std::vector<std::string> problems;
  std::vector<std::string> notes;
  std::string verdict;
  InspectStatus status = kInspectHealthy;
};

TableSurvey surveyTable(const std::string& path, const InspectOptions& options);

// Inspects every table in turn, the report on `out`, and returns the worst
// status.
int RunInspect(const InspectOptions& options, std::ostream& out);

// `dbfrecover inspect ARGS...`: argv[0] is "inspect".
int InspectMain(int argc, char** argv, std::ostream& out, std::ostream& err);

}  // namespace kest::host

#endif  // KEST_HOST_TABLE_SURVEY_H_
