#include "thorough/record_model.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <cstdio>
#include <functional>
#include <limits>

namespace kest {

namespace {

constexpr uint8_t kFlagLive = ' ';
constexpr uint8_t kFlagDeleted = '*';
// Scores are log2 ratios in sixteenths: a byte of a kind never seen at its
// place costs at most kWorst, one of the kind always seen there gains at
// most kBest. The bound keeps a record with one odd value among many
// sound ones well above a slot cut from the wrong place.
constexpr int32_t kScale = 16;
constexpr double kWorst = -6.0;
constexpr double kBest = 4.0;
// The score of a kind never seen at a place.
constexpr int16_t kUnseen = static_cast<int16_t>(kWorst * kScale);
// Zero bytes in a row where records hold none that make a slot damaged.
constexpr uint32_t kZeroRun = 4;
// Clusters agree when their kinds overlap at least this much once turned,
// and clearly more than at any other turn.
constexpr double kLeastOverlap = 0.6;
constexpr double kStandsOut = 0.02;
constexpr double kStandsOutShare = 0.2;
constexpr double kStrideStandsOut = 0.001;
constexpr double kStrideOverlap = 0.75;
constexpr double kAgreement = kLeastOverlap;
// A turn further than this is looked for only in short records, where
// every turn is cheap to try.
constexpr uint32_t kAllTurnsUpTo = 1024;
constexpr uint32_t kNearTurns = 64;
constexpr uint32_t kMinSamples = 24;
// Samples the layout's fit is judged on.
constexpr size_t kLayoutSamples = 64;
// A model of the layout alone: slots judged per phase, and the fewest that
// tell a phase.
constexpr uint32_t kLayoutSlots = 256;
constexpr uint32_t kLayoutLeastSlots = 3;
constexpr uint32_t kLayoutControls = 4;
// Sample slots the model's bounds are calibrated on, and how many turns
// spread over a record they are cut by.
constexpr size_t kCalibrationSlots = 256;
constexpr uint32_t kFarCuts = 48;
// How much a slot's lead over its neighbours weighs against its score.
constexpr int32_t kLeadWeight = 4;

using KindCounts = std::vector<std::array<uint32_t, kByteKinds>>;

struct Profile {
  uint32_t slots = 0;
  KindCounts kinds;
  // Per position: bytes that are ' ', and that are '*'.
  std::vector<uint32_t> live, deleted;
  // kinds as shares of the slots (profileOf's only): every pair of
  // clusters is compared at many turns.
  std::vector<std::array<double, kByteKinds>> shares;
};

Profile profileOf(const SampleCluster& cluster, uint32_t length) {
  Profile p;
  p.slots = static_cast<uint32_t>(cluster.bytes.size() / length);
  p.kinds.assign(length, {});
  p.live.assign(length, 0);
  p.deleted.assign(length, 0);
  for (uint32_t s = 0; s < p.slots; ++s) {
    const uint8_t* slot = cluster.bytes.data() + size_t{s} * length;
    for (uint32_t i = 0; i < length; ++i) {
      ++p.kinds[i][byteKind(slot[i])];
      p.live[i] += slot[i] == kFlagLive;
      p.deleted[i] += slot[i] == kFlagDeleted;
    }
  }
  if (p.slots != 0) {
    p.shares.resize(length);
    for (uint32_t i = 0; i < length; ++i) {
      for (int k = 0; k < kByteKinds; ++k) p.shares[i][k] = double(p.kinds[i][k]) / p.slots;
    }
  }
  return p;
}

// How much of `b`, read `turn` bytes on, looks like `a`: the overlap of
// their kinds, 0..1.
double overlap(const Profile& a, const Profile& b, uint32_t turn, uint32_t length) {
  if (a.slots == 0 || b.slots == 0) return 0;
  double shared = 0;
  uint32_t j = length != 0 ? turn % length : 0;
  for (uint32_t i = 0; i < length; ++i) {
    const std::array<double, kByteKinds>& x = a.shares[i];
    const std::array<double, kByteKinds>& y = b.shares[j];
    for (int k = 0; k < kByteKinds; ++k) shared += std::min(x[k], y[k]);
    if (++j == length) j = 0;
  }
  return shared / length;
}

// The scores of the `count` bytes at `bytes`, from a table of 256 scores a
// place beginning at `scores`: one load and one add a byte.
inline int32_t byteScoreSum(const int32_t* scores, const uint8_t* bytes, uint32_t count) {
  int32_t sum = 0;
  const uint8_t* const stop = bytes + count;
  for (; stop - bytes >= 8; bytes += 8, scores += 8 * 256) {
    sum += scores[bytes[0]] + scores[256 + bytes[1]] + scores[512 + bytes[2]] +
           scores[768 + bytes[3]] + scores[1024 + bytes[4]] + scores[1280 + bytes[5]] +
           scores[1536 + bytes[6]] + scores[1792 + bytes[7]];
  }
  if (stop - bytes >= 4) {
    sum += scores[bytes[0]] + scores[256 + bytes[1]] + scores[512 + bytes[2]] +
           scores[768 + bytes[3]];
    bytes += 4;
    scores += 4 * 256;
  }
  for (; bytes < stop; ++bytes, scores += 256) sum += scores[*bytes];
  return sum;
}

// The turn of `b` that looks most like `a`, and how much: 0 when no turn
// stands out (a cluster of damage, or bytes that look alike at every turn).
std::pair<uint32_t, double> bestTurn(const Profile& a, const Profile& b, uint32_t length) {
  std::pair<uint32_t, double> best{0, overlap(a, b, 0, length)};
  double second = 0;
  auto consider = [&](uint32_t turn) {
    double o = overlap(a, b, turn, length);
    if (o > best.second) {
      second = best.second;
      best = {turn, o};
    } else {
      second = std::max(second, o);
    }
  };
  if (length <= kAllTurnsUpTo) {
    for (uint32_t t = 1; t < length; ++t) consider(t);
  } else {
    for (uint32_t t = 1; t <= kNearTurns; ++t) {
      consider(t);
      consider(length - t);
    }
  }
  // Records mostly padding look alike a byte or two turned: what counts is
  // how much of the mismatch left at the next best turn the best one
  // removes, not the overlap's plain difference.
  // Clusters start on the header's stride: there a turn of none that
  // beats every other at all, and looks much alike, is the expected one,
  // noise and all (a cluster turned further than the turns tried looks
  // less alike).
  const double standsOut = best.first == 0 && best.second >= kStrideOverlap
                               ? kStrideStandsOut
                               : std::min(kStandsOut, kStandsOutShare * (1.0 - second));
  if (best.second < kLeastOverlap || best.second - second < standsOut) best.second = 0;
  return best;
}

// Which column of `counts` holds the deletion flags: a column of spaces and
// stars only, as far as damaged samples let it be. Where several are
// (padding is spaces too), the layout's field kinds decide, then the
// caller's word (`hinted`) unless the kinds clearly speak against it, then
// stars where the column holds nothing else.
// `layout`, when given, says how badly the layout's fields fit the
// samples were the flags in a column.
struct LayoutFit {
  uint64_t disagreeing = 0;  // bytes of a kind their field does not allow
  uint64_t misplaced = 0;    // text fields that begin with padding
};
using LayoutCost = std::function<uint64_t(uint32_t column, bool kinds)>;

std::optional<uint32_t> flagColumnOf(const Profile& counts, std::optional<uint32_t> hinted,
                                     uint32_t length, const LayoutCost& layout,
                                     uint64_t samples) {
  uint64_t mostFlags = 0;
  for (uint32_t i = 0; i < length; ++i) {
    mostFlags = std::max<uint64_t>(mostFlags, uint64_t{counts.live[i]} + counts.deleted[i]);
  }
  const uint64_t slots = counts.slots;
  // Jammed flags leave the flag column less than whole; the layout still
  // finds it among the columns of padding.
  const uint64_t floor =
      std::max<uint64_t>(slots / 2, layout ? 0 : mostFlags - slots * 3 / 100);
  struct Candidate {
    uint32_t column;
    LayoutFit fit;
    uint32_t stars;
  };
  std::vector<Candidate> candidates;
  for (uint32_t i = 0; i < length; ++i) {
    const uint64_t flags = uint64_t{counts.live[i]} + counts.deleted[i];
    if (flags < floor || flags == 0) continue;
    const bool onlyFlags = flags * 100 >= slots * 97;
    candidates.push_back({i, {}, onlyFlags ? counts.deleted[i] : 0});
  }
  if (candidates.empty()) return std::nullopt;
  // Damaged samples, and values a layout does not expect, leave some at
  // the right place too: the columns close to the fewest stay in the
  // choice. Where padding columns leave a choice the kinds cannot settle
  // (a record turned a byte reads an empty number as spaces too), the
  // text fields settle it: turned, many begin with padding and hold text
  // after it. They are cheap to count, so they go first.
  auto close = [&](uint64_t value, uint64_t fewest) {
    return value <= fewest + std::max<uint64_t>(samples / 20 + 1, fewest / 10);
  };
  std::vector<const Candidate*> choice;
  for (const Candidate& c : candidates) choice.push_back(&c);
  if (layout) {
    for (const bool kinds : {false, true}) {
      uint64_t fewest = UINT64_MAX;
      std::vector<uint64_t> cost(choice.size());
      for (size_t i = 0; i < choice.size(); ++i) {
        cost[i] = layout(choice[i]->column, kinds);
        fewest = std::min(fewest, cost[i]);
      }
      std::vector<const Candidate*> kept;
      for (size_t i = 0; i < choice.size(); ++i) {
        if (close(cost[i], fewest)) kept.push_back(choice[i]);
      }
      choice = std::move(kept);
    }
  }
  for (const Candidate* c : choice) {
    if (hinted && c->column == *hinted) return c->column;
  }
  const Candidate* chosen = choice.front();
  for (const Candidate* c : choice) {
    if (c->stars > chosen->stars) chosen = c;
  }
  return chosen->column;
}

int32_t percentile(std::vector<int32_t> v, double share) {
  if (v.empty()) return 0;
  size_t at = std::min(v.size() - 1, static_cast<size_t>(share * double(v.size())));
  std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(at), v.end());
  return v[at];
}

constexpr std::array<uint8_t, 256> kindTable() {
  std::array<uint8_t, 256> kinds{};
  for (int b = 0; b < 256; ++b) {
    kinds[b] = b == 0                 ? kNulByte
               : b == ' '             ? kSpaceByte
               : b >= '0' && b <= '9' ? kDigitByte
               : b >= 'A' && b <= 'Z' ? kUpperByte
               : b >= 'a' && b <= 'z' ? kLowerByte
               : b >= 0x80            ? kHighByte
               : b < 0x20 || b == 0x7F ? kControlByte
                                       : kMarkByte;
  }
  return kinds;
}

constexpr std::array<uint8_t, 256> kKindOf = kindTable();

}  // namespace

