// lens: the tour's reader of its records (strace's logs, perf's events, the schedstat that its
// watcher writes) and of its programs' output.
//
//   lens [STYLE] view pipe LOG        the pipe step's kernel view, from forkrelay's log
//   lens [STYLE] view threads LOG     the threads step's kernel view, from threetally's log
//   lens show [FILE]                  FILE (or standard input: none, or "-") with its control
//                                     characters made visible
//   lens timeline [--only STEP] TRACEDIR OUTDIR
//                                     the logs of one `./tour --timeline` run drawn as a page and
//                                     a trace file; with --only, of step STEP alone (its word:
//                                     pipe, threads, segment or semaphore) and its lesson
//   lens [STYLE] view segment ID [STAMP_PID PEEK_PID]
//   lens [STYLE] view taker PID SEMAPHORE_FILE
//   lens [STYLE] view semaphore SEMAPHORE_FILE
//                                     what the kernel holds during steps 3 and 4, read live from
//                                     /proc and /dev/shm
//   lens state PID                    what process PID is doing, one word: ended (no such
//                                     process, or a zombie), paused (asleep reading its standard
//                                     input, a pipe), waiting (asleep in a futex wait) or running
//                                     (anything else)
//   lens [STYLE] lesson ask NAME      the question put before lesson NAME runs (tallyrace,
//                                     relaykeep, segtear or gaterace)
//   lens [STYLE] lesson tell NAME OUTPUT...
//                                     what the lesson's runs measured and why, from their outputs
//                                     in the tour's order (two runs; segtear one); status 1 and
//                                     one line saying what is wrong where an output is not a
//                                     whole run of the lesson, or not a regular file of at most
//                                     64 KiB (a FIFO is refused at once, never waited on)
//   lens tracee PID                   the pid of the child of strace process PID (or of lens
//                                     watch) that it traces and that has become the program;
//                                     status 1 and no output where there is none yet
//   lens watch FILE -- PROGRAM ARGS...
//                                     runs PROGRAM traced, following what it forks and clones,
//                                     and writes into FILE each task's schedstat read at its end;
//                                     the program's status (128 + N where signal N ended it), or
//                                     1 and why where it could not watch or write FILE
//   lens names                        the names of the files a tour records, a line each: "step
//                                     WORD PREFIX NAME LESSON" (the name's blanks as
//                                     underscores), then "run WORD RUN FILE" for each of its runs
//
// view prints what the tour shows under "-- what the kernel saw --" (or "holds"). STYLE, for the
// commands that narrate (view and lesson), is --color, --width N or both, in either order:
// --color writes the narration lines in cyan; --width N wraps them at blanks to N columns, their
// "## " included (0, or no --width: not wrapped), so that they fit the reader's terminal. The
// lines quoted as they were read (strace's calls, /proc's rows, od's words) and the commands
// shown are never wrapped. show passes tab, newline and valid UTF-8 through, and shows every
// other control character and every stray byte as \xNN, so that no bytes of whoever wrote them
// can work the reader's terminal. timeline reads the logs that the tour recorded in TRACEDIR
// (1-pipe-forkrelay.strace, ...) and writes OUTDIR/timeline.html (open it in any browser) and
// OUTDIR/timeline.json (open it in Perfetto, ui.perfetto.dev, or chrome://tracing); each file is
// written whole under a new name and renamed into place, and never through a link or into a FIFO
// or device planted in its place. A step whose logs are missing gets a diagram that says so; the
// lessons recorded with `./tour --lessons` (lesson-relaykeep-1.strace, lesson-gaterace-1.strace)
// follow the steps, and a lesson not recorded gets none; where perf recorded the scheduler
// (N-WORD-PROGRAM.perf) each step gets its CPU view, and otherwise, where the watcher recorded
// (N-WORD-PROGRAM.schedstat), a table of each task's time on a CPU and waiting for one; gaterace's
// diagrams state the counts of overlapping sections that its output beside the log
// (lesson-gaterace-1.out) gives, read as `lesson tell` reads it.
//
// state and tracee read /proc: the tour waits with them for its programs' pauses and waits.
//
// Status 0 on success; 2 and a usage text on standard error for wrong usage; otherwise
// "lens: ..." on standard error and 1, a failed write on standard output included.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "draw/draw.h"
#include "model/mechanisms.h"
#include "narrate/holds.h"
#include "narrate/kernel_views.h"
#include "narrate/lessons.h"
#include "narrate/narrator.h"
#include "narrate/visible.h"
#include "records/outputs.h"
#include "records/proc.h"
#include "records/record_files.h"
#include "records/watch.h"
#include "records/write.h"

