// Lets code above the platform layer repair process-wide state in the child of a fork().
//
// Only the forking thread exists in a child: threads the parent started and any thread that held
// a lock at the moment of the fork are gone. A handler registered here runs in the child right
// after fork() returns there, before anything else, and typically re-creates its mutexes and
// marks its background threads as not running.
//
// Threading: RunInChildAfterFork may be called from any thread; handlers run on the child's only
// thread. Handlers are never removed.
#pragma once

namespace tarsio {

/// Registers handler to run in every child made by fork() from now on.
void RunInChildAfterFork(void (*handler)());

}  // namespace tarsio
