// The record model and the frame sync over synthetic tables: every slot
// taken is a record of the table, and damage done in place, by inserted
// or removed bytes, or behind the count costs only the records it touched.
#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <string_view>
#include <unordered_set>

#include "thorough/record_alignment.h"
#include "thorough/record_model.h"

namespace kest {
namespace {

constexpr uint64_t kHeader = 161;

// Flag, an 8-digit number, a 12-letter name, a date: 29 bytes a record,
// then `padding` bytes of a remark most records leave blank (a wide record
// of padding reads almost alike a byte or two off).
constexpr uint32_t kCore = 29;

std::string makeRecord(std::mt19937& rng, uint32_t padding) {
  std::string r = rng() % 20 == 0 ? "*" : " ";
  std::string number = std::to_string(rng() % 100000);
  r += std::string(8 - number.size(), ' ') + number;
  std::string name;
  for (uint32_t i = 0, n = 3 + rng() % 9; i < n; ++i) name += char((i ? 'a' : 'A') + rng() % 26);
  r += name + std::string(12 - name.size(), ' ');
  r += "20" + std::to_string(10 + rng() % 15) + "0" + std::to_string(1 + rng() % 9) + "1" +
       std::to_string(rng() % 10);
  std::string remark = padding != 0 && rng() % 8 == 0 ? "Call back" : "";
  return r + remark + std::string(padding - remark.size(), ' ');
}

struct Table {
  uint32_t length = kCore;
  std::string bytes;
  std::set<std::string> records;
};

Table makeTable(uint32_t count, uint32_t seed, uint32_t padding = 0) {
  std::mt19937 rng(seed);
  Table t;
  t.length = kCore + padding;
  t.bytes.assign(kHeader, '\x01');
  while (t.records.size() < count) {
    std::string r = makeRecord(rng, padding);
    if (t.records.insert(r).second) t.bytes += r;
  }
  return t;
}

struct Outcome {
  size_t taken = 0, foreign = 0, intact = 0;
  std::vector<uint64_t> positions;
  std::vector<AlignmentEvent> events;
  bool strong = false;
};

Outcome recover(const std::string& bytes, const Table& healthy, bool inRuns = false) {
  const uint32_t length = healthy.length;
  ReadBytes read = [&](uint64_t at, size_t n, uint8_t* out) {
    std::memset(out, 0, n);
    if (at < bytes.size()) std::memcpy(out, bytes.data() + at, std::min<size_t>(n, bytes.size() - at));
  };
  std::vector<FieldPlace> places = {{'N', 1, 8}, {'C', 9, 12}, {'D', 21, 8}};
  if (length > kCore) places.push_back({'C', kCore, length - kCore});
  RecordHints hints;
  hints.kinds = kindsOfFields(places, length);
  hints.textFields = textFieldsOf(places, length);
  hints.recordAt = kHeader;
  hints.zeroRefused = zeroRefusedOf(places, length);
  RecordModel model =
      RecordModel::learn(sampleClusters(read, kHeader, bytes.size(), length), length, hints);
  Outcome o;
  o.strong = model.strong();
  const auto* data = reinterpret_cast<const uint8_t*>(bytes.data());
  FrameSync sync(kHeader, bytes.size(), length,
                 [&](uint64_t at) { return model.fitsAt(data, bytes.size(), at); });
  sync.tellCopies([&](uint64_t first, uint64_t second, uint64_t count) {
    return bytes.compare(first, count, bytes, second, count) == 0;
  });
  // Every few slots the fitting ones ahead go out at once, as a scan that
  // knows them takes them: the slots and the events are the same.
  auto take = [&](uint64_t at) {
    ++o.taken;
    o.positions.push_back(at);
    o.foreign += healthy.records.count(bytes.substr(at, length)) == 0;
  };
  for (uint64_t turn = 0;; ++turn) {
    if (inRuns && turn % 3 == 0 && sync.inStep()) {
      uint64_t count = 0;
      while (count < turn % 40 && sync.position() + (count + 1) * length <= bytes.size() &&
             model.fitsAt(data, bytes.size(), sync.position() + count * length)) {
        ++count;
      }
      if (count != 0) {
        const uint64_t first = sync.takeFitting(count);
        for (uint64_t k = 0; k < count; ++k) take(first + k * length);
        continue;
      }
    }
    std::optional<uint64_t> at = sync.next();
    if (!at) break;
    take(*at);
  }
  // The records still whole somewhere, found by their first bytes.
  std::unordered_set<std::string_view> heads;
  for (const std::string& r : healthy.records) heads.insert(std::string_view(r).substr(0, kCore));
  std::set<std::string_view> standing;
  const std::string_view all(bytes);
  for (size_t at = 0; at + length <= bytes.size(); ++at) {
    if (heads.count(all.substr(at, kCore)) != 0) standing.insert(all.substr(at, length));
  }
  for (const std::string& r : healthy.records) o.intact += standing.count(r);
  o.events = sync.events();
  return o;
}

TEST(RecordEvidence, TakesTheRecordsTheDamageLeftAndNothingElse) {
  struct Case {
    const char* damage;
    std::function<void(std::string&, uint32_t length)> apply;
    AlignmentEvent::Kind event;
    int64_t shift;
    size_t mostForeign;
    // Records wider than the model scores byte by byte leave zero bytes in
    // a value to the value judge.
    bool wideToo = true;
  } cases[] = {
      {"none", [](std::string&, uint32_t) {}, AlignmentEvent::kSkipped, 0, 0},
      {"page of zeros", [](std::string& b, uint32_t) { std::memset(&b[8192], 0, 4096); },
       AlignmentEvent::kSkipped, 0, 1},
      {"zeroed tail",
       [](std::string& b, uint32_t length) {
         const size_t from = kHeader + length * 700 + length / 2;
         std::memset(&b[from], 0, b.size() - from);
       },
       AlignmentEvent::kSkipped, 0, 0},
      // The rest of the record fits; readers refuse the number.
      {"zero bytes ending a number",
       [](std::string& b, uint32_t length) { std::memset(&b[kHeader + length * 500 + 7], 0, 2); },
       AlignmentEvent::kSkipped, 0, 0, false},
      {"page of text",
       [](std::string& b, uint32_t) {
         for (size_t i = 0; i < 4096; ++i) b[8192 + i] = "the quick brown fox 12, "[i % 24];
       },
       AlignmentEvent::kSkipped, 0, 2},
      {"7 bytes inserted after the header",
       [](std::string& b, uint32_t) { b.insert(kHeader, "\x1f\x8b\x08 abc"); },
       AlignmentEvent::kRealigned, 7, 2},
      {"13 bytes inserted in the middle",
       [](std::string& b, uint32_t length) {
         b.insert(kHeader + length * 1000 + 5, "0123456789abc");
       },
       AlignmentEvent::kRealigned, 13, 2},
      // The copy and the record's start fit as a record too.
      {"a record's first 20 bytes copied before it",
       [](std::string& b, uint32_t length) {
         const size_t at = kHeader + length * 1000;
         b.insert(at, b.substr(at, 20));
       },
       AlignmentEvent::kRealigned, 20, 0, false},
      {"6 bytes removed in the middle",
       [](std::string& b, uint32_t length) { b.erase(kHeader + length * 700 + 3, 6); },
       AlignmentEvent::kRealigned, -6, 2},
  };
  for (const uint32_t padding : {0u, 600u}) {
    const Table healthy = makeTable(2000, 7, padding);
    for (const Case& c : cases) {
      if (padding != 0 && !c.wideToo) continue;
      SCOPED_TRACE(std::string(c.damage) + ", padding " + std::to_string(padding));
      std::string bytes = healthy.bytes;
      c.apply(bytes, healthy.length);
      Outcome o = recover(bytes, healthy);
      EXPECT_TRUE(o.strong);
      const Outcome inRuns = recover(bytes, healthy, /*inRuns=*/true);
      EXPECT_EQ(inRuns.positions, o.positions);
      EXPECT_EQ(inRuns.events.size(), o.events.size());
      // A record cut by the damage may still fit; its values are the value
      // check's to judge (a few zero bytes at its end). Nothing the damage
      // did not touch is taken, nor a slot a zeroed stretch takes half of.
      EXPECT_LE(o.foreign, c.mostForeign) << "slots taken that are no record";
      EXPECT_GE(o.taken * 100, o.intact * 99);
      if (c.shift == 0 && std::string(c.damage) == "none") {
        EXPECT_TRUE(o.events.empty());
        EXPECT_EQ(o.taken, 2000u);
        continue;
      }
      bool seen = false;
      for (const AlignmentEvent& e : o.events) seen |= e.kind == c.event && e.shift == c.shift;
      EXPECT_TRUE(seen);
    }
  }
}

TEST(RecordEvidence, AModelOfLookalikeBytesDecidesNothing) {
  // Every byte a letter: a slot cut some bytes off looks like a record.
  std::string bytes(kHeader, '\x01');
  std::mt19937 rng(3);
  for (int i = 0; i < 2000 * 29; ++i) bytes += char('a' + rng() % 26);
  ReadBytes read = [&](uint64_t at, size_t n, uint8_t* out) {
    std::memcpy(out, bytes.data() + at, n);
  };
  EXPECT_FALSE(RecordModel::learn(sampleClusters(read, kHeader, bytes.size(), 29), 29).strong());
}

}  // namespace
}  // namespace kest
