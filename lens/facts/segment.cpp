#include "facts/segment.h"

namespace lens {

SegmentRunFacts find_segment_run(const Log& log) {
  SegmentRunFacts facts;
  facts.pid = log.main_pid;
  facts.life = program_life(log);
  const Collections collections(log, facts.pid);
  long long attached = 0;
  for (const std::size_t at : log.places_of(facts.pid)) {
    const Call& call = log.calls[at];
    const bool done = call.succeeded();
    if (done && (call.name == "shmget" || call.name == "shmat" || call.name == "shmdt")) {
      facts.segment_calls.push_back(&call);
      if (call.name == "shmget" && !facts.made) {
        facts.made = call.end;
      }
      const int change = call.name == "shmat" ? 1 : call.name == "shmdt" ? -1 : 0;
      if (change != 0) {
        facts.attachments.emplace_back(call.end, change);
        attached += change;
      }
    } else if (call.name == "read" && first_argument(call) == 0) {
      facts.pauses.push_back(interval_of(call));
    } else if (const auto child = forked_pid(call)) {
      const Micros end = interval_of(call).end;
      const Micros collected =
          collections.after(call, *child).value_or(log.ended(*child).value_or(end));
      facts.shells.push_back(Interval{call.begin, std::max(call.begin, collected)});
    }
  }
  for (; attached > 0; --attached) {
    facts.attachments.emplace_back(facts.life.end, -1);
  }
  return facts;
}

}  // namespace lens
