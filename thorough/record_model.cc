#include "thorough/record_model.h"

#include <algorithm>
#include <cmath>
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
// Clusters agree when their kinds overlap at least this much once turned,
// and clearly more than at any other turn.
constexpr double kLeastOverlap = 0.6;
constexpr double kStandsOut = 0.02;
constexpr double kAgreement = kLeastOverlap;
// A turn further than this is looked for only in short records, where
// every turn is cheap to try.
constexpr uint32_t kAllTurnsUpTo = 1024;
constexpr uint32_t kNearTurns = 64;
constexpr uint32_t kMinSamples = 24;

using KindCounts = std::vector<std::array<uint32_t, kByteKinds>>;

struct Profile {
  uint32_t slots = 0;
  KindCounts kinds;
  // Per position: bytes that are ' ', and that are '*'.
  std::vector<uint32_t> live, deleted;
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
  return p;
}

// How much of `b`, read `turn` bytes on, looks like `a`: the overlap of
// their kinds, 0..1.
double overlap(const Profile& a, const Profile& b, uint32_t turn, uint32_t length) {
  if (a.slots == 0 || b.slots == 0) return 0;
  double shared = 0;
  for (uint32_t i = 0; i < length; ++i) {
    const auto& x = a.kinds[i];
    const auto& y = b.kinds[(i + turn) % length];
    for (int k = 0; k < kByteKinds; ++k) {
      shared += std::min(double(x[k]) / a.slots, double(y[k]) / b.slots);
    }
  }
  return shared / length;
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
  if (best.second < kLeastOverlap || best.second - second < kStandsOut) best.second = 0;
  return best;
}

