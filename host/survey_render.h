// The two faces of an inspect report: plain lines for a reader at the
// terminal, one JSON object per table (one line) for a program. Both show
// the same TableSurvey; neither adds a finding of its own.
#ifndef KEST_HOST_SURVEY_RENDER_H_
#define KEST_HOST_SURVEY_RENDER_H_

#include <ostream>

#include "host/table_survey.h"

namespace kest::host {

void writeSurveyText(const TableSurvey& survey, std::ostream& out);
void writeSurveyJson(const TableSurvey& survey, std::ostream& out);

// The name a JSON report gives a recovery path.
const char* recoveryPathName(RecoveryPath path);

}  // namespace kest::host

#endif  // KEST_HOST_SURVEY_RENDER_H_
