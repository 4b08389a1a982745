// Retention of old log files by age and total size.
#pragma once
#include <cstdint>
#include <string>

namespace base {

// Deletes, among the files directly in `directory` whose name contains `pattern` and whose extension
// (from the last "." of the name, ignoring a ":" stream suffix) equals `extension`: those last
// written more than `hours` ago, then the oldest of the rest while their total size exceeds `bytes`.
// `now_ns` is the current time in nanoseconds since 1970 (0: take the system clock). Returns the
// number of files deleted.
int PruneLogDirectory(const std::u16string& directory, const std::u16string& pattern,
                      const std::u16string& extension, std::uint32_t hours, std::uint64_t bytes,
                      std::int64_t now_ns = 0);

}  // namespace base
