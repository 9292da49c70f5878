#include "host/cli_text.h"

#include <gtest/gtest.h>

#include "kestdll/include/kestdll.h"

namespace kest::host {
namespace {

TEST(ExitStatusTest, EachReturnCodeHasItsOwnStatus) {
  struct Case {
    int32_t code;
    int status;
    const char* outcome;
  } cases[] = {
      {KEST_OK, 0, "written"},
      {KEST_NOTHING, 3, "nothing-to-recover"},
      {KEST_SOURCE_UNREADABLE, 4, "unreadable"},
      {KEST_CANNOT_CREATE, 5, "cannot-create"},
      {KEST_INTERNAL, 6, "internal-failure"},
      {KEST_USER_BREAK, 130, "user-break"},
      {-1, 6, "internal-failure"},  // codes the host does not know
      {7, 6, "internal-failure"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(exitStatusForCode(c.code), c.status) << c.code;
    EXPECT_STREQ(outcomeName(c.code), c.outcome) << c.code;
  }
}

TEST(ExitStatusTest, WorstOfSeveralFollowsTheDocumentedOrder) {
  // From mildest to worst; each status must win over every one before it,
  // whichever comes first.
  const int order[] = {0, 3, 4, 5, 6, 130};
  for (size_t i = 0; i < std::size(order); ++i) {
    for (size_t j = 0; j <= i; ++j) {
      EXPECT_EQ(worseExitStatus(order[i], order[j]), order[i]) << order[i] << " vs " << order[j];
      EXPECT_EQ(worseExitStatus(order[j], order[i]), order[i]) << order[j] << " vs " << order[i];
    }
  }
}

TEST(FailureSentenceTest, OnePlainSentencePerCode) {
  struct Case {
    int32_t code;
    const char* start;
  } cases[] = {
      {KEST_NOTHING, "Nothing to recover"},
      {KEST_SOURCE_UNREADABLE, "Cannot read the table"},
      {KEST_CANNOT_CREATE, "Cannot create the result"},
      {KEST_INTERNAL, "Internal failure"},
      {KEST_USER_BREAK, "Stopped by the user"},
      {-42, "The engine returned the unknown code -42"},
  };
  for (const Case& c : cases) {
    std::string sentence = failureSentence(c.code);
    EXPECT_EQ(sentence.rfind(c.start, 0), 0u) << sentence;
    EXPECT_EQ(sentence.back(), '.') << sentence;
    EXPECT_EQ(sentence.find('\n'), std::string::npos) << sentence;
  }
}

TEST(FailureSentenceTest, TheEnginesCauseTakesThePlaceOfTheGeneralWords) {
  struct Case {
    int32_t code;
    const char* cause;
    std::string sentence;
  } cases[] = {
      {KEST_NOTHING, "the table is empty", "Nothing to recover: the table is empty."},
      {KEST_CANNOT_CREATE, "the output folder does not exist",
       "Cannot create the result: the output folder does not exist."},
      {KEST_INTERNAL, "an unforeseen fault in the best-case method",
       "Internal failure in the engine: an unforeseen fault in the best-case method."},
      // Nothing to add to the user's own stop, nor to a code nobody knows.
      {KEST_USER_BREAK, "stopped by the user", failureSentence(KEST_USER_BREAK)},
      {-42, "the table is empty", failureSentence(-42)},
      {KEST_SOURCE_UNREADABLE, "", failureSentence(KEST_SOURCE_UNREADABLE)},
  };
  for (const Case& c : cases) EXPECT_EQ(failureSentence(c.code, c.cause), c.sentence);
}

TEST(JsonStringTest, EscapesWhatJsonRequiresAndKeepsValidUtf8) {
  struct Case {
    std::string text;
    std::string json;
  } cases[] = {
      {"", "\"\""},
      {"Pass 1: initializing...", "\"Pass 1: initializing...\""},
      {"say \"hi\"", "\"say \\\"hi\\\"\""},
      {"C:\\out\\x.dbf", "\"C:\\\\out\\\\x.dbf\""},
      {"a\nb\tc\rd", "\"a\\nb\\tc\\rd\""},
      {std::string("nul\0x", 5), "\"nul\\u0000x\""},
      {"\x1b[2J\x7f", "\"\\u001b[2J\\u007f\""},
      {"Gr\xc3\xbc\xc3\x9f \xe2\x82\xac \xf0\x9f\x98\x80", "\"Gr\xc3\xbc\xc3\x9f \xe2\x82\xac \xf0\x9f\x98\x80\""},
      // An 8-bit code page byte, a stray continuation, an overlong slash, an
      // encoded surrogate and a cut sequence are not UTF-8.
      {"caf\xe9", "\"caf\\ufffd\""},
      {"\x80x", "\"\\ufffdx\""},
      {"\xc0\xaf", "\"\\ufffd\\ufffd\""},
      {"\xed\xa0\x80", "\"\\ufffd\\ufffd\\ufffd\""},
      {"\xe2\x82", "\"\\ufffd\\ufffd\""},
  };
  for (const Case& c : cases) EXPECT_EQ(jsonString(c.text), c.json) << c.text;
}

TEST(PlainTextTest, ControlCharactersAndStrayBytesBecomeQuestionMarks) {
  struct Case {
    std::string text;
    std::string plain;
  } cases[] = {
      {"Pass 2: trying best-case recovery method...", "Pass 2: trying best-case recovery method..."},
      {"line\nbreak\r", "line?break?"},
      {"\x1b[2Jclear\a", "?[2Jclear?"},
      {"del\x7f", "del?"},
      {"c1 \xc2\x9b" "31m", "c1 ?31m"},  // CSI as a C1 control
      {"\x9b" "31m", "?31m"},             // and as a bare 8-bit byte
      {"Gr\xc3\xbc\xc3\x9f", "Gr\xc3\xbc\xc3\x9f"},
      {"caf\xe9", "caf?"},
  };
  for (const Case& c : cases) EXPECT_EQ(plainText(c.text), c.plain) << c.text;
}

TEST(CutToFitTest, NeverEndsInsideACharacter) {
  struct Case {
    std::string text;
    size_t bytes;
    std::string cut;
  } cases[] = {
      {"Pass 1", 10, "Pass 1"},
      {"Pass 1", 6, "Pass 1"},
      {"Pass 1", 4, "Pass"},
      {"Durchg\xc3\xa4nge", 7, "Durchg"},  // would end after the lead byte
      {"Durchg\xc3\xa4nge", 8, "Durchg\xc3\xa4"},
      {"\xe2\x82\xac\xe2\x82\xac", 5, "\xe2\x82\xac"},
      {"\xe2\x82\xac", 2, ""},
      {"abc", 0, ""},
  };
  for (const Case& c : cases) EXPECT_EQ(cutToFit(c.text, c.bytes), c.cut) << c.text << " " << c.bytes;
}

}  // namespace
}  // namespace kest::host
