// Whether this thread may call into the interpreter. Every call into it,
// a buffer's release included, needs the thread's state attached: the
// kernels run with it detached, so a call that strays into that stretch
// races the interpreter's reference counts, or crashes the free-threaded
// build outright. Checked where the conversion layer calls the interpreter,
// in debug and sanitizer builds; free elsewhere.
#pragma once

#include <Python.h>

#include <cstdio>
#include <cstdlib>

#if !defined(NDEBUG) || defined(MORVEL_CHECK_THREAD_STATE)
#define MORVEL_EXPECT_THREAD_STATE()                                           \
  ::morvel::binding::expect_thread_state(__FILE__, __LINE__)
#else
#define MORVEL_EXPECT_THREAD_STATE() ((void)0)
#endif

namespace morvel::binding {

// Aborts, naming the place, when this thread's state is detached.
inline void expect_thread_state(const char *file, int line) {
  if (PyThreadState_GetUnchecked() == nullptr) {
    std::fprintf(stderr,
                 "morvel: %s:%d calls the interpreter without a thread "
                 "state\n",
                 file, line);
    std::abort();
  }
}

} // namespace morvel::binding
