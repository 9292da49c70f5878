#include "platform/text_conversion.h"

#include <gtest/gtest.h>

namespace kest::platform {
namespace {

struct ConversionCase {
  const char* characterSet;
  std::string bytes;
  const char* utf8;  // nullptr: refused
};

TEST(TextConverter, ConvertsWholeValuesOrRefusesThem) {
  const ConversionCase cases[] = {
      {"CP437", "M\x81nze", "Münze"},
      {"cp1251", "\xcf\xf0\xe8\xe2", "Прив"},
      {"CP932", "\x82\xa0", "あ"},
      {"CP932", "a\x82", nullptr},  // a lead byte cut off at the end
      {"UTF-8", "\xff", nullptr},
      {"CP850", "", ""},
  };
  for (const ConversionCase& c : cases) {
    SCOPED_TRACE(std::string(c.characterSet) + " '" + c.bytes + "'");
    std::unique_ptr<TextConverter> converter = OpenTextConverter(c.characterSet);
    ASSERT_TRUE(converter);
    std::string utf8;
    EXPECT_EQ(converter->ToUtf8(c.bytes, &utf8), c.utf8 != nullptr);
    if (c.utf8 != nullptr) {
      EXPECT_EQ(utf8, c.utf8);
    }
    // A refusal leaves nothing behind for the next value.
    EXPECT_TRUE(converter->ToUtf8("ok", &utf8));
    EXPECT_EQ(utf8, "ok");
  }
  EXPECT_FALSE(OpenTextConverter("NO-SUCH-SET"));
  EXPECT_FALSE(OpenTextConverter(""));
}

}  // namespace
}  // namespace kest::platform
