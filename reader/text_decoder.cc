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
  if (encoding.empty()) return;
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

}  // namespace kest::reader
