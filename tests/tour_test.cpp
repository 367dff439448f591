// The guided tour, run as CI and a new user would: unattended, start to end, leaving nothing.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>

#include "runner.h"

namespace ipcwalk {
namespace {

const std::string tour = SOURCE_DIR "/tour";
const std::string bin = std::filesystem::path(program("forkrelay")).parent_path();

// The system's shared-memory segments and named semaphores, by identifier and name.
std::set<std::string> kernel_objects() {
  std::set<std::string> objects;
  std::ifstream segments("/proc/sysvipc/shm");
  std::string line;
  std::getline(segments, line);  // the column names
  while (std::getline(segments, line)) {
    std::istringstream words(line);
    std::string key, id;
    if (words >> key >> id)
      objects.insert("segment " + id);
  }
  for (const auto& entry : std::filesystem::directory_iterator("/dev/shm")) {
    const std::string name = entry.path().filename();
    if (name.starts_with("sem."))
      objects.insert(name);
  }
  return objects;
}

// Killed programs detach a moment after they die, so the table settles within a bound.
bool settles_to(const std::set<std::string>& expected) {
  for (int i = 0; i < 200 && kernel_objects() != expected; ++i)
    std::this_thread::sleep_for(10ms);
  return kernel_objects() == expected;
}

TEST(Tour, ShowsEverySubsystemAndLeavesTheSystemAsItFoundIt) {
  const std::set<std::string> before = kernel_objects();
  Result result = run(tour, {"--bin", bin}, {.timeout = 600s});
  EXPECT_EQ(result.status, 0) << result.err;
  for (const std::string line :
       {"Child:received\"Message from parent\xEF\xBC\x81\"\n", "\nTotal count= 33554432 \n",
        "\nThe string in SHM is :Hello shared memory!\n\n", " has semaphore,value=0\n",
        "Removed the shared-memory segment", "Removed the named semaphore"}) {
    EXPECT_NE(result.out.find(line), std::string::npos) << line << " not in:\n" << result.out;
  }
  EXPECT_TRUE(settles_to(before));
}

TEST(Tour, CleansUpWhenInterruptedAndExplainsItself) {
  const std::set<std::string> before = kernel_objects();
  Process process(tour, {"--bin", bin}, {.timeout = 600s});
  // Interrupted while segstamp holds the segment and the tour waits on it.
  ASSERT_TRUE(process.wait_for_output("$ segpeek", 300s)) << process.out();
  kill(process.pid(), SIGTERM);
  Result result = process.wait();
  EXPECT_NE(result.status, 0);
  EXPECT_NE(result.err.find("tour: interrupted"), std::string::npos) << result.err;
  EXPECT_NE(result.out.find("Removed the shared-memory segment"), std::string::npos);
  EXPECT_TRUE(settles_to(before));

  Result help = run(tour, {"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.out.rfind("Usage: ./tour", 0), 0u) << help.out;
  Result missing = run(tour, {"--bin", "/nonexistent"});
  EXPECT_EQ(missing.status, 1);
  EXPECT_EQ(missing.err, "\ntour: no program /nonexistent/forkrelay\n");
  Result wrong = run(tour, {"--colour"});
  EXPECT_EQ(wrong.status, 2);
  EXPECT_NE(wrong.err.find("unknown argument"), std::string::npos) << wrong.err;
}

}  // namespace
}  // namespace ipcwalk
