#include "files.h"

#include <stdlib.h>

#include <fstream>
#include <iterator>
#include <stdexcept>
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

const Json& Json::operator[](const std::string& key) const {
  static const Json none;
  const auto& object = std::get<std::map<std::string, Json>>(value);
  const auto found = object.find(key);
  return found == object.end() ? none : found->second;
}

bool Json::has(const std::string& key) const {
  return !std::holds_alternative<std::nullptr_t>((*this)[key].value);
}

double Json::number() const {
  return std::get<double>(value);
}

const std::string& Json::text() const {
  return std::get<std::string>(value);
}

const std::vector<Json>& Json::items() const {
  return std::get<std::vector<Json>>(value);
}

Json parse_json(std::istream& in) {
  in >> std::ws;
  const int c = in.get();
  if (c == '{' || c == '[') {
    std::map<std::string, Json> object;
    std::vector<Json> array;
    const char close = c == '{' ? '}' : ']';
    while ((in >> std::ws).peek() != close) {
      if (c == '{') {
        std::string key = parse_json(in).text();
        if ((in >> std::ws).get() != ':')
          throw std::runtime_error("no colon after " + key);
        object[key] = parse_json(in);
      } else {
        array.push_back(parse_json(in));
      }
      if ((in >> std::ws).peek() == ',')
        in.get();
    }
    in.get();
    return c == '{' ? Json{object} : Json{array};
  }
  if (c == '"') {
    std::string text;
    for (int next = in.get(); next != '"'; next = in.get()) {
      if (next == EOF || (next == '\\' && (next = in.get()) == 'u'))
        throw std::runtime_error("unexpected escape or end in a string");
      text += static_cast<char>(next);
    }
    return Json{text};
  }
  in.unget();
  double number = 0;
  if (!(in >> number))
    throw std::runtime_error("not JSON");
  return Json{number};
}

}  // namespace ipcwalk
