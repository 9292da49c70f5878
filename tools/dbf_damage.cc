#include "tools/dbf_damage.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>

#include "dbf/dbf_format.h"
#include "dbf/table_rules.h"

namespace fs = std::filesystem;

namespace kest::tools {

namespace {

const std::vector<DamageModeInfo> kModes = {
    {DamageMode::kCopy, "copy", "an undamaged copy, for a baseline"},
    {DamageMode::kZeroHeader, "zero-header", "the 32 header bytes zeroed"},
    {DamageMode::kZeroHeaderArea, "zero-header-area",
     "header, field descriptors and terminator zeroed"},
    {DamageMode::kInflateCount, "inflate-count",
     "the header's record count raised beyond the records present"},
    {DamageMode::kTruncateRecord, "truncate-record", "the table cut off inside a record"},
    {DamageMode::kNoiseRecords, "noise-records",
     "random bytes over about a quarter of the records (at least one)"},
    {DamageMode::kJamDeletionFlags, "jam-deletion-flags",
     "deletion flags of about a quarter of the records (at least one) set to a byte "
     "that is neither space nor '*'"},
    {DamageMode::kGarbageAfterHeader, "garbage-after-header",
     "random bytes inserted between the header and the first record"},
    {DamageMode::kGarbageMidRecords, "garbage-mid-records",
     "random bytes inserted before the middle record"},
    {DamageMode::kDropMemo, "drop-memo", "the memo companions left out"},
    {DamageMode::kCutMemo, "cut-memo", "the memo companions cut short"},
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
           std::to_string(layout.recordLength) + ", file size " +
           std::to_string(table.size()) + ")";
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
      uint64_t raised = layout->recordCount + 1 +
                        random.below(std::max<uint64_t>(layout->recordCount, 16) * 4);
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
    default:
      return refused("not a record mode");
  }
}

DamageOutcome damageMemos(TableFiles& files, DamageMode mode, Generator& random) {
  if (files.memos.empty()) return refused("the table has no memo companion");
  if (mode == DamageMode::kDropMemo) {
    std::string dropped;
    for (const MemoFile& memo : files.memos) dropped += (dropped.empty() ? "" : ", ") + memo.extension;
    files.memos.clear();
    return done("memo companion left out (" + dropped + ")");
  }
  for (const MemoFile& memo : files.memos) {
    if (memo.bytes.size() < 2) return refused("the memo companion " + memo.extension + " is too short to cut");
  }
  std::string text;
  for (MemoFile& memo : files.memos) {
    size_t size = 1 + random.below(memo.bytes.size() - 1);
    text += (text.empty() ? "" : ", ") + memo.extension + " cut from " +
            std::to_string(memo.bytes.size()) + " to " + std::to_string(size) + " bytes";
    memo.bytes.resize(size);
  }
  return done(text);
}

bool equalsNoCase(const std::string& a, const std::string& b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

bool isMemoExtension(const std::string& extension) {
  return equalsNoCase(extension, ".fpt") || equalsNoCase(extension, ".dbt");
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

std::optional<DamageMode> damageModeNamed(const std::string& name) {
  for (const DamageModeInfo& info : kModes) {
    if (name == info.name) return info.mode;
  }
  return std::nullopt;
}

const char* damageModeName(DamageMode mode) {
  for (const DamageModeInfo& info : kModes) {
    if (info.mode == mode) return info.name;
  }
  return "?";
}

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
    case DamageMode::kDropMemo:
    case DamageMode::kCutMemo:
      outcome = damageMemos(damaged, mode, random);
      break;
    default:
      outcome = damageRecords(damaged, mode, random);
      break;
  }
  if (outcome.applied) files = std::move(damaged);
  return outcome;
}

std::vector<std::string> memoCompanionPaths(const std::string& tablePath) {
  fs::path table(tablePath);
  fs::path folder = table.parent_path().empty() ? fs::path(".") : table.parent_path();
  std::string stem = table.stem().string();
  std::vector<std::string> found;
  std::error_code error;
  for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
    fs::path name = it->path().filename();
    if (isMemoExtension(name.extension().string()) && equalsNoCase(name.stem().string(), stem) &&
        it->is_regular_file(error)) {
      found.push_back((table.parent_path() / name).string());
    }
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
  for (const MemoFile& memo : files.memos) outputs.push_back(withExtension(request.output, memo.extension));
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
    *message = std::string(damageModeName(request.mode)) + " does not apply to " +
               request.source + ": " + outcome.text;
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
