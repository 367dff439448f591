#include "chromium_page.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string_view>

namespace ipcwalk {
namespace {

namespace fs = std::filesystem;

// Collects the boxes of every text and mark of each figure, as drawn, and writes what is wrong
// with them into the page, in a <pre id="label-check"> of JSON (its <, > and & escaped, so that
// Chromium's dump of the DOM gives it back unchanged).
constexpr std::string_view check_script = R"(<script>
(function () {
  const near = 0.01;
  const meets = (a, b) => a.left < b.right - near && b.left < a.right - near &&
      a.top < b.bottom - near && b.top < a.bottom - near;
  const holds = (a, b) => b.left >= a.left - near && b.right <= a.right + near &&
      b.top >= a.top - near && b.bottom <= a.bottom + near;
  const within = (box, point) => point.x > box.left + near && point.x < box.right - near &&
      point.y > box.top + near && point.y < box.bottom - near;
  const said = (element) => JSON.stringify(element.textContent.slice(0, 48));
  // The points of a path of absolute M, L, H, V and C commands, every half unit along it.
  const pathPoints = (d) => {
    const tokens = d.match(/[A-Za-z]|-?[0-9.]+(?:e-?[0-9]+)?/g) || [];
    const points = [];
    let x = 0, y = 0, command = "", at = 0;
    const number = () => parseFloat(tokens[at++]);
    const lineTo = (x1, y1) => {
      const steps = Math.max(1, Math.ceil(Math.hypot(x1 - x, y1 - y) / 0.5));
      for (let step = 1; step <= steps; step++) {
        points.push({x: x + (x1 - x) * step / steps, y: y + (y1 - y) * step / steps});
      }
      x = x1;
      y = y1;
    };
    while (at < tokens.length) {
      if (/[A-Za-z]/.test(tokens[at])) command = tokens[at++];
      if (command === "M") {
        x = number();
        y = number();
        points.push({x, y});
        command = "L";
      } else if (command === "L") {
        lineTo(number(), number());
      } else if (command === "H") {
        lineTo(number(), y);
      } else if (command === "V") {
        lineTo(x, number());
      } else if (command === "C") {
        const c = [x, y, number(), number(), number(), number(), number(), number()];
        const steps = Math.max(8, Math.ceil(Math.hypot(c[6] - x, c[7] - y) / 0.5));
        for (let step = 1; step <= steps; step++) {
          const t = step / steps, u = 1 - t;
          const weights = [u * u * u, 3 * u * u * t, 3 * u * t * t, t * t * t];
          points.push({x: weights.reduce((sum, w, k) => sum + w * c[2 * k], 0),
                       y: weights.reduce((sum, w, k) => sum + w * c[2 * k + 1], 0)});
        }
        x = c[6];
        y = c[7];
      } else {
        at++;
      }
    }
    return points;
  };
  const result = {faults: [], figures: 0, texts: 0, labels: 0, marks: 0};
  for (const svg of document.querySelectorAll("svg")) {
    result.figures++;
    const figure = svg.closest("section").id;
    const fault = (text) => result.faults.push(figure + ": " + text);
    const ctm = svg.getScreenCTM();
    const screen = (x, y) => ({x: ctm.a * x + ctm.c * y + ctm.e, y: ctm.b * x + ctm.d * y + ctm.f});
    const figureBox = svg.getBoundingClientRect();
    const views = new Map();
    for (const view of svg.querySelectorAll("g.view")) {
      const [x, y, w, h] = view.dataset.box.split(",").map(Number);
      const from = screen(x, y);
      const to = screen(x + w, y + h);
      views.set(view, {left: from.x, top: from.y, right: to.x, bottom: to.y});
    }
    const texts = [...svg.querySelectorAll("text")].map(
        (element) => ({element, box: element.getBoundingClientRect()}));
    result.texts += texts.length;
    const marks = [];
    for (const element of svg.querySelectorAll("g.marks > *")) {
      if (element.classList.contains("halo")) continue;
      const mark = {element, id: element.dataset.id, box: element.getBoundingClientRect()};
      if (element.classList.contains("arrow") || element.classList.contains("counter")) {
        // A line is where its points are, not its box: its points every half unit, by column.
        const to = element.getScreenCTM();
        mark.columns = new Map();
        for (const point of pathPoints(element.getAttribute("d"))) {
          const x = to.a * point.x + to.c * point.y + to.e;
          const y = to.b * point.x + to.d * point.y + to.f;
          const column = Math.floor(x);
          if (!mark.columns.has(column)) mark.columns.set(column, []);
          mark.columns.get(column).push({x, y});
        }
      }
      marks.push(mark);
    }
    result.marks += marks.length;
    for (let one = 0; one < texts.length; one++) {
      const text = texts[one];
      for (let other = one + 1; other < texts.length; other++) {
        if (meets(text.box, texts[other].box)) {
          fault("texts overlap: " + said(text.element) + " and " + said(texts[other].element));
        }
      }
      if (!holds(figureBox, text.box)) fault("text outside its figure: " + said(text.element));
      const view = text.element.closest("g.view");
      if (view && !holds(views.get(view), text.box)) {
        fault("text outside its panel: " + said(text.element));
      }
      const names = text.element.dataset.of;
      if (names !== undefined) result.labels++;
      for (const mark of marks) {
        if (mark.id !== undefined && mark.id === names) {
          if (text.element.classList.contains("oncpu") && mark.element.tagName === "rect" &&
              (text.box.left < mark.box.left - near || text.box.right > mark.box.right + near)) {
            fault("text runs out of its bar: " + said(text.element));
          }
          continue;
        }
        let over = false;
        if (mark.columns) {
          for (let column = Math.floor(text.box.left); column <= text.box.right && !over;
               column++) {
            over = (mark.columns.get(column) || []).some((point) => within(text.box, point));
          }
        } else {
          over = meets(text.box, mark.box);
        }
        if (over) {
          fault("text over a " + (mark.element.getAttribute("class") || "span") +
                " it does not name: " + said(text.element));
        }
      }
    }
  }
  const written = JSON.stringify(result).replace(/&/g, "\\u0026").replace(/</g, "\\u003c")
      .replace(/>/g, "\\u003e");
  document.body.insertAdjacentHTML("beforeend", "<pre id=\"label-check\">" + written + "</pre>");
})();
</script>
)";

}  // namespace

