#include "dbf/memo_repair.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include "Common/logger/llfile.h"
#include "Common/logger/logger.h"
#include "Common/raised_code.h"
#include "dbf/memo_companion.h"
#include "dbf/result_publishing.h"
#include "platform/path.h"

namespace kest {

namespace {

// The references held against the block sizes when the header lost its
// own: enough to outvote chance, few enough to cost nothing.
constexpr size_t kMaxSamples = 4096;

bool visualFoxPro(uint8_t version) { return version >= 0x30 && version <= 0x32; }

// "4,211": the way the report writes numbers a user reads.
std::string grouped(uint64_t n) { return groupedNumber(n); }

std::string base64(const std::string& bytes) {
  static const char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  size_t line = 0;
  for (size_t i = 0; i < bytes.size(); i += 3) {
    uint32_t n = uint32_t{static_cast<uint8_t>(bytes[i])} << 16;
    if (i + 1 < bytes.size()) n |= uint32_t{static_cast<uint8_t>(bytes[i + 1])} << 8;
    if (i + 2 < bytes.size()) n |= static_cast<uint8_t>(bytes[i + 2]);
    out += kAlphabet[n >> 18 & 63];
    out += kAlphabet[n >> 12 & 63];
    out += i + 1 < bytes.size() ? kAlphabet[n >> 6 & 63] : '=';
    out += i + 2 < bytes.size() ? kAlphabet[n & 63] : '=';
    if (++line == 19) {
      out += '\n';
      line = 0;
    }
  }
  return out;
}

const char* typeName(uint32_t type) {
  return type == kFoxPicture ? "picture" : type == kFoxObject ? "object" : "text";
}

std::string emptiedText(const MemoRepair::Emptied& e) {
  return "record " + grouped(e.record) + ", " + e.field + ": block " + grouped(e.block) + " " +
         memoFaultText(e.fault);
}

}  // namespace

bool repairsMemos(const RecoveryOptions& options) {
  return options.has(kKeepMemoReferences) || options.has(kCutMemoReferences);
}

bool isMemoFieldType(char type, uint8_t tableVersion) {
  return type == 'M' || type == 'G' || type == 'P' || (type == 'B' && !visualFoxPro(tableVersion));
}

// A file of the results folder under its temporary name until published.
struct MemoRepair::Output {
  std::string finalName;
  std::unique_ptr<platform::WritableFile> file;
  bool renamed = false;
  uint64_t nextBlock = 0;
};

MemoRepair::MemoRepair(const std::string& tablePath, platform::Env* env)
    : env_(env), tablePath_(tablePath) {}

MemoRepair::~MemoRepair() { withdraw(); }

void MemoRepair::startPass(uint8_t tableVersion, const std::vector<FieldPlace>& places,
                           const std::vector<std::string>& fieldNames) {
  version_ = tableVersion;
  fields_.clear();
  for (size_t j = 0; j < places.size(); ++j) {
    if (!isMemoFieldType(places[j].type, tableVersion) || places[j].memoAsCharacter) continue;
    fields_.push_back({places[j], j < fieldNames.size() ? fieldNames[j] : std::string(),
                       places[j].type == 'M'});
  }
  if (reader_ || !sourcePath_.empty()) return;
  sourcePath_ = findMemoFile(tablePath_, tableVersion, env_);
  kind_ = memoKindForVersion(tableVersion);
  if (sourcePath_.empty()) return;
  kind_ = memoKindOfFile(sourcePath_, tableVersion);
  if (platform::Status s = env_->OpenReadOnly(sourcePath_, &source_); !s) {
    // A memo file that stands beside the table but cannot be opened is a
    // failing disk or a refused read, not a missing memo file: emptying
    // every reference would pass sound memos over as lost.
    source_.reset();
    logWriteFailure("Opening " + sourcePath_, s);
    Raise(kReadFailed, systemText(s));
  }
  reader_ = std::make_unique<MemoReader>(source_.get(), kind_);
}

void MemoRepair::sample(const uint8_t* record, size_t size) {
  for (const MemoField& field : fields_) {
    if (uint64_t{field.place.displacement} + field.place.length > size) continue;
    const uint32_t block = memoBlockNumber(record + field.place.displacement, field.place.length);
    if (block == 0) continue;
    ++references_;
    if (samples_.size() < kMaxSamples) samples_.emplace_back(block, field.text);
  }
}

bool MemoRepair::settleAhead() {
  if (blockSize_ != 0) return true;
  if (!reader_) {
    blockSize_ = kind_ == MemoKind::kFoxPro ? kDefaultFoxProBlockSize : kDbase3BlockSize;
    return true;
  }
  if (reader_->header().blockSize == 0) return false;
  blockSize_ = reader_->blockSize();
  reader_->learnSlack();
  checkSource();
  return true;
}

void MemoRepair::settle(RunFindings* findings) {
  findings->restart(kMemoStep);
  auto repaired = [&](std::string text) {
    findings->add(kMemoStep, FindingKind::kRepair, std::move(text));
  };
  if (!reader_) {
    blockSize_ = kind_ == MemoKind::kFoxPro ? kDefaultFoxProBlockSize : kDbase3BlockSize;
    if (!fields_.empty()) {
      repaired("no memo file beside the table: the memo fields stay memo fields, " +
                         grouped(references_) + " memo references emptied, and an empty " +
                         memoExtension(kind_) + " memo file written");
    }
    return;
  }
  if (blockSize_ == 0) {
    // A header that still gives its block size is believed: with a few
    // references, a wrong size can land as many of them on other memos.
    if (reader_->header().blockSize == 0) {
      reader_->setBlockSize(inferBlockSize(*reader_, samples_));
      blockSizeInferred_ = true;
    }
    blockSize_ = reader_->blockSize();
    reader_->learnSlack();
  }
  // A refused read of the rewriting is held with it (holdFailures).
  if (!holding_) checkSource();
  if (blockSizeInferred_) {
    repaired("the memo file's header lost its block size: " + grouped(blockSize_) +
                       " taken, the size the memo references fit");
  }
}

std::string MemoRepair::memoPath(const std::string& resultTablePath) const {
  platform::PathParts parts = platform::SplitPath(resultTablePath);
  // Letter for letter in the table's own case (ORDERS.DBF, ORDERS.FPT):
  // readers on a system that tells case apart look for the memo file so.
  std::string extension = memoExtension(kind_);
  for (size_t i = 0; i < extension.size() && i < parts.extension.size(); ++i) {
    if (std::isupper(static_cast<unsigned char>(parts.extension[i])) != 0) {
      extension[i] = static_cast<char>(std::toupper(static_cast<unsigned char>(extension[i])));
    }
  }
  parts.extension = extension;
  return platform::JoinPath(parts);
}

std::string MemoRepair::sideFilePath(const std::string& resultTablePath) const {
  platform::PathParts parts = platform::SplitPath(resultTablePath);
  parts.name += "_memos";
  parts.extension = ".txt";
  return platform::JoinPath(parts);
}

void MemoRepair::checkSource() {
  if (!reader_ || reader_->readFailure().ok()) return;
  // A memo file the system cannot read is a failing disk, not damage: the
  // run ends as it does for a table it cannot read, rather than empty
  // every reference as if the memos were broken.
  readFailed("Reading " + sourcePath_, reader_->readFailure());
}

void MemoRepair::holdAndStop(Held failure) {
  // The first failure is the one the writing stage meets; the scan stops
  // here either way.
  if (!held_) held_ = std::move(failure);
  struct MemoFailureHeld {};
  throw MemoFailureHeld{};
}

void MemoRepair::readFailed(const std::string& what, const platform::Status& status) {
  if (holding_) holdAndStop(Held{true, what, status});
  logWriteFailure(what, status);
  Raise(kReadFailed, systemText(status));
}

void MemoRepair::failed(const std::string& what, const platform::Status& status) {
  if (holding_) holdAndStop(Held{false, what, status});
  logWriteFailure(what, status);
  if (report_ != nullptr && report_->writeError.empty()) {
    report_->writeError = systemText(status);
    report_->writeErrorCode = status.code();
  }
  struct MemoWriteFailed {};
  throw MemoWriteFailed{};
}

void MemoRepair::create(const std::string& resultTablePath, RecoveryReport* report) {
  report_ = report;
  recordNumber_ = 0;
  referenced_.clear();
  emptied_.clear();
  memosKept_ = 0;
  orphans_ = 0;
  if (blockSize_ == 0) blockSize_ = reader_ ? reader_->blockSize() : kDbase3BlockSize;
  out_ = std::make_unique<Output>();
  const std::string name = memoPath(resultTablePath);
  if (platform::Status s = env_->CreateNew(partialName(name), &out_->file); !s) {
    out_.reset();
    failed("Creating " + partialName(name), s);
  }
  out_->finalName = name;
  const std::string header = makeMemoHeader(kind_, blockSize_, 0);
  out_->nextBlock = header.size() / blockSize_;
  if (platform::Status s = out_->file->Append(header.data(), header.size()); !s) {
    failed("Writing " + partialName(name), s);
  }
}

void MemoRepair::rewrite(uint8_t* record, size_t size) {
  if (!out_) {
    // The writing pass found memo fields the counting pass did not (the
    // table changed between them): there is no memo file to write to.
    Log().Error("MemoRepair: the table's memo fields changed between the passes");
    struct MemoPassesDisagree {};
    throw MemoPassesDisagree{};
  }
  ++recordNumber_;
  for (const MemoField& field : fields_) {
    // Descriptors that place a field past the record's end (damaged
    // displacements) place no memo reference.
    if (uint64_t{field.place.displacement} + field.place.length > size) continue;
    uint8_t* bytes = record + field.place.displacement;
    const uint32_t length = field.place.length;
    const uint32_t block = memoBlockNumber(bytes, length);
    if (block == 0) continue;
    referenced_.insert(block);
    if (!reader_) {
      putMemoBlockNumber(bytes, length, 0);
      continue;
    }
    Memo memo = reader_->read(block, field.text);
    checkSource();
    const uint64_t at = out_->nextBlock;
    const bool fits = at <= UINT32_MAX && (length == 4 || std::to_string(at).size() <= length);
    if (memo.fault == MemoFault::kNone && !fits) memo.fault = MemoFault::kTooLong;
    if (memo.fault != MemoFault::kNone) {
      emptied_.push_back({recordNumber_, field.name, block, memo.fault});
      putMemoBlockNumber(bytes, length, 0);
      continue;
    }
    const std::string stored = encodeMemo(kind_, blockSize_, memo.type, memo.bytes);
    if (platform::Status s = out_->file->Append(stored.data(), stored.size()); !s) {
      failed("Writing " + partialName(out_->finalName), s);
    }
    out_->nextBlock += stored.size() / blockSize_;
    putMemoBlockNumber(bytes, length, static_cast<uint32_t>(at));
    ++memosKept_;
  }
}

std::string MemoRepair::sideText() {
  std::string text;
  const std::string table = platform::SplitPath(tablePath_).name;
  for (const Emptied& e : emptied_) text += emptiedText(e) + "\n";
  if (!emptied_.empty()) text += "\n";
  if (!reader_) return text;
  // Memos no kept record refers to: the ones of records lost, deleted or
  // passed over, and older versions the table's program left behind.
  for (MemoReader::Found& found : reader_->walk()) {
    if (referenced_.count(found.block) != 0) continue;
    ++orphans_;
    const Memo& memo = found.memo;
    const bool binary = kind_ == MemoKind::kFoxPro && memo.type != kFoxText;
    text += "=== memo at block " + grouped(found.block) + ", " + typeName(memo.type) + ", " +
            grouped(memo.bytes.size()) + " bytes" + (binary ? ", base64" : "") + "\n";
    text += binary ? base64(memo.bytes) : memo.bytes;
    text += "\n";
  }
  if (text.empty()) return text;
  return "Memos of " + table + " that are not in the recovered table: first the memo " +
         "references emptied (record of the result, field, block of the source's memo " +
         "file), then the memos no recovered record refers to, in block order.\n\n" + text;
}

void MemoRepair::publish(RunFindings* findings) {
  if (!out_ || out_->renamed) return;
  const std::string text = sideText();
  checkSource();
  std::string sidePath;
  if (!text.empty()) {
    sidePath = sideFilePath(out_->finalName);
    side_ = std::make_unique<Output>();
    side_->finalName = sidePath;
    if (platform::Status s = env_->CreateNew(partialName(sidePath), &side_->file); !s) {
      side_.reset();
      failed("Creating " + partialName(sidePath), s);
    }
    platform::Status s = side_->file->Append(text.data(), text.size());
    if (s) s = side_->file->Sync();
    platform::Status closed = side_->file->Close();
    side_->file.reset();
    if (s) s = closed;
    if (s) s = publishPartial(env_, sidePath, &side_->renamed);
    if (!s) failed("Writing " + partialName(sidePath), s);
  }
  const std::string header =
      makeMemoHeader(kind_, blockSize_, static_cast<uint32_t>(out_->nextBlock));
  platform::Status s = out_->file->WriteAt(0, header.data(), header.size());
  if (s) s = out_->file->Sync();
  platform::Status closed = out_->file->Close();
  out_->file.reset();
  if (s) s = closed;
  if (s) s = publishPartial(env_, out_->finalName, &out_->renamed);
  if (!s) failed("Writing " + partialName(out_->finalName), s);

  if (!reader_ || (emptied_.empty() && orphans_ == 0 && !blockSizeInferred_)) return;
  const std::string side = platform::SplitPath(sidePath).name + ".txt";
  std::string line = "memo file rebuilt: " + grouped(memosKept_) + " memos kept";
  if (!emptied_.empty()) {
    line += ", " + grouped(emptied_.size()) + " references to memos that cannot be read emptied";
  }
  if (orphans_ != 0) {
    line += ", " + grouped(orphans_) + " memos no recovered record refers to";
  }
  if (!sidePath.empty()) line += " (all in " + side + ")";
  findings->add(kMemoStep, FindingKind::kRepair, line);
  for (const Emptied& e : emptied_) findings->add(kMemoStep, FindingKind::kRepair, emptiedText(e));
}

void MemoRepair::withdraw() noexcept {
  for (std::unique_ptr<Output>* output : {&side_, &out_}) {
    if (!*output) continue;
    try {
      if ((*output)->file) (*output)->file->Close();
      discardPartial(env_, (*output)->finalName, (*output)->renamed);
    } catch (...) {
    }
    output->reset();
  }
}

void MemoRepair::stopHolding(RecoveryReport* report) {
  report_ = report;
  holding_ = false;
  if (!held_) return;
  const Held held = std::move(*held_);
  held_.reset();
  if (held.read) readFailed(held.what, held.status);
  failed(held.what, held.status);
}

void MemoRepair::abandonWriting() noexcept {
  withdraw();
  holding_ = false;
  held_.reset();
  // Only the rewriting read the source since the block size was settled.
  if (reader_) reader_->forgetReadFailure();
}

void MemoRepair::keep() {
  out_.reset();
  side_.reset();
}

void MemoCountingSink::take(const uint8_t* record, size_t size) {
  repair_->sample(record, size);
  if (repair_->holdsFailure() || next_.holdsFailure()) return;
  copy_.assign(record, record + size);
  // What either raises is held (see the class comment).
  try {
    repair_->rewrite(copy_.data(), size);
    next_.take(copy_.data(), size);
  } catch (...) {
  }
}

void MemoPassSink::take(const uint8_t* record, size_t size) {
  if (next_ == nullptr) {
    repair_->sample(record, size);
    return;
  }
  copy_.assign(record, record + size);
  repair_->rewrite(copy_.data(), size);
  next_->take(copy_.data(), size);
}

}  // namespace kest
