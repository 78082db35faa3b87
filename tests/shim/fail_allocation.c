// LD_PRELOAD shim that fails one allocation: the Nth call of malloc, calloc
// or realloc made by one thread, so a test can walk a program's allocations
// one failure at a time. ZARVO_FAIL_ALLOCATION gives N;
// ZARVO_FAIL_ALLOCATION_THREAD picks the thread: 0 (the default) for the
// main thread, counted from main() since earlier allocations belong to the
// loader and the C++ runtime; K for the Kth thread the program creates,
// counted from its start. Counting per thread puts the failure on the same
// call whatever the threads' interleaving. A failure handed out appends
// "N\n" to the file named by ZARVO_FAIL_ALLOCATION_LOG, so a test can tell a
// run that met the failure from one that ended before the Nth allocation.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

// glibc's own allocator entry points: calling them avoids both dlsym (which
// itself allocates) and recursion into the functions below.
extern void* __libc_malloc(size_t size);
extern void* __libc_calloc(size_t count, size_t size);
extern void* __libc_realloc(void* old, size_t size);
extern void __libc_free(void* block);

typedef int (*MainFunction)(int, char**, char**);
typedef int (*StartMain)(MainFunction, int, char**, void (*)(void), void (*)(void),
                         void (*)(void), void*);
typedef void* (*ThreadBody)(void*);
typedef int (*CreateThread)(pthread_t*, const pthread_attr_t*, ThreadBody, void*);

static MainFunction realMain;
static long failAt;         // 0: never
static long failingThread;  // 0: main, K: the Kth thread created
static const char* noteTo;  // may be NULL
static long threadsCreated;
static __thread int counting;  // this thread is the one that fails
static __thread long counted;

// POSIX guarantees that a function pointer survives the round trip through
// void*; ISO C does not, so the bits are copied rather than cast.
static void* nextSymbol(const char* name) { return dlsym(RTLD_NEXT, name); }

// Plain system calls only: this runs inside malloc, so nothing here may
// allocate.
static void noteFailure(long n) {
  if (noteTo == NULL) return;
  char text[24];
  int at = (int)sizeof text;
  text[--at] = '\n';
  do text[--at] = (char)('0' + n % 10);
  while ((n /= 10) > 0 && at > 0);
  int fd = open(noteTo, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return;
  ssize_t ignored = write(fd, text + at, sizeof text - (size_t)at);
  (void)ignored;
  close(fd);
}

// True when this allocation is the one to fail.
static int failsNow(void) {
  if (!counting || ++counted != failAt) return 0;
  noteFailure(counted);
  errno = ENOMEM;
  return 1;
}

void* malloc(size_t size) { return failsNow() ? NULL : __libc_malloc(size); }

void* calloc(size_t count, size_t size) {
  return failsNow() ? NULL : __libc_calloc(count, size);
}

void* realloc(void* old, size_t size) {
  // realloc(p, 0) frees; it allocates nothing that could fail.
  if (size != 0 && failsNow()) return NULL;
  return __libc_realloc(old, size);
}

struct Start {
  ThreadBody body;
  void* argument;
  long index;
};

static void* startCounted(void* raw) {
  struct Start start = *(struct Start*)raw;
  __libc_free(raw);
  counting = failAt > 0 && start.index == failingThread;
  return start.body(start.argument);
}

int pthread_create(pthread_t* thread, const pthread_attr_t* attributes, ThreadBody body,
                   void* argument) {
  void* symbol = nextSymbol("pthread_create");
  CreateThread create;
  memcpy(&create, &symbol, sizeof create);
  // Not counted: a failure here would be the creating thread's, not this one's.
  struct Start* start = __libc_malloc(sizeof *start);
  if (start == NULL) return EAGAIN;
  start->body = body;
  start->argument = argument;
  start->index = __atomic_add_fetch(&threadsCreated, 1, __ATOMIC_RELAXED);
  int result = create(thread, attributes, startCounted, start);
  if (result != 0) __libc_free(start);
  return result;
}

static int countedMain(int argc, char** argv, char** envp) {
  counting = failAt > 0 && failingThread == 0;
  return realMain(argc, argv, envp);
}

// Called by the program's entry code before any of its own code runs; hands
// the C library a main() that starts the count first.
int __libc_start_main(MainFunction main, int argc, char** argv, void (*init)(void),
                      void (*fini)(void), void (*rtldFini)(void), void* stackEnd) {
  const char* n = getenv("ZARVO_FAIL_ALLOCATION");
  const char* thread = getenv("ZARVO_FAIL_ALLOCATION_THREAD");
  failAt = n != NULL ? strtol(n, NULL, 10) : 0;
  failingThread = thread != NULL ? strtol(thread, NULL, 10) : 0;
  noteTo = getenv("ZARVO_FAIL_ALLOCATION_LOG");
  realMain = main;
  void* symbol = nextSymbol("__libc_start_main");
  StartMain start;
  memcpy(&start, &symbol, sizeof start);
  return start(countedMain, argc, argv, init, fini, rtldFini, stackEnd);
}
