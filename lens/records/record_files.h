// The names of what one tour records, written once: lens reads its records by them, and prints
// them (`lens names`) for the tour and the scripts that record the tests' samples, so that no
// one else spells them.
//
// Each step has a word ("pipe"), a prefix ("1-pipe") and its runs, each recorded by strace as
// PREFIX-RUN.strace ("1-pipe-forkrelay.strace") with its output as PREFIX-RUN.out. Run again
// under perf, the step's record is PREFIX.perf, with the processes the tour started in it listed
// in PREFIX.pids; what a run cost the kernel, where the tour counted it, is PREFIX-RUN.cost
// (strace's run) or PREFIX.cost (perf's). Where perf may not record, each run is run again under
// lens's watcher instead, its record PREFIX-RUN.schedstat. A lesson's runs are lesson-NAME-K.strace
// and lesson-NAME-K.out, K counting from 1.
#pragma once

#include <array>
#include <string>
#include <string_view>

namespace lens {

// One recorded run of a step: the program it runs, and its name among the step's runs (the
// program, or the program and its place where the step runs it more than once).
struct RunName {
  std::string_view program;  // "segpeek"
  std::string_view run;      // "segpeek-2"
};

struct StepNames {
  std::string_view word;        // "segment"
  std::string_view prefix;      // "3-segment"
  std::string_view name;        // "the segment": the step in a sentence
  std::array<RunName, 4> runs;  // in the order the tour runs them; unused ones empty
  std::string_view lesson;      // "segtear"
};

inline constexpr std::array<StepNames, 4> step_names{{
    {"pipe", "1-pipe", "the pipe", {{{"forkrelay", "forkrelay"}}}, "relaykeep"},
    {"threads", "2-threads", "the threads", {{{"threetally", "threetally"}}}, "tallyrace"},
    {"segment",
     "3-segment",
     "the segment",
     {{{"segmake", "segmake"},
       {"segstamp", "segstamp"},
       {"segpeek", "segpeek"},
       {"segpeek", "segpeek-2"}}},
     "segtear"},
    {"semaphore",
     "4-semaphore",
     "the semaphore",
     {{{"gatenew", "gatenew"},
       {"gatetake", "gatetake-1"},
       {"gatetake", "gatetake-2"},
       {"gategive", "gategive"}}},
     "gaterace"},
}};

// "3-segment-segpeek-2": a step's run, as its files are named without their ending.
std::string run_file(const StepNames& step, std::string_view run);

// "lesson-gaterace-1": a lesson's run k (from 1), as its files are named without their ending.
std::string lesson_file(std::string_view lesson, int k);

// What `lens names` prints: a line for each step ("step WORD PREFIX NAME LESSON", the name with
// its blanks as underscores) and for each of its runs ("run WORD RUN FILE").
std::string names_text();

}  // namespace lens
