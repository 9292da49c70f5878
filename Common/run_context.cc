#include "Common/run_context.h"

namespace kest {

namespace {

class SilentContext : public RunContext {
 public:
  void reportProgress(int32_t) override {}
  bool breakRequested() const override { return false; }
};

}  // namespace

const RecoveryOptions& RunContext::options() const {
  static const RecoveryOptions classic;
  return classic;
}

RunContext* RunContext::Silent() {
  static SilentContext silent;
  return &silent;
}

}  // namespace kest
