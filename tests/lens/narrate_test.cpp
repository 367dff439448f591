// What lens says (lens/narrate): the narrator of the "## " lines and the terminal's escape, the
// kernel's views of the steps from strace's logs recorded on a real run (tests/strace_logs), what
// the kernel holds read from a made-up /proc, and the lessons' questions and what their runs
// measured. The tour's tests read these texts: they are checked to the byte where the tour shows
// them.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <tuple>

#include "facts/threads.h"
#include "files.h"
#include "lens/samples.h"
#include "narrate/holds.h"
#include "narrate/kernel_views.h"
#include "narrate/lessons.h"
#include "narrate/narrator.h"
#include "narrate/visible.h"

namespace ipcwalk {
namespace {

using lens::Micros;
using lens::Narration;
using lens::Narrator;
namespace fs = std::filesystem;

const fs::path logs = SOURCE_DIR "/tests/strace_logs";

// What a narrator of that kind said while `speak` spoke through it.
template <typename Speak>
std::string said(Speak speak, Narration narration = Narration::plain, std::size_t width = 0) {
  Narrator narrator(narration, width);
  speak(narrator);
  return narrator.take();
}

bool starts(const std::string& text, const std::string& start) {
  return text.substr(0, start.size()) == start;
}

// A text's lines, or only those that are no hex dump.
std::vector<std::string> lines_of(const std::string& text, bool dumps = true) {
  std::vector<std::string> found;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);)
    if (dumps || line.substr(0, 3) != " | ")
      found.push_back(line);
  return found;
}

lens::Log read_recorded(const fs::path& path) {
  std::ifstream in(path);
  return lens::parse_log(in);
}

std::string pipe_view(const lens::Log& log, Narration narration = Narration::plain) {
  return said([&log](Narrator& narrator) { lens::pipe_view(log, narrator); }, narration);
}

std::string threads_view(const lens::Log& log, Narration narration = Narration::plain) {
  return said([&log](Narrator& narrator) { lens::threads_view(log, narrator); }, narration);
}

// Faults: a line wrapped inside a word, or past the width; a wrapped line without its "## " or
// its colour; a word longer than the width cut, or dropped; lines given as one paragraph not
// joined where wrapping (or joined where not); a newline or a terminal's escape in what is said
// passed on as it is.
TEST(LensNarrator, WrapsAtBlanksToTheWidthAndShowsEveryByteSafely) {
  const std::string sentence =
      "The parent makes the pipe: descriptor 3 is its read end, 4 its "
      "write end.";
  EXPECT_EQ(said([&](Narrator& n) { n.say(sentence); }), "## " + sentence + "\n");
  EXPECT_EQ(said([&](Narrator& n) { n.say(sentence); }, Narration::plain, 30),
            "## The parent makes the pipe:\n"
            "## descriptor 3 is its read\n"
            "## end, 4 its write end.\n");
  for (const std::string& line :
       lines_of(said([&](Narrator& n) { n.say(sentence); }, Narration::plain, 24)))
    EXPECT_LE(line.size(), 24U) << line;
  // Columns, not bytes: "µs" and "×" take one column each.
  EXPECT_EQ(said([](Narrator& n) { n.say("ab µµ ×× cd"); }, Narration::plain, 8),
            "## ab µµ\n## ×× cd\n");
  EXPECT_EQ(said([](Narrator& n) { n.say("a /proc/12345/wchan b"); }, Narration::plain, 10),
            "## a\n## /proc/12345/wchan\n## b\n");
  EXPECT_EQ(said([](Narrator& n) { n.say("one two"); }, Narration::color, 8),
            "\x1b[36m## one\x1b[0m\n\x1b[36m## two\x1b[0m\n");
  EXPECT_EQ(said([](Narrator& n) { n.say(""); }, Narration::plain, 8), "## \n");
  const auto paragraph = [](Narrator& n) { n.say({"first half,", "second half."}); };
  EXPECT_EQ(said(paragraph), "## first half,\n## second half.\n");
  EXPECT_EQ(said(paragraph, Narration::plain, 100), "## first half, second half.\n");

  EXPECT_EQ(said([](Narrator& n) { n.say("a\x1b]0;owned\x07 b\nc"); }),
            "## a\\x1b]0;owned\\x07 b\\x0ac\n");
  EXPECT_EQ(said([](Narrator& n) { n.command("od -An /dev/shm/sem.\x1b[2J"); }, Narration::color),
            "\x1b[1m$ od -An /dev/shm/sem.\\x1b[2J\x1b[0m\n");
  EXPECT_EQ(said([](Narrator& n) { n.show("7  write(1, \"\\x1b\", 1) = 1\r"); }, Narration::color),
            "7  write(1, \"\\x1b\", 1) = 1\\x0d\n");
}