// Which column of `counts` holds the deletion flags: a column of spaces and
// stars only, as far as damaged samples let it be. Where several are
// (padding is spaces too), the layout's field kinds decide, then the
// caller's word (`hinted`) unless the kinds clearly speak against it, then
// stars where the column holds nothing else.
std::optional<uint32_t> flagColumnOf(const Profile& counts, const RecordHints& hints,
                                     std::optional<uint32_t> hinted, uint32_t length) {
  uint64_t mostFlags = 0;
  for (uint32_t i = 0; i < length; ++i) {
    mostFlags = std::max<uint64_t>(mostFlags, uint64_t{counts.live[i]} + counts.deleted[i]);
  }
  const uint64_t slots = counts.slots;
  // Jammed flags leave the flag column less than whole; the layout's kinds
  // still find it among the columns of padding.
  const bool kinds = hints.kinds.size() == length;
  const uint64_t floor = std::max<uint64_t>(slots / 2, kinds ? 0 : mostFlags - slots * 3 / 100);
  struct Candidate {
    uint32_t column;
    int64_t agreement;  // per mille of the bytes after the flag
    uint32_t stars;
  };
  std::vector<Candidate> candidates;
  for (uint32_t i = 0; i < length; ++i) {
    const uint64_t flags = uint64_t{counts.live[i]} + counts.deleted[i];
    if (flags < floor || flags == 0) continue;
    int64_t agreement = 0;
    if (kinds) {
      uint64_t agreeing = 0;
      for (uint32_t j = 1; j < length; ++j) {
        const auto& seen = counts.kinds[(i + j) % length];
        for (int k = 0; k < kByteKinds; ++k) {
          if (hints.kinds[j] & (1u << k)) agreeing += seen[k];
        }
      }
      agreement = int64_t(agreeing * 1000 / (slots * (length - 1)));
    }
    const bool onlyFlags = flags * 100 >= slots * 97;
    candidates.push_back({i, agreement, onlyFlags ? counts.deleted[i] : 0});
  }
  if (candidates.empty()) return std::nullopt;
  const Candidate* chosen = &candidates.front();
  for (const Candidate& c : candidates) {
    if (c.agreement > chosen->agreement) chosen = &c;
  }
  const int64_t best = chosen->agreement;
  for (const Candidate& c : candidates) {
    if (hinted && c.column == *hinted && c.agreement + 5 >= best) return c.column;
  }
  for (const Candidate& c : candidates) {
    if (c.agreement + 5 >= best && c.stars > chosen->stars) chosen = &c;
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

ByteKind byteKind(uint8_t b) { return static_cast<ByteKind>(kKindOf[b]); }

RecordModel RecordModel::learn(const std::vector<SampleCluster>& clusters, uint32_t length,
                               const RecordHints& hints) {
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
  std::optional<uint32_t> tentative = flagColumnOf(pool, hints, hinted, length);
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
      slots.push_back({&clusters[c], at});
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
  const uint32_t turn = flagColumnOf(sound, hints, soundHint, length).value_or(0);
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
  const uint32_t cuts[] = {1, 2, 3, 4, 5, 6, 7, 9, 13, length / 3, length / 2, length - 1};
  for (size_t c = 0; c < clusters.size(); ++c) {
    if (turns[c].second < kAgreement) continue;
    const std::vector<uint8_t>& bytes = clusters[c].bytes;
    for (size_t at = (turns[c].first + flagColumn) % length; at + length <= bytes.size();
         at += length) {
      for (uint32_t d : cuts) {
        if (d == 0 || d >= length || at + d + length > bytes.size()) continue;
        cut.push_back(model.score(bytes.data() + at + d));
      }
    }
  }
  if (cut.empty()) return model;
  const int32_t hi = percentile(scores, 0.05);
  const int32_t lo = percentile(cut, 0.99);
  model.threshold_ = lo + std::max(1, (hi - lo) / 2);
  model.floor_ = std::min(model.threshold_, percentile(cut, 0.75));
  model.strong_ = hi > lo && percentile(scores, 0.5) > 0;
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
  for (uint32_t i = 1; i < length; ++i) {
    for (int k = 0; k < kByteKinds; ++k) {
      // A kind never seen at a place is as unlike a record as a byte gets,
      // however rare it is elsewhere.
      double p = (kinds[i][k] + 0.5) / (n + 0.5 * double(kByteKinds));
      table_[i][k] = kinds[i][k] == 0 ? clampScore(kWorst) : clampScore(std::log2(p / background[k]));
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
  }
  threshold_ = std::numeric_limits<int32_t>::min();
}

int32_t RecordModel::score(const uint8_t* slot) const {
  if (table_.empty()) return std::numeric_limits<int32_t>::min();
  int32_t sum = flagScores_[slot[0]];
  for (uint32_t i = 1; i < length_; ++i) sum += table_[i][kKindOf[slot[i]]];
  return sum;
}

RecordModel::Fit RecordModel::judge(const uint8_t* slot) const {
  if (table_.empty()) return Fit::kNo;
  int32_t sum = flagScores_[slot[0]] - table_[0][0];
  // Checked in steps: most slots that fail, fail long before the end.
  constexpr uint32_t kStep = 32;
  for (uint32_t i = 0; i < length_; i += kStep) {
    const uint32_t end = std::min(length_, i + kStep);
    if (!byteScores_.empty()) {
      const int16_t* scores = byteScores_.data() + size_t{i} * 256;
      const uint8_t* byte = slot + i;
      const uint8_t* const stop = slot + end;
      for (; byte + 4 <= stop; byte += 4, scores += 4 * 256) {
        sum += scores[byte[0]] + scores[256 + byte[1]] + scores[512 + byte[2]] +
               scores[768 + byte[3]];
      }
      for (; byte < stop; ++byte, scores += 256) sum += scores[*byte];
    } else {
      for (uint32_t j = i; j < end; ++j) sum += table_[j][kKindOf[slot[j]]];
    }
    if (sum + bestRest_[end] < floor_) return Fit::kNo;
  }
  return sum >= threshold_ ? Fit::kYes : sum >= floor_ ? Fit::kUnsure : Fit::kNo;
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
  const int32_t own = score(window.data() + kReach);
  for (uint32_t d = 0; d <= 2 * kReach; ++d) {
    if (d != kReach && score(window.data() + d) >= own) return false;
  }
  return true;
}

}  // namespace kest
