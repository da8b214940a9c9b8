// Lock annotations for clang's -Wthread-safety, which then checks at compile
// time that every field marked GUARDED_BY is touched only with its lock held
// and that every REQUIRES function is called with it. Other compilers see
// nothing (g++ warns about attributes it does not know).
#ifndef JLIB_THREAD_ANNOTATIONS_H
#define JLIB_THREAD_ANNOTATIONS_H

#if defined(__clang__)
#define THREAD_ANNOTATION(x) __attribute__((x))
#else
#define THREAD_ANNOTATION(x)
#endif

// A class whose objects are locks.
#define CAPABILITY(x) THREAD_ANNOTATION(capability(x))
// A class whose objects hold a lock for their lifetime (RAII).
#define SCOPED_CAPABILITY THREAD_ANNOTATION(scoped_lockable)
// A field read and written only with the lock held.
#define GUARDED_BY(x) THREAD_ANNOTATION(guarded_by(x))
// A pointer whose target is read and written only with the lock held.
#define PT_GUARDED_BY(x) THREAD_ANNOTATION(pt_guarded_by(x))
// A function called with the locks held.
#define REQUIRES(...) THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
// A function that takes the locks and returns holding them.
#define ACQUIRE(...) THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
// A function that gives back locks held on entry.
#define RELEASE(...) THREAD_ANNOTATION(release_capability(__VA_ARGS__))
// A function that takes the locks itself: calling it with one held would
// take a lock already held.
#define EXCLUDES(...) THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
// A function the analysis does not check; say why beside it.
#define NO_THREAD_SAFETY_ANALYSIS THREAD_ANNOTATION(no_thread_safety_analysis)

#endif  // JLIB_THREAD_ANNOTATIONS_H
