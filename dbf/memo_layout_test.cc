#include "dbf/memo_layout.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>

#include "tests/test_support.h"

namespace kest {
namespace {

using testing::TempDir;
using testing::writeFile;

TEST(MemoBlockNumber, ReadsBinaryAndTextNumbers) {
  struct Case {
    std::string field;
    uint32_t block;
  } cases[] = {
      {std::string("\x05\x00\x00\x00", 4), 5},
      {std::string("\x00\x01\x00\x00", 4), 256},
      {"         7", 7},
      {"0000000012", 12},
      {"          ", 0},
      {"   12 4   ", 0},
      {"  x1      ", 0},
      {"9999999999", 0},  // beyond 32 bits
  };
  for (const Case& c : cases) {
    EXPECT_EQ(memoBlockNumber(reinterpret_cast<const uint8_t*>(c.field.data()),
                              static_cast<uint32_t>(c.field.size())),
              c.block)
        << c.field;
  }
}

TEST(LooksLikeText, JudgesEachWindowByItsControlHighAndZeroBytes) {
  // Texts cut into windows at every length and phase around eight-byte
  // words, each with one byte of each class at each place: the judgement
  // is the byte-by-byte one (no zero; at most one control byte in 32 of a
  // window; where the rest is plain, no window a quarter high, or half
  // for the short ones).
  auto byByte = [](const std::string& bytes, size_t window, size_t phase) {
    size_t high = 0;
    for (char c : bytes) high += static_cast<uint8_t>(c) >= 0x80;
    for (size_t at = 0; at < bytes.size();) {
      const size_t size = std::min(window - (at == 0 ? phase : 0), bytes.size() - at);
      size_t control = 0, windowHigh = 0;
      for (size_t i = at; i < at + size; ++i) {
        const uint8_t b = static_cast<uint8_t>(bytes[i]);
        if (b == 0) return false;
        control += b < 0x20 && b != '\t' && b != '\n' && b != '\f' && b != '\r' && b != 0x1A;
        windowHigh += b >= 0x80;
      }
      const size_t restSize = bytes.size() - size;
      const bool plainRest = restSize >= 24 && (high - windowHigh) * 20 <= restSize;
      if (control * 32 > size ||
          (plainRest && ((size >= 8 && windowHigh * 4 > size) || (size >= 2 && windowHigh * 2 > size)))) {
        return false;
      }
      at += size;
    }
    return true;
  };
  const std::string base = "Invoice 4711\r\npaid in full, thank you.\tSee note\x1a ";
  int rejected = 0;
  for (size_t length : {0, 1, 7, 8, 9, 23, 64, 65, 130, 600})
  for (uint8_t odd : {0x00, 0x01, 0x0A, 0x1A, 0x1F, 0x20, 0x7F, 0x80, 0xE9, 0xFF})
  for (size_t place = 0; place < length; place += 1 + length / 7) {
    std::string text;
    while (text.size() < length) text += base;
    text.resize(length);
    text[place] = static_cast<char>(odd);
    // A run of high bytes past the middle, as a foreign block leaves.
    if (odd >= 0x80) std::fill(text.begin() + place, text.begin() + std::min(length, place + 9), odd);
    for (uint32_t window : {64u, 512u})
    for (uint32_t phase : {0u, 8u}) {
      const bool expected = byByte(text, window, phase);
      rejected += !expected;
      EXPECT_EQ(looksLikeText(text, window, phase), expected)
          << length << " " << int{odd} << " at " << place << " window " << window;
    }
  }
  EXPECT_GT(rejected, 100);
}

TEST(MemoBlockNumber, WritesWhatItReads) {
  for (uint32_t length : {4u, 10u}) {
    for (uint32_t block : {0u, 7u, 4211u, 123456789u}) {
      std::string field(length, 'x');
      auto* bytes = reinterpret_cast<uint8_t*>(field.data());
      putMemoBlockNumber(bytes, length, block);
      EXPECT_EQ(memoBlockNumber(bytes, length), block) << length << " " << block;
    }
  }
}

// A memo file of `kind` and block size 64 (512 for dBase III): a text at
// the first memo block, a picture (FoxPro) or a second text after it, and
// `tail` appended.
struct Sample {
  std::string bytes;
  uint32_t text = 0, second = 0, end = 0;
};
Sample sampleMemoFile(MemoKind kind, uint32_t blockSize) {
  Sample s;
  s.bytes = makeMemoHeader(kind, blockSize, 0);
  s.text = static_cast<uint32_t>(s.bytes.size() / blockSize);
  s.bytes += encodeMemo(kind, blockSize, kFoxText, std::string(100, 'a'));
  s.second = static_cast<uint32_t>(s.bytes.size() / blockSize);
  const bool fox = kind == MemoKind::kFoxPro;
  s.bytes += encodeMemo(kind, blockSize, fox ? kFoxPicture : kFoxText,
                        fox ? std::string("\x89PNG\0\1\2", 7) : std::string(30, 'b'));
  s.end = static_cast<uint32_t>(s.bytes.size() / blockSize);
  return s;
}

class MemoFileTest : public ::testing::Test {
 protected:
  std::unique_ptr<MemoReader> open(const std::string& bytes, MemoKind kind, uint32_t blockSize = 0) {
    // Closed first: Windows does not let a file open for reading be rewritten.
    file_.reset();
    writeFile(dir_.file("m"), bytes);
    EXPECT_TRUE(platform::Env::Default()->OpenReadOnly(dir_.file("m"), &file_).ok());
    return std::make_unique<MemoReader>(file_.get(), kind, blockSize);
  }
  TempDir dir_;
  std::unique_ptr<platform::ReadableFile> file_;
};

TEST_F(MemoFileTest, ReadsEachKindAndNamesEachFault) {
  struct Case {
    MemoKind kind;
    // Damage to the sample: bytes put at an offset, or the file cut.
    std::function<void(Sample&, uint32_t blockSize)> damage;
    std::function<uint32_t(const Sample&)> block;
    bool text;
    MemoFault fault;
  };
  auto none = [](Sample&, uint32_t) {};
  auto first = [](const Sample& s) { return s.text; };
  auto second = [](const Sample& s) { return s.second; };
  auto cutInFirst = [](Sample& s, uint32_t bs) { s.bytes.resize(s.text * bs + 50); };
  auto overwriteFirst = [](Sample& s, uint32_t bs) {
    for (uint32_t i = 0; i < 40; ++i) s.bytes[s.text * bs + i] = static_cast<char>(i * 37 + 1);
  };
  auto nulInFirst = [](Sample& s, uint32_t bs) { s.bytes[s.text * bs + 20] = '\0'; };
  const Case cases[] = {
      {MemoKind::kFoxPro, none, first, true, MemoFault::kNone},
      {MemoKind::kFoxPro, none, second, false, MemoFault::kNone},
      {MemoKind::kFoxPro, none, second, true, MemoFault::kWrongType},
      {MemoKind::kFoxPro, none, [](const Sample&) { return 0u; }, true, MemoFault::kEmpty},
      {MemoKind::kFoxPro, none, [](const Sample&) { return 2u; }, true, MemoFault::kInHeader},
      {MemoKind::kFoxPro, none, [](const Sample& s) { return s.end + 5; }, true, MemoFault::kPastEnd},
      {MemoKind::kFoxPro, cutInFirst, first, true, MemoFault::kRunsPastEnd},
      {MemoKind::kFoxPro, overwriteFirst, first, true, MemoFault::kBrokenHead},
      {MemoKind::kFoxPro, nulInFirst, first, true, MemoFault::kNotText},
      {MemoKind::kDbase4, none, first, true, MemoFault::kNone},
      {MemoKind::kDbase4, cutInFirst, first, true, MemoFault::kRunsPastEnd},
      {MemoKind::kDbase4, overwriteFirst, first, true, MemoFault::kBrokenHead},
      {MemoKind::kDbase3, none, second, true, MemoFault::kNone},
      {MemoKind::kDbase3, cutInFirst, first, true, MemoFault::kRunsPastEnd},
      {MemoKind::kDbase3, overwriteFirst, first, true, MemoFault::kNotText},
      {MemoKind::kDbase3, none, [](const Sample& s) { return s.end; }, true, MemoFault::kPastEnd},
  };
  for (const Case& c : cases) {
    const uint32_t bs = c.kind == MemoKind::kDbase3 ? 512 : 64;
    Sample s = sampleMemoFile(c.kind, bs);
    c.damage(s, bs);
    std::unique_ptr<MemoReader> reader = open(s.bytes, c.kind);
    EXPECT_EQ(reader->blockSize(), bs);
    Memo memo = reader->read(c.block(s), c.text);
    EXPECT_EQ(memo.fault, c.fault) << memoKindName(c.kind) << " block " << c.block(s);
    if (c.fault == MemoFault::kNone) {
      EXPECT_EQ(memo.bytes.size(), c.block(s) == s.text ? 100u : c.kind == MemoKind::kFoxPro ? 7u : 30u);
    } else {
      EXPECT_TRUE(memo.bytes.empty());
    }
  }
}

TEST_F(MemoFileTest, InfersALostBlockSizeFromWhereTheReferencesLand) {
  for (uint32_t bs : {32u, 64u, 512u, 1536u}) {
    Sample s = sampleMemoFile(MemoKind::kFoxPro, bs);
    std::vector<std::pair<uint32_t, bool>> references = {{s.text, true}, {s.second, false}};
    std::fill(s.bytes.begin(), s.bytes.begin() + 512, '\0');
    std::unique_ptr<MemoReader> reader = open(s.bytes, MemoKind::kFoxPro);
    EXPECT_EQ(reader->header().blockSize, 0u);
    EXPECT_EQ(inferBlockSize(*reader, references), bs);
    MemoDiagnosis d = diagnoseMemo(*reader, references);
    EXPECT_TRUE(d.blockSizeInferred);
    EXPECT_EQ(d.readable, 2u) << bs;
  }
}

TEST_F(MemoFileTest, WalksEveryMemoInBlockOrderPastBrokenBlocks) {
  for (MemoKind kind : {MemoKind::kFoxPro, MemoKind::kDbase3, MemoKind::kDbase4}) {
    const uint32_t bs = kind == MemoKind::kDbase3 ? 512 : 64;
    Sample s = sampleMemoFile(kind, bs);
    s.bytes += std::string(bs, '\0');  // a block of nothing
    s.bytes += encodeMemo(kind, bs, kFoxText, "last");
    std::unique_ptr<MemoReader> reader = open(s.bytes, kind);
    std::vector<uint32_t> blocks;
    for (const MemoReader::Found& found : reader->walk()) blocks.push_back(found.block);
    EXPECT_EQ(blocks, (std::vector<uint32_t>{s.text, s.second, s.end + 1})) << memoKindName(kind);
  }
}

TEST_F(MemoFileTest, DiagnosisCountsReferencesPastTheEndOfACutFile) {
  Sample s = sampleMemoFile(MemoKind::kFoxPro, 64);
  std::string whole = makeMemoHeader(MemoKind::kFoxPro, 64, s.end) + s.bytes.substr(512);
  std::unique_ptr<MemoReader> reader = open(whole.substr(0, s.second * 64 + 4), MemoKind::kFoxPro);
  MemoDiagnosis d = diagnoseMemo(*reader, {{s.text, true}, {s.second, false}, {s.end + 3, true}});
  EXPECT_TRUE(d.cutShort);
  EXPECT_FALSE(d.blockSizeInferred);
  EXPECT_EQ(d.references, 3u);
  EXPECT_EQ(d.readable, 1u);
  EXPECT_EQ(d.pastEnd, 2u);
}

}  // namespace
}  // namespace kest
