// lens's layers, as its folders show them: reading the records, the facts of each mechanism,
// the model of a step, its drawing and its narration, each using only the layers below it.
// Fault: an include that runs back up a layer (a reader that knows the page, a drawing that
// narrates), or files that include each other in a circle.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace ipcwalk {
namespace {

namespace fs = std::filesystem;

const fs::path lens_dir = SOURCE_DIR "/lens";

// The layers from the bottom up; main.cpp, the command line, stands over them all.
const std::map<std::string, int> layers = {{"records", 1}, {"facts", 2},   {"model", 3},
                                           {"draw", 4},    {"narrate", 5}, {"", 6}};

// The layer of a file of lens, by its folder ("" for lens/ itself).
int layer_of(const fs::path& relative) {
  const std::string folder = relative.has_parent_path() ? relative.begin()->string() : "";
  const auto found = layers.find(folder);
  EXPECT_NE(found, layers.end()) << relative << " is in no layer's folder";
  return found == layers.end() ? 0 : found->second;
}

// The files of lens's own that a file includes ("model/step.h").
std::vector<std::string> includes_of(const fs::path& file) {
  std::ifstream in(file);
  std::vector<std::string> found;
  for (std::string line; std::getline(in, line);) {
    const std::string start = "#include \"";
    if (line.rfind(start, 0) == 0)
      found.push_back(line.substr(start.size(), line.find('"', start.size()) - start.size()));
  }
  return found;
}

TEST(LensLayers, NoIncludeRunsBackUpALayerAndThereIsNoCircle) {
  std::map<std::string, std::vector<std::string>> graph;
  for (const auto& entry : fs::recursive_directory_iterator(lens_dir)) {
    const fs::path path = entry.path();
    if (path.extension() != ".h" && path.extension() != ".cpp")
      continue;
    const fs::path relative = fs::relative(path, lens_dir);
    for (const std::string& included : includes_of(path)) {
      ASSERT_TRUE(fs::exists(lens_dir / included)) << relative << " includes " << included;
      EXPECT_LE(layer_of(included), layer_of(relative))
          << relative << " includes " << included << ", a layer above its own";
      graph[relative.string()].push_back(included);
    }
  }
  ASSERT_GT(graph.size(), 20U);  // lens's files were found
  // A circle: a file reached again while its own includes are being followed.
  std::map<std::string, int> state;  // 1 being followed, 2 done
  std::vector<std::string> circles;
  const auto follow = [&](const auto& self, const std::string& file) -> void {
    state[file] = 1;
    for (const std::string& next : graph[file]) {
      if (state[next] == 1)
        circles.push_back(file + " -> " + next);
      else if (state[next] == 0)
        self(self, next);
    }
    state[file] = 2;
  };
  for (const auto& [file, included] : graph)
    if (state[file] == 0)
      follow(follow, file);
  EXPECT_EQ(circles, std::vector<std::string>{});
}

}  // namespace
}  // namespace ipcwalk