TEST(LensShow, ControlCharactersShownAndUtf8PassedThrough) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"title \x1b]0;owned\x07 set", "title \\x1b]0;owned\\x07 set"},
      {"\x1b[31mred\x1b[0m", "\\x1b[31mred\\x1b[0m"},
      {"over\rwrite\tand\n", "over\\x0dwrite\tand\n"},
      {std::string("nul\0del\x7f", 8), "nul\\x00del\\x7f"},
      {"C1 CSI \xc2\x9b"
       "2J, NEL \xc2\x85, then \xc2\xa0",
       "C1 CSI \\xc2\\x9b2J, NEL \\xc2\\x85, then \xc2\xa0"},
      {"lone \x9b"
       "2J",
       "lone \\x9b2J"},
      {"overlong \xc0\xaf, surrogate \xed\xa0\x80",
       "overlong \\xc0\\xaf, surrogate \\xed\\xa0\\x80"},
      {"cut \xe2\x82", "cut \\xe2\\x82"},
      {"cut then more \xe2\x82"
       "A",
       "cut then more \\xe2\\x82A"},
      {"Message from parent\xef\xbc\x81 \xf0\x9f\x98\x80",
       "Message from parent\xef\xbc\x81 \xf0\x9f\x98\x80"},
  };
  for (const auto& [bytes, shown] : cases) {
    EXPECT_EQ(lens::visible(bytes), shown) << shown;
    // The same, byte by byte as from a pipe: a character cut between two reads is whole again.
    lens::Visible pieces;
    std::string out;
    for (const char byte : bytes)
      pieces.feed(std::string_view(&byte, 1), out);
    pieces.finish(out);
    EXPECT_EQ(out, shown) << shown;
  }
}

TEST(LensViews, PipeShowsTheCallsOnThePipeAndTheRecordsBytes) {
  for (const auto& [dir, parent, child] :
       {std::tuple{logs, "6700", "6701"}, std::tuple{logs / "i386", "2370", "2371"}}) {
    const std::string p = parent;
    const std::string c = child;
    const std::string view = pipe_view(read_recorded(dir / "1-pipe-forkrelay.strace"));
    const auto lines = lines_of(view, false);
    ASSERT_EQ(lines.size(), 13U) << view;
    EXPECT_EQ(lines[0], "## strace, the calls on the pipe; the number in front is the process: " +
                            p + " the parent, " + c + " the child.");
    EXPECT_EQ(lines[1],
              "## The parent makes the pipe: descriptor 3 is its read end, 4 its write end.");
    EXPECT_EQ(lines[2], p + "  pipe2([3, 4], 0) = 0");
    EXPECT_TRUE(starts(lines[4], p + "  clone(child_stack=NULL, flags=")) << lines[4];
    EXPECT_TRUE(lines[4].size() > 9 && lines[4].substr(lines[4].size() - 8) == ") = " + c);
    // Split by the other process's lines in the log, and joined again.
    EXPECT_EQ(lines[6], p + "  close(3) = 0");
    EXPECT_EQ(lines[8],
              p + "  write(4, \"Message from parent\\xef\\xbc\\x81\\x00\\x00\\x00\\x00\\x00"
                  "\\x00\\x00\\x00\\x00\\x00\"..., 128) = 128");
    EXPECT_EQ(lines[10], c + "  close(4) = 0");
    EXPECT_EQ(lines[12],
              c + "  read(3, \"Message from parent\\xef\\xbc\\x81\\x00\\x00\\x00\\x00\\x00"
                  "\\x00\\x00\\x00\\x00\\x00\"..., 128) = 128");
    // 128 bytes: eight lines of dump under the write and under the read, and nowhere else.
    const auto all = lines_of(view);
    ASSERT_EQ(all.size(), 13U + 16U);
    EXPECT_EQ(all[9],
              " | 00000  4d 65 73 73 61 67 65 20  66 72 6f 6d 20 70 61 72  Message from par |");
    EXPECT_EQ(all[16],
              " | 00070  00 00 00 00 00 00 00 00  00 00 00 00 00 00 00 00  ................ |");
    EXPECT_EQ(all[17].substr(0, 2), "##");
    EXPECT_EQ(all[21], all[9]);
    EXPECT_EQ(all.back(), all[16]);
  }
  EXPECT_EQ(pipe_view(read_recorded(logs / "2-threads-threetally.strace")),
            "## strace's log shows no pipe and fork here.\n");
}

