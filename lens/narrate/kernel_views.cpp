#include "narrate/kernel_views.h"

#include <string>
#include <string_view>

#include "facts/pipe.h"
#include "facts/threads.h"

namespace lens {
namespace {

// A view: the narrator's lines, and the calls as strace wrote them.
class KernelView {
 public:
  explicit KernelView(Narrator& narrator) : narrator_(narrator) {}

  void say(std::string_view text) {
    narrator_.say(text);
  }

  // A call as strace wrote it, after its pid, and the bytes dumped under it; nothing where the
  // log does not show the call.
  void show(const Call* call) {
    if (call == nullptr) {
      return;
    }
    narrator_.show(std::to_string(call->pid) + "  " + call->text);
    for (const std::string& line : call->dump) {
      narrator_.show(line);
    }
  }

 private:
  Narrator& narrator_;
};

}  // namespace

void pipe_view(const Log& log, Narrator& narrator) {
  KernelView view(narrator);
  const auto facts = find_pipe(log);
  if (!facts) {
    view.say("strace's log shows no pipe and fork here.");
    return;
  }
  const std::string parent = std::to_string(facts->parent);
  const std::string child = std::to_string(facts->child);
  view.say("strace, the calls on the pipe; the number in front is the process: " + parent +
           " the parent, " + child + " the child.");
  view.say("The parent makes the pipe: descriptor " + std::to_string(facts->read_end) +
           " is its read end, " + std::to_string(facts->write_end) + " its write end.");
  view.show(facts->pipe);
  view.say("It forks: process " + child + " starts with copies of both descriptors.");
  view.show(facts->fork);
  view.say("The parent closes the read end: it only writes.");
  view.show(facts->parent_close);
  view.say(
      "It writes the whole record into the write end: 128 bytes, the text, EF BC 81 (the "
      "full-width !), then zeros.");
  view.show(facts->write);
  view.say(
      "The child closes its write end: had the parent ended without writing, its read would end "
      "instead of waiting for ever.");
  view.show(facts->child_close);
  view.say(
      "It reads 128 bytes from the read end: the same record, byte for byte, copied through the "
      "kernel.");
  view.show(facts->read);
}

void threads_view(const Log& log, Narrator& narrator) {
  KernelView view(narrator);
  const ThreadFacts facts = find_threads(log);
  if (facts.advice != nullptr) {
    view.say(
        "main advises the kernel to back the table with 2 MiB huge pages (only advice: it may "
        "decline):");
    view.show(facts.advice);
  } else {
    view.say("strace saw no huge-page advice (madvise MADV_HUGEPAGE) here.");
  }
  int workers = 0;
  std::string list;
  const Call* first = nullptr;
  for (const Worker& worker : facts.workers) {
    if (!worker.exited) {
      continue;  // a sanitizer's thread, say: it never ends on its own
    }
    ++workers;
    list += ' ' + std::to_string(worker.tid);
    first = first != nullptr ? first : worker.creation;
  }
  if (first != nullptr) {
    view.say("The first worker: " + first->name +
             " with CLONE_VM and CLONE_THREAD makes a thread of the same process, in the same "
             "memory.");
    view.show(first);
  }
  view.say("main made " + std::to_string(workers) +
           " worker threads that ran to their end (exit):" + list + ".");
  std::string most =
      "At most " + std::to_string(facts.most_alive) + " threads at once, main included";
  if (facts.most_alive < workers + 1) {
    most +=
        ": the first workers had finished before the last were made. strace stops main at each "
        "thread creation, long enough for a worker's sixteenth to be counted; without strace "
        "they overlap";
  }
  view.say(most + ".");
}

}  // namespace lens
