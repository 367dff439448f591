// Preloaded into a program under test, this library makes chosen library calls fail, so that the
// program's failure paths are taken for real.
//
// IPCWALK_FAULTS="call:errno:nth:min_bytes,..." names them: `call` fails with `errno`, at its
// nth call only (nth 0: at every call); for malloc, only requests of at least min_bytes count.
// Every other call goes through to the real function.
#include <dlfcn.h>
#include <fcntl.h>
#include <pthread.h>
#include <semaphore.h>
#include <sys/shm.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>

extern "C" void* __libc_malloc(size_t size);

namespace {

struct Fault {
  char call[32];
  int error;
  int nth;
  size_t min_bytes;
  std::atomic<int> calls;
};

constexpr int max_faults = 8;
Fault faults[max_faults];
std::atomic<int> fault_count{0};

__attribute__((constructor)) void read_faults() {
  const char* spec = std::getenv("IPCWALK_FAULTS");
  int count = 0;
  while (spec != nullptr && *spec != '\0' && count < max_faults) {
    Fault& fault = faults[count];
    const size_t name_length = std::strcspn(spec, ":");
    if (name_length == 0 || name_length >= sizeof fault.call || spec[name_length] != ':')
      break;
    std::memcpy(fault.call, spec, name_length);
    fault.call[name_length] = '\0';
    char* rest;
    fault.error = static_cast<int>(std::strtol(spec + name_length + 1, &rest, 10));
    fault.nth = *rest == ':' ? static_cast<int>(std::strtol(rest + 1, &rest, 10)) : 0;
    fault.min_bytes = *rest == ':' ? std::strtoull(rest + 1, &rest, 10) : 0;
    ++count;
    spec = std::strchr(rest, ',');
    if (spec != nullptr)
      ++spec;
  }
  fault_count = count;
}

// The errno to fail this call with, or 0 to let it through.
int injected(const char* call, size_t bytes = 0) {
  for (int i = 0; i < fault_count.load(std::memory_order_relaxed); ++i) {
    Fault& fault = faults[i];
    if (std::strcmp(fault.call, call) != 0 || bytes < fault.min_bytes)
      continue;
    const int number = fault.calls.fetch_add(1) + 1;
    if (fault.nth == 0 || fault.nth == number)
      return fault.error;
  }
  return 0;
}

template <typename Function>
Function next(const char* name) {
  return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

// Not thread_local: the first malloc comes long before a second thread, and thread-local storage
// of a preloaded library may not be ready that early under the sanitizers.
bool resolving_malloc = false;

}  // namespace

extern "C" {

pid_t fork() {
  if (const int error = injected("fork"))
    return errno = error, -1;
  static auto real = next<pid_t (*)()>("fork");
  return real();
}

int pipe(int fd[2]) {
  if (const int error = injected("pipe"))
    return errno = error, -1;
  static auto real = next<int (*)(int*)>("pipe");
  return real(fd);
}

ssize_t read(int fd, void* buffer, size_t size) {
  if (const int error = injected("read"))
    return errno = error, -1;
  static auto real = next<ssize_t (*)(int, void*, size_t)>("read");
  return real(fd, buffer, size);
}

ssize_t write(int fd, const void* buffer, size_t size) {
  if (const int error = injected("write"))
    return errno = error, -1;
  static auto real = next<ssize_t (*)(int, const void*, size_t)>("write");
  return real(fd, buffer, size);
}

void* malloc(size_t size) {
  if (const int error = injected("malloc", size))
    return errno = error, nullptr;
  // dlsym may itself allocate while it looks malloc up; that allocation goes to libc directly.
  if (resolving_malloc)
    return __libc_malloc(size);
  resolving_malloc = true;
  static auto real = next<void* (*)(size_t)>("malloc");
  resolving_malloc = false;
  return real(size);
}

int pthread_create(pthread_t* thread, const pthread_attr_t* attributes, void* (*start)(void*),
                   void* argument) {
  if (const int error = injected("pthread_create"))
    return error;
  static auto real =
      next<int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*)>("pthread_create");
  return real(thread, attributes, start, argument);
}

int shmget(key_t key, size_t size, int flags) {
  if (const int error = injected("shmget"))
    return errno = error, -1;
  static auto real = next<int (*)(key_t, size_t, int)>("shmget");
  return real(key, size, flags);
}

void* shmat(int id, const void* address, int flags) {
  if (const int error = injected("shmat"))
    return errno = error, reinterpret_cast<void*>(-1);
  static auto real = next<void* (*)(int, const void*, int)>("shmat");
  return real(id, address, flags);
}

int shmdt(const void* address) {
  if (const int error = injected("shmdt"))
    return errno = error, -1;
  static auto real = next<int (*)(const void*)>("shmdt");
  return real(address);
}

sem_t* sem_open(const char* name, int flags, ...) {
  mode_t mode = 0;
  unsigned value = 0;
  if (flags & O_CREAT) {
    va_list arguments;
    va_start(arguments, flags);
    mode = va_arg(arguments, mode_t);
    value = va_arg(arguments, unsigned);
    va_end(arguments);
  }
  if (const int error = injected("sem_open"))
    return errno = error, SEM_FAILED;
  static auto real = next<sem_t* (*)(const char*, int, ...)>("sem_open");
  return real(name, flags, mode, value);
}

int sem_wait(sem_t* semaphore) {
  if (const int error = injected("sem_wait"))
    return errno = error, -1;
  static auto real = next<int (*)(sem_t*)>("sem_wait");
  return real(semaphore);
}

int sem_post(sem_t* semaphore) {
  if (const int error = injected("sem_post"))
    return errno = error, -1;
  static auto real = next<int (*)(sem_t*)>("sem_post");
  return real(semaphore);
}

}  // extern "C"
