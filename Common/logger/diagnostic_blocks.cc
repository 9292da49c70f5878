#include "Common/logger/logger.h"

namespace kest {

// Placeholder until the machine and version blocks are written out in full.
void Logger::WriteMachineInfo() {}
void Logger::WriteVersionInfo() {}

}  // namespace kest
