#include "Common/run_findings.h"

#include <algorithm>
#include <cstdio>

namespace kest {

namespace {

const char* kindName(FindingKind kind) {
  switch (kind) {
    case FindingKind::kRepair:
      return "repair";
    case FindingKind::kSkipped:
      return "skipped";
    case FindingKind::kRealigned:
      return "realigned";
    case FindingKind::kNote:
      break;
  }
  return "note";
}

std::string jsonText(std::string_view text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
      out += escaped;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

}  // namespace

std::string groupedNumber(uint64_t value) {
  const std::string digits = std::to_string(value);
  std::string out;
  for (size_t i = 0; i < digits.size(); ++i) {
    if (i != 0 && (digits.size() - i) % 3 == 0) out += ',';
    out += digits[i];
  }
  return out;
}

void RunFindings::restart(std::string_view step) { drop(step); }

void RunFindings::drop(std::string_view step) {
  std::erase_if(entries_, [&](const Finding& f) { return f.step == step; });
}

void RunFindings::add(std::string_view step, FindingKind kind, std::string text) {
  Finding finding;
  finding.step = step;
  finding.kind = kind;
  finding.text = std::move(text);
  entries_.push_back(std::move(finding));
}

void RunFindings::skipped(std::string_view step, uint64_t first, uint64_t last,
                          uint64_t recordsLost, std::string_view why) {
  std::string text = "bytes " + groupedNumber(first) + "-" + groupedNumber(last) +
                     " held no records: " + groupedNumber(recordsLost) +
                     (recordsLost == 1 ? " record lost" : " records lost");
  if (!why.empty()) text += " (" + std::string(why) + ")";
  add(step, FindingKind::kSkipped, std::move(text));
  entries_.back().first = first;
  entries_.back().last = last;
  entries_.back().records = recordsLost;
}

void RunFindings::realigned(std::string_view step, uint64_t at, int64_t shift,
                            std::string_view why) {
  std::string by = shift < 0 ? groupedNumber(static_cast<uint64_t>(-shift)) + " bytes earlier"
                             : groupedNumber(static_cast<uint64_t>(shift)) + " bytes later";
  add(step, FindingKind::kRealigned,
      "records go on " + by + ", at byte " + groupedNumber(at) + ": " + std::string(why));
  entries_.back().first = at;
}

size_t RunFindings::count(FindingKind kind) const {
  return static_cast<size_t>(
      std::count_if(entries_.begin(), entries_.end(), [&](const Finding& f) { return f.kind == kind; }));
}

uint64_t RunFindings::recordsLost() const {
  uint64_t lost = 0;
  for (const Finding& f : entries_) {
    if (f.kind == FindingKind::kSkipped) lost += f.records;
  }
  return lost;
}

std::vector<std::string> RunFindings::texts() const {
  std::vector<std::string> out;
  out.reserve(entries_.size());
  for (const Finding& f : entries_) out.push_back(f.text);
  return out;
}

std::string RunFindings::plainText() const {
  std::string out;
  for (const Finding& f : entries_) out += f.step + ": " + f.text + "\n";
  return out;
}

std::string RunFindings::json() const {
  std::string out = "[";
  for (size_t i = 0; i < entries_.size(); ++i) {
    const Finding& f = entries_[i];
    out += i == 0 ? "\n" : ",\n";
    out += "{\"step\":" + jsonText(f.step) + ",\"kind\":\"" + kindName(f.kind) +
           "\",\"text\":" + jsonText(f.text);
    if (f.kind == FindingKind::kSkipped) {
      out += ",\"first\":" + std::to_string(f.first) + ",\"last\":" + std::to_string(f.last) +
             ",\"records\":" + std::to_string(f.records);
    } else if (f.kind == FindingKind::kRealigned) {
      out += ",\"at\":" + std::to_string(f.first);
    }
    out += "}";
  }
  return out + "]";
}

}  // namespace kest
