#include "model/mechanisms.h"

#include <algorithm>

#include "model/build.h"
#include "model/figures.h"
#include "model/scheduler.h"

namespace lens {
namespace {

constexpr std::array<MechanismRow, step_names.size()> table_rows{{
    {Mechanism::pipe, &step_names[0], pipe_figure, pipe_scheduler, pipe_schedstat,
     relaykeep_figures},
    {Mechanism::threads, &step_names[1], threads_figure, threads_scheduler, threads_schedstat,
     tallyrace_figures},
    {Mechanism::segment, &step_names[2], segment_figure, segment_scheduler, segment_schedstat,
     segtear_figures},
    {Mechanism::semaphore, &step_names[3], semaphore_figure, semaphore_scheduler,
     semaphore_schedstat, gaterace_figures},
}};

// Each row where its mechanism's value says, so that a row is found by its index alone.
constexpr bool rows_in_order() {
  for (std::size_t index = 0; index < table_rows.size(); ++index) {
    if (static_cast<std::size_t>(table_rows[index].mechanism) != index) {
      return false;
    }
  }
  return true;
}
static_assert(rows_in_order(), "the table's table_rows follow the Mechanism values, one each");
static_assert(static_cast<std::size_t>(Mechanism::semaphore) + 1 == table_rows.size(),
              "every Mechanism has its row");

// Whether the watcher recorded any of a step's runs.
bool watched_any(const WatchedRuns& runs) {
  return std::any_of(runs.begin(), runs.end(),
                     [](const std::optional<WatchRecord>& run) { return run.has_value(); });
}

}  // namespace

const std::array<MechanismRow, step_names.size()>& mechanisms() {
  return table_rows;
}

const MechanismRow& row_of(Mechanism mechanism) {
  return table_rows[static_cast<std::size_t>(mechanism)];
}

std::vector<Figure> figures(const TourRecords& records) {
  std::vector<Figure> made;
  for (std::size_t index = 0; index < table_rows.size(); ++index) {
    const MechanismRow& row = table_rows[index];
    Figure figure = row.strace_figure(records.steps[index]);
    const std::optional<SchedRun>& sched = records.steps[index].sched;
    if (figure.missing.empty() && sched) {
      if (sched->threads.empty()) {
        const std::string why =
            sched->problems.empty() ? "it shows none of the step's tasks" : sched->problems.front();
        figure.notes.push_back(
            note("scheduler.none", "Scheduler: no CPU view for this step: {why}.", {{"why", why}}));
      } else {
        row.scheduler(figure, *sched);
        figure.kernel = kernel_text(*sched);
      }
    } else if (figure.missing.empty() && watched_any(records.steps[index].watched)) {
      row.schedstat(figure, records.steps[index].watched);
    }
    made.push_back(std::move(figure));
  }
  for (std::size_t index = 0; index < table_rows.size(); ++index) {
    for (Figure& lesson : table_rows[index].lesson_figures(records.lessons[index])) {
      made.push_back(std::move(lesson));
    }
  }
  return made;
}

}  // namespace lens
