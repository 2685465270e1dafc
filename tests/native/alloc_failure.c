/* An allocation failure injector for the tests, loaded with LD_PRELOAD (the
 * tests build it with cc; it is no CMake target). While the file named by
 * VEXLO_ALLOC_FAILURE_SWITCH exists, every allocation fails in the threads
 * whose nice value is above the one the process started with: the archive
 * writer's compressing workers, which lower their own priority, as if they
 * ran into `ulimit -v` or strict overcommit while the rest of the process
 * did not.
 *
 * The dynamic loader's own allocations (a thread's thread-local storage of a
 * module loaded with dlopen) always go through: glibc aborts a thread that
 * cannot have its TLS, which no program can handle. */
#define _GNU_SOURCE
#include <errno.h>
#include <link.h>
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <unistd.h>

extern void* __libc_malloc(size_t size);
extern void* __libc_calloc(size_t count, size_t size);
extern void* __libc_realloc(void* p, size_t size);
extern void* __libc_memalign(size_t alignment, size_t size);

static char switch_path[4096];
static int base_nice;
static uintptr_t loader_start, loader_end;

static int find_loader(struct dl_phdr_info* info, size_t size, void* data) {
  (void)size;
  (void)data;
  if (strstr(info->dlpi_name, "/ld-linux") == NULL) {
    return 0;
  }
  for (int i = 0; i < info->dlpi_phnum; ++i) {
    const ElfW(Phdr)* ph = &info->dlpi_phdr[i];
    if (ph->p_type == PT_LOAD) {
      const uintptr_t start = info->dlpi_addr + ph->p_vaddr;
      const uintptr_t end = start + ph->p_memsz;
      if (loader_start == 0 || start < loader_start) {
        loader_start = start;
      }
      if (end > loader_end) {
        loader_end = end;
      }
    }
  }
  return 1;
}

__attribute__((constructor)) static void set_up(void) {
  const char* path = getenv("VEXLO_ALLOC_FAILURE_SWITCH");
  if (path == NULL || strlen(path) >= sizeof switch_path) {
    return;
  }
  errno = 0;
  base_nice = getpriority(PRIO_PROCESS, 0);
  if (errno != 0) {
    return;
  }
  dl_iterate_phdr(find_loader, NULL);
  strcpy(switch_path, path);
}

/* `caller` is the allocating code's return address. */
static int refused(const void* caller) {
  const uintptr_t at = (uintptr_t)caller;
  if (switch_path[0] == '\0' || (at >= loader_start && at < loader_end)) {
    return 0;
  }
  /* PRIO_PROCESS 0 is the calling thread on Linux. */
  const int saved = errno;
  errno = 0;
  const int nice = getpriority(PRIO_PROCESS, 0);
  const int lowered = errno == 0 && nice > base_nice;
  const int on = lowered && access(switch_path, F_OK) == 0;
  errno = saved;
  return on;
}

#define CALLER __builtin_return_address(0)

void* malloc(size_t size) {
  if (refused(CALLER)) {
    errno = ENOMEM;
    return NULL;
  }
  return __libc_malloc(size);
}

void* calloc(size_t count, size_t size) {
  if (refused(CALLER)) {
    errno = ENOMEM;
    return NULL;
  }
  return __libc_calloc(count, size);
}

void* realloc(void* p, size_t size) {
  if (size != 0 && refused(CALLER)) {
    errno = ENOMEM;
    return NULL;
  }
  return __libc_realloc(p, size);
}

void* reallocarray(void* p, size_t count, size_t size) {
  size_t bytes;
  if (__builtin_mul_overflow(count, size, &bytes)) {
    errno = ENOMEM;
    return NULL;
  }
  if (bytes != 0 && refused(CALLER)) {
    errno = ENOMEM;
    return NULL;
  }
  return __libc_realloc(p, bytes);
}

void* memalign(size_t alignment, size_t size) {
  if (refused(CALLER)) {
    errno = ENOMEM;
    return NULL;
  }
  return __libc_memalign(alignment, size);
}

void* aligned_alloc(size_t alignment, size_t size) {
  if (refused(CALLER)) {
    errno = ENOMEM;
    return NULL;
  }
  return __libc_memalign(alignment, size);
}

int posix_memalign(void** out, size_t alignment, size_t size) {
  if (alignment % sizeof(void*) != 0 || (alignment & (alignment - 1)) != 0 || alignment == 0) {
    return EINVAL;
  }
  if (refused(CALLER)) {
    return ENOMEM;
  }
  void* p = __libc_memalign(alignment, size);
  if (p == NULL) {
    return ENOMEM;
  }
  *out = p;
  return 0;
}

void* valloc(size_t size) {
  if (refused(CALLER)) {
    errno = ENOMEM;
    return NULL;
  }
  return __libc_memalign((size_t)sysconf(_SC_PAGESIZE), size);
}

void* pvalloc(size_t size) {
  const size_t page = (size_t)sysconf(_SC_PAGESIZE);
  if (refused(CALLER)) {
    errno = ENOMEM;
    return NULL;
  }
  return __libc_memalign(page, (size + page - 1) / page * page);
}