TEST(LensViews, ThreadsShowTheAdviceTheFirstWorkerAndHowManyLivedAtOnce) {
  const std::string view = threads_view(read_recorded(logs / "2-threads-threetally.strace"));
  const auto lines = lines_of(view);
  ASSERT_EQ(lines.size(), 6U) << view;
  EXPECT_EQ(lines[0],
            "## main advises the kernel to back the table with 2 MiB huge pages (only advice: it "
            "may decline):");
  EXPECT_EQ(lines[1], "6706  madvise(0x7f17a2400000, 268435456, MADV_HUGEPAGE) = 0");
  EXPECT_EQ(lines[2],
            "## The first worker: clone3 with CLONE_VM and CLONE_THREAD makes a thread of the "
            "same process, in the same memory.");
  EXPECT_TRUE(starts(lines[3], "6706  clone3({flags=CLONE_VM|CLONE_FS|")) << lines[3];
  EXPECT_NE(lines[3].find("} => {parent_tid=[6707]}, 88) = 6707"), std::string::npos);
  EXPECT_EQ(lines[4],
            "## main made 16 worker threads that ran to their end (exit): 6707 6708 6709 6710 "
            "6711 6712 6713 6714 6715 6716 6717 6718 6719 6720 6721 6722.");
  // The hex dumps of the log are no threads.
  EXPECT_EQ(lines[5],
            "## At most 10 threads at once, main included: the first workers had finished before "
            "the last were made. strace stops main at each thread creation, long enough for a "
            "worker's sixteenth to be counted; without strace they overlap.");

  // 32-bit: clone3 with a TLS descriptor, split by the workers' lines and joined again.
  const auto i386 =
      lines_of(threads_view(read_recorded(logs / "i386/2-threads-threetally.strace")));
  ASSERT_EQ(i386.size(), 6U);
  EXPECT_EQ(i386[1], "2376  madvise(0xe7c00000, 268435456, MADV_HUGEPAGE) = 0");
  EXPECT_NE(i386[3].find("tls={entry_number=12, "), std::string::npos);
  EXPECT_TRUE(
      starts(i386[4], "## main made 16 worker threads that ran to their end (exit): 2377 "));
}

