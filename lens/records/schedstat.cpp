#include "records/schedstat.h"

#include <array>
#include <charconv>

#include "records/proc.h"

namespace lens {
namespace {

// A record of a run holds a task a line: threetally's seventeen, a shell's few. A record beyond
// these bounds is no run of the tour's, and the rest of it is passed over.
constexpr std::size_t watch_file_limit = std::size_t{1} << 20U;
constexpr std::size_t watch_most_tasks = 4096;
constexpr std::size_t watch_most_line = 256;
// A task's name: the kernel's TASK_COMM_LEN less its NUL.
constexpr std::size_t watch_most_name = 15;
constexpr int watch_most_tid = 4194304;  // the kernel's PID_MAX_LIMIT
constexpr int watch_most_cpus = 65536;
// A day in nanoseconds: no task of a step lives that long, and sums of these cannot overflow.
constexpr std::int64_t watch_a_day = std::int64_t{24} * 60 * 60 * 1000 * 1000 * 1000;
// The watcher's clock counts from the machine's start: a century of nanoseconds bounds it.
constexpr std::int64_t watch_most_clock = watch_a_day * 36525;
constexpr std::int64_t watch_most_slices = std::int64_t{1} << 40U;
constexpr std::string_view watch_hex = "0123456789abcdef";
constexpr std::size_t watch_task_fields = 10;

// Whether a byte of a name is written \xNN: a blank or a control character would break the line
// or its fields, and a backslash would read as an escape.
bool escaped_in_name(unsigned char byte) {
  constexpr unsigned char delete_byte = 0x7f;
  return byte <= ' ' || byte == delete_byte || byte == '\\';
}

// A name as written: each byte that needs it as \xNN.
std::string name_text(std::string_view name) {
  std::string text;
  for (const char c : name) {
    const auto byte = static_cast<unsigned char>(c);
    if (escaped_in_name(byte)) {
      text += "\\x";
      text += watch_hex[byte >> 4U];
      text += watch_hex[byte & 0xfU];
    } else {
      text += c;
    }
  }
  return text;
}

std::optional<unsigned> hex_digit(char c) {
  const std::size_t at = watch_hex.find(c);
  return at == std::string_view::npos ? std::nullopt
                                      : std::optional<unsigned>(static_cast<unsigned>(at));
}

// A name read back: every escape as written, each escaped byte one that needs it, and no NUL;
// nothing for anything else, or a name longer than the kernel's.
std::optional<std::string> name_read(std::string_view text) {
  std::string name;
  for (std::size_t at = 0; at < text.size(); ++at) {
    const auto byte = static_cast<unsigned char>(text[at]);
    if (byte == '\\') {
      constexpr std::size_t escape_length = 4;  // \xNN
      if (at + escape_length > text.size() || text[at + 1] != 'x') {
        return std::nullopt;
      }
      const auto high = hex_digit(text[at + 2]);
      const auto low = hex_digit(text[at + 3]);
      if (!high || !low) {
        return std::nullopt;
      }
      const auto decoded = static_cast<unsigned char>((*high << 4U) | *low);
      if (decoded == 0 || !escaped_in_name(decoded)) {
        return std::nullopt;
      }
      name += static_cast<char>(decoded);
      at += escape_length - 1;
    } else if (escaped_in_name(byte)) {
      return std::nullopt;
    } else {
      name += static_cast<char>(byte);
    }
  }
  if (name.size() > watch_most_name) {
    return std::nullopt;
  }
  return name;
}

// A whole number of digits only, from least to most.
template <typename Number>
std::optional<Number> bounded(std::string_view text, Number least, Number most) {
  Number value{};
  if (text.empty() || text.front() == '-' || text.front() == '+') {
    return std::nullopt;
  }
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc{} || end != text.data() + text.size() || value < least || value > most) {
    return std::nullopt;
  }
  return value;
}

// The fields of a line split at single blanks: an empty name is an empty last field.
std::vector<std::string_view> watch_fields(std::string_view line) {
  std::vector<std::string_view> fields;
  for (;;) {
    const std::size_t blank = line.find(' ');
    fields.push_back(line.substr(0, blank));
    if (blank == std::string_view::npos) {
      return fields;
    }
    line.remove_prefix(blank + 1);
  }
}

std::optional<WatchedTask> task_of(const std::vector<std::string_view>& fields) {
  if (fields.size() != watch_task_fields || fields[0] != "task") {
    return std::nullopt;
  }
  WatchedTask task;
  const auto tid = bounded(fields[1], 1, watch_most_tid);
  const auto process = bounded(fields[2], 1, watch_most_tid);
  const auto parent = bounded(fields[3], 0, watch_most_tid);
  const auto born = bounded<std::int64_t>(fields[4], 0, watch_most_clock);
  const auto ended = bounded<std::int64_t>(fields[5], 0, watch_most_clock);
  const auto running = bounded<std::int64_t>(fields[6], 0, watch_a_day);
  const auto waiting = bounded<std::int64_t>(fields[7], 0, watch_a_day);
  const auto slices = bounded<std::int64_t>(fields[8], 0, watch_most_slices);
  auto name = name_read(fields[9]);
  if (!tid || !process || !parent || !born || !ended || !running || !waiting || !slices || !name ||
      *ended < *born || *ended - *born > watch_a_day) {
    return std::nullopt;
  }
  return WatchedTask{*tid,     *process, *parent, *born,           *ended,
                     *running, *waiting, *slices, std::move(*name)};
}

}  // namespace

