// The process's control signals: SIGINT, SIGTERM, SIGHUP and SIGQUIT, taken on one thread of
// their own and turned into console control events (Ctrl+C, Ctrl+Break, window close) for the
// console's close handler and into control requests (stop, parameter change) for the services'
// control handlers. No work happens inside an asynchronous signal handler: the signals are blocked
// in every thread and read from a signalfd.
//
// Routing, decided when a signal arrives:
//   SIGINT   console event 0 (Ctrl+C)
//   SIGQUIT  console event 1 (Ctrl+Break)
//   SIGHUP   console event 2 (window close) when the process was started on a terminal;
//            otherwise control code 6 (parameter change) for every registered service
//   SIGTERM  control code 1 (stop) for every registered service
// A console event with no close handler, a control code with no registered service, and a close
// handler that answers false get the signal's own disposition (for all four: the process ends).
// A signal that was ignored when the thread started (as nohup ignores SIGHUP) stays ignored.
#pragma once

#include <csignal>
#include <cstdint>
#include <functional>
#include <string>

namespace pelmar {

// Console control event types.
inline constexpr int CTRL_C_EVENT = 0;
inline constexpr int CTRL_BREAK_EVENT = 1;
inline constexpr int CTRL_CLOSE_EVENT = 2;

// Service control codes carried by signals.
inline constexpr std::uint32_t SERVICE_CONTROL_STOP = 1;
inline constexpr std::uint32_t SERVICE_CONTROL_PARAMCHANGE = 6;

// Answers whether the event was handled; false lets the signal take its default course. Runs on
// a thread of its own, one per event, and may block.
using TConsoleCtrlHandler = std::function<bool(int CtrlType)>;
// Only checks and queues; answers 0 (accepted) or 120 (not accepted). Runs on the signal thread.
using TServiceCtrlHandler = std::function<std::uint32_t(std::uint32_t Control)>;

// Blocks the four signals in the calling thread and starts the signal thread. Every thread
// created afterwards inherits the blocked set, so this must run before any other thread exists
// (first thing in main). Notes whether standard input, output or error is a terminal. A second
// call does nothing.
void StartControlSignals();
// Ends the signal thread after the console handler threads have returned, and restores the
// calling thread's signal mask. REQUIRES: called on the thread that started it.
void StopControlSignals();
bool ControlSignalsRunning();

// Installs the console's close handler (empty: none).
void SetConsoleCtrlHandler(TConsoleCtrlHandler Handler);

// Registers a service's control handler; the answer is the handle for deregistering (never 0).
// A handler is never called after DeregisterServiceCtrlHandler has returned.
std::uint64_t RegisterServiceCtrlHandlerEx(const std::string& ServiceName,
                                           TServiceCtrlHandler Handler);
void DeregisterServiceCtrlHandler(std::uint64_t Handle);

// Where a signal goes, given what is registered. Exposed for tests.
enum class TSignalRoute { ConsoleEvent, ServiceControl, DefaultAction };
struct TSignalTarget {
  TSignalRoute Route = TSignalRoute::DefaultAction;
  int CtrlType = 0;           // for ConsoleEvent
  std::uint32_t Control = 0;  // for ServiceControl
};
TSignalTarget RouteSignal(int Signal, bool HasConsoleHandler, bool StartedOnTerminal,
                          bool HasServiceHandlers);

}  // namespace pelmar
