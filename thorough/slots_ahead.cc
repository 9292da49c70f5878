#include "thorough/slots_ahead.h"

#include <algorithm>

#include "dbf/dbf_format.h"

namespace kest {

namespace {
// An item is a few dozen KiB of slots (one slot where records are longer);
// the ring holds about a MiB ahead of the scan.
constexpr uint64_t kItemBytes = 64 * 1024;
constexpr uint32_t kPlaces = 16;
// Fewer items than this are read and judged by the scan alone.
constexpr uint64_t kLeastItems = 4;
}  // namespace

SlotsAhead::SlotsAhead(const RecordModel& model, const SlotJudge* checks, bool zerosJudged,
                       uint64_t first, uint64_t end)
    : model_(model),
      checks_(checks),
      zerosJudged_(zerosJudged),
      first_(first),
      length_(model.length()),
      slots_((end - first) / length_),
      perItem_((kItemBytes + length_ - 1) / length_),
      itemBytes_(perItem_ * length_),
      releaseAt_(first + itemBytes_) {}

SlotsAhead::~SlotsAhead() = default;

std::unique_ptr<SlotsAhead> SlotsAhead::start(platform::Env* env, const std::string& path,
                                              const RecordModel& model, const SlotJudge* checks,
                                              bool zerosJudged, uint64_t first, uint64_t end) {
  const uint64_t length = model.length();
  if (length == 0 || first >= end) return nullptr;
  const uint64_t perItem = (kItemBytes + length - 1) / length;
  const uint64_t items = ((end - first) / length + perItem - 1) / perItem;
  if (items < kLeastItems || items > UINT32_MAX / 4) return nullptr;
  // Only a head start: what goes wrong here leaves the scan to read and
  // judge every slot itself.
  try {
    std::unique_ptr<SlotsAhead> ahead(new SlotsAhead(model, checks, zerosJudged, first, end));
    for (int i = 0; i < 2; ++i) {
      if (!env->OpenReadOnly(path, &ahead->files_[i])) return nullptr;
      ahead->buffers_[i].resize(ahead->itemBytes_);
    }
    ahead->verdicts_.resize(kPlaces * perItem);
    SlotsAhead* self = ahead.get();
    ahead->ahead_ = std::make_unique<ResultsAhead>(
        static_cast<uint32_t>(items), kPlaces,
        [self](uint32_t item, uint32_t place, bool onCaller) {
          return self->judge(item, place, onCaller);
        },
        env);
    return ahead;
  } catch (...) {
    return nullptr;
  }
}

bool SlotsAhead::judge(uint32_t item, uint32_t place, bool onCaller) {
  const uint64_t from = item * perItem_;
  const uint64_t count = std::min(perItem_, slots_ - from);
  const size_t size = static_cast<size_t>(count * length_);
  const uint64_t position = first_ + from * length_;
  platform::ReadableFile& file = *files_[onCaller ? 0 : 1];
  const uint8_t* slot = static_cast<const uint8_t*>(file.Peek(position, size));
  if (slot == nullptr) {
    std::vector<uint8_t>& buffer = buffers_[onCaller ? 0 : 1];
    size_t got = 0;
    if (!file.ReadAt(position, buffer.data(), size, &got) || got < size) return false;
    slot = buffer.data();
  }
  uint8_t* out = verdicts_.data() + place * perItem_;
  for (uint64_t j = 0; j < count; ++j, slot += length_) {
    const RecordModel::Fit fit = model_.judge(slot);
    uint8_t verdict = static_cast<uint8_t>(fit);
    if (checks_ != nullptr && fit != RecordModel::Fit::kNo && slot[0] == kLiveRecord &&
        checks_->keepsLiveInPlace(slot, zerosJudged_)) {
      verdict |= kPasses;
    }
    out[j] = verdict;
  }
  return true;
}

bool SlotsAhead::hold(uint64_t position) {
  if (position < first_) return false;
  const uint64_t item = (position - first_) / itemBytes_;
  if (item * perItem_ >= slots_) return false;
  const std::optional<uint32_t> place = ahead_->await(static_cast<uint32_t>(item));
  if (!place) return false;
  held_.from = first_ + item * itemBytes_;
  held_.slot = item * perItem_;
  held_.slots = std::min(perItem_, slots_ - held_.slot);
  held_.to = held_.from + held_.slots * length_;
  held_.verdicts = verdicts_.data() + *place * perItem_;
  return true;
}

std::optional<uint8_t> SlotsAhead::at(uint64_t position) {
  uint64_t index;
  if (position == expected_) {
    index = expectedIndex_;
  } else {
    if (position < first_ || (position - first_) % length_ != 0) return std::nullopt;
    index = (position - first_) / length_;
  }
  if (index >= slots_) return std::nullopt;
  expected_ = position + length_;
  expectedIndex_ = index + 1;
  // Items hold whole slots: a slot that begins in one lies in it.
  if ((position < held_.from || position >= held_.to) && !hold(position)) return std::nullopt;
  return held_.verdicts[index - held_.slot];
}

uint64_t SlotsAhead::fittingRun(uint64_t position, const uint8_t** verdicts) {
  const std::optional<uint8_t> first = at(position);
  if (!first || fitOf(*first) != RecordModel::Fit::kYes) return 0;
  const uint64_t index = expectedIndex_ - 1;
  const uint8_t* v = held_.verdicts + (index - held_.slot);
  const uint64_t most = held_.slot + held_.slots - index;
  uint64_t count = 1;
  while (count < most && fitOf(v[count]) == RecordModel::Fit::kYes) ++count;
  expected_ = position + count * length_;
  expectedIndex_ = index + count;
  *verdicts = v;
  return count;
}

void SlotsAhead::passed(uint64_t position) {
  if (position < releaseAt_) return;
  const uint64_t item = (position - first_) / itemBytes_;
  ahead_->release(static_cast<uint32_t>(item));
  releaseAt_ = first_ + (item + 1) * itemBytes_;
  // The item held may be another's by now.
  if (held_.from < releaseAt_ - itemBytes_) held_ = Held{};
}

}  // namespace kest