TEST(LensViews, ThreadsCountOnlyWorkersThatExitedAndSayWhatIsMissing) {
  // Main makes a sanitizer's thread (it never calls exit) and two workers, one after the other.
  const std::string log =
      "20 100.000000 clone(child_stack=0x1, flags=CLONE_VM|CLONE_THREAD|CLONE_SETTLS) = 21 "
      "<0.000010>\n"
      "20 100.000100 clone3({flags=CLONE_VM|CLONE_THREAD} <unfinished ...>\n"
      "22 100.000105 exit(0)         = ?\n"
      "20 100.000110 <... clone3 resumed> => {parent_tid=[22]}, 88) = 22 <0.000010>\n"
      "22 100.000120 +++ exited with 0 +++\n"
      "20 100.000200 clone3({flags=CLONE_VM|CLONE_THREAD}, 88) = 23 <0.000010>\n"
      "23 100.000220 exit(0)         = ?\n"
      "23 100.000230 +++ exited with 0 +++\n"
      "20 100.000300 exit_group(0)   = ?\n"
      "21 100.000310 +++ exited with 0 +++\n"
      "20 100.000320 +++ exited with 0 +++\n";
  std::istringstream in(log);
  const lens::Log parsed = lens::parse_log(in);
  const lens::ThreadFacts facts = lens::find_threads(parsed);
  ASSERT_EQ(facts.workers.size(), 3U);
  EXPECT_FALSE(facts.workers[0].exited);
  // Worker 22 showed before main's clone3 returned: it lived from its own first line.
  EXPECT_EQ(facts.workers[1].begin, Micros{100000105});
  EXPECT_EQ(facts.most_alive, 3);
  EXPECT_EQ(threads_view(parsed, Narration::color),
            "\x1b[36m## strace saw no huge-page advice (madvise MADV_HUGEPAGE) here.\x1b[0m\n"
            "\x1b[36m## The first worker: clone3 with CLONE_VM and CLONE_THREAD makes a thread of "
            "the same process, in the same memory.\x1b[0m\n"
            "20  clone3({flags=CLONE_VM|CLONE_THREAD} => {parent_tid=[22]}, 88) = 22\n"
            "\x1b[36m## main made 2 worker threads that ran to their end (exit): 22 23.\x1b[0m\n"
            "\x1b[36m## At most 3 threads at once, main included.\x1b[0m\n");
}

// The semaphore's words as the tour shows them, with the od command that shows them too. Faults:
// the words or the command misquoted; a file of another size, a named pipe (which would block an
// open) or a link planted at the semaphore's name read as a semaphore; a name that holds a
// terminal's escape passed on to the terminal.
TEST(LensHolds, TheSemaphoresValueAndWaitersWithTheWordsOdShows) {
  TempDir folder("semaphore");
  const auto file_of = [&folder](const std::string& name, const std::vector<std::uint32_t>& words) {
    return words_file(folder.path() / name, words);
  };
  const auto view = [](const std::string& path) {
    return said([&path](Narrator& narrator) { lens::semaphore_view(path, narrator); });
  };
  // 16 bytes: the value 2 shifted left, plus 1 for the waiter; sharing; padding; 1 waiter.
  const std::string small = file_of("small", {5, 128, 0, 1});
  EXPECT_EQ(view(small),
            "## Its four 32-bit words, read without taking or giving (glibc's 16-byte layout): "
            "value 2, 1 waiting.\n## The first is the value times two, plus 1 while anybody "
            "waits; the fourth counts the waiters:\n$ od -An -tu4 -N16 " +
                small + "\n          5        128          0          1\n");
  std::vector<std::uint32_t> big(8, 0);
  big[0] = 1;
  EXPECT_EQ(view(file_of("big", big)),
            "## Its first two 32-bit words, read without taking or giving (glibc's 32-byte "
            "layout): value 1, 0 waiting.\n$ od -An -tu4 -N8 " +
                folder / "big" + "\n          1          0\n");
  EXPECT_EQ(view(file_of("sem.\x1b]0;x\x07", big)).find('\x1b'), std::string::npos);
  ASSERT_EQ(mkfifo((folder / "pipe").c_str(), 0600), 0);
  fs::create_symlink(small, folder / "link");
  for (const std::string& other :
       {file_of("odd", {1, 0, 0}), folder / "pipe", folder / "none", folder / "link"})
    EXPECT_EQ(view(other),
              "## Here the semaphore's value and waiters would be read from its file; the tour "
              "knows glibc's two layouts, of 32 and 16 bytes, and this file has neither size.\n")
        << other;
}