std::string task_line(const WatchedTask& task) {
  std::string line = "task";
  for (const std::int64_t number :
       std::array<std::int64_t, 8>{task.tid, task.process, task.parent, task.born, task.ended,
                                   task.running, task.waiting, task.slices}) {
    line += ' ';
    line += std::to_string(number);
  }
  line += ' ';
  line += name_text(task.name.substr(0, watch_most_name));
  line += '\n';
  return line;
}

std::optional<WatchRecord> parse_watch(std::string_view text) {
  const std::size_t first_end = text.find('\n');
  if (text.substr(0, first_end) != watch_heading) {
    return std::nullopt;
  }
  WatchRecord record;
  std::size_t passed_over = 0;
  std::size_t beyond = 0;
  std::string_view rest =
      first_end == std::string_view::npos ? std::string_view() : text.substr(first_end + 1);
  while (!rest.empty()) {
    const std::size_t end = rest.find('\n');
    const std::string_view line = rest.substr(0, end);
    rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
    if (line.size() > watch_most_line) {
      ++passed_over;
      continue;
    }
    const std::vector<std::string_view> fields = watch_fields(line);
    if (fields.size() == 2 && fields[0] == "cpus" && record.cpus == 0) {
      if (const auto cpus = bounded(fields[1], 1, watch_most_cpus)) {
        record.cpus = *cpus;
        continue;
      }
    }
    if (fields.size() == 2 && fields[0] == "unread") {
      if (const auto unread = bounded(fields[1], 1, watch_most_tid)) {
        record.problems.push_back(std::to_string(*unread) +
                                  " task(s) ended where lens could not read their schedstat");
        continue;
      }
    }
    auto task = task_of(fields);
    if (!task) {
      ++passed_over;
    } else if (record.tasks.size() == watch_most_tasks) {
      ++beyond;
    } else {
      record.tasks.push_back(std::move(*task));
    }
  }
  if (passed_over > 0) {
    record.problems.push_back("the record has " + std::to_string(passed_over) +
                              " line(s) not as lens's watcher writes them, passed over");
  }
  if (beyond > 0) {
    record.problems.push_back("the record has " + std::to_string(beyond) + " more task(s) than " +
                              std::to_string(watch_most_tasks) + ", passed over");
  }
  return record;
}

std::optional<WatchRecord> read_watch(const std::string& path) {
  const auto text = read_regular(path, watch_file_limit).text;
  if (!text) {
    return std::nullopt;
  }
  // A longer file is read to its bound's last whole line.
  std::string_view whole = *text;
  if (whole.size() > watch_file_limit) {
    const std::size_t last = whole.rfind('\n', watch_file_limit - 1);
    whole = whole.substr(0, last == std::string_view::npos ? 0 : last + 1);
  }
  return parse_watch(whole);
}

}  // namespace lens
