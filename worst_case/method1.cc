#include "worst_case/method1.h"

namespace kest {

// Placeholder until the worst-case search is written: finds nothing.
Method1::Method1(const char* path, platform::Env* env)
    : env_(env), table_(std::make_unique<LLFile>(path, env)) {}
Method1::~Method1() = default;
int32_t Method1::Parse() { return 0; }
int32_t Method1::Flush(const char*) { return -2; }

}  // namespace kest
