#include "valcore/valcore.h"

#include <cstdlib>
#include <cstring>

namespace {

// Stage texts by id 1..6 (index 0 unused).
const char* const kEnglish[7] = {
    "",
    "done",
    "initializing",
    "trying best-case recovery method",
    "trying worst-case recovery method",
    "writing results",
    "Pass",
};

const char16_t* const kGerman[7] = {
    u"",
    u"fertig",
    u"Initialisierung",
    u"Best-Case-Wiederherstellung wird versucht",
    u"Worst-Case-Wiederherstellung wird versucht",
    u"Ergebnisse werden geschrieben",
    u"Durchgang",
};

const char16_t* const kFrench[7] = {
    u"",
    u"terminé",
    u"initialisation",
    u"essai de la méthode de récupération optimiste",
    u"essai de la méthode de récupération pessimiste",
    u"écriture des résultats",
    u"Passe",
};

int32_t lastInitializeCode = 0;

const char16_t* const* WideLanguage() {
  const char* language = std::getenv("VALCORE_LANGUAGE");
  if (language == nullptr) return nullptr;
  if (std::strcmp(language, "de") == 0) return kGerman;
  if (std::strcmp(language, "fr") == 0) return kFrench;
  return nullptr;
}

// Writes `text` as UTF-16LE with a terminator, whatever the byte order of
// the machine; returns its size in bytes without the terminator.
int32_t PutUtf16(const char16_t* text, unsigned char* buffer) {
  size_t units = 0;
  while (text[units] != 0 && 2 * (units + 1) < VALCORE_TEXT_BUFFER_SIZE) {
    buffer[2 * units] = static_cast<unsigned char>(text[units] & 0xFF);
    buffer[2 * units + 1] = static_cast<unsigned char>(text[units] >> 8);
    ++units;
  }
  buffer[2 * units] = 0;
  buffer[2 * units + 1] = 0;
  return static_cast<int32_t>(2 * units);
}

int32_t PutNarrow(const char* text, char* buffer, int32_t size) {
  if (buffer == nullptr || size <= 0) return 0;
  size_t length = std::strlen(text);
  if (length > static_cast<size_t>(size - 1)) length = static_cast<size_t>(size - 1);
  std::memcpy(buffer, text, length);
  buffer[length] = '\0';
  return static_cast<int32_t>(length);
}

}  // namespace

extern "C" {

VALCORE_API int32_t VALCORE_CALL Initialize(int32_t code) {
  lastInitializeCode = code;
  return 0;
}

VALCORE_API int32_t VALCORE_CALL NotifyMsg(int32_t, const char*) { return 0; }

VALCORE_API int32_t VALCORE_CALL GetFileName(char* buffer, int32_t size) {
  PutNarrow("", buffer, size);
  return -1;
}

VALCORE_API int32_t VALCORE_CALL GetMenuItemText(int32_t, char* buffer, int32_t size) {
  PutNarrow("", buffer, size);
  return -1;
}

VALCORE_API int32_t VALCORE_CALL AfterProc(void) { return 0; }

VALCORE_API int32_t VALCORE_CALL HiBox(const char*, const char*) { return 0; }

VALCORE_API int32_t VALCORE_CALL GetPassword(char* buffer, int32_t size) {
  PutNarrow("", buffer, size);
  return -1;
}

VALCORE_API int32_t VALCORE_CALL CheckVersion(int32_t) { return 0; }

VALCORE_API int32_t VALCORE_CALL GetFullName(char* buffer, int32_t size) {
  PutNarrow("valcore stand-in", buffer, size);
  return 0;
}

VALCORE_API int32_t VALCORE_CALL GetString(int32_t group, int32_t id, void* buffer,
                                           int32_t* textLength) {
  if (group != VALCORE_STAGE_TEXT_GROUP || id < 1 || id > 6 || buffer == nullptr) return -1;
  int32_t length;
  if (const char16_t* const* wide = WideLanguage()) {
    length = PutUtf16(wide[id], static_cast<unsigned char*>(buffer));
  } else {
    length = PutNarrow(kEnglish[id], static_cast<char*>(buffer), VALCORE_TEXT_BUFFER_SIZE);
  }
  if (textLength != nullptr) *textLength = length;
  return 0;
}

VALCORE_API int32_t VALCORE_CALL ReadProfileInt(const char*, const char*,
                                                int32_t defaultValue) {
  return defaultValue;
}

VALCORE_API int32_t VALCORE_CALL ReadProfileString(const char*, const char*,
                                                   const char* defaultValue, char* buffer,
                                                   int32_t size) {
  return PutNarrow(defaultValue != nullptr ? defaultValue : "", buffer, size);
}

#ifndef VALCORE_LEAVE_OUT_SAVE_PROFILE_STRING
VALCORE_API int32_t VALCORE_CALL SaveProfileString(const char*, const char*, const char*) {
  return 0;
}
#endif

}  // extern "C"
