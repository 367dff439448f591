// timeline: draws the strace logs of one `./tour --timeline` run as a page and a trace file.
//
//   timeline TRACEDIR OUTDIR
// reads the logs that the tour recorded in TRACEDIR (1-pipe-forkrelay.strace, ...) and writes
// OUTDIR/timeline.html (open it in any browser) and OUTDIR/timeline.json (open it in Perfetto,
// ui.perfetto.dev, or chrome://tracing). A step whose logs are missing gets a diagram that says
// so. Status 0 once both files are written; otherwise "timeline: ..." on standard error and 1.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "draw.h"

namespace {

// Writes text to path whole; false (and errno) where it could not.
bool write_file(const std::filesystem::path& path, const std::string& text) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  if (!file) {
    return false;
  }
  file << text;
  file.close();
  return !file.fail();
}

}  // namespace

int main(int argc, char* argv[]) {
  if (argc != 3) {
    std::fputs("timeline: usage: timeline TRACEDIR OUTDIR\n", stderr);
    return 1;
  }
  const std::filesystem::path traces = argv[1];
  const std::filesystem::path out = argv[2];
  std::error_code error;
  if (!std::filesystem::is_directory(traces, error)) {
    std::fprintf(stderr, "timeline: %s: not a folder of strace logs\n", argv[1]);
    return 1;
  }
  if (!std::filesystem::is_directory(out, error)) {
    std::fprintf(stderr, "timeline: %s: no such folder to write into\n", argv[2]);
    return 1;
  }
  const std::vector<timeline::Diagram> diagrams = timeline::diagrams(timeline::read_run(traces));
  for (const auto& [name, text] : {std::pair{"timeline.html", timeline::page_html(diagrams)},
                                   std::pair{"timeline.json", timeline::trace_json(diagrams)}}) {
    errno = 0;
    if (!write_file(out / name, text)) {
      std::fprintf(stderr, "timeline: cannot write %s: %s\n", (out / name).c_str(),
                   errno != 0 ? std::strerror(errno) : "write failed");
      return 1;
    }
  }
  return 0;
}
