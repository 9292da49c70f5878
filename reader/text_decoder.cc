#include "reader/text_decoder.h"

#include <cstring>

namespace kest::reader {
namespace {

struct CodePage {
  uint8_t byte;
  const char* encoding;
};
// Language driver bytes as dBASE and FoxPro write them. Several drivers
// share one character set (they differ in collation only).
constexpr CodePage kCodePages[] = {
    {0x01, "CP437"},  {0x02, "CP850"},  {0x03, "CP1252"}, {0x04, "MACINTOSH"},
    {0x08, "CP865"},  {0x09, "CP437"},  {0x0A, "CP850"},  {0x0B, "CP437"},
    {0x0D, "CP437"},  {0x0E, "CP850"},  {0x0F, "CP437"},  {0x10, "CP850"},
    {0x11, "CP437"},  {0x12, "CP850"},  {0x13, "CP932"},  {0x14, "CP850"},
    {0x15, "CP437"},  {0x16, "CP850"},  {0x17, "CP865"},  {0x18, "CP437"},
    {0x19, "CP437"},  {0x1A, "CP850"},  {0x1B, "CP437"},  {0x1C, "CP863"},
    {0x1D, "CP850"},  {0x1F, "CP852"},  {0x22, "CP852"},  {0x23, "CP852"},
    {0x24, "CP860"},  {0x25, "CP850"},  {0x26, "CP866"},  {0x37, "CP850"},
    {0x40, "CP852"},  {0x4D, "CP936"},  {0x4E, "CP949"},  {0x4F, "CP950"},
    {0x50, "CP874"},  {0x57, "CP1252"}, {0x58, "CP1252"}, {0x59, "CP1252"},
    {0x64, "CP852"},  {0x65, "CP866"},  {0x66, "CP865"},  {0x67, "CP861"},
    {0x6A, "CP737"},  {0x6B, "CP857"},  {0x6C, "CP863"},  {0x78, "CP950"},
    {0x79, "CP949"},  {0x7A, "CP936"},  {0x7B, "CP932"},  {0x7C, "CP874"},
    {0x7D, "CP1255"}, {0x7E, "CP1256"}, {0x86, "CP737"},  {0x87, "CP852"},
    {0x88, "CP857"},  {0x96, "MAC-CYRILLIC"}, {0xC8, "CP1250"}, {0xC9, "CP1251"},
    {0xCA, "CP1254"},
    {0xCB, "CP1253"}, {0xCC, "CP1257"},
};

bool sameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    auto upper = [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; };
    if (upper(a[i]) != upper(b[i])) return false;
  }
  return true;
}

// The double-byte sets of the code pages, and the bytes that lead a
// character of two in each (Shift JIS leaves its single-byte katakana
// between).
struct DoubleByteSet {
  const char* encoding;
  uint8_t leadFrom, leadTo, gapFrom, gapTo;
};
constexpr DoubleByteSet kDoubleByteSets[] = {
    {"CP932", 0x81, 0xFC, 0xA0, 0xDF},
    {"CP936", 0x81, 0xFE, 0, 0},
    {"CP949", 0x81, 0xFE, 0, 0},
    {"CP950", 0x81, 0xFE, 0, 0},
};

}  // namespace

std::string codePageEncoding(uint8_t codePage) {
  for (const CodePage& known : kCodePages) {
    if (known.byte == codePage) return known.encoding;
  }
  return "";
}

std::string defaultEncoding(const Header& header) {
  if (header.codePage != 0) return codePageEncoding(header.codePage);
  return isVisualFoxProVersion(header.version) ? "CP1252" : "CP437";
}

