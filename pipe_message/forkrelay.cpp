// forkrelay: a parent process hands one message to the child it forks, through a pipe.
//
// Run it in one terminal, with no arguments:   ./forkrelay
// Both processes announce themselves with their process identifier. The parent writes a
// 128-byte record into the pipe; the child, blocked in its read until the record arrives, prints
// the text the record holds. The two processes print in no fixed order, except that the child's
// "received" line always comes after the parent has written. Each process ends with a failure
// when its lines could not be written out.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

// For the write-error message. The fixed name, not argv[0]: messages read the same however the
// program was started, also when argv[0] is empty or missing.
constexpr char program_name[] = "forkrelay";

// The record always travels whole: 128 bytes, whatever the length of the text in it.
constexpr int record_size = 128;
// "Message from parent" and U+FF01 FULLWIDTH EXCLAMATION MARK as its three UTF-8 bytes: 22 bytes
// of text and the terminator.
constexpr char message[] = "Message from parent\xEF\xBC\x81";
static_assert(sizeof message == 23);

int main() {
  // A closed standard stream (`>&-`) would lend its number to the pipe: with 0 and 1 closed, the
  // write end would become descriptor 1, and the parent's lines would go into the pipe instead
  // of failing. /dev/null opened for reading holds each closed one: reads give end of input,
  // and writes fail with EBADF, as they do on a closed stream.
  for (int standard_fd = STDIN_FILENO; standard_fd <= STDERR_FILENO; standard_fd++) {
    if (fcntl(standard_fd, F_GETFD) < 0 && open("/dev/null", O_RDONLY) != standard_fd) {
      std::perror("/dev/null");
      return 1;
    }
  }

  // fd[0] is the read end, fd[1] the write end. Without a pipe there is nothing to show.
  int fd[2];
  if (pipe(fd) < 0) {
    std::perror("pipe");
    return 1;
  }

  // Nothing has been printed yet, so the child inherits no buffered output.
  const pid_t pid = fork();
  int status = 0;
  if (pid < 0) {
    std::puts("Fork error!");
    status = -1;
  } else if (pid == 0) {
    // The child only reads: it closes its copy of the write end, so that its read ends with
    // end-of-file, rather than waiting for ever, if the parent dies before writing.
    std::printf("This is child process, pid = %d\n", getpid());
    std::puts("Child:waiting for message...");
    close(fd[1]);

    char record[record_size] = {};
    const ssize_t received = read(fd[0], record, record_size);
    if (received < 0) {
      std::perror("read");
      status = 1;
    } else {
      // The text ends at its terminator, or at the last byte that arrived, whichever comes first.
      std::printf("Child:received\"%.*s\"\n", static_cast<int>(received), record);
    }
  } else {
    // The parent only writes, so it closes its copy of the read end.
    std::printf("This is parent process, pid = %d\n", getpid());
    std::puts("Parent:sending message...");
    close(fd[0]);

    // Bytes past the text are not part of the message; they are sent as zeros.
    char record[record_size] = {};
    std::memcpy(record, message, sizeof message);
    const ssize_t sent = write(fd[1], record, record_size);
    const int write_error = errno;
    std::printf("Parent:send %d bytes to child.\n", static_cast<int>(sent));
    if (sent < 0) {
      errno = write_error;
      std::perror("write");
      status = 1;
    }
  }

  // Each process, at its end: what it printed must have reached standard output (into a file or
  // a pipe the lines go out only now). A full disk or a closed stream is a failure, not a
  // success; a status that already says failure stays as it is.
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    std::fprintf(stderr, "%s: write error: %s\n", program_name, std::strerror(errno));
    if (status == 0) {
      status = 1;
    }
  }
  return status;
}
