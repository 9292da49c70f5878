// What a record of this table looks like, learned from the table itself:
// for each byte position of the record, which kinds of byte it holds
// (digit, space, letter, NUL, sign or point, high byte, ...). A slot is
// scored by how well its bytes fit those kinds; a slot cut from the wrong
// place (a few bytes off), a page of zeros and a page of some other file's
// text all fit badly, even where each of their fields would pass the value
// check.
//
// Learned robustly: damage is local, so the samples come in clusters of
// neighbouring slots from across the table, each cluster is lined up with
// the first sound one (a cluster behind inserted bytes holds the same
// records turned by some bytes), and clusters that agree with no other
// are left out. Pure functions over bytes; no I/O.
#ifndef KEST_THOROUGH_RECORD_MODEL_H_
#define KEST_THOROUGH_RECORD_MODEL_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <utility>
#include <vector>

#include "dbf/record_check.h"

namespace kest {

enum ByteKind : uint8_t {
  kNulByte,
  kSpaceByte,
  kDigitByte,
  kUpperByte,
  kLowerByte,
  kMarkByte,  // signs, points, '*' and other printable punctuation
  kHighByte,  // 0x80..0xFF
  kControlByte,
  kByteKinds
};

ByteKind byteKind(uint8_t byte);

// Consecutive slots of one record length, as read from one place of the
// table: `bytes` holds `slots` slots back to back.
struct SampleCluster {
  uint64_t position = 0;
  std::vector<uint8_t> bytes;
};

// Reads `count` bytes at `position` into `out`; what the table does not hold
// reads as zero.
using ReadBytes = std::function<void(uint64_t position, size_t count, uint8_t* out)>;

// Clusters of neighbouring `length`-byte slots from `start` on, spread
// evenly up to `end`: what learn() needs, at most a few MiB.
std::vector<SampleCluster> sampleClusters(const ReadBytes& read, uint64_t start, uint64_t end,
                                          uint32_t length);

// What the caller knows of the records, to tell which column holds the
// deletion flags where the bytes alone leave a choice (a number's leading
// spaces look like flags too).
struct RecordHints {
  // Per position of the record (0 the flag), the kinds its field's type
  // allows, one bit a ByteKind; empty when no layout is known.
  std::vector<uint8_t> kinds;
  // Per position of the record, the length of the text field that begins
  // there (0: none). Text stands left: a field that holds any text holds
  // it from its first byte. Empty when no layout is known.
  std::vector<uint32_t> textFields;
  // A position where a record is believed to begin; none when unknown.
  std::optional<uint64_t> recordAt;
  // Per position of the record, 1 where a number or a logical lies:
  // readers refuse a zero byte there, and one the records never hold there
  // is where a zeroed stretch begins or ends. Empty when unknown.
  std::vector<uint8_t> zeroRefused;
};

// The kinds each place of a record may hold by the types of the fields
// laid over it (the flag at 0: space or star); places no field covers, and
// fields whose type allows any byte, allow every kind.
std::vector<uint8_t> kindsOfFields(const std::vector<FieldPlace>& places, uint32_t length);
// Where the text fields laid over a record begin (RecordHints::textFields).
std::vector<uint32_t> textFieldsOf(const std::vector<FieldPlace>& places, uint32_t length);
// Where numbers and logicals lie (RecordHints::zeroRefused).
std::vector<uint8_t> zeroRefusedOf(const std::vector<FieldPlace>& places, uint32_t length);

// Whether the bytes read as lines of text (a licence, a log, a program's
// source) all through: nearly every KiB holds several line feeds and no
// byte a text does not hold. A table's records hold a line break now and
// then at most; a stretch of text among them leaves the rest unlike it.
bool readsAsText(const uint8_t* bytes, size_t size);

class RecordModel {
 public:
  // Learns from clusters of `length`-byte slots read from anywhere: a
  // cluster that agrees with the others only when turned is counted turned.
  static RecordModel learn(const std::vector<SampleCluster>& clusters, uint32_t length,
                           const RecordHints& hints = {});

  uint32_t length() const { return length_; }
  // Whether the model tells records from slots cut a few bytes off: false
  // for a table whose every byte looks alike (all text, all binary), or
  // with too few samples. A weak model decides nothing.
  bool strong() const { return strong_; }
  // Where one record the model learned from begins in the table (the
  // position of its deletion flag).
  uint64_t anchor() const { return anchor_; }

  // The fit of the `length()` bytes at `slot`: higher is better (by the
  // samples' model only).
  int32_t score(const uint8_t* slot) const;