std::vector<SampleCluster> sampleClusters(const ReadBytes& read, uint64_t start, uint64_t end,
                                          uint32_t length) {
  constexpr uint64_t kClusters = 16;
  constexpr uint64_t kClusterSlots = 64;
  constexpr uint64_t kMaxClusterBytes = 256 * 1024;
  std::vector<SampleCluster> clusters;
  if (length == 0 || end <= start || end - start < length) return clusters;
  const uint64_t slots = (end - start) / length;
  // A small table still comes in several clusters: damage in its middle
  // turns the records after it, and one cluster would mix both turns.
  const uint64_t perCluster = std::max<uint64_t>(
      1, std::min({kClusterSlots, kMaxClusterBytes / length, std::max<uint64_t>(8, slots / 8)}));
  const uint64_t count = std::min(kClusters, std::max<uint64_t>(1, slots / perCluster));
  for (uint64_t c = 0; c < count; ++c) {
    // Cluster starts on the header's stride: turned clusters are damage.
    const uint64_t first = count == 1 ? 0 : c * (slots - perCluster) / (count - 1);
    const uint64_t n = std::min(perCluster, slots - first);
    SampleCluster cluster;
    cluster.position = start + first * length;
    cluster.bytes.resize(static_cast<size_t>(n * length));
    read(cluster.position, cluster.bytes.size(), cluster.bytes.data());
    clusters.push_back(std::move(cluster));
  }
  return clusters;
}