// The segment while both hold it, and after, and what the taker waits in, from a made-up /proc:
// the tour shows these texts as they are. Faults: another process's or another segment's rows
// shown; the table's columns misaligned; what is missing not said.
TEST(LensHolds, TheSegmentAndTheTakerAsTheTourShowsThem) {
  TempDir proc("proc");
  const std::string root = proc.path();
  fs::create_directories(proc.path() / "sysvipc");
  std::ofstream(proc / "sysvipc/shm")
      << "       key      shmid perms       size  cpid  lpid nattch   uid\n"
         "         0         11   666       4096   300   301      2     0\n"
         "         0          1   666       4096   300   302      2     0\n";
  const std::string seg =
      "7f0000000000-7f0000001000 rw-s 00000000 00:01 1   /SYSV00000000 (deleted)";
  for (const int pid : {301, 302}) {
    fs::create_directories(proc.path() / std::to_string(pid));
    std::ofstream(proc.path() / std::to_string(pid) / "maps")
        << "7f0000002000-7f0000003000 r--p 00000000 08:01 1   /usr/lib/1\n"
        << seg << "\n";
  }
  const std::string table =
      root + "/sysvipc/shm:        key      shmid perms   size    cpid    lpid nattch\n" + root +
      "/sysvipc/shm:          0          1   666   4096     300     302      2\n";
  EXPECT_EQ(said([&root](Narrator& n) {
              lens::segment_view(1, {301, 302}, n, root);
            }),
            "## Each process's memory map: the same segment (inode column: identifier 1) at an\n"
            "## address each process chose (nearly always two different ones); rw-s: read, write, "
            "shared;\n"
            "## SYSV and the key in hex: the kernel's name for it; (deleted): a file of the "
            "kernel's own.\n"
            "## segstamp is process 301, segpeek process 302:\n" +
                root + "/301/maps: " + seg + "\n" + root + "/302/maps: " + seg +
                "\n"
                "## The kernel's row for the segment: its size, nattch 2 (both attached), cpid "
                "(the creator,\n"
                "## segmake, already ended) and lpid (the last process to attach or detach: "
                "segpeek).\n" +
                table);
  EXPECT_EQ(said([&root](Narrator& n) { lens::segment_view(1, {}, n, root); }),
            "## Both have ended, and the kernel keeps the segment: nattch 0 (lpid: segstamp, the "
            "last to\n## detach), and its 4096 bytes, greeting and all, until somebody removes it "
            "(ipcrm).\n" +
                table);

  // The taker: asleep in a futex wait, the semaphore's file mapped; then a kernel that shows
  // neither.
  TempDir shm("shm");
  const std::string semaphore = shm / "sem.x";
  std::ofstream(semaphore, std::ios::binary) << std::string(32, '\0');
  const std::string mapped = "7f0000004000-7f0000004020 rw-s 00000000 00:1a 9   " + semaphore;
  std::ofstream(proc.path() / "301/maps") << mapped << "\n";
  std::ofstream(proc.path() / "301/wchan") << "futex_wait_queue";
  const std::string words =
      "## Its first two 32-bit words, read without taking or giving "
      "(glibc's 32-byte layout): value 0, 0 waiting.\n$ od -An -tu4 -N8 " +
      semaphore + "\n          0          0\n";
  EXPECT_EQ(said([&](Narrator& n) { lens::taker_view(301, semaphore, n, root); }),
            "## What it sleeps in, in the kernel: a futex wait, a queue of sleepers on one word "
            "of memory.\n" +
                root + "/301/wchan: futex_wait_queue\n" +
                "## The word it waits on is in the semaphore's file, mapped into its memory, "
                "shared (rw-s):\n" +
                root + "/301/maps: " + mapped + "\n" + words);
  EXPECT_EQ(said([&](Narrator& n) { lens::taker_view(303, semaphore, n, root); }),
            "## Here " + root +
                "/303/wchan would name the kernel function it sleeps in (a futex wait); this "
                "kernel does not show it.\n## Here " +
                root +
                "/303/maps would show the semaphore's file mapped into the taker's memory.\n" +
                words);
}

// ---- The lessons: the question before their runs, and what the runs measured ----

// Outputs as the lessons print them, with figures no text could hold by chance.
constexpr std::string_view tally_all =
    "table: 4194304\nworkers: 16\ncpus: 2\nexpected: 2097152\ntotal: 1918738\nlost: 178414\n"
    "overlapping: 14\n"
    "Additions were lost where two workers loaded the same total and both stored it plus one.\n";
