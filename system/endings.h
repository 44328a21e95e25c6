// The endings the user or the system asks for (signals, console events): deferred while a file
// is in flight, and a broken pipe told as a failed write. Each system in its own endings_*.cc.
#ifndef PAIRSET_SYSTEM_ENDINGS_H_
#define PAIRSET_SYSTEM_ENDINGS_H_

namespace pairset::platform {

// For the life of the scope, a pipe or FIFO whose reader has left makes a write fail (and so the
// write-error message) instead of ending the process silently.
class BrokenPipesReported {
 public:
  BrokenPipesReported();
  ~BrokenPipesReported();
  BrokenPipesReported(const BrokenPipesReported&) = delete;
  BrokenPipesReported& operator=(const BrokenPipesReported&) = delete;
};

// Gives true when a console event asked the run to end (Windows, seen between pieces of writing):
// the run then removes its new file and ends as asked. POSIX ends through its signal handlers.
bool ending_requested();

// Defers every ending signal (on Windows every console event) for the life of the scope; one
// that arrives meanwhile takes effect when the last such scope ends.
class EndingsDeferred {
 public:
  EndingsDeferred();
  ~EndingsDeferred();
  EndingsDeferred(const EndingsDeferred&) = delete;
  EndingsDeferred& operator=(const EndingsDeferred&) = delete;
};

}  // namespace pairset::platform

#endif  // PAIRSET_SYSTEM_ENDINGS_H_
