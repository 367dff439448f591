// The page (lens/draw) drawn from figures: its escape, its keys, spans too short to see merged,
// step lines' values, cut spans, the one drawing of a panel whatever its recording, and the
// placer that every label goes through.
#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <map>
#include <regex>
#include <set>
#include <tuple>

#include "draw/draw.h"
#include "draw/labels.h"
#include "draw_figures.h"
#include "files.h"
#include "model/figures.h"

namespace ipcwalk {
namespace {

using lens::Micros;
using lens::Shade;

// A figure of one process whose names hold what HTML cannot take raw: control characters,
// quotes, markup, and (where `stray` is set) a byte that is not UTF-8; drawn by strace and by
// the scheduler alike.
lens::Figure oddly_named(bool stray) {
  const std::string program = stray ? "seg\xffpeek" : "seg\x01peek\n\"q\" \\ \x7f <b>&";
  lens::Figure figure = strace_figure({program}, 1000);
  figure.panels[0].spans.push_back({0, Shade::blocked, 100, 200, "wait\tfor\x1f", -1});
  figure.panels[0].counters.push_back(counter("alive\x02", {{0, 1}, {500, 0}}));
  figure.panels.push_back(scheduler_panel({program}, 1000));
  figure.notes.push_back(note_saying("a note on <b>" + program + "</b>"));
  figure.totals = lens::Totals{"schedstat's <b>", {{program, 9, 9, 1000, 200, 300, 500, 4}}, 2};
  return figure;
}

// The page shows control characters as their pictures (U+2400 on), never raw: HTML forbids most
// of them, and a raw newline would break the name in two. Faults: the scheduler's panel escaping
// a name otherwise than strace's panel on the same page; a byte that is not UTF-8 sent raw, which
// leaves the page invalid; a name's or a note's markup taken as markup.
TEST(DrawPage, ShowsControlCharactersAsTheirPicturesInEveryPanel) {
  for (const bool stray : {false, true}) {
    const std::string page = lens::page_html({oddly_named(stray)});
    for (const char raw : {'\x01', '\x02', '\x1f', '\x7f', '\t', '\xff'})
      EXPECT_EQ(page.find(raw), std::string::npos) << int{raw};
    const std::string shown =
        stray ? "seg\ufffdpeek" : "seg\u2401peek\u240a&quot;q&quot; \\ \u2421 &lt;b&gt;&amp;";
    EXPECT_EQ(count(page, ">" + shown + "</text>"), 2U) << stray;        // strace's lane, the CPUs'
    EXPECT_EQ(count(page, "<th scope=\"row\">" + shown + "</th>"), 1U);  // schedstat's table
    EXPECT_EQ(count(page, "<p>a note on &lt;b&gt;" + shown + "&lt;/b&gt;</p>"), 1U);
    EXPECT_EQ(page.find("<b>"), std::string::npos);
    if (!stray) {
      EXPECT_EQ(count(page, ">wait\u2409for\u241f 0.10 ms</text>"), 1U);
    }
  }
}

// schedstat's table: a row a task, its figures, and the bar of its life. Faults: a bar that
// takes more than the life's width, or less than none, whatever the figures (a task that ran and
// waited longer than the watcher saw it live, or a life of 0); the CPU count lost; a table drawn
// for a figure that has none, or for one whose records are missing.
TEST(DrawPage, SchedstatsTableKeepsEachBarWithinItsTasksLife) {
  lens::Figure figure = strace_figure({"threetally"}, 1000);
  figure.totals = lens::Totals{"schedstat", {}, 2};
  figure.totals->rows = {{"threetally main", 9, 9, 1000, 250, 500, 250, 5},
                         {"worker", 10, 9, 100, 90, 60, 0, 2},
                         {"worker", 11, 9, 0, 0, 0, 0, 0},
                         {"worker", 12, 9, 100, -5, -5, 0, 1}};
  const std::string page = lens::page_html({figure});
  EXPECT_NE(page.find("schedstat; 2 CPUs to run its threads</p>"), std::string::npos);
  EXPECT_NE(page.find("<th scope=\"row\">threetally main</th><td>pid 9</td><td>1.00 ms</td><td>"
                      "250 \u00b5s</td><td>500 \u00b5s</td><td>250 \u00b5s</td><td>5</td>"),
            std::string::npos);
  EXPECT_NE(page.find("<td>tid 10</td>"), std::string::npos);
  const std::regex bar(
      "<span class=\"on\" style=\"width: ([-0-9.]+)%\"></span><span "
      "class=\"wait\" style=\"width: ([-0-9.]+)%\">");
  std::vector<std::pair<double, double>> bars;
  for (auto found = std::sregex_iterator(page.begin(), page.end(), bar);
       found != std::sregex_iterator(); ++found)
    bars.emplace_back(std::stod((*found)[1]), std::stod((*found)[2]));
  EXPECT_EQ(bars, (std::vector<std::pair<double, double>>{{25, 50}, {90, 10}, {0, 0}, {0, 0}}));
  figure.totals.reset();
  EXPECT_EQ(lens::page_html({figure}).find("class=\"totals\""), std::string::npos);
  figure.totals = lens::Totals{"schedstat", {}, std::nullopt};
  figure.missing = "not recorded";
  EXPECT_EQ(lens::page_html({figure}).find("class=\"totals\""), std::string::npos);
}

// The texts of a class on the page, by their y.
std::multimap<double, std::string> texts_by_y(const std::string& page, const std::string& css) {
  std::multimap<double, std::string> found;
  const std::regex text("<text class=\"" + css +
                        "\"(?: data-of=\"\\d+\")? x=\"[-0-9.]+\" y=\"([-0-9.]+)\">([^<]*)</text>");
  for (std::sregex_iterator it(page.begin(), page.end(), text), end; it != end; ++it)
    found.emplace(std::stod((*it)[1]), (*it)[2]);
  return found;
}

// Each running bar's "CPU n" names the CPU its own span ran on: two lanes, each running the whole
// step on a CPU of its own, the first on CPU 1 and the second on CPU 0. A label taken from the
// lane's place, or from another span, names the wrong one.
TEST(DrawPage, ARunningBarNamesTheCpuItsSpanRanOn) {
  lens::Figure figure = strace_figure({"main"}, 1000);
  figure.panels[0] = scheduler_panel({"lane21", "lane22"}, 1000);
  figure.panels[0].spans = {{0, Shade::running, 0, 1000, "", 1},
                            {1, Shade::running, 0, 1000, "", 0}};
  const std::string page = lens::page_html({figure});
  std::vector<std::string> lanes;
  for (const auto& [y, name] : texts_by_y(page, "lane"))
    lanes.push_back(name);
  std::vector<std::string> cpus;
  for (const auto& [y, name] : texts_by_y(page, "oncpu"))
    cpus.push_back(name);
  EXPECT_EQ(lanes, (std::vector<std::string>{"lane21", "lane22"}));
  EXPECT_EQ(cpus, (std::vector<std::string>{"CPU 1", "CPU 0"}));
}

// Every fill and arrowhead the page asks for is defined, once: a url(#...) with no such id draws
// a span empty or an arrow headless, and no browser says why. The lessons' figures share their
// steps' mechanisms, yet not their ids.
TEST(DrawPage, EveryUrlItUsesIsDefinedOnce) {
  const std::string page =
      lens::page_html(recorded_figures({"pipe=1-pipe-forkrelay", "semaphore=4-semaphore"}, true));
  std::map<std::string, int> ids;
  const std::regex id_pattern(" id=\"([^\"]+)\"");
  for (std::sregex_iterator it(page.begin(), page.end(), id_pattern), end; it != end; ++it)
    ++ids[(*it)[1]];
  std::set<std::string> used;
  const std::regex url_pattern("url\\(#([^)]+)\\)");
  for (std::sregex_iterator it(page.begin(), page.end(), url_pattern), end; it != end; ++it)
    used.insert((*it)[1]);
  EXPECT_GE(used.size(), 7U * 2);  // at least a fill and the arrowhead of each figure
  for (const std::string& id : used)
    EXPECT_EQ(ids[id], 1) << id;
  for (const auto& [id, times] : ids)
    EXPECT_EQ(times, 1) << id;
  for (const char* section : {"pipe", "pipe-2", "semaphore", "semaphore-2", "semaphore-3"})
    EXPECT_EQ(count(page, "<section id=\"" + std::string(section) + "\">"), 1U) << section;
}

// A figure of one lane over a second, with a step line of the given levels.
lens::Figure stepping(const std::vector<lens::Level>& levels) {
  lens::Figure figure = strace_figure({"gategive"}, 1'000'000);
  figure.panels[0].counters.push_back(counter("value", levels));
  return figure;
}

// The values written on the page's step lines: x, y and text of each, left to right.
struct Written {
  double x;
  double y;
  std::string text;
};
std::vector<Written> written_values(const std::string& page) {
  std::vector<Written> found;
  const std::regex value("<text class=\"value\" x=\"([-0-9.]+)\" y=\"([-0-9.]+)\">([^<]*)</text>");
  for (std::sregex_iterator it(page.begin(), page.end(), value), end; it != end; ++it)
    found.push_back({std::stod((*it)[1]), std::stod((*it)[2]), (*it)[3]});
  std::sort(found.begin(), found.end(), [](const auto& one, const auto& other) {
    return std::tie(one.x, one.y) < std::tie(other.x, other.y);
  });
  return found;
}

// Steps closer than a label can be wide (a post and the wake-up, microseconds apart in a step of
// a second) must not leave the page saying the line ends on a value it left: the last value
// written is the final one, the highest is written somewhere, and no two values overlap.
TEST(DrawPage, StepLineValuesStayTrueWhereStepsCrowd) {
  const auto last_and_all = [](const std::vector<lens::Level>& levels) {
    const auto written = written_values(lens::page_html({stepping(levels)}));
    std::vector<std::string> texts;
    for (const auto& each : written)
      texts.push_back(each.text);
    return std::make_pair(written.empty() ? "" : written.back().text, texts);
  };
  const auto [last, texts] = last_and_all({{0, 1}, {10'000, 0}, {990'000, 1}, {990'010, 0}});
  EXPECT_EQ(last, "0");
  EXPECT_NE(std::find(texts.begin(), texts.end(), "1"), texts.end());
  // Where the highest is only in the crowd, and too close to the final value to have a place of
  // its own, the final value says that the line went there first.
  EXPECT_EQ(last_and_all({{0, 0}, {999'000, 10}, {999'010, 9}}).first, "10\u21929");

  // Ten threads started and ended a few microseconds apart: values only where they have room.
  std::vector<lens::Level> crowd;
  for (int value = 0; value <= 10; ++value)
    crowd.push_back({value * 5, value});
  for (int value = 9; value >= 0; --value)
    crowd.push_back({crowd.back().at + 7, value});
  const auto written = written_values(lens::page_html({stepping(crowd)}));
  ASSERT_FALSE(written.empty());
  EXPECT_EQ(written.back().text, "0");
  for (std::size_t one = 0; one < written.size(); ++one)
    for (std::size_t other = one + 1; other < written.size(); ++other)
      EXPECT_TRUE(std::abs(written[one].y - written[other].y) >= 10 ||
                  written[other].x - written[one].x >=
                      6.0 * static_cast<double>(written[one].text.size()))
          << written[one].text << " and " << written[other].text << " overlap";
  // A ceiling is drawn, with its label, once.
  lens::Figure capped = stepping({{0, 1}, {500'000, 2}});
  capped.panels[0].counters[0].ceiling = 2;
  capped.panels[0].counters[0].ceiling_label = "2 CPUs";
  const std::string page = lens::page_html({capped});
  EXPECT_EQ(count(page, "class=\"cap\""), 1U);
  EXPECT_EQ(count(page, ">2 CPUs</text>"), 1U);
}

// A span that outlasts the magnified window (a post longer than the wake-up it causes) is drawn
// to the window's edge with a sign that it goes on, and the key says what that sign means.
TEST(DrawPage, ASpanCutByTheWindowShowsThatItGoesOn) {
  lens::Figure figure = stepping({{0, 0}});
  figure.panels[0].spans.push_back({0, Shade::busy, 400'000, 900'000, "post", -1});
  const std::string whole = lens::page_html({figure});
  EXPECT_EQ(count(whole, "class=\"cut\""), 0U);
  EXPECT_EQ(count(whole, "goes on past the edge"), 0U);
  figure.panels[0].magnified = lens::Stretch{{300'000, 500'000}, {}, "Magnified: the post"};
  figure.panels[0].overview_lanes = 1;
  const std::string cut = lens::page_html({figure});
  EXPECT_EQ(count(cut, "class=\"cut\""), 1U);
  EXPECT_EQ(count(cut, "goes on past the edge"), 1U);
  EXPECT_EQ(count(cut, ">Magnified: the post</text>"), 1U);
  EXPECT_EQ(count(cut, ">magnified below</text>"), 1U);
  // Labelled in the magnified drawing only, where the post begins.
  EXPECT_EQ(count(cut, ">post 500 ms</text>"), 1U);
}

// Slices of `length` µs from 0 on, each running on the next of `cpus` in turn and then in
// `between` for as long, `count` of each.
std::vector<lens::Span> slices(std::size_t lane, int count, const std::vector<int>& cpus,
                               Shade between, Micros length) {
  std::vector<lens::Span> spans;
  for (int index = 0; index < count; ++index) {
    const Micros at = 2 * length * index;
    const int cpu = cpus[static_cast<std::size_t>(index) % cpus.size()];
    spans.push_back({lane, Shade::running, at, at + length, "", cpu});
    spans.push_back({lane, between, at + length, at + 2 * length, "", -1});
  }
  return spans;
}

// A step whose scheduler's panel has three lanes over 200 ms: one running `count` short slices on
// CPU 1, asleep between; one on CPUs 0 and 1 in turn, waiting between; and one asleep but for
// one short slice on CPU 0 in the middle.
lens::Figure busy_step(int count) {
  constexpr Micros length = 200'000;
  lens::Figure figure = strace_figure({"main"}, length);
  figure.panels[0] = scheduler_panel({"one", "two", "blip"}, length);
  lens::Panel& panel = figure.panels[0];
  const Micros slice = length / count / 2;
  panel.spans = slices(0, count, {1}, Shade::asleep, slice);
  for (const lens::Span& span : slices(1, count, {0, 1}, Shade::runnable, slice))
    panel.spans.push_back(span);
  panel.spans.push_back({2, Shade::asleep, 0, length / 2, "", -1});
  panel.spans.push_back({2, Shade::running, length / 2, length / 2 + 1, "", 0});
  panel.spans.push_back({2, Shade::asleep, length / 2 + 1, length, "", -1});
  return figure;
}

// Faults: a shape for every slice of the scheduler's record (a 100 MB record made a 62 MB page);
// slices too short to see merged into something they were not (a run of slices on one CPU not
// shown running on that CPU; slices on two CPUs shown on one); a lone short slice lost among
// long sleeps; merged pieces drawn without a key that says what they are.
TEST(DrawPage, SlicesTooShortToSeeAreMergedKeepingWhatTheyMean) {
  const std::string few = lens::page_html({busy_step(1'000)});
  const std::string many = lens::page_html({busy_step(100'000)});
  EXPECT_LT(many.size(), few.size() + 100);
  EXPECT_EQ(count(many, ">CPU 1, 100000 switches</text>"), 1U);
  EXPECT_EQ(count(many, ">busy, 100000 switches</text>"), 1U);
  EXPECT_EQ(count(many, "spans too short to draw apart, merged"), 1U);
  // The blip is the only piece running on CPU 0 (#0072b2), and the key's swatch of CPU 0.
  EXPECT_EQ(count(many, "fill=\"#0072b2\""), 2U);
  EXPECT_EQ(count(many, ">running on CPU 0</text>"), 1U);
  // Without merged pieces of several kinds, no key for them.
  lens::Figure calm = busy_step(1'000);
  std::erase_if(calm.panels[0].spans, [](const lens::Span& span) { return span.lane == 1; });
  EXPECT_EQ(count(lens::page_html({calm}), "spans too short"), 0U);
}

// Faults: a shape and a label for every one of thousands of calls on a lane (strace's panels),
// or every span told in the figure's description; spans of different shades merged into one of
// them.
TEST(DrawPage, StraceSpansTooShortToSeeAreMergedToo) {
  constexpr int spans = 20'000;
  lens::Figure figure = stepping({{0, 0}});
  figure.panels[0].lanes.push_back({"gategive worker", 10, 9, 0, 1'000'000, false, ""});
  for (int index = 0; index < spans; ++index) {
    const Micros at = index * 50;
    figure.panels[0].spans.push_back({0, Shade::blocked, at, at + 10, "wait", -1});
    figure.panels[0].spans.push_back({1, index % 2 == 0 ? Shade::busy : Shade::paused, at, at + 10,
                                      index % 2 == 0 ? "read" : "pause", -1});
  }
  const std::string page = lens::page_html({figure});
  EXPECT_LT(page.size(), 50'000U);
  EXPECT_EQ(count(page, ">wait \u00d720000</text>"), 1U);
  EXPECT_EQ(count(page, ">spans \u00d720000</text>"), 1U);
  EXPECT_EQ(count(page, "spans too short to draw apart, merged (cross-hatched)"), 1U);
  EXPECT_EQ(count(page, "(40000 spans in all)"), 1U);
}

// Faults: the pipe's arrow keyed "who wakes whom" where the write came first and nobody slept;
// a key entry for an arrow not drawn.
TEST(DrawPage, TheKeySaysWhatEachArrowCarries) {
  const std::string recorded_page = lens::page_html(recorded_figures());
  EXPECT_EQ(count(recorded_page, ">the bytes, written, then read</text>"), 1U);
  EXPECT_EQ(count(recorded_page, ">who wakes whom</text>"), 1U);  // the semaphore's post
  lens::Figure waited = strace_figure({"parent", "child"}, 1000);
  waited.panels[0].spans = {{0, Shade::busy, 300, 320, "write", -1},
                            {1, Shade::blocked, 200, 400, "read", -1}};
  waited.panels[0].arrows = {{lens::Carries::bytes_waking, 0, 310, 1, 400, "128 bytes"}};
  const std::string page = lens::page_html({waited});
  EXPECT_EQ(count(page, ">the bytes, written, then read: the write wakes the waiting read<"), 1U);
  EXPECT_EQ(count(page, "who wakes whom"), 0U);
  EXPECT_EQ(count(page, ">128 bytes</text>"), 1U);
}

// A panel's drawing, from its axis to its labels: the markup between its view's tags.
std::string view_of(const std::string& page) {
  const std::size_t begin = page.find("<g class=\"view\"");
  const std::size_t end = page.find("<g class=\"labels\">", begin);
  return begin == std::string::npos || end == std::string::npos ? ""
                                                                : page.substr(begin, end - begin);
}

// One hand draws every panel: the same lanes, spans, marks, arrows and step lines come out the
// same whether strace or the scheduler recorded them, but for what the recording says of itself.
// Fault: a panel drawn by a stack of its own, with its own scale, merging or shapes.
TEST(DrawPage, ThePanelIsDrawnAlikeWhateverItsRecording) {
  lens::Figure figure = strace_figure({"worker", "main"}, 100'000);
  lens::Panel& panel = figure.panels[0];
  panel.lanes[0].compact = true;
  panel.lanes[0].process = 10;
  for (int index = 0; index < 400; ++index) {
    const Micros at = index * 200;
    panel.spans.push_back(
        {1, index % 3 == 0 ? Shade::running : Shade::asleep, at, at + 150, "", index % 2});
  }
  panel.spans.push_back({0, Shade::alive, 1000, 90'000, "", -1});
  panel.spans.push_back({1, Shade::blocked, 95'000, 99'000, "", -1});
  panel.marks.push_back({1, 50'000, "take"});
  panel.arrows.push_back({lens::Carries::wake_up, 0, 60'000, 1, 96'000, "wake-up"});
  panel.counters.push_back(counter("running at once", {{0, 1}, {30'000, 2}, {70'000, 0}}));
  panel.magnified = lens::Stretch{{40'000, 60'000}, {1}, "Magnified"};
  lens::Figure scheduler = figure;
  scheduler.panels[0].source = lens::Source::scheduler;
  scheduler.panels[0].recording = lens::scheduler_recording;
  std::string strace_view = view_of(lens::page_html({figure}));
  std::string scheduler_view = view_of(lens::page_html({scheduler}));
  const std::string strace_unit = ">ms from the step's start<";
  const std::string scheduler_unit = ">ms, scheduler's clock<";
  ASSERT_EQ(count(strace_view, strace_unit), 1U);
  ASSERT_EQ(count(scheduler_view, scheduler_unit), 1U);
  strace_view.replace(strace_view.find(strace_unit), strace_unit.size(), "unit");
  scheduler_view.replace(scheduler_view.find(scheduler_unit), scheduler_unit.size(), "unit");
  EXPECT_EQ(strace_view, scheduler_view);
  EXPECT_GT(count(strace_view, "<rect"), 10U);
}

// Faults: a name wider than its column running into the plot; a label that finds no room drawn
// anyway, over another, or growing its lane without bound; why a figure is missing written past
// the figure's edge.
TEST(DrawPage, WhatHasNoRoomIsCutOrLeftOut) {
  lens::Figure figure = strace_figure({std::string(200, 'w'), "crowded"}, 1000);
  for (int index = 0; index < 60; ++index)
    figure.panels[0].marks.push_back({1, 500 + index, "call number " + std::to_string(index)});
  lens::Figure missing;
  missing.title = "missing";
  missing.missing = std::string(40, 'x') + " " + std::string(300, 'y') + " and so on";
  const std::string page = lens::page_html({figure, missing});
  const auto names = texts_by_y(page, "lane");
  ASSERT_EQ(names.size(), 2U);
  const std::string& cut = names.begin()->second;
  EXPECT_TRUE(cut.ends_with("\u2026")) << cut;
  EXPECT_LE(lens::svg::text_width(cut, lens::svg::name_font), 175.0);
  const std::size_t labels = count(page, ">call number ");
  EXPECT_GE(labels, 6U);  // a row each at least
  EXPECT_LT(labels, 60U);
  const auto lines = texts_by_y(page, "missing");
  ASSERT_EQ(lines.size(), 3U);
  for (const auto& [y, line] : lines)
    EXPECT_LE(lens::svg::text_width(line, lens::svg::missing_font), 940.0) << line;
  EXPECT_EQ(lines.begin()->second, "Not recorded: " + std::string(40, 'x'));
}

// Faults: a difference of two times of a record overflowing (UB, and spans drawn anywhere); an
// axis of endless ticks; a span, a mark or a label out of the figure, or an index past the lanes
// followed.
TEST(DrawPage, TimesFarApartNeitherOverflowNorDrawOutside) {
  constexpr Micros far = std::numeric_limits<Micros>::max();
  lens::Figure figure = strace_figure({"one", "two"}, 1);
  lens::Panel& panel = figure.panels[0];
  panel.time = {-far, far};
  panel.lanes[0] = {"one", 9, 9, -far, far, false, "ran forever"};
  panel.spans = {{0, Shade::busy, -far, far, "all", -1},
                 {1, Shade::running, far - 1, -far, "", 3},
                 {7, Shade::busy, 0, 1, "no such lane", -1}};
  panel.marks = {{1, far, "end"}, {5, 0, "no such lane"}};
  panel.arrows = {{lens::Carries::wake_up, 0, -far, 1, far, "far"},
                  {lens::Carries::bytes, 0, 0, 9, 0, "to no lane"}};
  panel.counters.push_back(counter(
      "alive", {{-far, std::numeric_limits<int>::min()}, {far, std::numeric_limits<int>::max()}}));
  panel.magnified = lens::Stretch{{far - 10, -far}, {0, 1, 8}, "backwards"};
  panel.overview_lanes = 99;
  const std::string page = lens::page_html({figure});
  const std::regex coordinate(" (x|x1|x2|width)=\"([-0-9.]+)\"");
  std::size_t coordinates = 0;
  for (std::sregex_iterator it(page.begin(), page.end(), coordinate), end; it != end; ++it) {
    const double value = std::stod((*it)[2]);
    EXPECT_TRUE(value >= 0 && value <= 960) << (*it)[0];
    ++coordinates;
  }
  EXPECT_GT(coordinates, 20U);
  EXPECT_LT(count(page, "class=\"tick\""), 40U);
  EXPECT_EQ(count(page, "no such lane"), 0U);
  EXPECT_EQ(count(page, "to no lane"), 0U);
}

// The placer's own rules. Faults: a label placed over another, over something it does not name,
// or outside its area; a label kept off what it names; moved sideways further than it may, or
// given a row past the last.
TEST(DrawLabels, ALabelGoesWhereNothingElseIs) {
  using lens::svg::Box;
  lens::svg::Placer placer(Box{0, -100, 200, 100});
  placer.block(Box{50, -10, 60, 0}, 7);
  const Box over{45, -8, 65, -2};
  EXPECT_FALSE(placer.place({over}, 8));
  EXPECT_EQ(placer.place({Box{-1, 0, 10, 5}, over}, 7), std::optional<std::size_t>(1));
  EXPECT_FALSE(placer.free(over, 7));                 // a label is there now
  EXPECT_FALSE(placer.free(Box{66, -8, 70, -2}, 8));  // too close beside it
  EXPECT_TRUE(placer.free(Box{70, -8, 80, -2}, 8));
  EXPECT_FALSE(placer.free(Box{190, -8, 201, -2}, 8));  // out of the area

  lens::svg::Placer rows_placer(Box{0, -1000, 500, 1000});
  rows_placer.block(Box{100, -1000, 110, 1000}, 3);  // an arrow's band, through every row
  const lens::svg::Rows rows{13.5, 14, 2};
  const auto beside = lens::svg::place_in_rows(rows_placer, {"a label", 95, 1}, rows, 60);
  ASSERT_TRUE(beside);
  EXPECT_EQ(beside->row, 0);
  EXPECT_TRUE(beside->x >= 110 || beside->x + lens::svg::text_width("a label", {}) <= 100)
      << beside->x;
  const auto over_it = lens::svg::place_in_rows(rows_placer, {"its own", 100, 3}, rows, 0);
  ASSERT_TRUE(over_it);  // it names the band
  EXPECT_EQ(over_it->x, 100);
  EXPECT_EQ(over_it->row, 1);  // the row under it is taken
  EXPECT_FALSE(lens::svg::place_in_rows(rows_placer, {"a third", 100, 3}, rows, 0));
}

// Faults: a text cut wider than asked or cut inside a character; a line of wrapped text wider
// than asked; a control character or a stray byte measured narrower than the picture or the
// replacement character that the page draws for it.
TEST(DrawLabels, TextIsCutAndWrappedToTheWidthAsked) {
  using lens::svg::plain_font;
  const std::string text = "asleep, woken by gategive \u00d7 \u4e2d\u6587";
  for (double width = 10; width < 200; width += 7) {
    const std::string cut = lens::svg::fitted(text, plain_font, width);
    EXPECT_TRUE(cut.empty() || lens::svg::text_width(cut, plain_font) <= width) << cut;
    for (std::size_t at = 0; at < cut.size();
         at += std::max<std::size_t>(1, lens::svg::utf8_length(cut, at)))
      EXPECT_NE(lens::svg::utf8_length(cut, at), 0U) << cut;
    for (const std::string& line : lens::svg::wrapped(text, plain_font, width))
      EXPECT_LE(lens::svg::text_width(line, plain_font), width) << line;
  }
  EXPECT_EQ(lens::svg::fitted(text, plain_font, 1000), text);
  EXPECT_EQ(lens::svg::wrapped("one two", plain_font, 1000), std::vector<std::string>{"one two"});
  EXPECT_GE(lens::svg::text_width("\x01", plain_font), lens::svg::text_width("\u2401", plain_font));
  EXPECT_GE(lens::svg::text_width("\xff", plain_font), lens::svg::text_width("\ufffd", plain_font));
  EXPECT_GT(lens::svg::text_width("CPU 1", lens::svg::bold_font),
            lens::svg::text_width("CPU 1", plain_font));
}

}  // namespace
}  // namespace ipcwalk
