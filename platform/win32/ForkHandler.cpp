#include "platform/ForkHandler.h"

namespace tarsio {

// Windows has no fork(): a process never starts as a copy of another one with some of its threads
// missing, so there is no child for a handler to repair and registering one does nothing.
void RunInChildAfterFork(void (*)()) {}

}  // namespace tarsio