TextDecoder::TextDecoder(const std::string& encoding) : encoding_(encoding) {
  if (encoding.empty()) {
    cutRule_ = CutRule::kAnyByte;  // ASCII, a byte at a time
    return;
  }
  converter_ = platform::OpenTextConverter(encoding);
  usable_ = converter_ != nullptr;
  if (!usable_) return;
  // Every ASCII byte, then the sequences that switch the stateful sets
  // (UTF-7, HZ, ISO 2022) into another mode: sets that are not ASCII
  // supersets (EBCDIC, UTF-16) or read ASCII sequences as something else
  // fail this and keep the converter for every value.
  std::string probe;
  for (int c = 0; c < 0x80; ++c) probe += static_cast<char>(c);
  probe += "+AGE-~{~}\x1b$B\x1b(B\x0e\x0f";
  std::string converted;
  asciiIsItself_ = converter_->ToUtf8(probe, &converted) && converted == probe;

  if (sameName(encoding, "UTF-8") || sameName(encoding, "UTF8")) {
    cutRule_ = CutRule::kUtf8;
    return;
  }
  for (const DoubleByteSet& set : kDoubleByteSets) {
    if (sameName(encoding, set.encoding)) {
      cutRule_ = CutRule::kDoubleByte;
      leadFrom_ = set.leadFrom, leadTo_ = set.leadTo;
      leadGapFrom_ = set.gapFrom, leadGapTo_ = set.gapTo;
      return;
    }
  }
  // Every other set a code page names is one byte a character. A set
  // named by the user that is not one of them may carry state (UTF-7,
  // ISO 2022) or code units of several bytes (UTF-16): never cut.
  for (const CodePage& known : kCodePages) {
    if (sameName(encoding, known.encoding)) cutRule_ = CutRule::kAnyByte;
  }
}

TextDecoder::~TextDecoder() = default;

bool TextDecoder::isAscii(std::string_view bytes) {
  const char* at = bytes.data();
  const size_t n = bytes.size();
  uint64_t high = 0;
  if (n < 4) {
    for (size_t i = 0; i < n; ++i) high |= static_cast<uint8_t>(at[i]);
    return (high & 0x80) == 0;
  }
  if (n < 8) {
    // Two halves that overlap.
    uint32_t low, last;
    std::memcpy(&low, at, 4);
    std::memcpy(&last, at + n - 4, 4);
    return ((low | last) & 0x80808080u) == 0;
  }
  // Eight bytes a step, the last step overlapping the one before.
  uint64_t word;
  for (size_t i = 0; i + 8 < n; i += 8) {
    std::memcpy(&word, at + i, 8);
    high |= word;
  }
  std::memcpy(&word, at + n - 8, 8);
  high |= word;
  return (high & 0x8080808080808080u) == 0;
}

bool TextDecoder::decode(std::string_view bytes, std::string* utf8) {
  if ((converter_ == nullptr || asciiIsItself_) && isAscii(bytes)) {
    utf8->assign(bytes);
    return usable_;
  }
  utf8->clear();
  return converter_ != nullptr && converter_->ToUtf8(bytes, utf8);
}

size_t TextDecoder::cut(std::string_view bytes) const {
  const auto* at = reinterpret_cast<const uint8_t*>(bytes.data());
  const size_t n = bytes.size();
  switch (cutRule_) {
    case CutRule::kNone: return 0;
    case CutRule::kAnyByte: return n;
    case CutRule::kUtf8: {
      // Back to the last byte that is no continuation byte (10xxxxxx).
      size_t lead = n;
      while (lead > 0 && n - lead < 4 && (at[lead - 1] & 0xC0) == 0x80) --lead;
      if (lead == 0 || n - lead >= 4) return n;  // not UTF-8 however cut
      const uint8_t first = at[lead - 1];
      const size_t length = first < 0xC0 ? 1 : first < 0xE0 ? 2 : first < 0xF0 ? 3 : 4;
      return lead - 1 + length <= n ? n : lead - 1;
    }
    case CutRule::kDoubleByte: {
      // A byte below 0x40 neither leads nor trails a character of two in
      // any of these sets: the cut after the last one near the end needs
      // no walk.
      for (size_t i = n; i > 0 && n - i < 256; --i) {
        if (at[i - 1] < 0x40) return i;
      }
      size_t end = 0;
      for (size_t i = 0; i < n;) {
        const uint8_t b = at[i];
        const bool lead = b >= leadFrom_ && b <= leadTo_ && !(b >= leadGapFrom_ && b <= leadGapTo_ &&
                                                             leadGapTo_ != 0);
        i += lead ? 2 : 1;
        if (i <= n) end = i;
      }
      return end;
    }
  }
  return 0;
}

}  // namespace kest::reader