std::vector<uint8_t> kindsOfFields(const std::vector<FieldPlace>& places, uint32_t length) {
  auto bits = [](std::initializer_list<ByteKind> kinds) {
    uint8_t mask = 0;
    for (ByteKind k : kinds) mask |= static_cast<uint8_t>(1u << k);
    return mask;
  };
  const uint8_t any = 0xFF;
  std::vector<uint8_t> kinds(length, any);
  if (length == 0) return kinds;
  kinds[0] = bits({kSpaceByte, kMarkByte});
  for (const FieldPlace& place : places) {
    uint8_t allowed = any;
    switch (place.type) {
      case 'N':
      case 'F':
        allowed = bits({kDigitByte, kSpaceByte, kMarkByte});
        break;
      case 'D':
        allowed = bits({kDigitByte, kSpaceByte, kNulByte});
        break;
      case 'L':
        allowed = bits({kUpperByte, kLowerByte, kMarkByte, kSpaceByte, kNulByte});
        break;
      case 'C':
        // Text, padded: any byte but the control bytes binary fields hold.
        if (!place.memoAsCharacter) allowed = static_cast<uint8_t>(any & ~(1u << kControlByte));
        break;
      default:
        break;
    }
    for (uint64_t i = place.displacement; i < uint64_t{place.displacement} + place.length && i < length;
         ++i) {
      if (i != 0) kinds[i] = allowed;
    }
  }
  return kinds;
}

std::vector<uint8_t> zeroRefusedOf(const std::vector<FieldPlace>& places, uint32_t length) {
  std::vector<uint8_t> refused(length, 0);
  for (const FieldPlace& place : places) {
    if (place.type != 'N' && place.type != 'F' && place.type != 'L') continue;
    for (uint64_t i = place.displacement;
         i < uint64_t{place.displacement} + place.length && i < length; ++i) {
      if (i != 0) refused[i] = 1;
    }
  }
  return refused;
}

std::vector<uint32_t> textFieldsOf(const std::vector<FieldPlace>& places, uint32_t length) {
  std::vector<uint32_t> fields(length, 0);
  for (const FieldPlace& place : places) {
    if (place.type == 'C' && !place.memoAsCharacter && place.displacement > 0 &&
        place.displacement < length && place.length > 1) {
      fields[place.displacement] = std::min(place.length, length - place.displacement);
    }
  }
  return fields;
}

bool readsAsText(const uint8_t* bytes, size_t size) {
  constexpr size_t kChunk = 1024;
  constexpr uint32_t kLinesAChunk = 4;
  const size_t chunks = size / kChunk;
  if (chunks == 0) return false;
  size_t textual = 0;
  for (size_t c = 0; c < chunks; ++c) {
    const uint8_t* chunk = bytes + c * kChunk;
    uint32_t lines = 0;
    bool text = true;
    for (size_t i = 0; i < kChunk && text; ++i) {
      const uint8_t b = chunk[i];
      if (b == '\n') ++lines;
      text = b >= 0x20 || b == '\n' || b == '\r' || b == '\t' || b == '\f';
    }
    textual += text && lines >= kLinesAChunk;
  }
  return textual * 10 >= chunks * 9;
}

ByteKind byteKind(uint8_t b) { return static_cast<ByteKind>(kKindOf[b]); }

RecordModel RecordModel::learn(const std::vector<SampleCluster>& clusters, uint32_t length,
                               const RecordHints& hints) {
  RecordModel model = learnFromSamples(clusters, length, hints);
  if (model.strong()) {
    model.refuseZerosAt(hints.zeroRefused);
    return model;
  }
  RecordModel layout = learnFromLayout(clusters, length, hints);
  return layout.strong() ? layout : model;
}

bool RecordModel::fitsLayout(const uint8_t* slot) const { return fitsLayoutWithin(slot, false); }

