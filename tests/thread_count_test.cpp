// threetally: sixteen workers, one shared total, and what happens when the program cannot get
// its threads or its table.
#include <gtest/gtest.h>

#include <cerrno>

#include "runner.h"

namespace ipcwalk {
namespace {

TEST(Threetally, PrintsTheTotalOfAllSixteenSlices) {
  // Under ThreadSanitizer a data race on the total would end the run with a report.
  Result result = run("threetally", {}, {.timeout = 240s});
  EXPECT_EQ(result.out, "Total count= 33554432 \n");
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(result.status, 0);
}

TEST(Threetally, FailedThreadCreationPrintsOnlyTheErrorLine) {
  for (int failing_call : {1, 9, 16}) {
    Result result = run("threetally", {},
                        {.timeout = 240s, .faults = {{"pthread_create", EAGAIN, failing_call}}});
    EXPECT_EQ(result.out, "create thread error!\n") << "creation " << failing_call;
    EXPECT_EQ(result.status, 1) << "creation " << failing_call;
  }
}

TEST(Threetally, ALostLineIsAFailure) {
  Result full = run("threetally", {}, {.out = Stream::full, .timeout = 240s});
  EXPECT_EQ(full.err, "threetally: write error: No space left on device\n");
  EXPECT_EQ(full.status, 1);
  Result closed =
      run("threetally", {},
          {.out = Stream::closed, .timeout = 240s, .faults = {{"pthread_create", EAGAIN, 3}}});
  EXPECT_EQ(closed.err, "threetally: write error: Bad file descriptor\n");
  EXPECT_EQ(closed.status, 1);
}

TEST(Threetally, FailedAllocationOfTheTableIsReportedNotACrash) {
  Result result = run("threetally", {}, {.faults = {{"malloc", ENOMEM, 0, 1 << 28}}});
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, "malloc: Cannot allocate memory\n");
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.signal, 0);
}

}  // namespace
}  // namespace ipcwalk
