// Figures for the drawing's tests: those of the recorded logs (tests/strace_logs,
// tests/perf_logs), as lens makes them, and small ones made by hand.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "lens/samples.h"
#include "model/step.h"

namespace ipcwalk {

// The figures of a tour run's records: TRACEDIR, then, where given, lessons=DIR (the lessons'
// records) and STEP=RECORD (a perf record and its .pids, without their endings).
std::vector<lens::Figure> dumped_figures(const std::vector<std::string>& args);

// The recorded tour run (tests/strace_logs), with the given steps' scheduler's records from
// tests/perf_logs (STEP=NAME, e.g. "threads=2-threads-threetally") and, where asked, the
// recorded lessons.
std::vector<lens::Figure> recorded_figures(const std::vector<std::string>& records = {},
                                           bool lessons = false);

// A note of a figure that says `text`.
lens::Note note_saying(const std::string& text);

// A figure of one strace panel over [0, length] µs, with one lane per name (pids 9, 10, ...).
lens::Figure strace_figure(const std::vector<std::string>& lanes, lens::Micros length);

// A scheduler's panel of one lane per name (tids 9, 10, ...) over [0, length] µs.
lens::Panel scheduler_panel(const std::vector<std::string>& lanes, lens::Micros length);

// A step line of a panel.
lens::Counter counter(const std::string& name, const std::vector<lens::Level>& levels);

}  // namespace ipcwalk
