#include "files.h"

#include <stdlib.h>

#include <fstream>
#include <iterator>
#include <system_error>

namespace ipcwalk {

namespace fs = std::filesystem;

TempDir::TempDir(const std::string& what) {
  std::string name = (fs::temp_directory_path() / ("ipcwalk-" + what + "-XXXXXX")).string();
  if (mkdtemp(name.data()) == nullptr)
    throw std::system_error(errno, std::generic_category(), "mkdtemp " + name);
  path_ = name;
}

TempDir::~TempDir() {
  std::error_code ignored;
  fs::remove_all(path_, ignored);
}

std::string read_file(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(file), {}};
}

std::size_t count(const std::string& text, const std::string& part) {
  std::size_t found = 0;
  for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
    ++found;
  return found;
}

}  // namespace ipcwalk
