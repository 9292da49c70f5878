// Text of a table in UTF-8: which character set the code page byte names,
// and the conversion from it.
//
// A TextDecoder converts whole values; a value that does not convert is
// refused, never patched. Not thread-safe (one conversion state each).
#ifndef KEST_READER_TEXT_DECODER_H_
#define KEST_READER_TEXT_DECODER_H_

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "platform/text_conversion.h"
#include "reader/table.h"

namespace kest::reader {

// The character set's name (as platform/text_conversion.h takes it) for a
// code page byte; empty for 0 (not recorded) and for code pages the
// conversion lacks, such as Mazovia, Kamenicky and the Mac Central
// European and Greek sets.
std::string codePageEncoding(uint8_t codePage);

// What a table's text is read as when the user names nothing: its code
// page's set; for a table that records none, the set its version was
// usually written in (Windows 1252 for Visual FoxPro, DOS 437 before).
// Empty when the code page is one without a conversion.
std::string defaultEncoding(const Header& header);

class TextDecoder {
 public:
  // An empty `encoding` passes ASCII through and refuses any other byte.
  explicit TextDecoder(const std::string& encoding);
  ~TextDecoder();
  TextDecoder(const TextDecoder&) = delete;
  TextDecoder& operator=(const TextDecoder&) = delete;

  // False when the platform has no conversion for `encoding`.
  bool usable() const { return usable_; }
  const std::string& encoding() const { return encoding_; }
  // False (and `utf8` unspecified) when `bytes` is not valid text.
  bool decode(std::string_view bytes, std::string* utf8);

  // True when `decode` gives ASCII values back as they are.
  bool keepsAscii() const { return usable_ && (converter_ == nullptr || asciiIsItself_); }

  // True when no byte of `bytes` is at or above 0x80.
  static bool isAscii(std::string_view bytes);

  // Whether a long text may be decoded a piece at a time: the set is one
  // whose characters are told apart by their bytes alone, with no state
  // carried from one to the next (single-byte sets, the double-byte sets
  // of the Asian code pages, UTF-8). Pieces cut by `cut` then decode to
  // what the whole decodes to, and fail where the whole fails.
  bool cuttable() const { return cutRule_ != CutRule::kNone; }
  // The length of the longest start of `bytes` (which starts a character)
  // that ends between two characters; 0 when there is none, or the set
  // is not cuttable.
  size_t cut(std::string_view bytes) const;

 private:
  enum class CutRule { kNone, kAnyByte, kDoubleByte, kUtf8 };
  std::string encoding_;
  std::unique_ptr<platform::TextConverter> converter_;
  bool usable_ = true;
  // True when the set reads every ASCII byte, alone or in any sequence, as
  // itself: plain ASCII values are then copied, not converted.
  bool asciiIsItself_ = false;
  CutRule cutRule_ = CutRule::kNone;
  // kDoubleByte: the bytes that lead a character of two.
  uint8_t leadFrom_ = 0x81, leadTo_ = 0xFE, leadGapFrom_ = 0, leadGapTo_ = 0;
};

}  // namespace kest::reader

#endif  // KEST_READER_TEXT_DECODER_H_
