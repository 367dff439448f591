// segmake, segstamp, segpeek: a System V segment made, stamped with a greeting and read back.
#include <gtest/gtest.h>
#include <sys/ipc.h>
#include <sys/shm.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <iterator>
#include <list>
#include <regex>
#include <sstream>
#include <system_error>

#include "runner.h"

namespace ipcwalk {
namespace {

const std::string greeting("Hello shared memory!\n\0", 22);
const std::string string_line = "The string in SHM is :";
const std::string detached = "segment detached \n";
const std::string listing_head = "\n------ Shared Memory Segments --------\n";
const std::regex attached_then_listing("^ segment attached at 0x[0-9a-f]+\n" + listing_head);

// A segment the test owns: removed when the test ends, pass or fail.
struct Segment {
  int id;
  std::string name;  // as a program's argument
  explicit Segment(int existing) : id(existing), name(std::to_string(existing)) {}
  static Segment make(std::size_t size) {
    const int id = shmget(IPC_PRIVATE, size, 0600);
    if (id < 0)
      throw std::system_error(errno, std::generic_category(), "shmget");
    return Segment(id);
  }
  Segment(const Segment&) = delete;
  ~Segment() {
    if (id >= 0)
      shmctl(id, IPC_RMID, nullptr);
  }
  shmid_ds stat() const {
    shmid_ds info{};
    shmctl(id, IPC_STAT, &info);
    return info;
  }
  // Reads the first `count` bytes; with `fill`, first sets them all to it.
  std::string bytes(std::size_t count, int fill = -1) {
    void* const address = shmat(id, nullptr, 0);
    if (address == reinterpret_cast<void*>(-1))
      return "(not attachable)";
    if (fill >= 0)
      std::memset(address, fill, count);
    std::string text(static_cast<const char*>(address), count);
    shmdt(address);
    return text;
  }
};

// The segments that process `pid` created since `since`: the test removes them, whatever it prints.
std::list<Segment> created_by(pid_t pid, std::time_t since) {
  std::list<Segment> created;
  shm_info info;
  const int last = shmctl(0, SHM_INFO, reinterpret_cast<shmid_ds*>(&info));
  for (int index = 0; index <= last; ++index) {
    shmid_ds segment;
    const int id = shmctl(index, SHM_STAT, &segment);
    if (id >= 0 && segment.shm_cpid == pid && segment.shm_ctime >= since)
      created.emplace_back(id);
  }
  return created;
}

// "perms bytes nattch" of segment `id` in an `ipcs -m` listing.
std::string listed(const std::string& listing, int id) {
  std::istringstream lines(listing);
  for (std::string line; std::getline(lines, line);) {
    std::istringstream words(line);
    const std::vector<std::string> f{std::istream_iterator<std::string>(words), {}};
    if (f.size() >= 6 && f[1] == std::to_string(id))
      return f[3] + " " + f[4] + " " + f[5];
  }
  return "(not listed)";
}

TEST(Segmake, CreatesAZeroFilledSegmentAndPrintsItsIdentifierBeforeTheListing) {
  const std::time_t started = std::time(nullptr);
  Process process("segmake", {});
  Result result = process.wait();
  std::list<Segment> created = created_by(process.pid(), started);
  ASSERT_EQ(created.size(), 1u) << result.out;
  Segment& segment = created.front();
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.err, "");
  const std::string line = "Successfully created segment : " + segment.name + " \n";
  ASSERT_EQ(result.out.substr(0, line.size()), line) << result.out;
  const std::string listing = result.out.substr(line.size());
  EXPECT_EQ(listing.rfind(listing_head, 0), 0u) << listing;
  EXPECT_EQ(listed(listing, segment.id), "666 4096 0") << listing;

  const shmid_ds info = segment.stat();
  EXPECT_EQ(info.shm_segsz, 4096u);
  EXPECT_EQ(info.shm_perm.mode & 0777, 0666u);
  EXPECT_EQ(segment.bytes(4096), std::string(4096, '\0'));

