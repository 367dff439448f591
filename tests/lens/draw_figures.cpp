#include "draw_figures.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string_view>

#include "lens/samples.h"
#include "model/figures.h"
#include "model/mechanisms.h"
#include "records/tour_records.h"

namespace ipcwalk {

lens::Note note_saying(const std::string& text) {
  return lens::Note{"converted", "{text}", {{"text", text}}};
}

std::vector<lens::Figure> dumped_figures(const std::vector<std::string>& args) {
  EXPECT_FALSE(args.empty());
  lens::TourRecords records = lens::read_tour_records(args.empty() ? "" : args.front());
  for (std::size_t index = 1; index < args.size(); ++index) {
    const std::string& arg = args[index];
    const std::size_t equals = arg.find('=');
    const std::string word = arg.substr(0, equals);
    const std::string path = arg.substr(equals + 1);
    if (word == "lessons") {
      records.lessons = lens::read_tour_records(path).lessons;
      continue;
    }
    const auto step =
        std::find_if(lens::step_names.begin(), lens::step_names.end(),
                     [&word](const lens::StepNames& names) { return names.word == word; });
    if (step == lens::step_names.end()) {
      ADD_FAILURE() << "no step " << word;
      continue;
    }
    records.steps[static_cast<std::size_t>(step - lens::step_names.begin())].sched =
        lens::read_sched(path + ".perf", lens::read_started(path + ".pids"));
  }
  return lens::figures(records);
}

std::vector<lens::Figure> recorded_figures(const std::vector<std::string>& records, bool lessons) {
  std::vector<std::string> args{strace_logs.string()};
  if (lessons)
    args.push_back("lessons=" + (strace_logs / "lessons").string());
  for (const std::string& record : records) {
    const std::size_t equals = record.find('=');
    args.push_back(record.substr(0, equals + 1) + (perf_logs / record.substr(equals + 1)).string());
  }
  return dumped_figures(args);
}

lens::Figure strace_figure(const std::vector<std::string>& lanes, lens::Micros length) {
  lens::Figure figure;
  figure.title = "by hand";
  lens::Panel panel;
  panel.recording = lens::strace_recording;
  panel.time = {0, length};
  int id = 9;
  for (const std::string& name : lanes) {
    panel.lanes.push_back({name, id, id, 0, length, false, ""});
    ++id;
  }
  figure.panels.push_back(panel);
  return figure;
}

lens::Panel scheduler_panel(const std::vector<std::string>& lanes, lens::Micros length) {
  lens::Panel panel = strace_figure(lanes, length).panels.front();
  panel.source = lens::Source::scheduler;
  panel.recording = lens::scheduler_recording;
  return panel;
}

lens::Counter counter(const std::string& name, const std::vector<lens::Level>& levels) {
  return lens::Counter{name, 9, levels, std::nullopt, ""};
}

}  // namespace ipcwalk
