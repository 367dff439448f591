#include "records/record_files.h"

namespace lens {

std::string run_file(const StepNames& step, std::string_view run) {
  std::string name(step.prefix);
  name += '-';
  name += run;
  return name;
}

std::string lesson_file(std::string_view lesson, int k) {
  std::string name = "lesson-";
  name += lesson;
  name += '-';
  name += std::to_string(k);
  return name;
}

std::string names_text() {
  std::string text;
  for (const StepNames& step : step_names) {
    std::string name(step.name);
    for (char& letter : name) {
      letter = letter == ' ' ? '_' : letter;
    }
    text += "step ";
    text += step.word;
    text += ' ';
    text += step.prefix;
    text += ' ';
    text += name;
    text += ' ';
    text += step.lesson;
    text += '\n';
    for (const RunName& run : step.runs) {
      if (!run.run.empty()) {
        text += "run ";
        text += step.word;
        text += ' ';
        text += run.run;
        text += ' ';
        text += run_file(step, run.run);
        text += '\n';
      }
    }
  }
  return text;
}

}  // namespace lens
