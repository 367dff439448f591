// What the tests make and read besides the programs: folders of their own, files read whole,
// and JSON (the trace file of the tour's timeline).
#pragma once

#include <cstddef>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>

namespace ipcwalk {

// A folder of the test's own, with a name nobody else has, removed with everything in it at the
// end of the scope, pass or fail.
class TempDir {
 public:
  explicit TempDir(const std::string& what);
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const {
    return path_;
  }
  std::string operator/(const std::string& name) const {
    return path_ / name;
  }

 private:
  std::filesystem::path path_;
};

// A file's bytes, or "" where there is no such file.
std::string read_file(const std::filesystem::path& path);

// How often `part` occurs in `text`, overlaps included.
std::size_t count(const std::string& text, const std::string& part);

// JSON as nlohmann-json reads it: Json::parse() takes every escape JSON has (\u00XX too) and
// throws on anything that is not JSON.
using Json = nlohmann::json;

}  // namespace ipcwalk
