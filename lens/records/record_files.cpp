#include "records/record_files.h"

#include <algorithm>

namespace lens {

std::string run_file(const StepNames& step, std::string_view run) {
  std::string file(step.prefix);
  file += '-';
  file += run;
  return file;
}

std::string lesson_file(std::string_view lesson, int k) {
  std::string file = "lesson-";
  file += lesson;
  file += '-';
  file += std::to_string(k);
  return file;
}

std::string names_text() {
  std::string text;
  for (const StepNames& step : step_names) {
    // One word a field, for bash's read: the step's name with its blanks as underscores.
    std::string name(step.name);
    std::replace(name.begin(), name.end(), ' ', '_');
    text += "step ";
    text.append(step.word).append(" ").append(step.prefix).append(" ").append(name);
    text.append(" ").append(step.lesson).append("\n");
    for (const RunName& run : step.runs) {
      if (!run.run.empty()) {
        text.append("run ").append(step.word).append(" ").append(run.run).append(" ");
        text.append(run_file(step, run.run)).append("\n");
      }
    }
  }
  return text;
}

}  // namespace lens