namespace {

namespace fs = std::filesystem;

constexpr std::string_view usage_text =
    "usage: lens [STYLE] view pipe LOG\n"
    "       lens [STYLE] view threads LOG\n"
    "       lens [STYLE] view segment ID [STAMP_PID PEEK_PID]\n"
    "       lens [STYLE] view taker PID SEMAPHORE_FILE\n"
    "       lens [STYLE] view semaphore SEMAPHORE_FILE\n"
    "       lens show [FILE]\n"
    "       lens timeline [--only STEP] TRACEDIR OUTDIR\n"
    "       lens state PID\n"
    "       lens tracee PID\n"
    "       lens [STYLE] lesson ask NAME\n"
    "       lens [STYLE] lesson tell NAME OUTPUT...\n"
    "       lens watch FILE -- PROGRAM ARGS...\n"
    "       lens names\n"
    "STYLE: --color and/or --width N (N columns, 0 for no wrapping)\n";
constexpr int usage_status = 2;
constexpr std::size_t piece = 65536;  // how much `show` reads at a time

int usage() {
  std::fwrite(usage_text.data(), 1, usage_text.size(), stderr);
  return usage_status;
}

// What failed, made visible: it may name a file or quote what was read.
int fail(const std::string& what) {
  const std::string shown = "lens: " + lens::visible(what) + "\n";
  std::fwrite(shown.data(), 1, shown.size(), stderr);
  return EXIT_FAILURE;
}

int print(std::string_view text) {
  if (!lens::write_whole(STDOUT_FILENO, text)) {
    return fail(std::string("write error: ") + std::strerror(errno));
  }
  return EXIT_SUCCESS;
}

int view(std::string_view step, const char* path, lens::Narrator& narrator) {
  if (step != "pipe" && step != "threads") {
    return usage();
  }
  std::ifstream file(path);
  if (!file) {
    return fail(std::string(path) + ": cannot read: " + std::strerror(errno));
  }
  errno = 0;
  const lens::Log log = lens::parse_log(file);
  if (file.bad()) {
    return fail(std::string(path) + ": cannot read: " + std::strerror(errno != 0 ? errno : EIO));
  }
  if (step == "pipe") {
    lens::pipe_view(log, narrator);
  } else {
    lens::threads_view(log, narrator);
  }
  return print(narrator.take());
}

// Copies descriptor fd to standard output as it arrives, its control characters made visible.
int show(int fd, const std::string& name) {
  std::vector<char> buffer(piece);
  lens::Visible shown;
  std::string out;
  for (;;) {
    const ssize_t got = ::read(fd, buffer.data(), buffer.size());
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got < 0) {
      return fail(name + ": " + std::strerror(errno));
    }
    out.clear();
    if (got == 0) {
      shown.finish(out);
    } else {
      shown.feed(std::string_view(buffer.data(), static_cast<std::size_t>(got)), out);
    }
    if (print(out) != EXIT_SUCCESS) {
      return EXIT_FAILURE;
    }
    if (got == 0) {
      return EXIT_SUCCESS;
    }
  }
}

int show(const char* path) {
  if (path == nullptr || std::string_view(path) == "-") {
    return show(STDIN_FILENO, "standard input");
  }
  const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    return fail(std::string(path) + ": " + std::strerror(errno));
  }
  const int status = show(fd, path);
  ::close(fd);
  return status;
}

// The mode of a file made by a shell's redirection: 0644 less the umask.
mode_t file_mode() {
  const mode_t mask = ::umask(0);
  ::umask(mask);
  return static_cast<mode_t>(S_IRUSR | S_IWUSR | S_IRGRP | S_IROTH) & ~mask;
}