bool RecordModel::fitsLayoutStrictly(const uint8_t* slot) const {
  return fitsLayoutWithin(slot, true);
}

bool RecordModel::fitsLayoutWithin(const uint8_t* slot, bool strictly) const {
  if (slot[0] != kFlagLive && slot[0] != kFlagDeleted) return false;
  // Text may hold a line break or two; numbers and dates hold no letters.
  const uint32_t mostControls = strictly ? 0 : kLayoutControls;
  uint32_t controls = 0;
  for (uint32_t j = 1; j < length_; ++j) {
    const uint8_t kind = kKindOf[slot[j]];
    if (layoutKinds_[j] & (1u << kind)) continue;
    if (kind != kControlByte || ++controls > mostControls) return false;
  }
  uint32_t misplaced = 0;
  for (const auto& [start, width] : layoutText_) {
    if (slot[start] != ' ' && slot[start] != 0) continue;
    for (uint32_t j = start + 1; j < start + width; ++j) {
      if (slot[j] != ' ' && slot[j] != 0) {
        ++misplaced;
        break;
      }
    }
  }
  return misplaced <= (strictly ? 0 : layoutText_.size() / 4);
}

RecordModel RecordModel::ofLayout(uint32_t length, const RecordHints& hints) {
  RecordModel model;
  model.length_ = length;
  model.layoutKinds_ = hints.kinds;
  model.layoutKinds_.resize(length, 0xFF);
  if (hints.textFields.size() == length) {
    for (uint32_t j = 1; j < length; ++j) {
      if (hints.textFields[j] > 1) model.layoutText_.push_back({j, hints.textFields[j]});
    }
  }
  return model;
}

RecordModel RecordModel::learnFromLayout(const std::vector<SampleCluster>& clusters,
                                         uint32_t length, const RecordHints& hints) {
  if (length < 2 || clusters.empty() || hints.kinds.size() != length) {
    RecordModel model;
    model.length_ = length;
    return model;
  }
  RecordModel model = ofLayout(length, hints);
  // Every place allowing every kind, and no text field: the layout says
  // nothing of where records lie.
  bool tells = !model.layoutText_.empty();
  for (uint32_t j = 1; j < length && !tells; ++j) tells = hints.kinds[j] != 0xFF;
  if (!tells) return model;
  // The phase where the most slots fit the layout, against the next best.
  std::vector<uint32_t> fitting(length, 0);
  uint32_t slots = 0;
  for (uint32_t phase = 0; phase < length; ++phase) {
    uint32_t n = 0;
    for (const SampleCluster& cluster : clusters) {
      for (size_t at = phase; at + length <= cluster.bytes.size() && n < kLayoutSlots;
           at += length) {
        ++n;
        fitting[phase] += model.fitsLayout(cluster.bytes.data() + at);
      }
    }
    if (phase == 0) slots = n;
  }
  uint32_t best = 0;
  for (uint32_t phase = 1; phase < length; ++phase) {
    if (fitting[phase] > fitting[best]) best = phase;
  }
  uint32_t second = 0;
  for (uint32_t phase = 0; phase < length; ++phase) {
    if (phase != best) second = std::max(second, fitting[phase]);
  }
  model.anchor_ = clusters.front().position + best;
  model.samples_ = fitting[best];
  model.byLayout_ = true;
  // Slots of bytes inserted or removed before the records fit now and then
  // at a phase or two besides the records' own: the few phases that fit
  // best, where the first phase fits clearly worse, are where the records
  // may have gone even when the lead is too narrow to judge slots by.
  constexpr size_t kFewLeaders = 16;
  if (slots >= 2 && fitting[best] * 10 >= slots * 9 && fitting[0] * 4 < fitting[best] * 3) {
    for (uint32_t phase = 1; phase < length; ++phase) {
      if (fitting[phase] == fitting[best]) model.layoutLeaders_.push_back(phase);
    }
    if (model.layoutLeaders_.size() > kFewLeaders) model.layoutLeaders_.clear();
  }
  // Most slots fit at one phase, and clearly fewer at any other.
  model.strong_ = slots >= kLayoutLeastSlots && fitting[best] * 10 >= slots * 9 &&
                  second * 3 <= fitting[best];
  return model;
}

std::vector<uint32_t> RecordModel::layoutPhases(const uint8_t* bytes, size_t size,
                                                 uint32_t length, const RecordHints& hints) {
  SampleCluster cluster;
  cluster.bytes.assign(bytes, bytes + size);
  return learnFromLayout({cluster}, length, hints).layoutLeaders_;
}

