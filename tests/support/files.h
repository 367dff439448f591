// What the tests make and read besides the programs: folders of their own, files read whole,
// and the trace file of the tour's timeline read as JSON.
#pragma once

#include <cstddef>
#include <filesystem>
#include <istream>
#include <map>
#include <string>
#include <variant>
#include <vector>

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

// A JSON value: just enough to check the structure of a trace file. A key an object lacks reads
// as null; asking a value for what it is not throws.
struct Json {
  std::variant<std::nullptr_t, bool, double, std::string, std::vector<Json>,
               std::map<std::string, Json>>
      value;

  const Json& operator[](const std::string& key) const;
  bool has(const std::string& key) const;
  double number() const;
  const std::string& text() const;
  const std::vector<Json>& items() const;
};

// Reads one JSON value (without \u escapes); throws std::runtime_error on anything else.
Json parse_json(std::istream& in);

}  // namespace ipcwalk