  // A slot that scores as records do fits; one that scores as most slots
  // cut a few bytes off does not; one in between fits only when it scores
  // better than the slots up to kReach bytes either side of it, which
  // records unlike most of their table do and cut slots do not.
  enum class Fit { kNo, kUnsure, kYes };
  static constexpr uint32_t kReach = 3;
  Fit judge(const uint8_t* slot) const;
  // The whole decision for the slot at `at` of `size` bytes at `bytes`;
  // bytes outside them count as zeros.
  bool fitsAt(const uint8_t* bytes, size_t size, size_t at) const;

  // Where `size` bytes hold a few records, turned by bytes inserted or
  // removed before them: the few phases (below `length`) at which nearly
  // every slot fits the layout of `hints`, as many as at any other phase
  // and clearly more than at phase 0; none where the layout cannot tell.
  static std::vector<uint32_t> layoutPhases(const uint8_t* bytes, size_t size, uint32_t length,
                                            const RecordHints& hints);

  // A model of the layout of `hints` alone, learned from nothing: it judges
  // slots by fitsLayout() only. Its hints must hold kinds for `length`.
  static RecordModel ofLayout(uint32_t length, const RecordHints& hints);
  // Whether the slot's flag is one, its bytes are of the kinds its fields
  // allow and its text fields begin with text, as a layout model sees it.
  bool fitsLayout(const uint8_t* slot) const;
  // fitsLayout without its leniency: no control byte in a text field, and
  // every text field that holds text begins with it.
  bool fitsLayoutStrictly(const uint8_t* slot) const;

  // Samples learned from, after the clusters that agreed with none were
  // dropped.
  uint32_t samples() const { return samples_; }
  // Whether judge() refuses a slot with a zero byte where the hints'
  // zeroRefused and the records hold none (records up to kByteScoredLength
  // bytes, learned from samples): then a scan need not ask again.
  bool refusesZeros() const { return refusesZeros_; }

 private:
  // The scores of each byte at each place, from slots where records begin.
  void build(const std::vector<const uint8_t*>& slots);
  static RecordModel learnFromSamples(const std::vector<SampleCluster>& clusters, uint32_t length,
                                      const RecordHints& hints);
  // Too few records to learn from: a slot fits when its bytes are of the
  // kinds its fields allow and its text fields begin with text. Strong only
  // where most slots fit at one phase and clearly fewer at any other.
  static RecordModel learnFromLayout(const std::vector<SampleCluster>& clusters, uint32_t length,
                                     const RecordHints& hints);
  bool fitsLayoutWithin(const uint8_t* slot, bool strictly) const;
  // Whether a zeroed stretch of the table begins or ends in the slot.
  bool zeroedStretch(const uint8_t* slot) const;
  // Sets judge()'s score of a zero byte where `places` refuse one and the
  // records hold none so low that no slot with one fits. Only judge()'s:
  // the scores the model was calibrated by keep one odd value bounded.
  void refuseZerosAt(const std::vector<uint8_t>& places);

  uint32_t length_ = 0;
  uint64_t anchor_ = 0;
  bool strong_ = false;
  // The score of the slot at `slot` weighed with its lead over the slots
  // up to kReach bytes either side (which must be readable); none where
  // one of them scores as well.
  std::optional<int32_t> peakAt(const uint8_t* slot) const;

  // Scores at or above threshold_ fit; below floor_ they do not.
  int32_t threshold_ = 0;
  int32_t floor_ = 0;
  // Set where scores alone leave records and cuts mixed: in between, a
  // slot fits when its peakAt() reaches this.
  std::optional<int32_t> peak_;
  // A model of the layout alone (learnFromLayout).
  bool byLayout_ = false;
  std::vector<uint32_t> layoutLeaders_;
  std::vector<uint8_t> layoutKinds_;
  std::vector<std::pair<uint32_t, uint32_t>> layoutText_;  // start, width

  uint32_t samples_ = 0;
  // Per position, per kind of byte: the score of such a byte there (fixed
  // point), small enough to stay in the cache while slots are scored; the
  // flag's place is scored by flagScores_, byte by byte.
  std::vector<std::array<int16_t, kByteKinds>> table_;
  std::array<int16_t, 256> flagScores_{};
  // table_ by byte value rather than kind (256 a place; the flag's place
  // by flagScores_), widened so that a byte's score is added straight from
  // memory, for records up to kByteScoredLength bytes (256 KiB a model at
  // most); empty beyond.
  static constexpr uint32_t kByteScoredLength = 256;
  std::vector<int32_t> byteScores_;
  bool refusesZeros_ = false;
  // The best score the positions from i on can still add: a slot that
  // cannot reach the threshold is given up early.
  std::vector<int32_t> bestRest_;
};

}  // namespace kest

#endif  // KEST_THOROUGH_RECORD_MODEL_H_
