// ctest-label: os
//
// The control signals: where each one goes, and, in forked children (the test runner's own
// signal state stays untouched), the signal thread delivering them to the console's close handler
// and to the services' control handlers, or leaving them to end the process.
#include "ControlSignals.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ForkedChild.h"
#include "ToolProcess.h"

namespace pelmar {
namespace {

using test::Patience;
using test::TForkedChild;

TEST(ControlSignalsTest, EachSignalHasItsRoute) {
  using R = TSignalRoute;
  struct TCase {
    int Signal;
    bool Console, Terminal, Services;
    R Route;
    int Value;  // console event type or control code
  } Cases[] = {
      {SIGINT, true, false, false, R::ConsoleEvent, CTRL_C_EVENT},
      {SIGINT, false, true, true, R::DefaultAction, 0},
      {SIGQUIT, true, true, true, R::ConsoleEvent, CTRL_BREAK_EVENT},
      {SIGQUIT, false, false, true, R::DefaultAction, 0},
      {SIGHUP, true, true, true, R::ConsoleEvent, CTRL_CLOSE_EVENT},
      {SIGHUP, true, false, true, R::ServiceControl, 6},  // no terminal: a parameter change
      {SIGHUP, false, true, true, R::ServiceControl, 6},
      {SIGHUP, true, false, false, R::DefaultAction, 0},
      {SIGTERM, true, true, true, R::ServiceControl, 1},
      {SIGTERM, true, true, false, R::DefaultAction, 0},
      {SIGUSR1, true, true, true, R::DefaultAction, 0},
  };
  for (const TCase& C : Cases) {
    TSignalTarget T = RouteSignal(C.Signal, C.Console, C.Terminal, C.Services);
    std::string Input = std::string(strsignal(C.Signal)) + (C.Console ? " console" : "") +
                        (C.Terminal ? " terminal" : "") + (C.Services ? " services" : "");
    EXPECT_EQ(C.Route, T.Route) << Input;
    if (C.Route == R::ConsoleEvent) {
      EXPECT_EQ(C.Value, T.CtrlType) << Input;
    }
    if (C.Route == R::ServiceControl) {
      EXPECT_EQ(static_cast<std::uint32_t>(C.Value), T.Control) << Input;
    }
  }
}

// In the child: prints what a handler received once it came, within the patience.
void Report(std::future<std::string>& Got) {
  if (Got.wait_for(Patience) == std::future_status::ready)
    std::printf("%s\n", Got.get().c_str());
  else
    std::printf("nothing came\n");
  std::fflush(stdout);
}

TEST(ControlSignalsTest, ConsoleEventsRunTheCloseHandlerOnAThreadOfItsOwn) {
  struct TCase {
    int Signal;
    bool Terminal;
    const char* Expected;
  } Cases[] = {
      {SIGINT, false, "event 0 on another thread"},
      {SIGHUP, true, "event 2 on another thread"},
  };
  for (const TCase& C : Cases) {
    TForkedChild Child(
        [Signal = C.Signal] {
          StartControlSignals();
          std::promise<std::string> Event;
          std::future<std::string> Got = Event.get_future();
          std::thread::id Main = std::this_thread::get_id();
          SetConsoleCtrlHandler([&](int Type) {
            bool Other = std::this_thread::get_id() != Main;
            Event.set_value("event " + std::to_string(Type) +
                            (Other ? " on another thread" : " on the main thread"));
            return true;
          });
          kill(getpid(), Signal);
          Report(Got);
          StopControlSignals();
          return 0;
        },
        {.Terminal = C.Terminal});
    EXPECT_TRUE(Child.WaitOutput(C.Expected)) << strsignal(C.Signal) << ": " << Child.Output();
    EXPECT_EQ(0, Child.WaitExit()) << strsignal(C.Signal);
  }
}

TEST(ControlSignalsTest, ControlSignalsReachEveryRegisteredService) {
  struct TCase {
    int Signal;
    const char* Expected;
  } Cases[] = {
      {SIGTERM, "A:1 B:1"}, {SIGHUP, "A:6 B:6"},  // no terminal
  };
  for (const TCase& C : Cases) {
    TForkedChild Child([Signal = C.Signal] {
      StartControlSignals();
      std::promise<std::string> Event;
      std::future<std::string> Got = Event.get_future();
      std::string Seen;
      RegisterServiceCtrlHandlerEx("A", [&](std::uint32_t Control) {
        Seen += "A:" + std::to_string(Control);
        return 0u;
      });
      RegisterServiceCtrlHandlerEx("B", [&](std::uint32_t Control) {
        Event.set_value(Seen + " B:" + std::to_string(Control));
        return 0u;
      });
      kill(getpid(), Signal);
      Report(Got);
      StopControlSignals();
      return 0;
    });
    EXPECT_TRUE(Child.WaitOutput(C.Expected)) << strsignal(C.Signal) << ": " << Child.Output();
    EXPECT_EQ(0, Child.WaitExit()) << strsignal(C.Signal);
  }
}

TEST(ControlSignalsTest, SignalsNobodyTakesEndTheProcessAsTheyWouldUntouched) {
  struct TCase {
    const char* Name;
    int Signal;
    bool ConsoleHandlerDeclines;
    bool DeregisteredService;
  } Cases[] = {
      {"SIGTERM without services", SIGTERM, false, false},
      {"SIGTERM after the service deregistered", SIGTERM, false, true},
      {"SIGINT without a close handler", SIGINT, false, false},
      {"SIGQUIT declined by the close handler", SIGQUIT, true, false},
      {"SIGHUP with neither", SIGHUP, false, false},
  };
  for (const TCase& C : Cases) {
    TForkedChild Child([C] {
      StartControlSignals();
      // A library's handler (the embedded database engine installs some) must not swallow it.
      signal(C.Signal, [](int) {});
      if (C.ConsoleHandlerDeclines)
        SetConsoleCtrlHandler([](int) { return false; });
      if (C.DeregisteredService)
        DeregisterServiceCtrlHandler(
            RegisterServiceCtrlHandlerEx("A", [](std::uint32_t) { return 0u; }));
      kill(getpid(), C.Signal);
      // The signal ends the process; this is only reached when it did not.
      std::this_thread::sleep_for(Patience);
      return 0;
    });
    EXPECT_EQ(128 + C.Signal, Child.WaitExit()) << C.Name;
  }
}

TEST(ControlSignalsTest, AHangUpIgnoredAtTheStartStaysIgnoredAnInterruptDoesNot) {
  // As under nohup: closing the terminal must not stop the program. A shell's background job
  // starts with SIGINT ignored too, and a SIGINT sent to it must still stop it in order.
  TForkedChild Child(
      [] {
        signal(SIGHUP, SIG_IGN);
        signal(SIGINT, SIG_IGN);
        StartControlSignals();
        std::mutex Lock;
        std::string Seen;
        std::promise<void> Interrupted;
        SetConsoleCtrlHandler([&](int Type) {
          std::lock_guard Guard(Lock);
          Seen += " " + std::to_string(Type);
          if (Type == CTRL_C_EVENT)
            Interrupted.set_value();
          return true;
        });
        kill(getpid(), SIGHUP);
        kill(getpid(), SIGINT);
        Interrupted.get_future().wait_for(Patience);
        StopControlSignals();  // every handler thread has returned
        std::printf("events%s\n", Seen.c_str());
        std::fflush(stdout);
        return 0;
      },
      {.Terminal = true});
  EXPECT_EQ(0, Child.WaitExit());
  EXPECT_EQ(std::vector<std::string>{"events 0"}, Child.Lines());
}

TEST(ControlSignalsTest, ThreadsMadeAfterTheStartKeepTheSignalsBlocked) {
  TForkedChild Child([] {
    StartControlSignals();
    bool Blocked = false;
    std::thread([&] {
      sigset_t Mask;
      pthread_sigmask(SIG_BLOCK, nullptr, &Mask);
      Blocked = sigismember(&Mask, SIGINT) && sigismember(&Mask, SIGTERM) &&
                sigismember(&Mask, SIGHUP) && sigismember(&Mask, SIGQUIT);
    }).join();
    StopControlSignals();
    sigset_t After;
    pthread_sigmask(SIG_BLOCK, nullptr, &After);
    std::printf("%s %s\n", Blocked ? "blocked" : "open",
                sigismember(&After, SIGTERM) ? "still blocked" : "restored");
    std::fflush(stdout);
    return 0;
  });
  EXPECT_TRUE(Child.WaitOutput("blocked restored")) << Child.Output();
  EXPECT_EQ(0, Child.WaitExit());
}

}  // namespace
}  // namespace pelmar