constexpr std::string_view tally_one =
    "table: 4194304\nworkers: 16\ncpus: 1\nexpected: 2097152\ntotal: 2097139\nlost: 13\n"
    "overlapping: 5\n";

// What lesson name's tell says of outputs, expected to be told.
std::string tell(std::string_view name, const std::vector<std::string_view>& outputs,
                 Narration narration = Narration::plain) {
  Narrator narrator(narration);
  EXPECT_EQ(lens::lesson_tell(name, {outputs.begin(), outputs.end()}, narrator), "") << name;
  return narrator.take();
}

// The refusal of outputs for lesson name, nothing said; "" where they were told.
std::string refusal(std::string_view name, const std::vector<std::string>& outputs) {
  Narrator narrator(Narration::plain);
  const std::string problem = lens::lesson_tell(name, outputs, narrator);
  EXPECT_TRUE(problem.empty() || narrator.take().empty());
  return problem;
}

// Whether every line of text is narration: "## ...", or the same in colour.
bool all_narration(const std::string& text, Narration narration = Narration::plain) {
  const std::string start = narration == Narration::color ? "\x1b[36m## " : "## ";
  const auto lines = lines_of(text);
  return !lines.empty() && std::all_of(lines.begin(), lines.end(), [&](const std::string& line) {
    return starts(line, start) && (narration == Narration::plain || line.ends_with("\x1b[0m"));
  });
}

std::string replaced(std::string_view text, const std::string& from, const std::string& to) {
  std::string changed(text);
  changed.replace(changed.find(from), from.size(), to);
  return changed;
}

TEST(LessonTell, EveryFigureComesFromTheOutputs) {
  const std::string tally = tell("tallyrace", {tally_all, tally_one});
  for (const char* figure : {"On 2 CPUs", "lost 178414 of 2097152", "1918738",
                             "14 of the 16 workers counted", "lost 13 of", "5 of the 16 workers"})
    EXPECT_NE(tally.find(figure), std::string::npos) << figure << " in\n" << tally;
  EXPECT_EQ(tally.find("one CPU, so"), std::string::npos);
  // One CPU only: the first run took turns too.
  EXPECT_NE(tell("tallyrace", {tally_one, tally_one}).find("This machine has one CPU, so"),
            std::string::npos);
  // Nothing lost on two CPUs: the verdict is what the run measured (whether the workers' counting
  // overlapped), never a guess at the machine.
  const std::string none =
      replaced(replaced(tally_all, "total: 1918738", "total: 2097152"), "lost: 178414", "lost: 0");
  const std::string apart =
      tell("tallyrace", {replaced(none, "overlapping: 14", "overlapping: 0"),
                         replaced(tally_one, "overlapping: 5", "overlapping: 0")});
  for (const char* shown : {"nothing was lost this time", "no worker's counting overlapped",
                            "no worker was switched out before it was through"})
    EXPECT_NE(apart.find(shown), std::string::npos) << shown << " in\n" << apart;
  EXPECT_NE(tell("tallyrace", {none, tally_one}).find("though 14 of the 16 workers counted while"),
            std::string::npos);
  for (const std::string& told : {apart, tell("tallyrace", {none, tally_one})})
    EXPECT_EQ(told.find("busy"), std::string::npos) << told;

  const std::string race = tell("gaterace", {race_out, kill_out});
  for (const char* figure : {"4 processes x 20 rounds = 80", "ended at 21, 59 lost", "71 sections",
                             "80 of 80, 0 lost, 0 overlapping", "signal 9 (Killed)",
                             "gave up after 1.03 s: the semaphore stayed taken"})
    EXPECT_NE(race.find(figure), std::string::npos) << figure << " in\n" << race;
  EXPECT_EQ(race.find("onnection"), std::string::npos) << "there is no connection:\n" << race;
  EXPECT_NE(tell("gaterace", {race_out, replaced(kill_out, "gave up: the semaphore stayed taken",
                                                 "took the semaphore")})
                .find("Yet the next taker took it, after 1.03 s"),
            std::string::npos);
  const std::string tear =
      tell("segtear", {"copies: 20000\none letter: 1904\ntorn: 18096\nsegment size: 4096\n"});
  EXPECT_NE(tear.find("20000 copies: 18096 torn (both letters), 1904 of one letter"),
            std::string::npos)
      << tear;
  const std::string relay = tell(
      "relaykeep",
      {"child pid: 5\nchild: reading, with its own write end still open\nparent pid: 4\n"
       "child wchan: anon_pipe_read\nchild read for: 0.51 s\nchild ended: signal 15 (Terminated)\n",
       "sigpipe signal: 13 (Broken pipe)\nsigpipe status: 141\nepipe write: -1 (Broken pipe)\n"
       "capacity: 65536\nF_GETPIPE_SZ: 65536\n"});
  for (const char* figure : {"0.51 s", "anon_pipe_read", "signal 15 (Terminated)",
                             "13 (Broken pipe), status 141", "took 65536 bytes"})
    EXPECT_NE(relay.find(figure), std::string::npos) << figure << " in\n" << relay;
  // Every line is narration, and colour wraps each one.
  EXPECT_TRUE(all_narration(relay)) << relay;
  EXPECT_TRUE(
      all_narration(tell("segtear", {"copies: 1\none letter: 1\ntorn: 0\n"}, Narration::color),
                    Narration::color));
}

