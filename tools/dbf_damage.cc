#include "tools/dbf_damage.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>

#include "dbf/dbf_format.h"
#include "dbf/memo_companion.h"
#include "dbf/table_rules.h"
#include "platform/path.h"

namespace fs = std::filesystem;

namespace kest::tools {

namespace {

const std::vector<DamageModeInfo> kModes = {
    {DamageMode::kCopy, "copy", "an undamaged copy, for a baseline", false},
    {DamageMode::kZeroHeader, "zero-header", "the 32 header bytes zeroed", false},
    {DamageMode::kZeroHeaderArea, "zero-header-area",
     "header, field descriptors and terminator zeroed", false},
    {DamageMode::kInflateCount, "inflate-count",
     "the header's record count raised beyond the records present", false},
    {DamageMode::kTruncateRecord, "truncate-record", "the table cut off inside a record", false},
    {DamageMode::kNoiseRecords, "noise-records",
     "random bytes over about a quarter of the records (at least one)", false},
    {DamageMode::kJamDeletionFlags, "jam-deletion-flags",
     "deletion flags of about a quarter of the records (at least one) set to a byte "
     "that is neither space nor '*'",
     false},
    {DamageMode::kGarbageAfterHeader, "garbage-after-header",
     "random bytes inserted between the header and the first record", false},
    {DamageMode::kGarbageMidRecords, "garbage-mid-records",
     "random bytes inserted before the middle record", false},
    {DamageMode::kZeroPage, "zero-page",
     "one 4 KiB page of the file (page-aligned, past the header) zeroed among the records", false},
    {DamageMode::kForeignPage, "foreign-page",
     "one 4 KiB page among the records (page-aligned, past the header) overwritten with "
     "another file's text (log and source lines)",
     false},
    {DamageMode::kZeroTail, "zero-tail",
     "the file zeroed from a point in its second half of records to its end, size kept", false},
    {DamageMode::kRecordsBehindCount, "records-behind-count",
     "records appended behind a record count that was never updated (the count left at "
     "half to three quarters of the records)",
     false},
    {DamageMode::kInsertAtStart, "insert-at-start",
     "fewer bytes than a record, copied from the first record, inserted before it", false},
    {DamageMode::kInsertMidRecords, "insert-mid-records",
     "fewer bytes than a record, copied from the middle record, inserted before it", false},
    {DamageMode::kRemoveAtStart, "remove-at-start",
     "fewer bytes than a record removed at the start of the first record", false},
    {DamageMode::kRemoveMidRecords, "remove-mid-records",
     "fewer bytes than a record removed at the start of the middle record", false},
    {DamageMode::kSeveralFaults, "several-faults",
     "a page zeroed or foreign (where the records reach one), bytes inserted or removed in "
     "the middle, and records behind the count, at once",
     false},
    {DamageMode::kDropMemo, "drop-memo", "the memo companions left out", true},
    {DamageMode::kCutMemo, "cut-memo", "the memo companions cut short", true},
    {DamageMode::kZeroMemoHeader, "zero-memo-header",
     "the first 512 bytes of the memo companions zeroed", true},
    {DamageMode::kCutMemoAt60, "cut-memo-60", "the memo companions cut at 60% of their size", true},
    {DamageMode::kOverwriteMemoBlocks, "overwrite-memo-blocks",
     "random bytes over 5% of the memo blocks past the memo header (at least one)", true},
};

// SplitMix64: tiny, and its sequence is fixed by its definition, so a seed
// means the same damage everywhere.
class Generator {
 public:
  explicit Generator(uint64_t seed) : state_(seed) {}
  uint64_t next() {
    uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  // 0 .. bound-1; bound > 0.
  uint64_t below(uint64_t bound) { return next() % bound; }
  uint8_t byte() { return static_cast<uint8_t>(next()); }
  std::string bytes(size_t count) {
    std::string out(count, '\0');
    for (char& c : out) c = static_cast<char>(byte());
    return out;
  }

 private:
  uint64_t state_;
};

// The layout the source's header gives, with the records actually present.
struct Layout {
  uint32_t headerLength = 0;
  uint32_t recordLength = 0;
  uint32_t recordCount = 0;
  uint32_t records = 0;  // whole records present, at most recordCount

