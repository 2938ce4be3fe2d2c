// Clang's thread-safety annotations: state says which lock guards it and
// functions say which lock they need, so that the compiler checks both
// (-Wthread-safety). Other compilers see nothing.
#pragma once

#if defined(__clang__)
#define ORMID_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define ORMID_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(name) ORMID_THREAD_ANNOTATION(capability(name))
#define SCOPED_CAPABILITY ORMID_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(lock) ORMID_THREAD_ANNOTATION(guarded_by(lock))
#define PT_GUARDED_BY(lock) ORMID_THREAD_ANNOTATION(pt_guarded_by(lock))
#define REQUIRES(...) ORMID_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define ACQUIRE(...) ORMID_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) ORMID_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define ASSERT_CAPABILITY(x) ORMID_THREAD_ANNOTATION(assert_capability(x))
#define EXCLUDES(...) ORMID_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define NO_THREAD_SAFETY_ANALYSIS ORMID_THREAD_ANNOTATION(no_thread_safety_analysis)
