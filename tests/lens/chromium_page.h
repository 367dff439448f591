// The page in a real browser: headless Chromium, where it is installed, shows it, and a script
// added to a copy of it measures the boxes of every text and mark as drawn.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "files.h"
#include "runner.h"

namespace ipcwalk {

// Chromium, where it is installed: found on PATH as Debian installs it; "" where it is not.
std::string chromium();

// Headless Chromium with a new empty profile of its own, as root too, each run bounded in time.
class Browser {
 public:
  explicit Browser(std::string path) : path_(std::move(path)), profile_("chromium-profile") {}

  // Chromium's output on the page (a file), with the given flags (--dump-dom, --screenshot=...).
  Result show(const std::filesystem::path& page, const std::vector<std::string>& flags) const;

 private:
  std::string path_;
  TempDir profile_;
};

// What the page's texts and marks do as drawn, each fault a line: two texts whose boxes overlap;
// a text over a mark or span (or an arrow or a step line, point by point) that it does not name;
// a text outside its figure or its panel; a CPU's text running out of its bar. With how many of
// each it looked at, so that a check of nothing does not pass.
struct LabelCheck {
  std::vector<std::string> faults;
  int figures = 0;
  int texts = 0;
  int labels = 0;  // texts that name something
  int marks = 0;
};

LabelCheck check_labels(const Browser& browser, const std::string& page);

}  // namespace ipcwalk
