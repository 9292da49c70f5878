// What the platform files share with env.cc, and nobody else sees.
#ifndef KEST_PLATFORM_ENV_INTERNAL_H_
#define KEST_PLATFORM_ENV_INTERNAL_H_

#include <cstddef>

#include "platform/env.h"

namespace kest::platform::internal {

// Room for the platform's Env in static storage; each platform file checks
// at compile time that its Env fits.
inline constexpr size_t kPlatformEnvRoom = 64;

// Builds the platform's Env in `room` (kPlatformEnvRoom bytes, aligned for
// any object). Called once, by Env::Default.
Env* BuildPlatformEnv(void* room);

}  // namespace kest::platform::internal

#endif  // KEST_PLATFORM_ENV_INTERNAL_H_