RecordModel RecordModel::learnFromSamples(const std::vector<SampleCluster>& clusters,
                                          uint32_t length, const RecordHints& hints) {
  RecordModel model;
  model.length_ = length;
  if (length < 2 || clusters.empty()) return model;
  std::vector<Profile> profiles;
  profiles.reserve(clusters.size());
  for (const SampleCluster& c : clusters) profiles.push_back(profileOf(c, length));

  // The cluster most others agree with speaks for the table; the first few
  // are tried, since damage near the start of the records spoils the first.
  std::vector<std::pair<uint32_t, double>> turns;
  size_t reference = 0;
  size_t agreeing = 0;
  for (size_t r = 0; r < std::min<size_t>(profiles.size(), 3); ++r) {
    std::vector<std::pair<uint32_t, double>> t(profiles.size());
    size_t n = 0;
    for (size_t c = 0; c < profiles.size(); ++c) {
      t[c] = c == r ? std::pair<uint32_t, double>{0, 1.0} : bestTurn(profiles[r], profiles[c], length);
      n += t[c].second >= kAgreement;
    }
    if (n > agreeing) {
      agreeing = n;
      reference = r;
      turns = std::move(t);
    }
    if (2 * n > profiles.size()) break;
  }

  // Pooled in the reference's frame.
  Profile pool;
  pool.kinds.assign(length, {});
  pool.live.assign(length, 0);
  pool.deleted.assign(length, 0);
  for (size_t c = 0; c < profiles.size(); ++c) {
    if (turns[c].second < kAgreement) continue;
    const Profile& p = profiles[c];
    pool.slots += p.slots;
    for (uint32_t i = 0; i < length; ++i) {
      uint32_t from = (i + turns[c].first) % length;
      for (int k = 0; k < kByteKinds; ++k) pool.kinds[i][k] += p.kinds[from][k];
      pool.live[i] += p.live[from];
      pool.deleted[i] += p.deleted[from];
    }
  }
  if (pool.slots < kMinSamples) return model;

  // The caller's word on where records begin speaks for the cluster it
  // falls in (or the first after it), which may be turned against the
  // reference.
  std::optional<uint32_t> hinted;
  if (hints.recordAt) {
    for (size_t c = 0; c < clusters.size(); ++c) {
      if (turns[c].second < kAgreement) continue;
      if (clusters[c].position + clusters[c].bytes.size() <= *hints.recordAt &&
          c + 1 < clusters.size()) {
        continue;
      }
      const uint64_t x = (*hints.recordAt + length - clusters[c].position % length) % length;
      hinted = static_cast<uint32_t>((x + length - turns[c].first) % length);
      break;
    }
  }
  // The layout's fit, judged on samples spread over the agreeing clusters
  // in the reference's frame, each sample alone: the worst fifth is left
  // out, since a cluster may hold damage or the seam of inserted bytes.
  struct LayoutSample {
    const uint8_t* bytes;
    std::vector<uint32_t> toText;  // from each place to the next byte of text
  };
  std::vector<LayoutSample> layoutSamples;
  std::vector<std::pair<uint32_t, uint32_t>> textFields;
  if (hints.textFields.size() == length) {
    for (uint32_t j = 1; j < length; ++j) {
      if (hints.textFields[j] > 1) textFields.push_back({j, hints.textFields[j]});
    }
  }
  const bool kinds = hints.kinds.size() == length;
  if (kinds || !textFields.empty()) {
    std::vector<const uint8_t*> all;
    for (size_t c = 0; c < clusters.size(); ++c) {
      if (turns[c].second < kAgreement) continue;
      const std::vector<uint8_t>& bytes = clusters[c].bytes;
      for (size_t at = turns[c].first; at + length <= bytes.size(); at += length) {
        all.push_back(bytes.data() + at);
      }
    }
    const size_t step = std::max<size_t>(1, all.size() / kLayoutSamples);
    for (size_t i = 0; i < all.size() && layoutSamples.size() < kLayoutSamples; i += step) {
      LayoutSample sample{all[i], std::vector<uint32_t>(length)};
      uint32_t next = length;
      for (uint32_t round = 0; round < 2; ++round) {
        for (uint32_t j = length; j-- > 0;) {
          const uint8_t b = sample.bytes[j];
          next = b != ' ' && b != 0 ? 0 : std::min(length, next + 1);
          sample.toText[j] = next;
        }
      }
      layoutSamples.push_back(std::move(sample));
    }
  }
  LayoutCost layout;
  if (!layoutSamples.empty()) {
    layout = [&](uint32_t column, bool byKinds) {
      std::vector<uint64_t> per;
      per.reserve(layoutSamples.size());
      for (const LayoutSample& sample : layoutSamples) {
        uint64_t cost = 0;
        if (byKinds && kinds) {
          for (uint32_t j = 1; j < length; ++j) {
            cost += !(hints.kinds[j] & (1u << kKindOf[sample.bytes[(column + j) % length]]));
          }
        } else if (!byKinds) {
          for (const auto& [start, width] : textFields) {
            const uint32_t d = sample.toText[(column + start) % length];
            cost += d != 0 && d < width;
          }
        }
        per.push_back(cost);
      }
      std::sort(per.begin(), per.end());
      uint64_t sum = 0;
      for (size_t i = 0; i < per.size() - per.size() / 5; ++i) sum += per[i];
      return sum;
    };
  }
  std::optional<uint32_t> tentative =
      flagColumnOf(pool, hinted, length, layout, layoutSamples.size());
  if (!tentative) return model;

  // The slots where records would begin, in every cluster that agrees.
  struct Slot {
    const SampleCluster* cluster;
    size_t at;
    const uint8_t* bytes() const { return cluster->bytes.data() + at; }
  };
  std::vector<Slot> slots;
  for (size_t c = 0; c < clusters.size(); ++c) {
    if (turns[c].second < kAgreement) continue;
    for (size_t at = (turns[c].first + *tentative) % length; at + length <= clusters[c].bytes.size();
         at += length) {
      // A slot without a flag there is damage (a zeroed stretch the
      // samples reached, most often): it would teach its bytes as a
      // record's.
      const uint8_t flag = clusters[c].bytes[at];
      if (flag == kFlagLive || flag == kFlagDeleted) slots.push_back({&clusters[c], at});
    }
  }
  // Damaged samples would teach that anything goes: the model learns from
  // all, then again from those that fit it best, twice. A model turned by
  // some bytes scores its own slots as the right one would, so this holds
  // before the flags are placed for good.
  std::vector<int32_t> scores;
  std::vector<Slot> kept = slots;
  auto buildFrom = [&](const std::vector<Slot>& from) {
    std::vector<const uint8_t*> bytes;
    bytes.reserve(from.size());
    for (const Slot& slot : from) bytes.push_back(slot.bytes());
    model.build(bytes);
    scores.clear();
    for (const uint8_t* slot : bytes) scores.push_back(model.score(slot));
  };
  for (int round = 0; round < 3; ++round) {
    buildFrom(kept);
    if (round == 2) break;
    const int32_t median = percentile(scores, 0.5);
    const int32_t cut = median > 0 ? median / 2 : percentile(scores, 0.25);
    std::vector<Slot> better;
    for (size_t i = 0; i < kept.size(); ++i) {
      if (scores[i] >= cut) better.push_back(kept[i]);
    }
    if (better.size() < kMinSamples) break;
    kept = std::move(better);
  }
  // The flags placed again from the sound samples alone: a page of foreign
  // text has stars and spaces of its own.
  Profile sound;
  sound.kinds.assign(length, {});
  sound.live.assign(length, 0);
  sound.deleted.assign(length, 0);
  sound.slots = static_cast<uint32_t>(kept.size());
  for (const Slot& slot : kept) {
    const uint8_t* bytes = slot.bytes();
    for (uint32_t i = 0; i < length; ++i) {
      ++sound.kinds[i][byteKind(bytes[i])];
      sound.live[i] += bytes[i] == kFlagLive;
      sound.deleted[i] += bytes[i] == kFlagDeleted;
    }
  }
  std::optional<uint32_t> soundHint;
  if (hinted) soundHint = (*hinted + length - *tentative) % length;
  LayoutCost soundLayout;
  if (layout) {
    soundLayout = [&](uint32_t column, bool byKinds) {
      return layout((*tentative + column) % length, byKinds);
    };
  }
  const uint32_t turn =
      flagColumnOf(sound, soundHint, length, soundLayout, layoutSamples.size()).value_or(0);
  if (turn != 0) {
    std::vector<Slot> turned;
    for (const Slot& slot : kept) {
      if (slot.at + turn + length <= slot.cluster->bytes.size()) {
        turned.push_back({slot.cluster, slot.at + turn});
      }
    }
    kept = std::move(turned);
    if (kept.size() < kMinSamples) return model;
    buildFrom(kept);
  }
  const uint32_t flagColumn = (*tentative + turn) % length;
  model.anchor_ = clusters[reference].position + flagColumn;
  model.samples_ = static_cast<uint32_t>(kept.size());
  if (kept.size() < kMinSamples) return model;

  // The fit of the records and of the same bytes cut some bytes off: a
  // score above both fits; one below most cuts' does not; in between, the
  // slot's neighbours decide (fitsAt). The model is strong only where
  // records and cuts stand clearly apart.
  std::vector<int32_t> cut;
  // Near cuts, and far ones spread over the whole record: a wide record
  // turned by some part of its length reads padding where padding stands.
  std::vector<uint32_t> cuts = {1, 2, 3, 4, 5, 6, 7, 9, 13};
  const uint32_t stride = std::max<uint32_t>(1, length / kFarCuts);
  for (uint32_t d = 14 + stride / 2; d + 1 < length; d += stride) cuts.push_back(d);
  cuts.push_back(length - 1);
  // Per turn: some turns of some tables read almost as well as the records.
  std::vector<std::vector<int32_t>> byTurn(cuts.size());
  size_t cutSamples = 0;
  for (size_t c = 0; c < clusters.size(); ++c) {
    if (turns[c].second < kAgreement) continue;
    const std::vector<uint8_t>& bytes = clusters[c].bytes;
    for (size_t at = (turns[c].first + flagColumn) % length;
         at + length <= bytes.size() && cutSamples < kCalibrationSlots; at += length) {
      ++cutSamples;
      for (size_t t = 0; t < cuts.size(); ++t) {
        const uint32_t d = cuts[t];
        if (d == 0 || d >= length || at + d + length > bytes.size()) continue;
        byTurn[t].push_back(model.score(bytes.data() + at + d));
        cut.push_back(byTurn[t].back());
      }
    }
  }
  if (cut.empty()) return model;
  // The bounds from the turn that reads best.
  int32_t lo = std::numeric_limits<int32_t>::min();
  int32_t most = std::numeric_limits<int32_t>::min();
  for (const std::vector<int32_t>& scored : byTurn) {
    if (scored.empty()) continue;
    lo = std::max(lo, percentile(scored, 0.95));
    most = std::max(most, percentile(scored, 0.75));
  }
  const int32_t hi = percentile(scores, 0.05);
  if (percentile(scores, 0.5) <= 0) return model;
  if (hi > lo) {
    model.threshold_ = lo + std::max(1, (hi - lo) / 2);
    model.floor_ = std::min(model.threshold_, most);
    model.strong_ = true;
    return model;
  }
  // Records of much padding score alike a byte or two off, and their own
  // scores spread wider than that: no score alone tells them from cuts.
  // What does is how far a record stands above the same bytes read a few
  // places either side, weighed with its score: a cut that stands above
  // its neighbours stands little, and scores low. Learned on the samples
  // and on the same cuts of them.
  model.threshold_ = *std::max_element(cut.begin(), cut.end()) + 1;
  model.floor_ = std::min(model.threshold_, *std::min_element(scores.begin(), scores.end()));
  std::vector<int32_t> recordPeaks, cutPeaks;
  size_t calibrated = 0;
  for (size_t c = 0; c < clusters.size(); ++c) {
    if (turns[c].second < kAgreement) continue;
    const std::vector<uint8_t>& bytes = clusters[c].bytes;
    for (size_t at = (turns[c].first + flagColumn) % length + length;
         at + 2 * length <= bytes.size() && calibrated < kCalibrationSlots; at += length) {
      ++calibrated;
      if (std::optional<int32_t> peak = model.peakAt(bytes.data() + at)) {
        recordPeaks.push_back(*peak);
      }
      for (uint32_t d : cuts) {
        if (d <= kReach || d + kReach >= length) continue;
        if (std::optional<int32_t> peak = model.peakAt(bytes.data() + at + d)) {
          cutPeaks.push_back(*peak);
        }
      }
    }
  }
  if (recordPeaks.size() < kMinSamples) return model;
  const int32_t cutMost =
      cutPeaks.empty() ? std::numeric_limits<int32_t>::min() / 2
                       : *std::max_element(cutPeaks.begin(), cutPeaks.end());
  const int32_t recordLeast = percentile(recordPeaks, 0.01);
  model.peak_ = recordLeast > cutMost ? cutMost + (recordLeast - cutMost) / 2 : cutMost + 1;
  // Strong where most records stand out so, as measured on the samples.
  size_t standing = 0;
  for (int32_t p : recordPeaks) standing += p >= model.peak_;
  model.strong_ = standing * 10 >= recordPeaks.size() * 9;
  return model;
}

