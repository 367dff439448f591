// forkrelay: a parent and its forked child, each with its own three lines, one record between.
#include <gtest/gtest.h>
#include <signal.h>

#include <cerrno>
#include <thread>

#include "runner.h"

namespace ipcwalk {
namespace {

const std::string received_line = "Child:received\"Message from parent\xEF\xBC\x81\"\n";

std::string parent_lines(pid_t pid, int sent) {
  return "This is parent process, pid = " + std::to_string(pid) +
         "\nParent:sending message...\nParent:send " + std::to_string(sent) + " bytes to child.\n";
}

std::string child_lines_before_read(pid_t pid) {
  return "This is child process, pid = " + std::to_string(pid) + "\nChild:waiting for message...\n";
}

// Output into a file leaves each process's lines together, flushed when it ends, in either order.
struct Relay {
  Result result;
  std::string out;
  pid_t parent = 0, child = 0;
};

Relay relay(Options options = {}) {
  Process process("forkrelay", {}, options);
  Relay relay{process.wait()};
  process.wait_for_output("Child:received");  // the orphaned child may end after its parent
  relay.out = process.out();
  relay.parent = process.pid();
  const auto at = relay.out.find("This is child process, pid = ");
  if (at != std::string::npos)
    relay.child = std::stoi(relay.out.substr(at + 29));
  return relay;
}

TEST(Forkrelay, ParentSendsTheWholeRecordAndChildPrintsItsText) {
  Relay run = relay();
  ASSERT_EQ(run.result.status, 0) << run.result.err;
  EXPECT_EQ(run.result.err, "");
  EXPECT_NE(run.child, 0);
  EXPECT_NE(run.child, run.parent);
  const std::string parent = parent_lines(run.parent, 128);
  const std::string child = child_lines_before_read(run.child) + received_line;
  EXPECT_TRUE(run.out == parent + child || run.out == child + parent) << run.out;
}

TEST(Forkrelay, FailuresAreReportedWithTheirCause) {
  Result fork_failed = run("forkrelay", {}, {.faults = {{"fork", EAGAIN}}});
  EXPECT_EQ(fork_failed.out, "Fork error!\n");
  EXPECT_EQ(fork_failed.err, "");
  EXPECT_EQ(fork_failed.status, 255);

  Result pipe_failed = run("forkrelay", {}, {.faults = {{"pipe", EMFILE}}});
  EXPECT_EQ(pipe_failed.out, "");
  EXPECT_EQ(pipe_failed.err, "pipe: Too many open files\n");
  EXPECT_EQ(pipe_failed.status, 1);
}

TEST(Forkrelay, FailedWriteLeavesTheChildAnEmptyTextNotGarbage) {
  Relay run = relay({.faults = {{"write", EIO}}});
  EXPECT_EQ(run.result.status, 1);
  EXPECT_EQ(run.result.err, "write: Input/output error\n");
  const std::string parent = parent_lines(run.parent, -1);
  const std::string child = child_lines_before_read(run.child) + "Child:received\"\"\n";
  EXPECT_TRUE(run.out == parent + child || run.out == child + parent) << run.out;
}

TEST(Forkrelay, FailedReadIsReportedByTheChild) {
  Process process("forkrelay", {}, {.faults = {{"read", EIO}}});
  Result result = process.wait();
  // The parent's write finds the read end open (status 0), or already closed by the child that
  // gave up: then the broken-pipe signal ends the parent, as it does by default.
  EXPECT_TRUE(result.status == 0 || result.signal == SIGPIPE) << result.status;
  ASSERT_TRUE(process.wait_for_output("Child:waiting for message...\n"));
  for (int i = 0; i < 200 && process.err().empty(); ++i)
    std::this_thread::sleep_for(10ms);
  EXPECT_EQ(process.err(), "read: Input/output error\n");
  EXPECT_EQ(process.out().find("Child:received"), std::string::npos);
}

TEST(Forkrelay, EachProcessFailsWhenItsLinesAreLost) {
  const std::string full = "forkrelay: write error: No space left on device\n";
  const std::string closed = "forkrelay: write error: Bad file descriptor\n";
  // With standard input closed too, the pipe would take descriptors 0 and 1, and the parent's
  // lines would go into it and count as written.
  for (const auto& [options, line] :
       {std::pair{Options{.out = Stream::full}, full},
        std::pair{Options{.out = Stream::closed}, closed},
        std::pair{Options{.input_closed = true, .out = Stream::closed}, closed}}) {
    Process process("forkrelay", {}, options);
    Result result = process.wait();
    EXPECT_EQ(result.status, 1) << line;
    process.wait_for_error(line + line);  // the orphaned child may end after its parent
    EXPECT_EQ(process.err(), line + line);
  }
  // A status that already says failure stays.
  Result fork_failed = run("forkrelay", {}, {.out = Stream::full, .faults = {{"fork", EAGAIN}}});
  EXPECT_EQ(fork_failed.err, full);
  EXPECT_EQ(fork_failed.status, 255);
  // Output into a pipe that nobody reads ends the program by the default action of SIGPIPE.
  Result broken = run("forkrelay", {}, {.out = Stream::broken_pipe});
  EXPECT_EQ(broken.signal, SIGPIPE);
  EXPECT_EQ(broken.err, "");
}

}  // namespace
}  // namespace ipcwalk
