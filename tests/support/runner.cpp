#include "runner.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <string_view>
#include <thread>

namespace ipcwalk {
namespace {

// Close-on-exec, as every descriptor of the test process: a program under test gets its three
// standard streams and nothing else.
int capture_file() {
  char path[] = "/tmp/ipcwalk-capture-XXXXXX";
  const int fd = mkostemp(path, O_CLOEXEC);
  if (fd < 0)
    throw std::runtime_error("mkstemp failed");
  unlink(path);
  return fd;
}

std::string read_all(int fd) {
  std::string text;
  char buffer[8192];
  for (off_t offset = 0;;) {
    const ssize_t got = pread(fd, buffer, sizeof buffer, offset);
    if (got <= 0)
      return text;
    text.append(buffer, static_cast<std::size_t>(got));
    offset += got;
  }
}

// True once capture file `fd` holds `text`, false at the deadline.
bool wait_for_text(int fd, const std::string& text, Duration limit) {
  const auto until = std::chrono::steady_clock::now() + limit;
  while (read_all(fd).find(text) == std::string::npos) {
    if (std::chrono::steady_clock::now() >= until)
      return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

// The environment of the program under test: ours, plus what the faults need.
std::vector<std::string> environment(const std::vector<Fault>& faults) {
  std::vector<std::string> env;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    if (faults.empty() || std::string_view(*entry).substr(0, 13) != "ASAN_OPTIONS=") {
      env.emplace_back(*entry);
    }
  }
  if (faults.empty())
    return env;
  std::string fault_list;
  for (const Fault& fault : faults) {
    fault_list += fault.call + ":" + std::to_string(fault.error) + ":" + std::to_string(fault.nth) +
                  ":" + std::to_string(fault.min_bytes) + ",";
  }
  std::string asan = "ASAN_OPTIONS=verify_asan_link_order=0";
  if (const char* given = std::getenv("ASAN_OPTIONS"))
    asan += std::string(":") + given;
  env.push_back("IPCWALK_FAULTS=" + fault_list);
  env.push_back("LD_PRELOAD=" FAULT_LIBRARY);
  env.push_back(asan);
  return env;
}

// The descriptor that a program's standard output or error is to be, or -1 for a closed one.
int stream_target(Stream stream, int capture) {
  switch (stream) {
    case Stream::captured:
      return capture;
    case Stream::closed:
      return -1;
    case Stream::full: {
      const int fd = open("/dev/full", O_WRONLY | O_CLOEXEC);
      if (fd < 0)
        throw std::runtime_error("cannot open /dev/full");
      return fd;
    }
    case Stream::broken_pipe: {
      int ends[2];
      if (pipe2(ends, O_CLOEXEC) < 0)
        throw std::runtime_error("pipe failed");
      close(ends[0]);  // nobody will ever read
      return ends[1];
    }
  }
  return -1;
}

}  // namespace

std::string program(const std::string& name) {
  return name.find('/') == std::string::npos ? std::string(PROGRAM_DIR) + "/" + name : name;
}

Process::Process(const std::string& name, const std::vector<std::string>& args,
                 const Options& options)
    : deadline_(std::chrono::steady_clock::now() + options.timeout) {
  out_fd_ = capture_file();
  err_fd_ = capture_file();
  int input[2];
  if (pipe2(input, O_CLOEXEC) < 0)
    throw std::runtime_error("pipe failed");

  const std::string path = program(name);
  std::vector<std::string> env = environment(options.faults);
  std::vector<char*> argv;
  argv.reserve(args.size() + 2);
  argv.push_back(const_cast<char*>(path.c_str()));
  for (const std::string& arg : args)
    argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  std::vector<char*> envp;
  envp.reserve(env.size() + 1);
  for (std::string& entry : env)
    envp.push_back(entry.data());
  envp.push_back(nullptr);

  const int out_target = stream_target(options.out, out_fd_);
  const int err_target = stream_target(options.err, err_fd_);
  pid_ = fork();
  if (pid_ < 0)
    throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    // As a shell starts a program: the test process ignores SIGPIPE, for instance, and an
    // ignored signal would stay ignored across execve.
    struct sigaction default_action {};
    default_action.sa_handler = SIG_DFL;
    for (int number = 1; number < NSIG; ++number)
      sigaction(number, &default_action, nullptr);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    const int targets[] = {options.input_closed ? -1 : input[0], out_target, err_target};
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
      if (targets[fd] < 0)
        close(fd);
      else
        dup2(targets[fd], fd);
    }
    execve(path.c_str(), argv.data(), envp.data());
    _exit(127);
  }
  for (const int target : {out_target, err_target}) {
    if (target >= 0 && target != out_fd_ && target != err_fd_)
      close(target);
  }
  close(input[0]);
  input_fd_ = input[1];
  if (!options.hold_input) {
    send(options.input);
    close_input();
  }
}

Process::~Process() {
  if (!reaped_) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  close_input();
  close(out_fd_);
  close(err_fd_);
}

void Process::send(const std::string& bytes) {
  // A program that has ended no longer reads: its broken pipe is not the test's failure.
  signal(SIGPIPE, SIG_IGN);
  for (std::size_t done = 0; done < bytes.size();) {
    const ssize_t wrote = write(input_fd_, bytes.data() + done, bytes.size() - done);
    if (wrote <= 0)
      return;
    done += static_cast<std::size_t>(wrote);
  }
}

void Process::close_input() {
  if (input_fd_ >= 0)
    close(input_fd_);
  input_fd_ = -1;
}

std::string Process::out() const {
  return read_all(out_fd_);
}

std::string Process::err() const {
  return read_all(err_fd_);
}

bool Process::running() {
  if (!reaped_ && waitpid(pid_, &wait_status_, WNOHANG) == pid_)
    reaped_ = true;
  return !reaped_;
}

bool Process::wait_until_reading_input(Duration limit) {
  const auto until = std::chrono::steady_clock::now() + limit;
  while (running() && std::chrono::steady_clock::now() < until) {
    // /proc/PID/syscall starts with read's number, which differs from platform to platform, and
    // then 0x0 while the process is blocked in read(0, ...).
    std::ifstream syscall("/proc/" + std::to_string(pid_) + "/syscall");
    std::string number, fd;
    if (syscall >> number >> fd && number == std::to_string(SYS_read) && fd == "0x0")
      return true;
    std::this_thread::sleep_for(5ms);
  }
  return false;
}

bool Process::wait_for_output(const std::string& text, Duration limit) const {
  return wait_for_text(out_fd_, text, limit);
}

bool Process::wait_for_error(const std::string& text, Duration limit) const {
  return wait_for_text(err_fd_, text, limit);
}

Result Process::wait() {
  Result result;
  while (running()) {
    if (std::chrono::steady_clock::now() >= deadline_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, &wait_status_, 0);
      reaped_ = true;
      result.timed_out = true;
      break;
    }
    std::this_thread::sleep_for(2ms);
  }
  if (WIFEXITED(wait_status_) && !result.timed_out)
    result.status = WEXITSTATUS(wait_status_);
  if (WIFSIGNALED(wait_status_))
    result.signal = WTERMSIG(wait_status_);
  result.out = out();
  result.err = err();
  return result;
}

Result run(const std::string& name, const std::vector<std::string>& args, const Options& options) {
  return Process(name, args, options).wait();
}

}  // namespace ipcwalk
