#include "platform/ForkHandler.h"

#include <pthread.h>

namespace tarsio {

void RunInChildAfterFork(void (*handler)()) { pthread_atfork(nullptr, nullptr, handler); }

}  // namespace tarsio
