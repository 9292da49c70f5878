// What every Env shares: the default instance and the copy built on the
// primitives, so that both systems copy alike.
#include <cstddef>

#include "platform/env.h"
#include "platform/env_internal.h"

namespace kest::platform {

Env* Env::Default() {
  // Never destroyed, since it is used during unload; built in static
  // storage rather than on the heap, so that a library that is unloaded
  // leaves no allocation behind.
  alignas(std::max_align_t) static unsigned char room[internal::kPlatformEnvRoom];
  static Env* env = internal::BuildPlatformEnv(room);
  return env;
}

Status Env::FailureOf(uint32_t code) {
  std::string text;
  if (!ErrorMessage(code, &text)) text.clear();
  return Status::Failure(code, std::move(text));
}

Status Env::CopyNoOverwrite(const std::string& from, const std::string& to) {
  std::unique_ptr<ReadableFile> in;
  Status status = OpenReadOnly(from, &in);
  if (!status) return status;
  std::unique_ptr<WritableFile> out;
  status = CreateNew(to, &out);
  if (!status) return status;  // an existing target stays as it is
  char buffer[1 << 16];
  uint64_t offset = 0;
  for (;;) {
    size_t got = 0;
    status = in->ReadAt(offset, buffer, sizeof buffer, &got);
    if (!status) break;
    if (got == 0) {
      status = out->Sync();
      if (status) status = out->Close();
      if (status) return status;
      break;
    }
    status = out->Append(buffer, got);
    if (!status) break;
    offset += got;
  }
  out.reset();
  // The target is the one made above; a partial copy is worse than none.
  RemoveFile(to);
  return status;
}

}  // namespace kest::platform
