// The lens tool itself, run as the tour runs it: its commands, their output and statuses, its
// refusals of wrong usage, and the names of the record files it gives the tour and the scripts
// that record the tests' samples.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "files.h"
#include "runner.h"

namespace ipcwalk {
namespace {

const std::string lens_tool = LENS_TOOL;

// lens state and tracee as the tour asks them. Faults: a process reading a held pipe not a pause;
// a pid printed (or a word said) where there is no tracee; a wrong pid or an option taken.
TEST(LensTool, StateAndTraceeAsTheTourCallsThem) {
  Options held;
  held.hold_input = true;
  Process reader("/usr/bin/cat", {}, held);
  ASSERT_TRUE(reader.wait_until_reading_input());
  EXPECT_EQ(run(lens_tool, {"state", std::to_string(reader.pid())}).out, "paused\n");
  const Result none = run(lens_tool, {"tracee", std::to_string(getpid())});
  EXPECT_EQ(none.status, 1);
  EXPECT_EQ(none.out + none.err, "");
  for (const std::vector<std::string>& wrong : std::vector<std::vector<std::string>>{
           {"state"}, {"state", "-1"}, {"tracee", "x"}, {"--color", "state", "1"}}) {
    const Result refused = run(lens_tool, wrong);
    EXPECT_EQ(refused.status, 2) << testing::PrintToString(wrong);
    EXPECT_NE(refused.err.find("lens state PID"), std::string::npos);
  }
}

}  // namespace
}  // namespace ipcwalk
