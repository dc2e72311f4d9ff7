// Stands in for the glibc target's header of the same name, which tests __GLIBC_PREREQ: with musl
// underneath, the answers are those of a current C library.
#ifndef _GLIBCXX_OS_DEFINES
#define _GLIBCXX_OS_DEFINES 1

#define __NO_CTYPE 1
#define _GLIBCXX_NO_OBSOLETE_ISINF_ISNAN_DYNAMIC 1
#define _GLIBCXX_NATIVE_THREAD_ID pthread_self()
#define _GLIBCXX_GTHREAD_USE_WEAK 0

#endif
