// Writing whole: what lens writes (its record, a page, its output) goes out across short writes
// and interrupted calls, or its failure is known.
#pragma once

#include <string_view>

namespace lens {

// Writes text whole to descriptor fd; false (and errno) where it could not.
bool write_whole(int fd, std::string_view text);

}  // namespace lens