// Writes text into a new file beside target, made for it alone; its name, or nothing (and errno).
std::optional<std::string> write_new(const fs::path& target, const std::string& text) {
  std::string hidden = ".";
  hidden += target.filename().string();
  hidden += ".XXXXXX";
  std::string made = (target.parent_path() / hidden).string();
  const int fd = ::mkostemp(made.data(), O_CLOEXEC);  // O_CREAT | O_EXCL: never an existing file
  if (fd < 0) {
    return std::nullopt;
  }
  bool written = lens::write_whole(fd, text) && ::fchmod(fd, file_mode()) == 0;
  int error = errno;
  if (::close(fd) != 0 && written) {
    written = false;
    error = errno;
  }
  if (!written) {
    ::unlink(made.c_str());
    errno = error;
    return std::nullopt;
  }
  return made;
}

// Puts text in the file at path, replacing a regular file but nothing else; "" or what failed.
std::string put(const fs::path& path, const std::string& text) {
  const std::string target = path.string();
  const auto made = write_new(path, text);
  if (!made) {
    return "cannot write " + target + ": " + std::strerror(errno);
  }
  struct stat found {};
  if (::lstat(target.c_str(), &found) == 0 && !S_ISREG(found.st_mode)) {
    ::unlink(made->c_str());
    return target + " is not a regular file (a link, a FIFO or a device): not written over";
  }
  // rename replaces a link that appeared since, never what it points to.
  if (::rename(made->c_str(), target.c_str()) != 0) {
    const int error = errno;
    ::unlink(made->c_str());
    return "cannot write " + target + ": " + std::strerror(error);
  }
  return "";
}

// The folders of `lens timeline`, and the one step it draws where it is given one.
struct Folders {
  std::string traces;
  std::string out;
  std::optional<lens::Mechanism> only;
};

int timeline(const Folders& folders) {
  const std::string& traces = folders.traces;
  const std::string& out = folders.out;
  std::error_code error;
  if (traces.empty() || !fs::is_directory(traces, error)) {
    return fail(traces + ": not a folder of strace logs");
  }
  if (out.empty() || !fs::is_directory(out, error)) {
    return fail(out + ": no such folder to write into");
  }
  std::vector<lens::Figure> figures = lens::figures(lens::read_tour_records(traces));
  if (folders.only) {
    // The tour ran that step alone (and its lesson): no other step's "not recorded".
    std::erase_if(figures, [&folders](const lens::Figure& figure) {
      return figure.mechanism != *folders.only;
    });
  }
  for (const auto& [name, text] : {std::pair{"timeline.html", lens::page_html(figures)},
                                   std::pair{"timeline.json", lens::trace_json(figures)}}) {
    if (const std::string failed = put(fs::path(out) / name, text); !failed.empty()) {
      return fail(failed);
    }
  }
  return EXIT_SUCCESS;
}

// "timeline [--only STEP] TRACEDIR OUTDIR".
int timeline(const std::vector<std::string_view>& words) {
  if (words.size() == 2) {
    return timeline(Folders{std::string(words[0]), std::string(words[1]), std::nullopt});
  }
  if (words.size() != 4 || words[0] != "--only") {
    return usage();
  }
  for (const lens::MechanismRow& row : lens::mechanisms()) {
    if (row.names->word == words[1]) {
      return timeline(Folders{std::string(words[2]), std::string(words[3]), row.mechanism});
    }
  }
  return usage();
}

// A whole decimal number, as a segment identifier or a pid is written; nothing for anything else.
std::optional<int> whole_number(std::string_view text) {
  int value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc{} || end != text.data() + text.size() || value < 0) {
    return std::nullopt;
  }
  return value;
}

// What the kernel holds, read live from /proc and /dev/shm: "segment ID [STAMP PEEK]",
// "taker PID FILE" or "semaphore FILE".
int held_view(const std::vector<std::string_view>& words, lens::Narrator& narrator) {
  std::vector<int> numbers;
  for (std::size_t index = 1; index < words.size(); ++index) {
    if (const auto number = whole_number(words[index])) {
      numbers.push_back(*number);
    }
  }
  const std::string_view what = words.front();
  if (what == "semaphore" && words.size() == 2) {
    lens::semaphore_view(std::string(words[1]), narrator);
    return print(narrator.take());
  }
  if (what == "taker" && words.size() == 3 && whole_number(words[1])) {
    lens::taker_view(numbers.front(), std::string(words[2]), narrator);
    return print(narrator.take());
  }
  if (what == "segment" && (words.size() == 2 || words.size() == 4) &&
      numbers.size() == words.size() - 1) {
    lens::segment_view(numbers.front(), {numbers.begin() + 1, numbers.end()}, narrator);
    return print(narrator.take());
  }
  return usage();
}

