// Lock annotations for clang's thread-safety analysis (-Wthread-safety).
//
// Members say which critical section guards them (TARSIO_GUARDED_BY), functions say which lock
// they expect held (TARSIO_REQUIRES) or must be called without (TARSIO_EXCLUDES), and lock orders
// are written with TARSIO_ACQUIRED_BEFORE/AFTER. Clang checks them at compile time in the `clang`
// build of scripts/build.sh; other compilers see empty macros.
#pragma once

#if defined(__clang__)
#define TARSIO_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define TARSIO_THREAD_ANNOTATION(x)
#endif

#define TARSIO_CAPABILITY(x) TARSIO_THREAD_ANNOTATION(capability(x))
#define TARSIO_SCOPED_CAPABILITY TARSIO_THREAD_ANNOTATION(scoped_lockable)
#define TARSIO_GUARDED_BY(x) TARSIO_THREAD_ANNOTATION(guarded_by(x))
#define TARSIO_PT_GUARDED_BY(x) TARSIO_THREAD_ANNOTATION(pt_guarded_by(x))
#define TARSIO_ACQUIRED_BEFORE(...) TARSIO_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#define TARSIO_ACQUIRED_AFTER(...) TARSIO_THREAD_ANNOTATION(acquired_after(__VA_ARGS__))
#define TARSIO_REQUIRES(...) TARSIO_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define TARSIO_ACQUIRE(...) TARSIO_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define TARSIO_RELEASE(...) TARSIO_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define TARSIO_TRY_ACQUIRE(...) TARSIO_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define TARSIO_EXCLUDES(...) TARSIO_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define TARSIO_RETURN_CAPABILITY(x) TARSIO_THREAD_ANNOTATION(lock_returned(x))
#define TARSIO_NO_THREAD_SAFETY_ANALYSIS TARSIO_THREAD_ANNOTATION(no_thread_safety_analysis)