void RecordModel::build(const std::vector<const uint8_t*>& slots) {
  const uint32_t length = length_;
  KindCounts kinds(length);
  std::vector<uint32_t> live(length, 0), deleted(length, 0);
  for (const uint8_t* slot : slots) {
    for (uint32_t i = 0; i < length; ++i) ++kinds[i][byteKind(slot[i])];
    live[0] += slot[0] == kFlagLive;
    deleted[0] += slot[0] == kFlagDeleted;
  }
  // What a kind says at one place is weighed against how often it comes
  // anywhere in the record and in bytes of no record at all (each byte
  // value alike): a kind that damaged samples scatter over every place
  // says nothing for a slot.
  std::array<double, kByteKinds> background{};
  for (uint32_t i = 0; i < length; ++i) {
    for (int k = 0; k < kByteKinds; ++k) background[k] += kinds[i][k];
  }
  const double n = double(slots.size());
  const double all = n * length;
  std::array<uint32_t, kByteKinds> values{};
  for (int b = 0; b < 256; ++b) ++values[byteKind(static_cast<uint8_t>(b))];
  for (int k = 0; k < kByteKinds; ++k) {
    background[k] = 0.5 * (background[k] + 1.0) / (all + double(kByteKinds)) + 0.5 * values[k] / 256.0;
  }
  auto clampScore = [](double v) {
    return static_cast<int16_t>(std::lround(std::clamp(v, kWorst, kBest) * kScale));
  };
  table_.assign(length, {});
  // Zero bytes seen at a place in a sample or two are the edge of a zeroed
  // stretch that the samples reached, not what records hold there.
  const uint32_t rareZeros = std::max<uint32_t>(2, static_cast<uint32_t>(slots.size() / 100));
  for (uint32_t i = 1; i < length; ++i) {
    if (kinds[i][kNulByte] <= rareZeros) kinds[i][kNulByte] = 0;
    for (int k = 0; k < kByteKinds; ++k) {
      // A kind never seen at a place is as unlike a record as a byte gets,
      // however rare it is elsewhere.
      double p = (kinds[i][k] + 0.5) / (n + 0.5 * double(kByteKinds));
      table_[i][k] = kinds[i][k] == 0 ? kUnseen : clampScore(std::log2(p / background[k]));
    }
  }
  // The flag is one of two bytes, not a kind.
  flagScores_.fill(clampScore(kWorst));
  flagScores_[kFlagLive] =
      clampScore(std::log2((live[0] + 0.5) / (n + 1.0) / background[kSpaceByte]));
  flagScores_[kFlagDeleted] = std::max<int16_t>(
      0, clampScore(std::log2((deleted[0] + 0.5) / (n + 1.0) / background[kMarkByte])));
  table_[0].fill(*std::max_element(flagScores_.begin(), flagScores_.end()));
  bestRest_.assign(length + 1, 0);
  for (uint32_t i = length; i-- > 0;) {
    bestRest_[i] = bestRest_[i + 1] + *std::max_element(table_[i].begin(), table_[i].end());
  }
  // Each place's score of every byte value, looked up by the byte alone:
  // judge() runs over every slot of the table.
  byteScores_.clear();
  if (length <= kByteScoredLength) {
    byteScores_.resize(size_t{length} * 256);
    for (uint32_t i = 0; i < length; ++i) {
      for (int b = 0; b < 256; ++b) byteScores_[size_t{i} * 256 + b] = table_[i][kKindOf[b]];
    }
    // The flag's place by the flag's own scores.
    for (int b = 0; b < 256; ++b) byteScores_[b] = flagScores_[b];
  }
  threshold_ = std::numeric_limits<int32_t>::min();
}

