#include <iconv.h>

#include "platform/text_conversion.h"

namespace kest::platform {
namespace {

class IconvConverter : public TextConverter {
 public:
  explicit IconvConverter(iconv_t handle) : handle_(handle) {}
  ~IconvConverter() override { iconv_close(handle_); }
  IconvConverter(const IconvConverter&) = delete;
  IconvConverter& operator=(const IconvConverter&) = delete;

  bool ToUtf8(std::string_view bytes, std::string* utf8) override {
    // A value refused half-way must not leave a shift state behind for the
    // next one.
    iconv(handle_, nullptr, nullptr, nullptr, nullptr);
    // Four UTF-8 bytes per input byte hold any single-byte or double-byte
    // set; the extra bytes take a closing shift sequence.
    utf8->resize(bytes.size() * 4 + 4);
    char* in = const_cast<char*>(bytes.data());
    size_t inLeft = bytes.size();
    char* out = utf8->data();
    size_t outLeft = utf8->size();
    const auto failed = static_cast<size_t>(-1);
    if (iconv(handle_, &in, &inLeft, &out, &outLeft) == failed ||
        iconv(handle_, nullptr, nullptr, &out, &outLeft) == failed) {
      return false;
    }
    utf8->resize(utf8->size() - outLeft);
    return true;
  }

 private:
  iconv_t handle_;
};

}  // namespace

std::unique_ptr<TextConverter> OpenTextConverter(const std::string& characterSet) {
  if (characterSet.empty()) return nullptr;
  iconv_t handle = iconv_open("UTF-8", characterSet.c_str());
  if (handle == reinterpret_cast<iconv_t>(-1)) return nullptr;
  return std::make_unique<IconvConverter>(handle);
}

}  // namespace kest::platform
