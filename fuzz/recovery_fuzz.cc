// Fuzzes a whole recovery run through the engine's C interface, as a host
// would make it, and checks what the interface promises whatever the bytes:
//
//   - the run returns (a crash, a hang or a sanitizer report is a finding);
//   - the code is one the public header defines;
//   - the table and its memo companion are byte for byte what they were;
//   - a run that found nothing made no results folder;
//   - a written result is a whole table: its size is header length +
//     record count x record length + 1, the last byte the end-of-file mark.
//
// The input, laid out so that a table with a 3-byte prefix is a seed:
//   byte 0      bit 0: give the table a memo companion; bit 1: spell its
//               extension ".FPT" rather than ".fpt"
//   bytes 1..2  the companion's size in units of 8 bytes, little-endian
//               (its contents are never read, only its size)
//   the rest    the table
//
// Every input gets a fresh folder of its own (results folders are named by
// the minute, so a shared one would turn every later run into a -5), which
// goes again once the input is judged.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <system_error>

#include "kestdll/include/kestdll.h"

namespace fs = std::filesystem;

namespace {

fs::path scratchRoot;
char breakFlag = 0;
uint64_t inputNumber = 0;

void finding(const char* what, const std::string& detail = "") {
  std::fprintf(stderr, "recovery_fuzz: %s%s%s\n", what, detail.empty() ? "" : ": ",
               detail.c_str());
  std::abort();
}

void writeBytes(const fs::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) finding("cannot write the fuzz input", path.string());
}

std::string readBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return "<missing>";
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

uint32_t get(const std::string& bytes, size_t at, size_t width) {
  uint32_t value = 0;
  for (size_t i = 0; i < width; ++i) {
    value |= static_cast<uint32_t>(static_cast<uint8_t>(bytes[at + i])) << (8 * i);
  }
  return value;
}

void checkResultTable(const fs::path& table) {
  std::string bytes = readBytes(table);
  if (bytes.size() < 32) finding("result table shorter than its header", table.string());
  uint64_t headerLength = get(bytes, 8, 2);
  uint64_t recordLength = get(bytes, 10, 2);
  uint64_t count = get(bytes, 4, 4);
  uint64_t expected = headerLength + count * recordLength + 1;
  if (bytes.size() != expected) {
    finding("result table size is not header + records + 1",
            table.filename().string() + " holds " + std::to_string(bytes.size()) + " bytes, " +
                std::to_string(headerLength) + " + " + std::to_string(count) + " x " +
                std::to_string(recordLength) + " + 1 = " + std::to_string(expected));
  }
  if (static_cast<uint8_t>(bytes.back()) != 0x1A) finding("result table lacks its end-of-file mark");
}

void checkResults(const fs::path& output, int32_t code) {
  int folders = 0;
  for (const fs::directory_entry& entry : fs::directory_iterator(output)) {
    ++folders;
    if (code != KEST_OK) continue;
    bool found = false;
    for (const char* name : {"t.dbf", "RECOVERED.DBF"}) {
      if (fs::exists(entry.path() / name)) {
        checkResultTable(entry.path() / name);
        found = true;
      }
    }
    if (!found) finding("code 0 but no result table in", entry.path().string());
  }
  if (code == KEST_OK && folders != 1) finding("code 0 but not one results folder");
  if ((code == KEST_NOTHING || code == KEST_SOURCE_UNREADABLE) && folders != 0) {
    finding("a results folder although nothing was written, code", std::to_string(code));
  }
}

int32_t onStatus(const char*, void*) { return 0; }
int32_t onProgress(const char*, int32_t percent, void*) {
  if (percent < 0 || percent > 100) finding("progress out of 0..100", std::to_string(percent));
  return 0;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  std::error_code error;
  fs::path base = fs::temp_directory_path(error);
  if (error) base = ".";
  // Parallel fuzzing jobs each take a root of their own.
  scratchRoot = base / ("kest-recovery-fuzz-" + std::to_string(std::random_device()()));
  fs::remove_all(scratchRoot, error);
  fs::create_directories(scratchRoot);
  SetBreakFlag(&breakFlag);
  // Left behind by a run that ends in a finding only; every judged input
  // removes its own folder.
  std::atexit([] {
    std::error_code ignored;
    fs::remove_all(scratchRoot, ignored);
  });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  std::string input(reinterpret_cast<const char*>(data), size);
  bool withMemo = data[0] & 1;
  const char* memoName = (data[0] & 2) ? "t.FPT" : "t.fpt";
  std::string memo(withMemo ? 8 * static_cast<size_t>(get(input, 1, 2)) : 0, '\0');
  std::string table = input.substr(3);

  fs::path folder = scratchRoot / std::to_string(inputNumber++);
  fs::path source = folder / "t.dbf";
  fs::path output = folder / "out";
  fs::create_directories(output);
  writeBytes(source, table);
  if (withMemo) writeBytes(folder / memoName, memo);

  breakFlag = 0;
  int32_t code = FileRecover(source.c_str(), output.c_str(), 0, onStatus, onProgress, nullptr,
                             (folder / "run.log").c_str());
  switch (code) {
    case KEST_OK:
    case KEST_NOTHING:
    case KEST_SOURCE_UNREADABLE:
      break;
    // Defined codes, but none of their causes is present here: the output
    // folder is fresh and writable, the paths short, the break never set.
    // Bytes alone must not bring them about.
    case KEST_INTERNAL:
    case KEST_CANNOT_CREATE:
    case KEST_USER_BREAK:
      finding("a code the table's bytes cannot explain", std::to_string(code));
      break;
    default:
      finding("a code the public header does not define", std::to_string(code));
  }
  if (readBytes(source) != table) finding("the table was changed");
  if (withMemo && readBytes(folder / memoName) != memo) finding("the memo companion was changed");
  checkResults(output, code);

  std::error_code error;
  fs::remove_all(folder, error);
  return 0;
}
