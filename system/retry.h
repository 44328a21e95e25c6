// Waiting for another program or run to let go of a file: one attempt after another, in short
// pauses, for a bounded time. Every wait of the system layer goes through here.
#ifndef PAIRSET_SYSTEM_RETRY_H_
#define PAIRSET_SYSTEM_RETRY_H_

#include <algorithm>

namespace pairset::platform {

// How long a run waits for another program (a lock on the target, a reader for a FIFO); past it
// the target is not written, and the run says it cannot open it.
inline constexpr int kLongestWaitMilliseconds = 5000;

// The pauses between attempts, in milliseconds: the first, and the longest it doubles up to.
struct Pauses {
  int first;
  int longest;
};

// For a lock or a reader, which another run or program gives up at any moment.
inline constexpr Pauses kSteadyPauses{20, 20};
// For a file a scanner or an indexer has open for a while: quick at first, then sparing.
inline constexpr Pauses kGrowingPauses{10, 500};

// Lets the thread sleep for `milliseconds`.
void pause_for(int milliseconds);

// Calls `attempt` until it gives true, for `longest` milliseconds of pauses at most; gives whether
// it did. An attempt with an answer other than "again" gives true and keeps that answer itself.
template <class Attempt>
bool keep_trying(int longest, Pauses pauses, Attempt attempt) {
  int pause = pauses.first;
  for (int waited = 0;; waited += pause, pause = std::min(pause * 2, pauses.longest)) {
    if (attempt()) return true;
    if (waited >= longest) return false;
    pause_for(pause);
  }
}

}  // namespace pairset::platform

#endif  // PAIRSET_SYSTEM_RETRY_H_
