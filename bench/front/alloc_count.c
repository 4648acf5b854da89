/* Allocation counter for the front-end benchmark (not linked into anything): preloaded into
 * a server with LD_PRELOAD, it counts every heap allocation the process makes (malloc,
 * calloc, realloc, the aligned forms) and the bytes asked for. The counters live in the
 * file named by NOX_ALLOC_COUNT_FILE, mapped shared, so the benchmark client reads them
 * while the server runs: two little-endian 64-bit words, allocations then bytes. Without
 * that variable the counters stay in the process. Each call goes on to glibc's own
 * allocator (__libc_*), so nothing here allocates and no bootstrap path is needed. */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <unistd.h>

extern void* __libc_malloc(size_t size);
extern void* __libc_calloc(size_t count, size_t size);
extern void* __libc_realloc(void* memory, size_t size);
extern void* __libc_memalign(size_t alignment, size_t size);
extern void __libc_free(void* memory);

static uint64_t g_local[2];
static uint64_t* g_counts = g_local;

__attribute__((constructor)) static void mapCounters(void) {
  const char* path = getenv("NOX_ALLOC_COUNT_FILE");
  if (path == NULL || path[0] == '\0') return;
  int fd = open(path, O_RDWR | O_CLOEXEC);
  if (fd < 0) return;
  void* shared = mmap(NULL, 2 * sizeof(uint64_t), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  close(fd);
  if (shared != MAP_FAILED) g_counts = (uint64_t*)shared;
}

static void count(size_t size) {
  __atomic_fetch_add(&g_counts[0], 1, __ATOMIC_RELAXED);
  __atomic_fetch_add(&g_counts[1], size, __ATOMIC_RELAXED);
}

void* malloc(size_t size) {
  count(size);
  return __libc_malloc(size);
}

void* calloc(size_t n, size_t size) {
  count(n * size);
  return __libc_calloc(n, size);
}

void* realloc(void* memory, size_t size) {
  if (size != 0) count(size);  /* a realloc to 0 is a free */
  return __libc_realloc(memory, size);
}

void free(void* memory) { __libc_free(memory); }

void* memalign(size_t alignment, size_t size) {
  count(size);
  return __libc_memalign(alignment, size);
}

void* aligned_alloc(size_t alignment, size_t size) { return memalign(alignment, size); }

int posix_memalign(void** out, size_t alignment, size_t size) {
  if (alignment < sizeof(void*) || (alignment & (alignment - 1)) != 0) return EINVAL;
  void* memory = memalign(alignment, size);
  if (memory == NULL) return ENOMEM;
  *out = memory;
  return 0;
}

void* valloc(size_t size) { return memalign((size_t)sysconf(_SC_PAGESIZE), size); }

void* pvalloc(size_t size) {
  size_t page = (size_t)sysconf(_SC_PAGESIZE);
  return memalign(page, (size + page - 1) & ~(page - 1));
}