  Result failed = run("segmake", {}, {.faults = {{"shmget", ENOSPC}}});
  EXPECT_EQ(failed.err, "shmget fail!\n: No space left on device\n");
  EXPECT_EQ(failed.out, "");
  EXPECT_EQ(failed.status, 1);
}

TEST(Segmake, RemovesTheSegmentWhoseIdentifierCannotBeWritten) {
  // A pipe whose reader has gone, as in `segmake | lesss`, is one more such loss: SIGPIPE must
  // not end segmake before it removes the segment.
  for (const auto& [stream, reason] : {std::pair{Stream::full, "No space left on device"},
                                       std::pair{Stream::closed, "Bad file descriptor"},
                                       std::pair{Stream::broken_pipe, "Broken pipe"}}) {
    const std::time_t started = std::time(nullptr);
    Process process("segmake", {}, {.out = stream});
    Result result = process.wait();
    EXPECT_EQ(created_by(process.pid(), started).size(), 0u) << reason;
    EXPECT_EQ(result.signal, 0) << reason;
    std::smatch said;
    const std::regex removed(std::string("^segmake: write error: ") + reason +
                             "; segment ([0-9]+) removed\n$");
    ASSERT_TRUE(std::regex_match(result.err, said, removed)) << result.err;  // no listing either
    EXPECT_LT(shmctl(std::stoi(said[1]), IPC_STAT, nullptr), 0) << "the segment named is there";
    EXPECT_EQ(result.status, 1);
  }
  // Where even the removal fails, standard error is the one place that names the segment.
  const std::time_t started = std::time(nullptr);
  Process process("segmake", {}, {.out = Stream::full, .faults = {{"shmctl", EPERM}}});
  Result result = process.wait();
  std::list<Segment> created = created_by(process.pid(), started);
  ASSERT_EQ(created.size(), 1u);
  EXPECT_EQ(result.err, "segmake: write error: No space left on device; segment " +
                            created.front().name +
                            " could not be removed: Operation not permitted\n");
  EXPECT_EQ(result.status, 1);
}

TEST(SegstampAndSegpeek, PeekFindsTheGreetingWhileStampHoldsTheSegmentAndAfterBothEnd) {
  Segment segment = Segment::make(4096);
  segment.bytes(4096, '#');  // the greeting's own NUL must end it
  Process stamp("segstamp", {segment.name}, {.hold_input = true});
  ASSERT_TRUE(stamp.wait_until_reading_input());
  EXPECT_EQ(segment.stat().shm_nattch, 1u);
  EXPECT_EQ(segment.bytes(22), greeting);
  const std::string at_first_pause = stamp.out();
  EXPECT_TRUE(std::regex_search(at_first_pause, attached_then_listing)) << at_first_pause;
  EXPECT_EQ(listed(at_first_pause, segment.id), "600 4096 1") << at_first_pause;

  Result peek = run("segpeek", {segment.name}, {.input = "\n\n"});
  EXPECT_EQ(peek.status, 0);
  EXPECT_EQ(peek.err, "");
  EXPECT_TRUE(std::regex_search(peek.out, attached_then_listing)) << peek.out;
  const auto text_at = peek.out.find("\n" + string_line + "Hello shared memory!\n\n" + detached);
  ASSERT_NE(text_at, std::string::npos) << peek.out;
  EXPECT_EQ(listed(peek.out.substr(0, text_at), segment.id), "600 4096 2") << peek.out;
  EXPECT_EQ(listed(peek.out.substr(text_at), segment.id), "600 4096 1") << peek.out;

  stamp.send("\n");
  ASSERT_TRUE(stamp.wait_for_output(detached));
  ASSERT_TRUE(stamp.wait_until_reading_input());  // the second pause
  const std::string at_second_pause = stamp.out();
  const std::string after = at_second_pause.substr(at_first_pause.size());
  EXPECT_EQ(at_second_pause.rfind(at_first_pause + detached + listing_head, 0), 0u) << after;
  EXPECT_EQ(listed(after, segment.id), "600 4096 0") << after;

  stamp.send("\n");
  Result stamped = stamp.wait();
  EXPECT_EQ(stamped.status, 0);
  EXPECT_EQ(stamped.err, "");
  EXPECT_EQ(stamped.out, at_second_pause);
  EXPECT_EQ(segment.stat().shm_nattch, 0u);
  EXPECT_EQ(segment.bytes(22), greeting);
}

TEST(SegstampAndSegpeek, FreshSegmentGivesTheEmptyTextAndPausesTakeOneCharacterEach) {
  Segment segment = Segment::make(4096);
  Result peek = run("segpeek", {segment.name}, {.timeout = 5s});  // end of input at once
  EXPECT_EQ(peek.status, 0);
  EXPECT_NE(peek.out.find("\n" + string_line + "\n" + detached), std::string::npos) << peek.out;

  // Each program holds the segment at its first pause; "a" ends it, "b" the second one at once.
  for (const std::string program : {"segpeek", "segstamp"}) {
    Process process(program, {segment.name}, {.hold_input = true, .timeout = 5s});
    ASSERT_TRUE(process.wait_until_reading_input()) << program;
    EXPECT_EQ(segment.stat().shm_nattch, 1u) << program;
    if (program == "segpeek") {  // its text is out before the pause, also into a file
      const std::string out = process.out();
      EXPECT_TRUE(out.ends_with(string_line + "\n")) << out;
    }
    process.send("ab\n");
    Result result = process.wait();
    EXPECT_EQ(result.status, 0) << program;
    EXPECT_NE(result.out.find(detached), std::string::npos) << program << ": " << result.out;
  }
}

TEST(SegstampAndSegpeek, RejectsAnythingButOneWholeDecimalIdentifier) {
  Segment segment = Segment::make(4096);
  const std::string id = segment.name;
  const std::vector<std::vector<std::string>> bad = {
      {},     {id, id}, {"abc"},         {"12abc"},      {""},       {"-1"},
      {"+5"}, {" 7"},   {"99999999999"}, {"2147483648"}, {id + "x"}, {id + " "}};
  for (const std::string program : {"segstamp", "segpeek"}) {
    for (const auto& args : bad) {
      SCOPED_TRACE(program + " " + testing::PrintToString(args));
      Result result = run(program, args, {.input = "\n\n"});
      EXPECT_EQ(result.out, "USAGE: seglink <identifier>");
      EXPECT_EQ(result.err, "");
      EXPECT_EQ(result.status, 1);
    }
  }
  EXPECT_EQ(segment.stat().shm_atime, 0) << "a bad identifier attached the segment";
  EXPECT_EQ(segment.bytes(22), std::string(22, '\0'));
}

TEST(SegstampAndSegpeek, ReportsAMissingSegmentAndAFailedDetach) {
  const int gone = Segment::make(4096).id;  // removed at once: surely no segment now
  Segment segment = Segment::make(4096);
  for (const std::string program : {"segstamp", "segpeek"}) {
    Result missing = run(program, {std::to_string(gone)}, {.input = "\n\n"});
    EXPECT_EQ(missing.err, "shmat: Invalid argument\n") << program;
    EXPECT_EQ(missing.out, "") << program;
    EXPECT_EQ(missing.status, 1) << program;

    Result unsized = run(program, {segment.name}, {.faults = {{"shmctl", EACCES}}});
    EXPECT_EQ(unsized.err, "shmctl: Permission denied\n") << program;
    EXPECT_EQ(unsized.out, "") << program;
    EXPECT_EQ(unsized.status, 1) << program;

    Result undetached =
        run(program, {segment.name}, {.input = "\n\n", .faults = {{"shmdt", EINVAL}}});
    EXPECT_EQ(undetached.err, "shmdt: Invalid argument\n") << program;
    EXPECT_EQ(undetached.out.find("segment detached"), std::string::npos) << program;
    EXPECT_EQ(undetached.status, 1) << program;
  }
}

TEST(SegstampAndSegpeek, NeitherProgramGoesPastTheSegmentsEnd) {
  Segment full = Segment::make(4096);
  full.bytes(4096, 'x');  // no NUL anywhere
  Result peek = run("segpeek", {full.name}, {.input = "\n\n"});
  EXPECT_EQ(peek.status, 0);
  const std::string text = string_line + std::string(4096, 'x') + "\n" + detached;
  EXPECT_NE(peek.out.find(text), std::string::npos) << peek.out.size() << " bytes out";

  Segment small = Segment::make(10);
  Result stamp = run("segstamp", {small.name}, {.input = "\n\n"});
  EXPECT_EQ(stamp.status, 1);
  EXPECT_EQ(stamp.err, "segstamp: segment " + small.name +
                           " holds 10 bytes, too few for the 22-byte greeting; nothing written\n");
  EXPECT_EQ(small.bytes(10), std::string(10, '\0'));
}

TEST(SegstampAndSegpeek, RunToTheirEndThenReportALostOutput) {
  Segment segment = Segment::make(4096);
  for (const std::string program : {"segstamp", "segpeek"}) {
    for (const auto& [stream, reason] : {std::pair{Stream::full, "No space left on device"},
                                         std::pair{Stream::closed, "Bad file descriptor"}}) {
      SCOPED_TRACE(program + ": " + reason);
      Result result = run(program, {segment.name}, {.out = stream});
      EXPECT_EQ(result.status, 1);
      // After what ipcs has to say about its own lost listings, once, with the first reason.
      const std::string line = program + ": write error: " + reason + "\n";
      EXPECT_TRUE(result.err.ends_with(line)) << result.err;
      EXPECT_EQ(result.err.find(program + ":"), result.err.rfind(line)) << result.err;
    }
    Result usage = run(program, {}, {.out = Stream::full});
    EXPECT_EQ(usage.err, program + ": write error: No space left on device\n");
    EXPECT_EQ(usage.status, 1);
  }
  EXPECT_EQ(segment.bytes(22), greeting);  // segstamp went on to the end
  EXPECT_EQ(segment.stat().shm_nattch, 0u);
}

}  // namespace
}  // namespace ipcwalk
