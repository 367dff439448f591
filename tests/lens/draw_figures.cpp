#include "draw_figures.h"

#include <gtest/gtest.h>

#include <string_view>

#include "files.h"
#include "runner.h"

namespace ipcwalk {

const std::filesystem::path strace_logs = SOURCE_DIR "/tests/strace_logs";
const std::filesystem::path perf_logs = SOURCE_DIR "/tests/perf_logs";

namespace {

lens::Shade shade_named(const std::string& name) {
  for (const auto& [known, shade] :
       {std::pair{"busy", lens::Shade::busy}, std::pair{"blocked", lens::Shade::blocked},
        std::pair{"paused", lens::Shade::paused}, std::pair{"shell", lens::Shade::shell},
        std::pair{"alive", lens::Shade::alive}, std::pair{"running", lens::Shade::running},
        std::pair{"runnable", lens::Shade::runnable}, std::pair{"asleep", lens::Shade::asleep}})
    if (name == known)
      return shade;
  ADD_FAILURE() << "no shade " << name;
  return lens::Shade::busy;
}

lens::Carries carried(const std::string& name) {
  if (name == "bytes")
    return lens::Carries::bytes;
  return name == "bytes_waking" ? lens::Carries::bytes_waking : lens::Carries::wake_up;
}

lens::Mechanism mechanism_named(const std::string& name) {
  if (name == "threads")
    return lens::Mechanism::threads;
  if (name == "segment")
    return lens::Mechanism::segment;
  return name == "semaphore" ? lens::Mechanism::semaphore : lens::Mechanism::pipe;
}

lens::Window window(const Json& pair) {
  return {pair.at(0).get<lens::Micros>(), pair.at(1).get<lens::Micros>()};
}

lens::KernelTask task(const Json& one) {
  return {one.at(0).get<std::string>(), one.at(1).get<int>(), one.at(2).get<int>()};
}

lens::Panel panel_of(const Json& in) {
  lens::Panel panel;
  panel.source = in.at("source") == "strace" ? lens::Source::strace : lens::Source::scheduler;
  panel.time = window(in.at("time"));
  panel.overview_lanes = in.at("overview_lanes").get<std::size_t>();
  panel.overview_counters = in.at("overview_counters").get<bool>();
  for (const Json& lane : in.value("lanes", Json::array()))
    panel.lanes.push_back({lane.at("name"), lane.at("id"), lane.at("process"), lane.at("begin"),
                           lane.at("end"), lane.at("compact"), lane.at("summary")});
  for (const Json& span : in.value("spans", Json::array()))
    panel.spans.push_back(
        {span.at(0), shade_named(span.at(1)), span.at(2), span.at(3), span.at(4), span.at(5)});
  for (const Json& mark : in.value("marks", Json::array()))
    panel.marks.push_back({mark.at(0), mark.at(1), mark.at(2)});
  for (const Json& line : in.value("counters", Json::array())) {
    lens::Counter made{line.at("name"), line.at("process"), {}, std::nullopt, ""};
    for (const Json& level : line.at("levels"))
      made.levels.push_back({level.at(0), level.at(1)});
    if (line.contains("ceiling")) {
      made.ceiling = line.at("ceiling").get<int>();
      made.ceiling_label = line.at("ceiling_label");
    }
    panel.counters.push_back(made);
  }
  for (const Json& arrow : in.value("arrows", Json::array()))
    panel.arrows.push_back(
        {carried(arrow.at(0)), arrow.at(1), arrow.at(2), arrow.at(3), arrow.at(4), arrow.at(5)});
  if (in.contains("magnified"))
    panel.magnified =
        lens::Stretch{window(in.at("magnified").at("time")), in.at("magnified").at("lanes"),
                      in.at("magnified").at("caption")};
  return panel;
}

lens::Figure figure_of(const Json& in) {
  lens::Figure figure;
  figure.mechanism = mechanism_named(in.at("mechanism"));
  figure.title = in.at("title");
  figure.missing = in.at("missing");
  for (const Json& panel : in.at("panels"))
    figure.panels.push_back(panel_of(panel));
  for (const Json& text : in.at("notes"))
    figure.notes.push_back(note_saying(text));
  if (in.contains("kernel")) {
    lens::KernelText kernel;
    kernel.clock = in.at("kernel").at("clock");
    for (const Json& event : in.at("kernel").at("events"))
      kernel.events.push_back({static_cast<lens::KernelEvent::Kind>(event.at(0).get<int>()),
                               event.at(1), event.at(2), task(event.at(3)), event.at(4),
                               task(event.at(5)), event.at(6)});
    figure.kernel = kernel;
  }
  return figure;
}

}  // namespace

lens::Note note_saying(const std::string& text) {
  return lens::Note{"converted", "{text}", {{"text", text}}};
}

std::vector<lens::Figure> dumped_figures(const std::vector<std::string>& args) {
  const Result dumped = run(DRAW_DUMP, args, {.timeout = 60s});
  EXPECT_EQ(dumped.status, 0) << dumped.err;
  std::vector<lens::Figure> figures;
  try {
    for (const Json& figure : Json::parse(dumped.out))
      figures.push_back(figure_of(figure));
  } catch (const Json::exception& error) {
    ADD_FAILURE() << "lens_draw_dump wrote what is not figures: " << error.what();
  }
  return figures;
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
  return panel;
}

lens::Counter counter(const std::string& name, const std::vector<lens::Level>& levels) {
  return lens::Counter{name, 9, levels, std::nullopt, ""};
}

}  // namespace ipcwalk
