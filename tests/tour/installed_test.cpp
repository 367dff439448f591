// The tour as the install step lays it out, ipcwalk-tour beside the programs: the copy that the
// package installs under /usr, here installed by `cmake --install` under a prefix of the test's
// own, which the install step writes into the copy as it writes /usr into the package's.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "tour/support.h"

namespace ipcwalk {
namespace {

namespace fs = std::filesystem;

// Every path under `folder`.
std::set<std::string> listing(const fs::path& folder) {
  std::set<std::string> paths;
  for (const auto& entry : fs::recursive_directory_iterator(folder))
    paths.insert(entry.path());
  return paths;
}

// Installed, the tour runs the programs, lens and the lessons installed with it, from any folder:
// a copy whose folders the install step did not write would look for its library or build/
// beside itself, or run another install's programs. It builds nothing and writes nothing but its
// temporary folder, and its texts name it as it is run (ipcwalk-tour) and its installed guide.
TEST_F(Tour, InstalledUnderAPrefixRunsWhatIsInstalledThereAndBuildsNothing) {
  TempDir prefix("installed"), elsewhere("elsewhere"), temporary("tour-tmp");
  const Result install =
      run("/usr/bin/env",
          {"cmake", "--install", fs::path(bin).parent_path(), "--prefix", prefix.path()},
          {.timeout = 120s});
  ASSERT_EQ(install.status, 0) << install.out << install.err;
  const std::string installed = prefix / "bin/ipcwalk-tour";
  ASSERT_TRUE(fs::exists(prefix / "libexec/ipcwalk/lens")) << install.out;
  const std::set<std::string> before = listing(prefix.path());

  Result help = run_kept(installed, {"--help"});
  EXPECT_EQ(
      help.out.rfind("Usage: ipcwalk-tour [--step] [--only NAME] [--lessons] [--timeline DIR]", 0),
      0u)
      << help.out;
  EXPECT_NE(help.out.find("It runs the installed programs and builds nothing (man ipcwalk-tour)."),
            std::string::npos)
      << help.out;
  Result wrong = run_kept(installed, {"--colour"});
  EXPECT_EQ(wrong.status, 2);
  EXPECT_EQ(wrong.err, "ipcwalk-tour: unknown argument '--colour' (see ipcwalk-tour --help)\n");

  // From a folder of its own, with its lessons.
  set_env("TMPDIR", temporary.path().string());
  set_env("NO_COLOR", "1");
  Result result =
      run_kept("/bin/sh", {"-c", "cd \"$0\" && exec \"$1\" --lessons", elsewhere.path(), installed},
               {.timeout = 280s});
  ASSERT_EQ(result.status, 0) << result.err << result.out;
  for (const std::string& expected : std::vector<std::string>{
           "Removed the shared-memory segment", "==== Lesson: gaterace",
           "Run them by hand in two terminals: see the guide in " + prefix / "share/doc/ipcwalk" +
               " and ipcwalk(7) (man ipcwalk)."}) {
    EXPECT_NE(said(result.out, expected), std::string::npos) << expected << " not in:\n"
                                                             << result.out;
  }
  EXPECT_EQ(result.out.find("./tour"), std::string::npos) << result.out;
  EXPECT_EQ(listing(prefix.path()), before) << "the tour wrote into its installed folders";
  EXPECT_TRUE(fs::is_empty(elsewhere.path()));
  EXPECT_TRUE(fs::is_empty(temporary.path()));

  // Ended with q at its first pause: it says how to start it again, by its installed name.
  Process& stepping = start("/usr/bin/env", {"script", "-qec", installed + " --step", "/dev/null"},
                            {.hold_input = true, .timeout = 100s});
  ASSERT_TRUE(stepping.wait_for_output(prompt, 60s)) << stepping.out();
  stepping.send("q\n");
  const Result ended = finish(stepping, 60s);
  EXPECT_EQ(ended.status, 0) << ended.out;
  EXPECT_NE(said(ended.out, "You ended the tour here. ipcwalk-tour --step starts it again."),
            std::string::npos)
      << ended.out;
}

}  // namespace
}  // namespace ipcwalk
