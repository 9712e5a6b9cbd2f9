#include "framework/TracedObject.h"

#include "framework/Registry.h"

namespace tarsio {

namespace {
constexpr uint32_t kDefaultComponentLevel = 0x100000;
}  // namespace

int32_t TracedObject::ReadTraceLevelFor(const char* componentValue) {
  uint32_t level = RegGetDWORD(RegistryRoot::kCurrentUser, kTracingKey, "AllComponents", 0);
  if (level == 0) {
    level = RegGetDWORD(RegistryRoot::kCurrentUser, kTracingKey, componentValue,
                        kDefaultComponentLevel);
  }
  tracer.SetLevel(level);
  return 0;
}

}  // namespace tarsio
