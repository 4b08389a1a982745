#include "capture/frame_pacer.h"

namespace vyo::capture {

bool FramePacer::Accept(uint32_t rate, int64_t now, bool force) {
  if (frequency <= 0) return true;
  if (rate == 0) rate = 30;
  int64_t interval = (frequency + rate / 2) / rate;
  if (interval < 1) interval = 1;
  if (next_due != 0 && rate == paced_rate) {
    if (force) return true;
    if (now < next_due) return false;
    next_due = now + interval - ((now - next_due) % interval);
    return true;
  }
  paced_rate = rate;
  next_due = now + interval;
  return true;
}

}  // namespace vyo::capture