int32_t RecordModel::score(const uint8_t* slot) const {
  if (table_.empty()) return std::numeric_limits<int32_t>::min();
  if (!byteScores_.empty() && !refusesZeros_) {
    // The same scores by byte value, while no zero byte is refused there.
    return byteScoreSum(byteScores_.data(), slot, length_);
  }
  int32_t sum = flagScores_[slot[0]];
  for (uint32_t i = 1; i < length_; ++i) sum += table_[i][kKindOf[slot[i]]];
  return sum;
}

RecordModel::Fit RecordModel::judge(const uint8_t* slot) const {
  if (byLayout_) return fitsLayout(slot) ? Fit::kYes : Fit::kNo;
  if (table_.empty()) return Fit::kNo;
  // Checked in steps: most slots that fail, fail long before the end. A
  // slot given up early would have failed at the end as well, so the steps
  // change no decision.
  constexpr uint32_t kStep = 32;
  int32_t sum = 0;
  if (!byteScores_.empty()) {
    // Runs once a slot of the table: one load and one add a byte.
    const int32_t* s = byteScores_.data();
    const uint8_t* b = slot;
    const uint8_t* const last = slot + length_;
    while (b < last) {
      const uint8_t* const stop = b + std::min<size_t>(kStep, static_cast<size_t>(last - b));
      for (; stop - b >= 8; b += 8, s += 8 * 256) {
        sum += s[b[0]] + s[256 + b[1]] + s[512 + b[2]] + s[768 + b[3]] + s[1024 + b[4]] +
               s[1280 + b[5]] + s[1536 + b[6]] + s[1792 + b[7]];
      }
      if (stop - b >= 4) {
        sum += s[b[0]] + s[256 + b[1]] + s[512 + b[2]] + s[768 + b[3]];
        b += 4;
        s += 4 * 256;
      }
      for (; b < stop; ++b, s += 256) sum += s[*b];
      if (sum + bestRest_[static_cast<size_t>(b - slot)] < floor_) return Fit::kNo;
    }
  } else {
    sum = flagScores_[slot[0]] - table_[0][0];
    for (uint32_t i = 0; i < length_; i += kStep) {
      const uint32_t end = std::min(length_, i + kStep);
      for (uint32_t j = i; j < end; ++j) sum += table_[j][kKindOf[slot[j]]];
      if (sum + bestRest_[end] < floor_) return Fit::kNo;
    }
  }
  if (sum < floor_) return Fit::kNo;
  if ((slot[0] == 0 || slot[length_ - 1] == 0) && zeroedStretch(slot)) return Fit::kNo;
  return sum >= threshold_ ? Fit::kYes : Fit::kUnsure;
}