TEST(LessonTell, OutputsThatAreNotAWholeRunAreRefused) {
  const std::string race(race_out);
  const std::string kill(kill_out);
  const std::string tally(tally_all);
  const std::string one(tally_one);
  // Figures that do not add up.
  EXPECT_NE(refusal("tallyrace", {replaced(tally_all, "lost: 178414", "lost: 178415"), one})
                .find("lost 178415 is not expected 2097152 - total 1918738"),
            std::string::npos);
  EXPECT_NE(refusal("segtear", {"copies: 20000\none letter: 1904\ntorn: 18095\n"})
                .find("one letter 1904 + torn 18095 is not copies 20000"),
            std::string::npos);
  EXPECT_NE(
      refusal("gaterace", {replaced(race_out, "unlocked lost: 59", "unlocked lost: 58"), kill}),
      "");
  EXPECT_NE(refusal("gaterace", {replaced(race_out, "rounds: 20", "rounds: 21"), kill}), "");
  // The pinned run must be on one CPU.
  EXPECT_NE(refusal("tallyrace", {tally, tally}).find("not a run on one CPU"), std::string::npos);
  // Lines missing, twice, not numbers, or not plain text (a terminal's escape).
  EXPECT_NE(refusal("tallyrace", {tally, "workers: 16\ncpus: 1\n"})
                .find("output 2: no line \"expected: N\""),
            std::string::npos);
  EXPECT_NE(refusal("tallyrace", {tally + "lost: 1\n", one}).find("more than one line"),
            std::string::npos);
  EXPECT_NE(refusal("tallyrace", {replaced(tally_all, "cpus: 2", "cpus: -2"), one}), "");
  EXPECT_NE(
      refusal("tallyrace", {replaced(tally_all, "cpus: 2", "cpus: 99999999999999999999"), one}),
      "");
  EXPECT_NE(refusal("gaterace", {race, replaced(kill_out, "9 (Killed)", "9 \x1b]0;x\x07")})
                .find("not plain text"),
            std::string::npos);
  EXPECT_NE(refusal("gaterace", {race, replaced(kill_out, "1.03 s", "soon")}), "");
  EXPECT_NE(refusal("relaykeep", {"", "sigpipe status: 141\n"}), "");
  EXPECT_NE(refusal("segtear", {"\177ELF\x01 garbage"}), "");
  EXPECT_NE(refusal("segtear", {"", ""}), "");
  for (const char* whole : {"not a whole run of the lesson", "segtear output 1: "})
    EXPECT_NE(refusal("segtear", {"copies: 1\n"}).find(whole), std::string::npos) << whole;
}