// "ask NAME" or "tell NAME OUTPUT...": a lesson's question, or what its runs' outputs measured.
int lesson(const std::vector<std::string_view>& words, lens::Narrator& narrator) {
  const std::string_view name = words.size() >= 2 ? words[1] : std::string_view();
  const auto runs = lens::lesson_runs(name);
  if (runs && words.size() == 2 && words.front() == "ask") {
    lens::lesson_ask(name, narrator);
    return print(narrator.take());
  }
  if (!runs || words.size() != 2 + *runs || words.front() != "tell") {
    return usage();
  }
  std::vector<std::string> outputs;
  for (std::size_t index = 2; index < words.size(); ++index) {
    const std::string path(words[index]);
    lens::Output output = lens::read_output(path);
    if (!output.text) {
      return fail(path + ": " + output.problem);
    }
    outputs.push_back(std::move(*output.text));
  }
  const std::string problem = lens::lesson_tell(name, outputs, narrator);
  return problem.empty() ? print(narrator.take()) : fail(problem);
}

// "state PID" or "tracee PID", read from /proc.
int process(const std::vector<std::string_view>& words) {
  const std::string_view what = words.front();
  const auto pid = whole_number(words.back());
  if (words.size() != 2 || !pid || (what != "state" && what != "tracee")) {
    return usage();
  }
  if (what == "state") {
    return print(std::string(lens::state_word(lens::process_state(*pid))) + "\n");
  }
  const auto traced = lens::tracee(*pid);
  return traced ? print(std::to_string(*traced) + "\n") : EXIT_FAILURE;
}

// "watch FILE -- PROGRAM ARGS...": the program's status, or 1 and why it could not be watched.
int watch(const char* record, char* const program[]) {
  const lens::Watched watched = lens::watch(record, program);
  if (!watched.failure.empty()) {
    fail(watched.failure);
  }
  return watched.status;
}

}  // namespace

int main(int argc, char* argv[]) {
  const std::vector<std::string_view> args(argv + 1, argv + argc);
  // The style of the narration, before the commands that narrate: --color, --width N.
  bool color = false;
  std::optional<int> width;
  std::size_t at = 0;
  for (; at < args.size(); ++at) {
    if (args[at] == "--color" && !color) {
      color = true;
    } else if (args[at] == "--width" && !width && at + 1 < args.size()) {
      width = whole_number(args[++at]);
      if (!width) {
        return usage();
      }
    } else {
      break;
    }
  }
  const bool styled = color || width;
  const std::size_t count = args.size() - at;
  const std::vector<std::string_view> rest(args.begin() + static_cast<std::ptrdiff_t>(at),
                                           args.end());
  lens::Narrator narrator(color ? lens::Narration::color : lens::Narration::plain,
                          static_cast<std::size_t>(width.value_or(0)));
  if (count == 3 && rest[0] == "view" && (rest[1] == "pipe" || rest[1] == "threads")) {
    return view(rest[1], argv[at + 3], narrator);
  }
  if (count >= 3 && rest[0] == "view") {
    return held_view({rest.begin() + 1, rest.end()}, narrator);
  }
  if (count >= 3 && rest[0] == "lesson") {
    return lesson({rest.begin() + 1, rest.end()}, narrator);
  }
  if (styled) {
    return usage();
  }
  if (count <= 2 && count >= 1 && rest[0] == "show") {
    return show(count == 2 ? argv[2] : nullptr);
  }
  if (count >= 1 && rest[0] == "timeline") {
    return timeline(std::vector<std::string_view>(rest.begin() + 1, rest.end()));
  }
  if (count >= 4 && rest[0] == "watch" && rest[2] == "--") {
    return watch(argv[2], argv + 4);
  }
  if (count == 1 && rest[0] == "names") {
    return print(lens::names_text());
  }
  if (count == 2) {
    return process(args);
  }
  return usage();
}