void RecordModel::refuseZerosAt(const std::vector<uint8_t>& places) {
  if (byteScores_.empty() || places.size() != length_) return;
  // Far below what the rest of any record can make up.
  constexpr int16_t kRefused = std::numeric_limits<int16_t>::min() / 2;
  for (uint32_t i = 1; i < length_; ++i) {
    if (places[i] != 0 && table_[i][kNulByte] == kUnseen) byteScores_[size_t{i} * 256] = kRefused;
  }
  refusesZeros_ = true;
}

bool RecordModel::zeroedStretch(const uint8_t* slot) const {
  // Zero bytes where the records hold none, from the slot's start or to
  // its end: a zeroed stretch of the table (a page, the tail) ends or
  // begins inside the slot, and what the slot held there is gone, however
  // well the rest of it fits. A stretch shorter than a record is some
  // other damage, the value check's to judge.
  const uint32_t run = std::min(kZeroRun, length_);
  auto unseenZero = [&](uint32_t at) {
    return slot[at] == 0 && (at == 0 || table_[at][kNulByte] == kUnseen);
  };
  bool head = true, tail = true;
  for (uint32_t i = 0; i < run; ++i) {
    head = head && unseenZero(i);
    tail = tail && unseenZero(length_ - 1 - i);
  }
  return head || tail;
}

std::optional<int32_t> RecordModel::peakAt(const uint8_t* slot) const {
  const int32_t own = score(slot);
  int32_t best = std::numeric_limits<int32_t>::min();
  for (int32_t d = -int32_t(kReach); d <= int32_t(kReach); ++d) {
    if (d != 0) best = std::max(best, score(slot + d));
  }
  if (best >= own) return std::nullopt;
  const int64_t peak = int64_t{own} + int64_t{kLeadWeight} * (int64_t{own} - best);
  return static_cast<int32_t>(std::clamp<int64_t>(peak, INT32_MIN / 2, INT32_MAX / 2));
}

bool RecordModel::fitsAt(const uint8_t* bytes, size_t size, size_t at) const {
  if (uint64_t{at} + length_ > size) return false;
  Fit fit = judge(bytes + at);
  if (fit != Fit::kUnsure) return fit == Fit::kYes;
  std::vector<uint8_t> window(length_ + 2 * kReach, 0);
  for (size_t i = 0; i < window.size(); ++i) {
    size_t from = at + i;
    if (from >= kReach && from - kReach < size) window[i] = bytes[from - kReach];
  }
  if (peak_) {
    std::optional<int32_t> peak = peakAt(window.data() + kReach);
    return peak && *peak >= *peak_;
  }
  const int32_t own = score(window.data() + kReach);
  for (uint32_t d = 0; d <= 2 * kReach; ++d) {
    if (d != kReach && score(window.data() + d) >= own) return false;
  }
  return true;
}

}  // namespace kest
