// Endings on POSIX systems: every signal that would end the process removes the new file first, and
// is deferred while a file is between states; a pipe whose reader left can be made a failed write.
#include <signal.h>
#include <unistd.h>

#include <cstring>

#include "system/endings.h"
#include "system/endings_posix.h"

namespace pairset::platform {
namespace {

// The signals that end a process by default and may be caught, other than those that report a
// fault in the program itself (SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS, SIGABRT).
// SIGXFSZ is ignored instead, so that a file-size limit is a failed write.
constexpr int kEndingSignals[] = {
    SIGHUP,    SIGINT,  SIGQUIT, SIGPIPE,   SIGALRM, SIGTERM,
    SIGUSR1,   SIGUSR2, SIGXCPU, SIGVTALRM, SIGPROF,
#ifdef SIGPOLL
    SIGPOLL,
#endif
#ifdef SIGPWR
    SIGPWR,
#endif
#ifdef SIGSTKFLT
    SIGSTKFLT,
#endif
};

// Gives the set of every ending signal, the real-time ones included.
sigset_t ending_signals() {
  sigset_t set;
  sigemptyset(&set);
  for (const int signal_number : kEndingSignals) sigaddset(&set, signal_number);
#ifdef SIGRTMIN
  for (int signal_number = SIGRTMIN; signal_number <= SIGRTMAX; ++signal_number) {
    sigaddset(&set, signal_number);
  }
#endif
  return set;
}

// The new file that a signal must remove, by its folder and name; kept where a signal handler
// may read it. A name has at most 255 bytes.
int g_folder = -1;
char g_name[256];
volatile sig_atomic_t g_new_file_exists = 0;
constexpr int kSignalLimit = 65;

extern "C" void remove_new_file_and_end(int signal_number) {
  if (g_new_file_exists != 0) static_cast<void>(unlinkat(g_folder, g_name, 0));
  // The signal's usual result stands: it is raised again with the default action.
  struct sigaction default_action {};
  default_action.sa_handler = SIG_DFL;
  sigemptyset(&default_action.sa_mask);
  static_cast<void>(sigaction(signal_number, &default_action, nullptr));
  static_cast<void>(raise(signal_number));
}

// Installs the handlers once; they stay. With no new file noted, a handler only raises its
// signal again with the default action, which is what the signal would have done.
void install_handlers() {
  static bool installed = false;
  if (installed) return;
  installed = true;
  const sigset_t endings = ending_signals();
  struct sigaction action {};
  action.sa_handler = remove_new_file_and_end;
  action.sa_mask = endings;
  for (int signal_number = 1; signal_number < kSignalLimit; ++signal_number) {
    if (sigismember(&endings, signal_number) != 1) continue;
    struct sigaction previous {};
    if (sigaction(signal_number, &action, &previous) == 0 && previous.sa_handler == SIG_IGN) {
      static_cast<void>(sigaction(signal_number, &previous, nullptr));
    }
  }
}

// How many EndingsDeferred scopes are open, and the signal mask from before the first.
int g_deferrals = 0;
sigset_t g_mask_before_deferring;

// What SIGPIPE did before the broken pipes were reported.
struct sigaction g_pipe_before {};

}  // namespace

bool note_file_in_flight(int folder, const char* name) {
  const std::size_t size = std::strlen(name);
  if (size >= sizeof g_name) return false;
  install_handlers();
  std::memcpy(g_name, name, size + 1);
  g_folder = folder;
  g_new_file_exists = 1;
  return true;
}

void forget_file_in_flight() {
  g_new_file_exists = 0;
}

bool ending_requested() {
  return false;
}

EndingsDeferred::EndingsDeferred() {
  if (g_deferrals++ > 0) return;
  const sigset_t endings = ending_signals();
  static_cast<void>(sigprocmask(SIG_BLOCK, &endings, &g_mask_before_deferring));
}

EndingsDeferred::~EndingsDeferred() {
  if (--g_deferrals > 0) return;
  static_cast<void>(sigprocmask(SIG_SETMASK, &g_mask_before_deferring, nullptr));
}

BrokenPipesReported::BrokenPipesReported() {
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  static_cast<void>(sigaction(SIGPIPE, &ignore, &g_pipe_before));
}

BrokenPipesReported::~BrokenPipesReported() {
  static_cast<void>(sigaction(SIGPIPE, &g_pipe_before, nullptr));
}

}  // namespace pairset::platform
