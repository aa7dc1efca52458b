#include "ControlSignals.h"

#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "Exception.h"

namespace pelmar {
namespace {

constexpr int ControlSignalList[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

struct TRegistration {
  std::string ServiceName;
  TServiceCtrlHandler Handler;
};

struct TSignalState {
  std::mutex Lock;
  TConsoleCtrlHandler ConsoleHandler;               // guarded by Lock
  std::map<std::uint64_t, TRegistration> Services;  // guarded by Lock; called under it
  std::uint64_t NextHandle = 1;                     // guarded by Lock
  std::vector<std::thread> ConsoleThreads;          // guarded by Lock

  bool Running = false;  // changed by the starting thread only
  bool StartedOnTerminal = false;
  sigset_t Ignored;  // ignored when the process started (nohup): they stay ignored
  int SignalFd = -1;
  int WakeFd = -1;
  sigset_t OldMask;
  std::thread Thread;
};

TSignalState& State() {
  static TSignalState S;
  return S;
}

sigset_t ControlSet() {
  sigset_t Set;
  sigemptyset(&Set);
  for (int Signal : ControlSignalList)
    sigaddset(&Set, Signal);
  return Set;
}

// Delivers Signal to the calling thread with the signal unblocked there and its default
// disposition restored, so that it acts as if nobody had intercepted it (the process ends). A
// library's handler (the embedded database engine installs some) must not swallow it.
void TakeDefaultAction(int Signal) {
  signal(Signal, SIG_DFL);
  sigset_t One;
  sigemptyset(&One);
  sigaddset(&One, Signal);
  pthread_sigmask(SIG_UNBLOCK, &One, nullptr);
  raise(Signal);
  pthread_sigmask(SIG_BLOCK, &One, nullptr);
}

void Dispatch(int Signal) {
  TSignalState& S = State();
  // Blocked signals are queued even when their disposition is to ignore them.
  if (sigismember(&S.Ignored, Signal))
    return;
  std::unique_lock Guard(S.Lock);
  TSignalTarget Target = RouteSignal(Signal, static_cast<bool>(S.ConsoleHandler),
                                     S.StartedOnTerminal, !S.Services.empty());
  switch (Target.Route) {
    case TSignalRoute::ConsoleEvent: {
      // Each event gets a thread of its own: the close handler may block until the process
      // winds down, and further signals must still be taken meanwhile.
      TConsoleCtrlHandler Handler = S.ConsoleHandler;
      S.ConsoleThreads.emplace_back([Handler, Signal, Type = Target.CtrlType] {
        if (!Handler(Type))
          TakeDefaultAction(Signal);
      });
      break;
    }
    case TSignalRoute::ServiceControl:
      for (auto& Entry : S.Services)
        Entry.second.Handler(Target.Control);
      break;
    case TSignalRoute::DefaultAction:
      Guard.unlock();
      TakeDefaultAction(Signal);
      break;
  }
}

void SignalThread() {
  TSignalState& S = State();
  for (;;) {
    pollfd Fds[2] = {{S.SignalFd, POLLIN, 0}, {S.WakeFd, POLLIN, 0}};
    if (poll(Fds, 2, -1) < 0) {
      if (errno == EINTR)
        continue;
      return;
    }
    if (Fds[1].revents != 0)
      return;
    signalfd_siginfo Info;
    if (read(S.SignalFd, &Info, sizeof Info) == static_cast<ssize_t>(sizeof Info))
      Dispatch(static_cast<int>(Info.ssi_signo));
  }
}

}  // namespace

TSignalTarget RouteSignal(int Signal, bool HasConsoleHandler, bool StartedOnTerminal,
                          bool HasServiceHandlers) {
  TSignalTarget Target;
  auto Console = [&](int Type) {
    if (HasConsoleHandler) {
      Target.Route = TSignalRoute::ConsoleEvent;
      Target.CtrlType = Type;
    }
  };
  auto Service = [&](std::uint32_t Control) {
    if (HasServiceHandlers) {
      Target.Route = TSignalRoute::ServiceControl;
      Target.Control = Control;
    }
  };
  switch (Signal) {
    case SIGINT:
      Console(CTRL_C_EVENT);
      break;
    case SIGQUIT:
      Console(CTRL_BREAK_EVENT);
      break;
    case SIGHUP:
      if (HasConsoleHandler && StartedOnTerminal)
        Console(CTRL_CLOSE_EVENT);
      else
        Service(SERVICE_CONTROL_PARAMCHANGE);
      break;
    case SIGTERM:
      Service(SERVICE_CONTROL_STOP);
      break;
    default:
      break;
  }
  return Target;
}

void StartControlSignals() {
  TSignalState& S = State();
  if (S.Running)
    return;
  sigset_t Set = ControlSet();
  // Only a hang-up ignored at the start (nohup) stays ignored. A shell starts background jobs
  // with SIGINT and SIGQUIT ignored as well, yet a SIGINT sent to the program on purpose must
  // still stop it in order.
  sigemptyset(&S.Ignored);
  struct sigaction HangUp;
  if (sigaction(SIGHUP, nullptr, &HangUp) == 0 && HangUp.sa_handler == SIG_IGN)
    sigaddset(&S.Ignored, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &Set, &S.OldMask);
  S.SignalFd = signalfd(-1, &Set, SFD_CLOEXEC);
  S.WakeFd = eventfd(0, EFD_CLOEXEC);
  if (S.SignalFd < 0 || S.WakeFd < 0) {
    int Err = errno;
    if (S.SignalFd >= 0)
      close(S.SignalFd);
    if (S.WakeFd >= 0)
      close(S.WakeFd);
    S.SignalFd = S.WakeFd = -1;
    pthread_sigmask(SIG_SETMASK, &S.OldMask, nullptr);
    RaiseLastOSError(Err);
  }
  S.StartedOnTerminal =
      isatty(STDIN_FILENO) != 0 || isatty(STDOUT_FILENO) != 0 || isatty(STDERR_FILENO) != 0;
  S.Running = true;
  S.Thread = std::thread(SignalThread);
}

void StopControlSignals() {
  TSignalState& S = State();
  if (!S.Running)
    return;
  std::uint64_t One = 1;
  if (write(S.WakeFd, &One, sizeof One) < 0) {
    // An eventfd write fails only on overflow, which one write cannot cause.
  }
  S.Thread.join();
  std::vector<std::thread> Threads;
  {
    std::lock_guard Guard(S.Lock);
    Threads.swap(S.ConsoleThreads);
  }
  for (std::thread& T : Threads)
    T.join();
  close(S.SignalFd);
  close(S.WakeFd);
  S.SignalFd = S.WakeFd = -1;
  S.Running = false;
  pthread_sigmask(SIG_SETMASK, &S.OldMask, nullptr);
}

bool ControlSignalsRunning() {
  return State().Running;
}

void SetConsoleCtrlHandler(TConsoleCtrlHandler Handler) {
  TSignalState& S = State();
  std::lock_guard Guard(S.Lock);
  S.ConsoleHandler = std::move(Handler);
}

std::uint64_t RegisterServiceCtrlHandlerEx(const std::string& ServiceName,
                                           TServiceCtrlHandler Handler) {
  TSignalState& S = State();
  std::lock_guard Guard(S.Lock);
  std::uint64_t Handle = S.NextHandle++;
  S.Services[Handle] = TRegistration{ServiceName, std::move(Handler)};
  return Handle;
}

void DeregisterServiceCtrlHandler(std::uint64_t Handle) {
  TSignalState& S = State();
  std::lock_guard Guard(S.Lock);
  S.Services.erase(Handle);
}

}  // namespace pelmar
