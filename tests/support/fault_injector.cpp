// Preloaded into a program under test, this library makes chosen library calls fail, so that the
// program's failure paths are taken for real.
//
// IPCWALK_FAULTS="call:errno:nth:min_bytes,..." names them: `call` fails with `errno`, at its
// nth call only (nth 0: at every call); for malloc, only requests of at least min_bytes count.
// Every other call goes through to the real function. One entry is a disturbance rather than a
// failure: `empty_semaphore` (any nonzero errno) empties the semaphore's file just before
// sem_open opens it, as another user who swaps the file at that moment would.
//
// The faults are the program's own: the library takes itself out of the environment as it
// loads, so that the commands a program starts (system's shell, ipcs) run as they would anyway.
// They may also be of another word size than the program, a 64-bit shell for a 32-bit program,
// and would only complain that they cannot load it.
#include <dlfcn.h>
#include <fcntl.h>
#include <pthread.h>
#include <semaphore.h>
#include <sys/shm.h>
#include <sys/types.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <tuple>

// glibc's own allocator entry, which has a reserved name.
// NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)
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
  const char* fault_list = std::getenv("IPCWALK_FAULTS");
  int count = 0;
  while (fault_list != nullptr && *fault_list != '\0' && count < max_faults) {
    Fault& fault = faults[count];
    const size_t name_length = std::strcspn(fault_list, ":");
    if (name_length == 0 || name_length >= sizeof fault.call || fault_list[name_length] != ':')
      break;
    std::memcpy(fault.call, fault_list, name_length);
    fault.call[name_length] = '\0';
    char* rest;
    fault.error = static_cast<int>(std::strtol(fault_list + name_length + 1, &rest, 10));
    fault.nth = *rest == ':' ? static_cast<int>(std::strtol(rest + 1, &rest, 10)) : 0;
    fault.min_bytes = *rest == ':' ? static_cast<size_t>(std::strtoull(rest + 1, &rest, 10)) : 0;
    ++count;
    fault_list = std::strchr(rest, ',');
    if (fault_list != nullptr)
      ++fault_list;
  }
  fault_count = count;
  unsetenv("LD_PRELOAD");
  unsetenv("IPCWALK_FAULTS");
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

// The real function `name`, found on first use and kept in `real`. The pointers start as zero
// and have no guard: the sanitizers intercept guards, and the first malloc comes before they
// are ready. Two threads that find a pointer at once find the same one.
template <typename Function>
Function& find(Function& real, const char* name) {
  if (real == nullptr)
    real = reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
  return real;
}

// Fails call `name` with the fault's errno and the value `failed` when a fault is due, and
// otherwise passes it to the real function.
template <typename Function, typename Result, typename... Args>
Result pass(const char* name, Function& real, Result failed, Args... args) {
  if (const int error = injected(name))
    return errno = error, failed;
  return find(real, name)(args...);
}

// Not thread_local: the first malloc comes long before a second thread, and thread-local storage
// of a preloaded library may not be ready that early under the sanitizers.
bool resolving_malloc = false;

}  // namespace

extern "C" {

pid_t fork() {
  static pid_t (*real)();
  return pass("fork", real, pid_t{-1});
}

int pipe(int fd[2]) {
  static int (*real)(int*);
  return pass("pipe", real, -1, fd);
}

ssize_t read(int fd, void* buffer, size_t size) {
  static ssize_t (*real)(int, void*, size_t);
  return pass("read", real, ssize_t{-1}, fd, buffer, size);
}

ssize_t write(int fd, const void* buffer, size_t size) {
  static ssize_t (*real)(int, const void*, size_t);
  return pass("write", real, ssize_t{-1}, fd, buffer, size);
}

void* malloc(size_t size) {
  static void* (*real)(size_t);
  if (const int error = injected("malloc", size))
    return errno = error, nullptr;
  // dlsym may itself allocate while it looks malloc up; that allocation goes to libc directly.
  if (resolving_malloc)
    return __libc_malloc(size);
  resolving_malloc = true;
  find(real, "malloc");
  resolving_malloc = false;
  return real(size);
}

// pthread_create returns its error instead of setting errno.
int pthread_create(pthread_t* thread, const pthread_attr_t* attributes, void* (*start)(void*),
                   void* argument) {
  static int (*real)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
  if (const int error = injected("pthread_create"))
    return error;
  return find(real, "pthread_create")(thread, attributes, start, argument);
}

int shmget(key_t key, size_t size, int flags) {
  static int (*real)(key_t, size_t, int);
  return pass("shmget", real, -1, key, size, flags);
}

void* shmat(int id, const void* address, int flags) {
  static void* (*real)(int, const void*, int);
  return pass("shmat", real, reinterpret_cast<void*>(-1), id, address, flags);
}

int shmctl(int id, int command, shmid_ds* info) {
  static int (*real)(int, int, shmid_ds*);
  return pass("shmctl", real, -1, id, command, info);
}

int shmdt(const void* address) {
  static int (*real)(const void*);
  return pass("shmdt", real, -1, address);
}

sem_t* sem_open(const char* name, int flags, ...) {
  static sem_t* (*real)(const char*, int, ...);
  mode_t mode = 0;
  unsigned value = 0;
  if (flags & O_CREAT) {
    va_list arguments;
    va_start(arguments, flags);
    mode = va_arg(arguments, mode_t);
    value = va_arg(arguments, unsigned);
    va_end(arguments);
  }
  if (injected("empty_semaphore") != 0) {
    // The library's file for the name: /dev/shm/sem. and the name without its leading slashes.
    const char* bare_name = name;
    while (*bare_name == '/')
      ++bare_name;
    char path[512];
    if (std::snprintf(path, sizeof path, "/dev/shm/sem.%s", bare_name) < int{sizeof path})
      std::ignore = truncate(path, 0);
  }
  return pass("sem_open", real, SEM_FAILED, name, flags, mode, value);
}

int sem_wait(sem_t* semaphore) {
  static int (*real)(sem_t*);
  return pass("sem_wait", real, -1, semaphore);
}

int sem_post(sem_t* semaphore) {
  static int (*real)(sem_t*);
  return pass("sem_post", real, -1, semaphore);
}

}  // extern "C"
