// forkrelay: a parent process hands one message to the child it forks, through a pipe.
//
// Run it in one terminal, with no arguments:   ./forkrelay
// Both processes announce themselves with their process identifier. The parent writes a
// 128-byte record into the pipe; the child, blocked in its read until the record arrives, prints
// the text the record holds. The two processes print in no fixed order, except that the child's
// "received" line always comes after the parent has written.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

// The record always travels whole: 128 bytes, whatever the length of the text in it.
constexpr int record_size = 128;
// "Message from parent" and U+FF01 FULLWIDTH EXCLAMATION MARK as its three UTF-8 bytes: 22 bytes
// of text and the terminator.
constexpr char message[] = "Message from parent\xEF\xBC\x81";
static_assert(sizeof message == 23);

int main() {
  // fd[0] is the read end, fd[1] the write end. Without a pipe there is nothing to show.
  int fd[2];
  if (pipe(fd) < 0) {
    std::perror("pipe");
    return 1;
  }

  // Nothing has been printed yet, so the child inherits no buffered output.
  const pid_t pid = fork();
  if (pid < 0) {
    std::puts("Fork error!");
    return -1;
  }

  if (pid == 0) {
    // The child only reads: it closes its copy of the write end, so that its read ends with
    // end-of-file, rather than waiting for ever, if the parent dies before writing.
    std::printf("This is child process, pid = %d\n", getpid());
    std::puts("Child:waiting for message...");
    close(fd[1]);

    char record[record_size] = {};
    const ssize_t received = read(fd[0], record, record_size);
    if (received < 0) {
      std::perror("read");
      return 1;
    }
    // The text ends at its terminator, or at the last byte that arrived, whichever comes first.
    std::printf("Child:received\"%.*s\"\n", static_cast<int>(received), record);
    return 0;
  }

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
    return 1;
  }
  return 0;
}