std::string chromium() {
  const char* path = std::getenv("PATH");
  std::istringstream folders(path != nullptr ? path : "/usr/bin:/bin");
  for (std::string folder; std::getline(folders, folder, ':');) {
    for (const char* name : {"chromium", "chromium-browser"}) {
      const fs::path candidate = fs::path(folder) / name;
      if (!folder.empty() && access(candidate.c_str(), X_OK) == 0)
        return candidate.string();
    }
  }
  return "";
}

Result Browser::show(const fs::path& page, const std::vector<std::string>& flags) const {
  std::vector<std::string> args{"--headless",
                                "--no-sandbox",
                                "--disable-gpu",
                                "--disable-quic",
                                "--no-first-run",
                                "--disable-background-networking",
                                "--disable-component-update",
                                "--disable-sync",
                                "--hide-scrollbars",
                                "--user-data-dir=" + (profile_.path() / "profile").string(),
                                "--window-size=1000,2600"};
  args.insert(args.end(), flags.begin(), flags.end());
  args.push_back("file://" + page.string());
  const Result shown = run(path_, args, {.timeout = 90s});
  EXPECT_FALSE(shown.timed_out) << page;
  EXPECT_EQ(shown.status, 0) << shown.err;
  return shown;
}

LabelCheck check_labels(const Browser& browser, const std::string& page) {
  TempDir dir("label-check");
  const std::size_t end = page.rfind("</body>");
  EXPECT_NE(end, std::string::npos);
  std::ofstream(dir / "page.html") << page.substr(0, end) << check_script << page.substr(end);
  const std::string dom = browser.show(dir.path() / "page.html", {"--dump-dom"}).out;
  LabelCheck check;
  const std::string open = "<pre id=\"label-check\">";
  const std::size_t from = dom.find(open);
  const std::size_t to = dom.find("</pre>", from);
  if (from == std::string::npos || to == std::string::npos) {
    ADD_FAILURE() << "the check wrote nothing: " << dom.substr(0, 400);
    return check;
  }
  const Json result = Json::parse(dom.substr(from + open.size(), to - from - open.size()));
  check.faults = result.at("faults").get<std::vector<std::string>>();
  check.figures = result.at("figures");
  check.texts = result.at("texts");
  check.labels = result.at("labels");
  check.marks = result.at("marks");
  return check;
}

}  // namespace ipcwalk
