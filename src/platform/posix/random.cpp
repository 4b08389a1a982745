// Random bytes on Linux: getrandom, retried after interruptions and short reads.
#include "platform/random.h"

#include <sys/random.h>

#include <cerrno>

namespace vyo::platform {

bool RandomBytes(std::uint8_t* out, std::size_t size) {
  std::size_t done = 0;
  while (done < size) {
    const ssize_t n = getrandom(out + done, size - done, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace vyo::platform