  size_t recordStart(uint32_t index) const {
    return headerLength + static_cast<size_t>(index) * recordLength;
  }
};

std::optional<Layout> readLayout(const std::string& table, std::string* why) {
  if (table.size() < sizeof(DbfHeader)) {
    *why = "the table is shorter than its 32-byte header";
    return std::nullopt;
  }
  DbfHeader header;
  std::copy_n(table.data(), sizeof header.bytes, reinterpret_cast<char*>(header.bytes));
  Layout layout;
  layout.headerLength = header.headerLength();
  layout.recordLength = header.recordLength();
  layout.recordCount = header.recordCount();
  HeaderFacts facts;
  facts.version = header.version();
  facts.headerLength = layout.headerLength;
  facts.recordLength = layout.recordLength;
  facts.fileSize = table.size();
  if (headerFault(facts) != HeaderFault::kNone) {
    *why = "the header does not describe a table (header length " +
           std::to_string(layout.headerLength) + ", record length " +
           std::to_string(layout.recordLength) + ", file size " + std::to_string(table.size()) +
           ")";
    return std::nullopt;
  }
  uint64_t present = (table.size() - layout.headerLength) / layout.recordLength;
  layout.records = static_cast<uint32_t>(std::min<uint64_t>(present, layout.recordCount));
  return layout;
}

DamageOutcome done(std::string text) { return {true, std::move(text)}; }
DamageOutcome refused(std::string text) { return {false, std::move(text)}; }

std::string span(size_t from, size_t to) {
  return "bytes " + std::to_string(from) + ".." + std::to_string(to - 1);
}

// Records picked one in four, and at least one, so that a small table is
// damaged too and a large one keeps most of its records intact.
std::vector<uint32_t> pickRecords(const Layout& layout, Generator& random) {
  std::vector<uint32_t> picked;
  for (uint32_t i = 0; i < layout.records; ++i) {
    if (random.below(4) == 0) picked.push_back(i);
  }
  if (picked.empty()) picked.push_back(static_cast<uint32_t>(random.below(layout.records)));
  return picked;
}

// Garbage that never happens to be a whole number of records long, so that
// the records after it really lose their stride.
std::string garbageFor(const Layout& layout, Generator& random) {
  size_t length = 1 + random.below(3ull * layout.recordLength);
  if (layout.recordLength > 1 && length % layout.recordLength == 0) ++length;
  return random.bytes(length);
}

size_t terminatorEnd(const std::string& table, const Layout& layout) {
  for (size_t slot = sizeof(DbfHeader); slot < layout.headerLength; slot += 32) {
    if (static_cast<uint8_t>(table[slot]) == kHeaderTerminator) return slot + 1;
  }
  return layout.headerLength;
}

constexpr size_t kPageSize = 4096;

// The start of a page of the file that begins among the records, past the
// header: a whole page of records where the table holds one, else the page
// the records run into.
std::optional<size_t> pickPage(const Layout& layout, Generator& random) {
  size_t dataEnd = layout.recordStart(layout.records);
  size_t first = (layout.headerLength + kPageSize - 1) / kPageSize * kPageSize;
  if (first >= dataEnd) return std::nullopt;
  size_t whole = (dataEnd - first) / kPageSize;
  return whole == 0 ? first : first + random.below(whole) * kPageSize;
}

// Another file's bytes as a disk mixes them into a table: lines of a log
// and of a source file, drawn from the seed.
std::string foreignText(size_t length, Generator& random) {
  static const char* const kWords[] = {"request", "worker", "session", "cache",
                                       "index",   "buffer", "socket",  "queue"};
  std::string text;
  char line[160];
  while (text.size() < length) {
    uint64_t r = random.next();
    const char* word = kWords[(r >> 8) % 8];
    const char* other = kWords[(r >> 11) % 8];
    unsigned a = static_cast<unsigned>((r >> 16) % 100000),
             b = static_cast<unsigned>((r >> 40) % 1000);
    switch (r % 4) {
      case 0:
        std::snprintf(
            line, sizeof line, "2026-%02u-%02u %02u:%02u:%02u INFO  %s[%u] %s %u served in %u ms\n",
            1 + a % 12, 1 + b % 28, a % 24, b % 60, (a + b) % 60, word, b % 16, other, a, b);
        break;
      case 1:
        std::snprintf(line, sizeof line,
                      "2026-%02u-%02u %02u:%02u:%02u WARN  %s: %s %u timed out, retry %u\n",
                      1 + b % 12, 1 + a % 28, b % 24, a % 60, (a * 7) % 60, word, other, a, b % 5);
        break;
      case 2:
        std::snprintf(line, sizeof line, "static int %s_%s(const char *buf, size_t len) {\n", word,
                      other);
        break;
      default:
        std::snprintf(line, sizeof line, "    if (len > %u) return -%u;  /* %s too long */\n", a,
                      b % 40, word);
        break;
    }
    text += line;
  }
  text.resize(length);
  return text;
}

// Fewer bytes than a record and never none, so that the records after
// the fault lose their stride.
size_t shiftLength(const Layout& layout, Generator& random) {
  return 1 + random.below(layout.recordLength - 1);
}

DamageOutcome damageRecords(TableFiles& files, DamageMode mode, Generator& random);

// A page fault in place, a shift in the middle, then the count: each step
// reads the layout the steps before it left, so the count stays behind
// the records that are there.
DamageOutcome severalFaults(TableFiles& files, Generator& random) {
  DamageMode page = random.below(2) ? DamageMode::kZeroPage : DamageMode::kForeignPage;
  DamageMode shift =
      random.below(2) ? DamageMode::kInsertMidRecords : DamageMode::kRemoveMidRecords;
  std::string text;
  for (DamageMode step : {page, shift, DamageMode::kRecordsBehindCount}) {
    DamageOutcome outcome = damageRecords(files, step, random);
    if (!outcome.applied) {
      if (step == page) continue;  // a table shorter than a page
      return outcome;
    }
    text += std::string(text.empty() ? "" : "; ") + damageModeName(step) + ": " + outcome.text;
  }
  return done(text);
}

DamageOutcome damageRecords(TableFiles& files, DamageMode mode, Generator& random) {
  std::string why;
  std::optional<Layout> layout = readLayout(files.table, &why);
  if (!layout) return refused(why);
  std::string& table = files.table;

  switch (mode) {
    case DamageMode::kZeroHeaderArea: {
      size_t end = terminatorEnd(table, *layout);
      std::fill_n(table.begin(), end, '\0');
      return done(span(0, end) + " zeroed");
    }
    case DamageMode::kInflateCount: {
      uint64_t raised =
          layout->recordCount + 1 + random.below(std::max<uint64_t>(layout->recordCount, 16) * 4);
      auto count = static_cast<uint32_t>(std::min<uint64_t>(raised, UINT32_MAX));
      if (count == layout->recordCount) return refused("the record count is at its maximum");
      le::Put32(reinterpret_cast<uint8_t*>(table.data()) + 4, count);
      return done("record count " + std::to_string(layout->recordCount) + " -> " +
                  std::to_string(count));
    }
    default:
      break;
  }

  if (layout->records == 0) return refused("the table holds no record");
  switch (mode) {
    case DamageMode::kTruncateRecord: {
      if (layout->recordLength < 2) return refused("records of one byte cannot be cut inside");
      auto index = static_cast<uint32_t>(random.below(layout->records));
      size_t keep = 1 + random.below(layout->recordLength - 1);
      size_t size = layout->recordStart(index) + keep;
      table.resize(size);
      return done("cut to " + std::to_string(size) + " bytes, " + std::to_string(keep) +
                  " bytes into record " + std::to_string(index));
    }
    case DamageMode::kNoiseRecords: {
      std::vector<uint32_t> picked = pickRecords(*layout, random);
      for (uint32_t index : picked) {
        std::string noise = random.bytes(layout->recordLength);
        table.replace(layout->recordStart(index), noise.size(), noise);
      }
      return done("noise over " + std::to_string(picked.size()) + " of " +
                  std::to_string(layout->records) + " records");
    }
    case DamageMode::kJamDeletionFlags: {
      std::vector<uint32_t> picked = pickRecords(*layout, random);
      for (uint32_t index : picked) {
        // 254 bytes remain once space and '*' are taken out.
        auto flag = static_cast<uint8_t>(random.below(254));
        if (flag >= kLiveRecord) ++flag;
        if (flag >= kDeletedRecord) ++flag;
        table[layout->recordStart(index)] = static_cast<char>(flag);
      }
      return done("deletion flags of " + std::to_string(picked.size()) + " of " +
                  std::to_string(layout->records) + " records jammed");
    }
    case DamageMode::kGarbageAfterHeader:
    case DamageMode::kGarbageMidRecords: {
      uint32_t before = mode == DamageMode::kGarbageAfterHeader ? 0 : layout->records / 2;
      if (mode == DamageMode::kGarbageMidRecords && layout->records < 2) {
        return refused("the table holds a single record: it has no middle");
      }
      std::string garbage = garbageFor(*layout, random);
      size_t at = layout->recordStart(before);
      table.insert(at, garbage);
      return done(std::to_string(garbage.size()) + " bytes inserted at " + std::to_string(at) +
                  ", before record " + std::to_string(before));
    }
    case DamageMode::kZeroPage:
    case DamageMode::kForeignPage: {
      std::optional<size_t> page = pickPage(*layout, random);
      if (!page) return refused("the records do not reach a page boundary past the header");
      size_t end = std::min(*page + kPageSize, table.size());
      std::string fill = mode == DamageMode::kZeroPage ? std::string(end - *page, '\0')
                                                       : foreignText(end - *page, random);
      table.replace(*page, fill.size(), fill);
      return done(span(*page, end) +
                  (mode == DamageMode::kZeroPage ? " zeroed" : " overwritten with text"));
    }
    case DamageMode::kZeroTail: {
      size_t low = layout->recordStart(layout->records / 2);
      size_t high = layout->recordStart(layout->records);
      // Pages are what a disk loses; a table too small for one loses a stretch.
      size_t page = (low + kPageSize - 1) / kPageSize * kPageSize;
      size_t at = page < high
                      ? page + random.below((high - page + kPageSize - 1) / kPageSize) * kPageSize
                      : low + random.below(high - low);
      std::fill(table.begin() + static_cast<std::ptrdiff_t>(at), table.end(), '\0');
      return done(span(at, table.size()) + " zeroed");
    }
    case DamageMode::kRecordsBehindCount: {
      if (layout->records < 2) return refused("the table holds a single record");
      auto count =
          static_cast<uint32_t>(layout->records / 2 + random.below(layout->records / 4 + 1));
      count = std::min(count, layout->records - 1);
      le::Put32(reinterpret_cast<uint8_t*>(table.data()) + 4, count);
      return done("record count " + std::to_string(layout->recordCount) + " -> " +
                  std::to_string(count) + ", " + std::to_string(layout->records) +
                  " records present");
    }
    case DamageMode::kInsertAtStart:
    case DamageMode::kInsertMidRecords:
    case DamageMode::kRemoveAtStart:
    case DamageMode::kRemoveMidRecords: {
      bool middle = mode == DamageMode::kInsertMidRecords || mode == DamageMode::kRemoveMidRecords;
      if (layout->recordLength < 2) return refused("records of one byte cannot be shifted by less");
      if (middle && layout->records < 2)
        return refused("the table holds a single record: it has no middle");
      uint32_t before = middle ? layout->records / 2 : 0;
      size_t at = layout->recordStart(before);
      size_t length = shiftLength(*layout, random);
      if (mode == DamageMode::kInsertAtStart || mode == DamageMode::kInsertMidRecords) {
        // A stretch of the record itself, as a write repeated at the wrong
        // offset leaves it: bytes that look like data.
        table.insert(at, table.substr(at, length));
        return done(std::to_string(length) + " bytes inserted at " + std::to_string(at) +
                    ", before record " + std::to_string(before));
      }
      table.erase(at, length);
      return done(std::to_string(length) + " bytes removed at " + std::to_string(at) +
                  ", the start of record " + std::to_string(before));
    }
    case DamageMode::kSeveralFaults:
      return severalFaults(files, random);
    default:
      return refused("not a record mode");
  }
}

// The block size a memo companion's header gives, where it gives a
// plausible one: a FoxPro .fpt keeps it big-endian at byte 6, a dBase IV
// .dbt little-endian at byte 20; a dBase III .dbt has none and uses 512.
uint32_t memoBlockSize(const MemoFile& memo) {
  if (memo.bytes.size() < 22) return 512;
  auto* p = reinterpret_cast<const uint8_t*>(memo.bytes.data());
  uint32_t size =
      platform::EqualsNoCase(memo.extension, ".fpt") ? (uint32_t{p[6]} << 8 | p[7]) : le::Get16(p + 20);
  return size >= 32 && size <= 32768 ? size : 512;
}

// About one block in twenty past the 512-byte header, and at least one,
// overwritten whole with random bytes.
std::optional<std::string> overwriteBlocks(MemoFile& memo, Generator& random) {
  uint32_t blockSize = memoBlockSize(memo);
  size_t first = (512 + blockSize - 1) / blockSize;
  size_t blocks = (memo.bytes.size() + blockSize - 1) / blockSize;
  if (blocks <= first) return std::nullopt;
  size_t pool = blocks - first;
  size_t hits = std::max<size_t>(1, (pool * 5 + 50) / 100);
  std::vector<bool> hit(pool, false);
  for (size_t taken = 0; taken < hits;) {
    size_t block = random.below(pool);
    if (hit[block]) continue;
    hit[block] = true;
    ++taken;
    size_t at = (first + block) * blockSize;
    size_t length = std::min<size_t>(blockSize, memo.bytes.size() - at);
    memo.bytes.replace(at, length, random.bytes(length));
  }
  return std::to_string(hits) + " of " + std::to_string(pool) + " blocks of " +
         std::to_string(blockSize) + " bytes overwritten";
}

DamageOutcome damageMemos(TableFiles& files, DamageMode mode, Generator& random) {
  if (files.memos.empty()) return refused("the table has no memo companion");
  if (mode == DamageMode::kDropMemo) {
    std::string dropped;
    for (const MemoFile& memo : files.memos)
      dropped += (dropped.empty() ? "" : ", ") + memo.extension;
    files.memos.clear();
    return done("memo companion left out (" + dropped + ")");
  }
  std::string text;
  for (MemoFile& memo : files.memos) {
    std::string what;
    size_t size = memo.bytes.size();
    switch (mode) {
      case DamageMode::kCutMemo:
      case DamageMode::kCutMemoAt60: {
        size_t cut = mode == DamageMode::kCutMemo ? (size < 2 ? 0 : 1 + random.below(size - 1))
                                                  : size * 3 / 5;
        if (cut == 0)
          return refused("the memo companion " + memo.extension + " is too short to cut");
        what = "cut from " + std::to_string(size) + " to " + std::to_string(cut) + " bytes";
        memo.bytes.resize(cut);
        break;
      }
      case DamageMode::kZeroMemoHeader: {
        if (size == 0) return refused("the memo companion " + memo.extension + " is empty");
        size_t end = std::min<size_t>(512, size);
        std::fill_n(memo.bytes.begin(), end, '\0');
        what = span(0, end) + " zeroed";
        break;
      }
      case DamageMode::kOverwriteMemoBlocks: {
        std::optional<std::string> outcome = overwriteBlocks(memo, random);
        if (!outcome)
          return refused("the memo companion " + memo.extension +
                         " holds no block past its header");
        what = *outcome;
        break;
      }
      default:
        return refused("not a memo mode");
    }
    text += (text.empty() ? "" : ", ") + memo.extension + " " + what;
  }
  return done(text);
}

// Only regular files: a folder would throw from the stream, and a FIFO or
// a device would block or never end.
std::optional<std::string> readWhole(const std::string& path) {
  std::error_code error;
  if (!fs::is_regular_file(path, error)) return std::nullopt;
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) return std::nullopt;
  return bytes;
}

bool writeWhole(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.close();
  return static_cast<bool>(out);
}

// Identity where both exist (links, other spellings), the names otherwise.
bool samePath(const fs::path& a, const fs::path& b) {
  std::error_code error, errorA, errorB;
  if (fs::equivalent(a, b, error)) return true;
  fs::path canonicalA = fs::weakly_canonical(a, errorA);
  fs::path canonicalB = fs::weakly_canonical(b, errorB);
  return !errorA && !errorB && canonicalA == canonicalB;
}

bool standsThere(const std::string& path) {
  std::error_code error;
  return fs::exists(fs::symlink_status(path, error));
}

std::string withExtension(const std::string& path, const std::string& extension) {
  return fs::path(path).replace_extension(extension).string();
}

}  // namespace

const std::vector<DamageModeInfo>& damageModes() { return kModes; }

const DamageModeInfo& modeInfo(DamageMode mode) {
  for (const DamageModeInfo& info : kModes) {
    if (info.mode == mode) return info;
  }
  static const DamageModeInfo kUnknown = {mode, "?", "?", false};
  return kUnknown;
}

std::optional<DamageMode> damageModeNamed(const std::string& name) {
  for (const DamageModeInfo& info : kModes) {
    if (name == info.name) return info.mode;
  }
  return std::nullopt;
}

const char* damageModeName(DamageMode mode) { return modeInfo(mode).name; }

DamageOutcome applyDamage(TableFiles& files, DamageMode mode, uint64_t seed) {
  Generator random(seed);
  TableFiles damaged = files;
  DamageOutcome outcome;
  switch (mode) {
    case DamageMode::kCopy:
      outcome = done("copied unchanged");
      break;
    case DamageMode::kZeroHeader:
      if (damaged.table.size() < sizeof(DbfHeader)) {
        outcome = refused("the table is shorter than its 32-byte header");
      } else {
        std::fill_n(damaged.table.begin(), sizeof(DbfHeader), '\0');
        outcome = done(span(0, sizeof(DbfHeader)) + " zeroed");
      }
      break;
    default:
      outcome = modeInfo(mode).memo ? damageMemos(damaged, mode, random)
                                    : damageRecords(damaged, mode, random);
      break;
  }
  if (outcome.applied) files = std::move(damaged);
  return outcome;
}

std::vector<std::string> memoCompanionPaths(const std::string& tablePath) {
  std::vector<std::string> found;
  std::error_code error;
  for (const std::string& name : listMemoCompanions(tablePath, platform::Env::Default())) {
    std::string path = platform::FolderOf(tablePath) + name;
    if (fs::is_regular_file(path, error)) found.push_back(path);
  }
  std::sort(found.begin(), found.end());
  return found;
}

DamageStatus damageTable(const DamageRequest& request, std::string* message) {
  std::optional<std::string> table = readWhole(request.source);
  std::error_code error;
  if (!table) {
    *message = "cannot read the table " + request.source;
    return kDamageCannotRead;
  }
  TableFiles files{*table, {}};
  std::vector<std::string> sources = {request.source};
  for (const std::string& path : memoCompanionPaths(request.source)) {
    std::optional<std::string> bytes = readWhole(path);
    if (!bytes) {
      *message = "cannot read the memo companion " + path;
      return kDamageCannotRead;
    }
    files.memos.push_back({fs::path(path).extension().string(), *bytes});
    sources.push_back(path);
  }

  std::vector<std::string> outputs = {request.output};
  for (const MemoFile& memo : files.memos)
    outputs.push_back(withExtension(request.output, memo.extension));
  // Stale companions of the output's name would pass for the damaged
  // table's memo; they are outputs too.
  std::vector<std::string> stale;
  for (const std::string& path : memoCompanionPaths(request.output)) {
    if (std::find(outputs.begin(), outputs.end(), path) == outputs.end()) stale.push_back(path);
  }
  std::vector<std::string> touched = outputs;
  touched.insert(touched.end(), stale.begin(), stale.end());
  for (const std::string& out : touched) {
    for (const std::string& in : sources) {
      if (samePath(out, in)) {
        *message = "refused: the output " + out + " is the source file " + in;
        return kDamageCannotWrite;
      }
    }
    if (fs::is_directory(fs::symlink_status(out, error))) {
      *message = "refused: the output " + out + " is a folder";
      return kDamageCannotWrite;
    }
    if (!request.overwrite && standsThere(out)) {
      *message = "refused: " + out + " exists (--force replaces it)";
      return kDamageCannotWrite;
    }
  }

  DamageOutcome outcome = applyDamage(files, request.mode, request.seed);
  if (!outcome.applied) {
    *message = std::string(damageModeName(request.mode)) + " does not apply to " + request.source +
               ": " + outcome.text;
    return kDamageNotApplicable;
  }

  for (const std::string& path : touched) {
    // Replaced, not written through: an output that is a link must not
    // carry the damage to whatever it points at.
    fs::remove(path, error);
    if (standsThere(path)) {
      *message = "cannot replace " + path + ": " + error.message();
      return kDamageCannotWrite;
    }
  }
  if (!writeWhole(request.output, files.table)) {
    *message = "cannot write " + request.output;
    return kDamageCannotWrite;
  }
  for (const MemoFile& memo : files.memos) {
    std::string path = withExtension(request.output, memo.extension);
    if (!writeWhole(path, memo.bytes)) {
      *message = "cannot write " + path;
      return kDamageCannotWrite;
    }
  }
  *message = std::string(damageModeName(request.mode)) + ": " + outcome.text;
  return kDamageDone;
}

}  // namespace kest::tools
