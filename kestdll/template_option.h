// The template a host names (KestRecoverOptions::templatePath, dbfrecover
// --like): loading the healthy copy's structure, and the run's verdict on
// whether the damaged table's records fit it at all.
//
// A template whose record length the records plainly do not fit is
// refused, with a sentence that says so, before anything is written: a
// result cut by a wrong layout would hand the user every field misread.
#ifndef KEST_KESTDLL_TEMPLATE_OPTION_H_
#define KEST_KESTDLL_TEMPLATE_OPTION_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "dbf/table_template.h"
#include "platform/env.h"

namespace kest {

// The template's structure; nothing, with `why` a sentence naming the
// template, when it cannot be read or is no sound table. Reads only.
std::optional<TableTemplate> loadTemplate(const std::string& path, platform::Env* env,
                                          std::string* why);

// What the scans found: the slots the file holds at the template's record
// length and how many of them were records (live or deleted) that fit; the
// record length the layout search sees in the bytes and how many of its
// slots pass.
struct TemplateEvidence {
  uint32_t recordLength = 0;
  uint32_t slots = 0;
  uint32_t fitting = 0;
  uint32_t layoutRecordLength = 0;
  uint32_t layoutPassing = 0;
};

// Empty when the records fit the template; else why not, in one sentence.
std::string templateMisfit(const TemplateEvidence& evidence);
// How far the table's remains agreed with the template, for the findings.
std::string templateFit(const TemplateEvidence& evidence);
inline constexpr std::string_view kTemplateStep = "template";

}  // namespace kest

#endif  // KEST_KESTDLL_TEMPLATE_OPTION_H_