// Outputs made to hurt: figures whose product overflows (UBSan in the asan preset reports any
// overflow), counts no run can have, and a terminal's controls in a text line. Each is refused
// with one line that says what is wrong.
TEST(LessonTell, HostileOutputsAreRefusedWithOneLineAndNoOverflow) {
  const std::string kill(kill_out);
  const std::string one(tally_one);
  const std::vector<std::pair<std::vector<std::string>, std::string>> hostile = {
      {{replaced(replaced(race_out, "processes: 4", "processes: 4294967296"), "rounds: 20",
                 "rounds: 4294967296"),
        kill},
       "more sections than any run has"},
      {{replaced(race_out, "processes: 4", "processes: 9223372036854775807"), kill},
       "is not a count"},
      {{replaced(race_out, "processes: 4", "processes: 0"), kill}, "at least one process"},
      {{replaced(race_out, "rounds: 20", "rounds: 0"), kill}, "at least one round"},
      {{replaced(race_out, "unlocked overlapping: 71", "unlocked overlapping: 81"), kill},
       "unlocked overlapping 81 is more than 80 sections"},
      {{replaced(tally_all, "overlapping: 14", "overlapping: 17"), one},
       "overlapping 17 is more than 16 workers"},
      {{replaced(tally_all, "workers: 16", "workers: 0"), one}, "at least one worker"},
      // A C1 control (CSI, as UTF-8) and DEL: a terminal acts on the first, and neither is text.
      {{std::string(race_out), replaced(kill_out, "9 (Killed)",
                                        "9 (\xc2\x9b"
                                        "2J)")},
       "not plain text"},
      {{std::string(race_out), replaced(kill_out, "9 (Killed)", "9 (Kil\x7fled)")},
       "not plain text"},
      // ETIMEDOUT's text told as if it were what happened: neither outcome gaterace prints.
      {{std::string(race_out), replaced(kill_out, "gave up: the semaphore stayed taken",
                                        "sem_timedwait: Connection timed out")},
       "is neither"},
  };
  for (const auto& [outputs, why] : hostile) {
    const std::string name = outputs[0].starts_with("table") ? "tallyrace" : "gaterace";
    const std::string problem = refusal(name, outputs);
    EXPECT_NE(problem.find(why), std::string::npos) << why << ": " << problem;
    // One line of plain text: nothing of the hostile bytes is passed on.
    EXPECT_TRUE(std::all_of(problem.begin(), problem.end(), [](char letter) {
      return letter >= ' ' && letter <= '~';
    })) << problem;
  }
}

// The lessons are a table: each asks its question, and a name that is none of them is refused,
// never asked or told as another. Faults: an unknown name told as the last lesson (gaterace) or
// asked nothing but passed as asked; outputs of the wrong count read past their end.
TEST(LessonTell, EachLessonAsksAndAnUnknownNameIsRefused) {
  for (const char* name : {"tallyrace", "relaykeep", "segtear", "gaterace"}) {
    Narrator narrator(Narration::plain);
    EXPECT_TRUE(lens::lesson_ask(name, narrator)) << name;
    const std::string asked = narrator.take();
    EXPECT_TRUE(all_narration(asked)) << asked;
    EXPECT_TRUE(lines_of(asked).back().ends_with("?")) << name << " asks nothing:\n" << asked;
    EXPECT_TRUE(lens::lesson_runs(name)) << name;
  }
  EXPECT_EQ(lens::lesson_runs("segtear"), 1U);
  EXPECT_EQ(lens::lesson_runs("gaterace"), 2U);
  for (const char* unknown : {"forkrelay", "", "gaterace ", "Gaterace"}) {
    Narrator narrator(Narration::plain);
    EXPECT_FALSE(lens::lesson_ask(unknown, narrator)) << unknown;
    EXPECT_FALSE(lens::lesson_runs(unknown)) << unknown;
    EXPECT_EQ(lens::lesson_tell(unknown, {std::string(race_out), std::string(kill_out)}, narrator),
              "there is no lesson " + std::string(unknown));
    EXPECT_EQ(narrator.take(), "") << unknown;
  }
  EXPECT_EQ(refusal("gaterace", {std::string(race_out)}), "lesson gaterace reads 2 outputs");
  EXPECT_EQ(refusal("segtear", {}), "lesson segtear reads 1 outputs");
}

}  // namespace
}  // namespace ipcwalk
