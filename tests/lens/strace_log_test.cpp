// lens's reader of strace's logs, on the samples recorded from the tour and on logs written by
// hand: every kind of line read as strace meant it, split calls joined, times bounded.
#include "records/strace_log.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include "lens/samples.h"

namespace ipcwalk {
namespace {

using lens::Micros;

TEST(TimelineLog, JoinsSplitCallsAndSkipsTheBytesDumpedUnderThem) {
  const auto log = lens::read_log(strace_logs / "1-pipe-forkrelay.strace");
  ASSERT_TRUE(log);
  EXPECT_EQ(log->main_pid, 6700);
  EXPECT_EQ(log->pids, (std::vector<int>{6700, 6701}));
  // "6700 1796746026.177362 write(4, "Message from parent..., 128 <unfinished ...>", then,
  // after a line of the child, "<... write resumed>) = 128 <0.000034>".
  const auto writes = log->calls_of(6700, "write");
  ASSERT_FALSE(writes.empty());
  EXPECT_EQ(writes[0].args.substr(0, 27), "4, \"Message from parent\\xef");
  EXPECT_EQ(writes[0].result, "128");
  EXPECT_EQ(writes[0].begin, Micros{1796746026177362});
  EXPECT_EQ(writes[0].end, Micros{1796746026177362 + 34});
  // The hex dumps of -e read=all and -e write=all are no calls of their own.
  for (const auto& call : log->calls)
    EXPECT_TRUE(call.pid == 6700 || call.pid == 6701) << call.name;
  EXPECT_EQ(log->ended(6701), Micros{1796746026177895});
  // exit_group never returns: it is no success, and ends where it began.
  const auto ends = log->calls_of(6701, "exit_group");
  ASSERT_EQ(ends.size(), 1U);
  EXPECT_FALSE(ends[0].succeeded());
  EXPECT_TRUE(
      std::is_sorted(log->calls.begin(), log->calls.end(),
                     [](const auto& one, const auto& other) { return one.begin < other.begin; }));
}

// A log of a few lines as parse_log reads it, each call summed up as "PID TEXT @BEGIN+LENGTH",
// BEGIN counted from the log's first line, then what else it has.
std::vector<std::string> calls_in(const std::string& text) {
  std::istringstream in(text);
  const lens::Log log = lens::parse_log(in);
  std::vector<std::string> found;
  for (const auto& call : log.calls) {
    std::string line = std::to_string(call.pid) + " " + call.text + " @" +
                       std::to_string(call.begin - log.first) + "+" +
                       std::to_string(call.end - call.begin);
    if (!call.returned)
      line += " never returned";
    if (!call.dump.empty())
      line += " dump " + std::to_string(call.dump.size());
    found.push_back(line);
  }
  return found;
}

struct LogCase {
  std::string what;
  std::string log;
  std::vector<std::string> calls;
};

TEST(LensLog, EachKindOfLineReadAsStraceMeantIt) {
  const std::vector<LogCase> cases = {
      {"a signal is no call; the padding before = stays",
       "10 100.000000 wait4(-1, NULL, 0, NULL) = 11 <0.000005>\n"
       "10 100.000010 --- SIGCHLD {si_signo=SIGCHLD, si_code=CLD_EXITED, si_pid=11} ---\n"
       "10 100.000020 close(3)        = 0 <0.000002>\n",
       {"10 wait4(-1, NULL, 0, NULL) = 11 @0+5", "10 close(3)        = 0 @20+2"}},
      {"exit_group never returns",
       "10 100.000000 exit_group(0)   = ?\n10 100.000050 +++ exited with 0 +++\n",
       {"10 exit_group(0)   = ? @0+0 never returned"}},
      {"two processes' split calls, interleaved, each with its dump under its return",
       "10 100.000000 read(3,  <unfinished ...>\n"
       "11 100.000010 write(4, \"ab\", 2 <unfinished ...>\n"
       "11 100.000020 <... write resumed>) = 2 <0.000010>\n"
       " | 00000  61 62                                             ab               |\n"
       "10 100.000030 <... read resumed>\"ab\", 2) = 2 <0.000030>\n"
       " | 00000  61 62                                             ab               |\n",
       {"10 read(3, \"ab\", 2) = 2 @0+30 dump 1", "11 write(4, \"ab\", 2) = 2 @10+10 dump 1"}},
      {"a return whose entry the log lacks is dropped, its dump too",
       "10 100.000000 getpid() = 10 <0.000001>\n"
       "11 100.000010 <... read resumed>\"x\", 1) = 1 <0.000010>\n"
       " | 00000  78                                                x                |\n",
       {"10 getpid() = 10 @0+1"}},
      {"a process killed inside a call",
       "10 100.000000 read(0,  <unfinished ...>\n10 100.000500 +++ killed by SIGKILL +++\n",
       {"10 read(0,  @0+500 never returned"}},
      {"one process killed inside a call while the other carries on with split calls",
       "10 100.000000 read(0,  <unfinished ...>\n"
       "11 100.000010 futex(0x1, FUTEX_WAIT, 0, NULL <unfinished ...>\n"
       "10 100.000500 +++ killed by SIGKILL +++\n"
       "11 100.000600 <... futex resumed>) = 0 <0.000590>\n"
       "11 100.000700 close(3) = 0 <0.000002>\n",
       {"10 read(0,  @0+500 never returned", "11 futex(0x1, FUTEX_WAIT, 0, NULL) = 0 @10+590",
        "11 close(3) = 0 @700+2"}},
      {"a duration over a day is none",
       "10 100.000000 nanosleep({tv_sec=1, tv_nsec=0}, NULL) = 0 <86400.000001>\n",
       {"10 nanosleep({tv_sec=1, tv_nsec=0}, NULL) = 0 @0+0"}},
      {"a time more than a day from the first line's is skipped",
       "10 200000.000000 getpid() = 10 <0.000001>\n"
       "10 4611686018427.999999 getppid() = 1 <0.000001>\n"
       "10 100000.000000 getuid() = 0 <0.000001>\n"
       "10 200000.000100 gettid() = 10 <0.000001>\n",
       {"10 getpid() = 10 @0+1", "10 gettid() = 10 @100+1"}},
      {"the largest time and duration a log can hold, and a time past it",
       "10 4611686018427.999999 read(0, \"\", 1) = 0 <4611686018427.999999>\n"
       "10 9223372036854.775807 getpid() = 10 <0.000001>\n",
       {"10 read(0, \"\", 1) = 0 @0+0"}},
  };
  for (const auto& one : cases)
    EXPECT_EQ(calls_in(one.log), one.calls) << one.what;
}

TEST(LensLog, IndexByPidAgreesWithTheCalls) {
  const auto log = lens::read_log(strace_logs / "2-threads-threetally.strace");
  ASSERT_TRUE(log);
  EXPECT_EQ(log->pids.size(), 17U);
  for (const int pid : log->pids) {
    std::size_t seen = 0;
    for (const std::size_t place : log->places_of(pid)) {
      EXPECT_EQ(log->calls[place].pid, pid);
      EXPECT_EQ(log->calls[place].begin, log->calls_of(pid)[seen++].begin);
    }
    EXPECT_EQ(seen, log->calls_of(pid).size());
    EXPECT_LE(log->appears(pid), log->ended(pid)) << pid;
  }
  EXPECT_TRUE(log->places_of(1).empty());
  EXPECT_FALSE(log->appears(1));
}

}  // namespace
}  // namespace ipcwalk
