#include "facts/scheduler.h"

namespace lens {

bool is_root(const SchedRun& record, const SchedThread& thread) {
  return thread.parent == 0 || record.thread(thread.parent) == nullptr;
}

const SchedSpan* woken_sleep(const std::vector<SchedSpan>& spans, int waker, Micros after) {
  const SchedSpan* found = nullptr;
  for (const SchedSpan& span : spans) {
    if (span.doing == Doing::asleep && span.waker > 0 && span.begin >= after &&
        (waker == 0 || span.waker == waker)) {
      found = &span;
    }
  }
  return found;
}

std::optional<Micros> ran_after(const std::vector<SchedSpan>& spans, Micros at) {
  for (const SchedSpan& span : spans) {
    if (span.doing == Doing::running && span.begin >= at) {
      return span.begin;
    }
  }
  return std::nullopt;
}

std::pair<std::size_t, int> wait_of(const std::vector<SchedSpan>& spans, std::size_t last,
                                    int giver) {
  std::size_t first = last;
  int others = 0;
  for (std::size_t index = last; index-- > 0;) {
    const SchedSpan& span = spans[index];
    if (span.doing != Doing::asleep) {
      continue;
    }
    if (span.how != spans[last].how || span.waker == giver) {
      break;
    }
    first = index;
    ++others;
  }
  return {first, others};
}

Micros running_in_all(const SchedRun& record) {
  Micros running = 0;
  for (const SchedThread& thread : record.threads) {
    running += thread.running;
  }
  return running;
}

}  // namespace lens
