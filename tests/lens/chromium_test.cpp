// The page as Chromium draws it, where Chromium is installed (a skip where it is not): on the
// recorded logs, on figures made to crowd their labels, and on a real run of the tour, no two
// texts overlap, no text lies over a mark or span it does not name, and every text lies inside
// its figure and its panel; the widths the placer counts bound the widths Chromium draws; and the
// page reads at a phone's width as on a wide screen.
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <regex>
#include <set>

#include "chromium_page.h"
#include "draw/draw.h"
#include "draw/labels.h"
#include "draw_figures.h"

namespace ipcwalk {
namespace {

namespace fs = std::filesystem;
using lens::Micros;
using lens::Shade;

void expect_apart(const Browser& browser, const std::vector<lens::Figure>& figures,
                  const std::string& what) {
  const LabelCheck check = check_labels(browser, lens::page_html(figures));
  EXPECT_EQ(check.figures, static_cast<int>(figures.size())) << what;
  EXPECT_GE(check.labels, 10) << what;
  EXPECT_GE(check.marks, 10) << what;
  for (const std::string& fault : check.faults)
    ADD_FAILURE() << what << ": " << fault;
}

// Faults, as measured on the recorded runs: "ran N µs, CPU k" over hatched and coloured spans or
// past the plot; "read 0.07 ms" clipped by the figure's edge; "exit" over "128 bytes"; a lane's
// stacked labels over one another; a label over an arrow it does not name.
TEST(DrawChromium, RecordedPagesKeepLabelsApart) {
  const std::string path = chromium();
  if (path.empty())
    GTEST_SKIP() << "no chromium on PATH";
  const Browser browser(path);
  expect_apart(browser, recorded_figures(), "strace's logs");
  expect_apart(browser,
               recorded_figures({"pipe=1-pipe-forkrelay", "threads=2-threads-threetally",
                                 "segment=3-segment", "semaphore=4-semaphore"}),
               "with the scheduler's records");
  expect_apart(browser,
               recorded_figures({"pipe=ns-1-pipe-forkrelay", "threads=ns-2-threads-threetally",
                                 "semaphore=ns-4-semaphore"}),
               "with the scheduler's records in a namespace");
  expect_apart(browser, recorded_figures({"pipe=1-pipe-two-runs"}, true), "with the lessons");
  expect_apart(browser,
               dumped_figures({(strace_logs / "i386").string(),
                               "pipe=" + (perf_logs / "1-pipe-uncut").string()}),
               "the 32-bit run");
}

// Figures that crowd their labels on purpose: calls a microsecond apart, labels wider than their
// spans, a lane's last call at the figure's right edge, arrows through lanes of labels, names
// wider than their column, in characters the font lacks, step lines that rise at every pixel,
// summaries with no room after or before their lane.
std::vector<lens::Figure> crowded() {
  lens::Figure calls =
      lens::Figure{lens::Mechanism::pipe, "Crowded: calls", "", {}, {note_saying("crowded")}, {}};
  lens::Panel strace = strace_figure({"first \u4e2d\u6587\u540d\u5b57 with a name far too wide "
                                      "for its column",
                                      "second", "third \x01\xff"},
                                     10'000)
                           .panels.front();
  for (int index = 0; index < 40; ++index) {
    const Micros at = 4000 + index * 3;
    strace.marks.push_back(
        {static_cast<std::size_t>(index % 3), at, "call" + std::to_string(index)});
    strace.spans.push_back({static_cast<std::size_t>(index % 3), Shade::busy, at, at + 2,
                            "a long label for a short span", -1});
  }
  strace.marks.push_back({1, 10'000, "exit at the very end of the step"});
  strace.spans.push_back({1, Shade::blocked, 9'000, 10'000, "read at the edge", -1});
  strace.spans.push_back({2, Shade::paused, 0, 10'000, "pause", -1});
  strace.arrows.push_back({lens::Carries::bytes, 0, 4010, 2, 4050, "128 bytes"});
  strace.arrows.push_back({lens::Carries::wake_up, 2, 9990, 0, 9995, "wake-up"});
  lens::Counter steps = counter("alive", {});
  for (int index = 0; index < 3000; ++index)
    steps.levels.push_back({index * 3, (index * 7) % 11});
  strace.counters.push_back(steps);
  strace.magnified = lens::Stretch{{3990, 4130}, {}, "Magnified: the crowd"};
  calls.panels.push_back(strace);

  lens::Panel cpus = scheduler_panel({"busy", "worker", "late"}, 10'000);
  cpus.lanes[0].summary = "ran 9.99 ms, CPUs 0 1 2 3";
  cpus.lanes[1].compact = true;
  cpus.lanes[1].summary = "a summary too wide for the names' column";
  cpus.lanes[2].begin = 100;
  cpus.lanes[2].summary = "ran 10.0 ms, CPU 3";
  for (int index = 0; index < 5000; ++index) {
    const Micros at = index * 2;
    cpus.spans.push_back({0, Shade::running, at, at + 1, "", index % 4});
    cpus.spans.push_back({0, Shade::runnable, at + 1, at + 2, "", -1});
  }
  cpus.spans.push_back({1, Shade::running, 0, 10'000, "", 1});
  cpus.spans.push_back(
      {2, Shade::asleep, 100, 9'000, "asleep, woken by a task of a long name", -1});
  cpus.spans.push_back({2, Shade::running, 9'000, 10'000, "", 3});
  cpus.arrows.push_back({lens::Carries::wake_up, 0, 8'990, 2, 9'000, ""});
  lens::Counter running = counter("running at once", {{0, 1}, {5'000, 4}, {9'999, 2}});
  running.ceiling = 4;
  running.ceiling_label = "4 CPUs";
  cpus.counters.push_back(running);
  calls.panels.push_back(cpus);

  lens::Figure missing;
  missing.title = "Crowded: missing";
  missing.missing =
      "the log is missing, and this sentence is long enough to need more than one "
      "line of the figure to say why, however wide the figure is drawn on the page";
  return {calls, missing};
}

TEST(DrawChromium, CrowdedFiguresKeepLabelsApart) {
  const std::string path = chromium();
  if (path.empty())
    GTEST_SKIP() << "no chromium on PATH";
  const LabelCheck check = check_labels(Browser(path), lens::page_html(crowded()));
  EXPECT_EQ(check.figures, 2);
  EXPECT_GE(check.labels, 20);
  for (const std::string& fault : check.faults)
    ADD_FAILURE() << fault;
}

// The widths that Chromium draws texts at, in each font of the page, against those the placer
// counts. Faults: a width in the table narrower than the glyph (a label clipped at the figure's
// edge, or run into its neighbour), or far wider (labels left out for room they had).
TEST(DrawChromium, TextWidthsBoundWhatChromiumDraws) {
  const std::string path = chromium();
  if (path.empty())
    GTEST_SKIP() << "no chromium on PATH";
  std::vector<std::string> texts;
  // Each printable character 20 times (a blank between two others: a run of blanks is drawn as
  // one).
  texts.emplace_back("a" + std::string(20, ' ') + "a");
  for (char c = '!'; c < '\x7f'; ++c)
    texts.push_back(std::string(20, c));
  for (const char* text : {"read 0.07 ms", "ran 1.43 ms, CPU 1", "asleep, woken by gategive",
                           "wait \u00d720000", "10\u21929", "79 \u00b5s", "seg\u2401peek\u240a",
                           "a\ufffdb", "cut\u2026", "\u4e2d\u6587", "WWW fill iii"})
    texts.emplace_back(text);
  // The page's own style, and a text of each font per text.
  const std::string page = lens::page_html({});
  const std::string style =
      page.substr(page.find("<style>"), page.find("</style>") - page.find("<style>") + 8);
  const std::vector<std::pair<std::string, lens::svg::Font>> fonts{
      {"label", lens::svg::plain_font},
      {"value", lens::svg::bold_font},
      {"lane", lens::svg::name_font},
      {"missing", lens::svg::missing_font}};
  std::string body = "<svg xmlns=\"http://www.w3.org/2000/svg\" viewBox=\"0 0 960 100\">\n";
  for (const auto& [css, font] : fonts)
    for (const std::string& text : texts) {
      std::string escaped;
      for (const char c : text)
        escaped += c == '<' ? "&lt;" : c == '&' ? "&amp;" : std::string(1, c);
      body += "<text class=\"" + css + "\" x=\"0\" y=\"50\">" + escaped + "</text>\n";
    }
  body +=
      "</svg>\n<script>document.body.insertAdjacentHTML('beforeend', '<pre id=\"widths\">' + "
      "[...document.querySelectorAll('text')].map(t => t.getBBox().width.toFixed(3))"
      ".join(' ') + '</pre>');</script>\n";
  TempDir dir("widths");
  std::ofstream(dir / "widths.html") << "<!DOCTYPE html><html><head><meta charset=\"utf-8\">"
                                     << style << "</head><body>" << body << "</body></html>\n";
  const std::string dom = Browser(path).show(dir.path() / "widths.html", {"--dump-dom"}).out;
  const std::size_t from = dom.rfind("<pre id=\"widths\">");  // after the script's own text
  ASSERT_NE(from, std::string::npos) << dom.substr(0, 400);
  std::istringstream widths(dom.substr(from + 17));
  for (const auto& [css, font] : fonts)
    for (std::size_t index = 0; index < texts.size(); ++index) {
      double drawn = 0;
      ASSERT_TRUE(widths >> drawn);
      const double counted = lens::svg::text_width(texts[index], font);
      EXPECT_LE(drawn, counted) << css << " " << texts[index];
      if (index > 0 && index < 95) {  // the table is the font's own, plus a margin for the ink
        EXPECT_GE(drawn + 0.25 * font.size, counted) << css << " " << texts[index];
      }
    }
}

// Faults: the page blank, a figure missing from it; text drawn under about 10 px at a phone's
// width (the labels were once 4 px high at 420 px); a drawing that does not scroll sideways
// where its column is too narrow, or a page that does.
TEST(DrawChromium, ShowsTheFiguresReadableAtAnyWidth) {
  const std::string path = chromium();
  if (path.empty())
    GTEST_SKIP() << "no chromium on PATH";
  const Browser browser(path);
  TempDir out("timeline");
  std::ofstream(out / "timeline.html") << lens::page_html(recorded_figures());
  std::ofstream(out / "blank.html") << "<!DOCTYPE html><title>blank</title>\n";
  const std::string dom = browser.show(out.path() / "timeline.html", {"--dump-dom"}).out;
  EXPECT_EQ(count(dom, "<svg"), 4U);
  for (const char* title : {">1. Pipe: forkrelay</title>", ">2. Threads: threetally</title>",
                            ">3. Shared memory: segmake, segstamp, segpeek</title>",
                            ">4. Named semaphore: gatenew, gatetake, gategive</title>"})
    EXPECT_NE(dom.find(title), std::string::npos) << title;

  // Not blank: the figures' lines and text make the screenshot far larger than that of an empty
  // page of the same size, which compresses to next to nothing.
  browser.show(out.path() / "timeline.html", {"--screenshot=" + (out / "timeline.png")});
  browser.show(out.path() / "blank.html", {"--screenshot=" + (out / "blank.png")});
  const std::string shot = read_file(out / "timeline.png");
  const std::string blank = read_file(out / "blank.png");
  ASSERT_EQ(shot.substr(0, 8), "\x89PNG\r\n\x1a\n");
  ASSERT_EQ(blank.substr(0, 8), "\x89PNG\r\n\x1a\n");
  EXPECT_GT(shot.size(), 10 * blank.size());

  // Measured in a frame of each width, since headless Chromium's window is never narrower than
  // 500 px: the smallest text of the figures as drawn, how many drawings scroll, and whether the
  // page itself fits.
  constexpr std::string_view script = R"(<script>
function measure(frame) {
  const page = frame.contentDocument;
  const view = frame.contentWindow;
  let smallest = Infinity;
  for (const text of page.querySelectorAll("svg text")) {
    const size = parseFloat(view.getComputedStyle(text).fontSize) * text.getScreenCTM().a;
    smallest = Math.min(smallest, size);
  }
  const drawings = [...page.querySelectorAll("figure .drawing")];
  const scrolling = drawings.filter(drawing => drawing.scrollWidth > drawing.clientWidth).length;
  const fits = page.documentElement.scrollWidth <= view.innerWidth;
  document.body.insertAdjacentHTML("afterbegin", "<pre id=probe>width=" + view.innerWidth +
      " smallest=" + smallest.toFixed(2) + " scrolling=" + scrolling + " fits=" + fits + "</pre>");
}
</script>
)";
  const std::regex measured(
      "<pre id=\"probe\">width=(\\d+) smallest=([0-9.]+) scrolling=(\\d+) fits=(\\w+)</pre>");
  for (const auto& [width, scrolling] : {std::pair{420, "4"}, std::pair{1000, "0"}}) {
    const std::string name = "measure-" + std::to_string(width) + ".html";
    std::ofstream(out / name)
        << "<!DOCTYPE html><title>measure</title><style>body { margin: 0; } iframe { border: 0; "
           "width: "
        << width << "px; height: 2000px; }</style>\n"
        << script << "<iframe src=\"timeline.html\" onload=\"measure(this)\"></iframe>\n";
    const std::string probe =
        browser.show(out.path() / name, {"--allow-file-access-from-files", "--dump-dom"}).out;
    std::smatch found;
    ASSERT_TRUE(std::regex_search(probe, found, measured)) << probe.substr(0, 400);
    EXPECT_EQ(found[1], std::to_string(width));
    EXPECT_GE(std::stod(found[2]), 9.95) << "at " << width << " px";
    EXPECT_EQ(found[3], scrolling) << "drawings scrolling at " << width << " px";
    EXPECT_EQ(found[4], "true") << "the page is wider than " << width << " px";
  }
}

// The check itself, on a page made to hold one fault of each kind it looks for, and one text of
// each kind it must let be. Fault: a check that finds nothing (a script that measures nothing, a
// line's points not followed, what a label names not told apart) passes every page.
TEST(DrawChromium, TheCheckFindsWhatItLooksFor) {
  const std::string path = chromium();
  if (path.empty())
    GTEST_SKIP() << "no chromium on PATH";
  const std::string page = R"(<!DOCTYPE html><html><head><meta charset="utf-8"><style>
text { font: 11px "DejaVu Sans"; }</style></head><body>
<section id="made"><svg xmlns="http://www.w3.org/2000/svg" viewBox="0 0 400 300" width="400">
<g class="view" data-box="0,0,400,200">
<g class="marks">
<rect data-id="1" x="10" y="40" width="100" height="12"/>
<rect x="200" y="40" width="100" height="12"/>
<path class="arrow" data-id="2" d="M10,100 C10,150 300,150 300,180"/>
<path class="counter" d="M10,185 L380,185"/>
</g>
<g class="labels">
<text class="label" data-of="1" x="12" y="50">over its own</text>
<text class="label" data-of="1" x="210" y="50">over another</text>
<text class="oncpu" data-of="1" x="60" y="50">out of its bar</text>
<text class="label" x="150" y="150">on the arrow</text>
<text class="label" data-of="2" x="120" y="168">over its arrow</text>
<text class="label" x="10" y="80">one</text>
<text class="label" x="20" y="82">two</text>
<text class="value" x="10" y="189">on the line</text>
<text class="label" x="300" y="205">under the panel</text>
</g></g>
<text x="380" y="250">past the figure</text>
</svg></section></body></html>
)";
  const LabelCheck check = check_labels(Browser(path), page);
  std::multiset<std::string> faults(check.faults.begin(), check.faults.end());
  for (const char* fault : {
           "made: text over a span it does not name: \"over another\"",
           "made: text runs out of its bar: \"out of its bar\"",
           "made: text over a arrow it does not name: \"on the arrow\"",
           "made: texts overlap: \"one\" and \"two\"",
           "made: text over a counter it does not name: \"on the line\"",
           "made: text outside its panel: \"under the panel\"",
           "made: text outside its figure: \"past the figure\"",
       }) {
    EXPECT_EQ(faults.count(fault), 1U) << fault;
    faults.erase(fault);
  }
  // "out of its bar" also overlaps "over its own"; nothing else is wrong.
  EXPECT_EQ(
      faults,
      (std::multiset<std::string>{"made: texts overlap: \"over its own\" and \"out of its bar\""}));
  EXPECT_EQ(check.labels, 4);
  EXPECT_EQ(check.marks, 4);
}

bool strace_traces() {
  return run("/usr/bin/env", {"strace", "-o", "/dev/null", "true"}).status == 0;
}

// A real run: the tour with --timeline, its programs and lens in a folder of links whose lens
// keeps the records it is given to draw, and the page drawn from those records checked as the
// recorded ones are. Where perf may record, the scheduler's panels are on the page too.
TEST(DrawChromium, ARealRunsPageKeepsLabelsApart) {
  const std::string path = chromium();
  if (path.empty())
    GTEST_SKIP() << "no chromium on PATH";
  if (!strace_traces())
    GTEST_SKIP() << "strace cannot trace here";
  TempDir stand_in("real-run");
  const fs::path bin = fs::path(program("forkrelay")).parent_path();
  fs::create_directories(stand_in.path() / "bin");
  fs::create_directories(stand_in.path() / "tools");
  for (const auto& entry : fs::directory_iterator(bin))
    fs::create_symlink(entry.path(), stand_in.path() / "bin" / entry.path().filename());
  const std::string lens_path = stand_in / "tools/lens";
  std::ofstream(lens_path) << "#!/bin/sh\n"
                              "if [ \"$1\" = timeline ]; then\n"
                              "  cp -R \"$2\" \"$3/records\" || exit 1\n"
                              "fi\n"
                              "exec '" LENS_TOOL "' \"$@\"\n";
  fs::permissions(lens_path, fs::perms::owner_all);
  const std::string drawn = stand_in / "drawn";
  const Result toured =
      run(SOURCE_DIR "/tour",
          {"--no-color", "--lessons", "--bin", stand_in / "bin", "--timeline", drawn},
          {.timeout = 280s});
  ASSERT_EQ(toured.status, 0) << toured.err << toured.out;
  const fs::path records = fs::path(drawn) / "records";
  ASSERT_TRUE(fs::is_regular_file(records / "1-pipe-forkrelay.strace"));
  const std::vector<lens::Figure> figures = dumped_figures({records.string()});
  ASSERT_EQ(figures.size(), 4U + 3U);  // the steps, then relaykeep's and gaterace's two halves
  // The page checked is the one the tour wrote.
  EXPECT_EQ(read_file(fs::path(drawn) / "timeline.html"), lens::page_html(figures));
  std::size_t scheduler_panels = 0;
  for (const lens::Figure& figure : figures) {
    EXPECT_EQ(figure.missing, "") << figure.title;
    ASSERT_FALSE(figure.panels.empty()) << figure.title;
    EXPECT_EQ(figure.panels.front().source, lens::Source::strace) << figure.title;
    scheduler_panels += figure.panels.size() - 1;
  }
  // Where perf recorded, the scheduler's panels are drawn too (a step whose record shows none of
  // its tasks has none, so not all four need one).
  if (fs::is_regular_file(records / "2-threads.perf")) {
    EXPECT_GE(scheduler_panels, 1U);
  }
  expect_apart(Browser(path), figures, "a real run");
}

}  // namespace
}  // namespace ipcwalk
