// The fixture's own end, on stand-in tours that leave their objects behind: without it, a tour
// test would pass while a segment or semaphore of the tour's stays on the machine.
#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <iomanip>
#include <optional>
#include <random>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "tour/support.h"

namespace ipcwalk {
namespace {

namespace fs = std::filesystem;

// A fixture of its own, ended by the test, with failures caught rather than counted.
class Probe : public Tour {
 public:
  using Tour::run_kept;
  using Tour::set_env;
  using Tour::start;
  using Tour::TearDown;

 private:
  void TestBody() override {}
};

// A semaphore name as the tour draws one, random.
std::string tour_name() {
  std::random_device random;
  std::uniform_int_distribution<std::uint64_t> draw;
  const std::uint64_t bits = draw(random);
  std::ostringstream name;
  name << "/ipcwalk-tour-" << std::hex << std::setfill('0') << std::setw(2 * sizeof bits) << bits;
  return name.str();
}

// A segment and a semaphore that a run printed, a segment of a tour that the test left running,
// and a semaphore given to the tour by name and never printed: each is reported and removed at
// the end, and the environment is as it was.
TEST_F(Tour, ItsEndReportsAndRemovesWhatEveryRunLeft) {
  const std::string printed = tour_name(), given = tour_name();
  const auto env = [](const char* name) {
    const char* value = std::getenv(name);
    return value ? std::optional<std::string>(value) : std::nullopt;
  };
  const auto old_path = env("PATH"), old_name = env("IPCWALK_TOUR_SEMAPHORE");
  ::testing::TestPartResultArray failures;
  std::string outputs;
  {
    Probe probe;
    probe.set_env("PATH", old_path.value_or("") + ":/nonexistent");
    probe.set_env("PATH", "/nonexistent:" + old_path.value_or(""));
    probe.set_env("IPCWALK_TOUR_SEMAPHORE", given);
    outputs += probe
                   .run_kept("/bin/sh", {"-c", bin + "/segmake && " + bin + "/gatenew " + printed +
                                                   " && echo '$ gatenew " + printed + "'"})
                   .out;
    outputs += probe.run_kept(bin + "/gatenew", {given}).out;
    Process& running = probe.start("/bin/sh", {"-c", bin + "/segmake && exec sleep 60"});
    const bool made = running.wait_for_output("Successfully created segment : ");
    outputs += running.out();
    EXPECT_TRUE(made) << running.out();
    EXPECT_TRUE(fs::exists("/dev/shm/sem." + given.substr(1)));
    ::testing::ScopedFakeTestPartResultReporter catching(
        ::testing::ScopedFakeTestPartResultReporter::INTERCEPT_ONLY_CURRENT_THREAD, &failures);
    probe.TearDown();
  }
  // All removed: nothing left to remove after it (and nothing left, should it fail).
  EXPECT_EQ(left_behind(outputs, {printed.substr(1), given.substr(1)}), std::vector<std::string>{});
  std::string reported;
  for (int i = 0; i < failures.size(); ++i)
    reported += failures.GetTestPartResult(i).message() + std::string("\n");
  const auto segments = all_matches(outputs, std::regex("created segment : (\\d+) "));
  ASSERT_EQ(segments.size(), 2u) << outputs;
  for (const auto& segment : segments)
    EXPECT_NE(reported.find("\"segment " + segment[1].str() + "\""), std::string::npos) << reported;
  for (const std::string& name : {printed, given})
    EXPECT_NE(reported.find("\"semaphore " + name + "\""), std::string::npos) << reported;
  EXPECT_NE(reported.find("still running"), std::string::npos) << reported;
  EXPECT_EQ(env("PATH"), old_path);
  EXPECT_EQ(env("IPCWALK_TOUR_SEMAPHORE"), old_name);
}

}  // namespace
}  // namespace ipcwalk
