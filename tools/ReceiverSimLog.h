// The receiver simulator's record of what happened: one line per event, written to the log file
// (if any) with a single write each, so that a line is complete on disk as soon as the event
// happened, and echoed to standard output for the person watching.
//
//   log file:  <unix-time-ms> <EVENT> <details>      1718000000123 ACK 3 1234:E130:01:015
//   attempts=1 output:    <hh:mm:ss.mmm> <EVENT> <details>
#pragma once

#include <string>

namespace pelmar::receiversim {

class TEventLog {
 public:
  TEventLog() = default;
  ~TEventLog();
  TEventLog(const TEventLog&) = delete;
  TEventLog& operator=(const TEventLog&) = delete;

  // Creates or empties File. Raises std::runtime_error with the system's reason.
  void OpenFile(const std::string& File);
  // Events are echoed to standard output unless switched off.
  void SetEcho(bool Value) { FEcho = Value; }

  // One event line.
  void Event(const std::string& Name, const std::string& Details);
  // A line for the person only, on standard output: "ReceiverSim: " and Text.
  void Say(const std::string& Text);

 private:
  int FFile = -1;
  bool FEcho = true;
};

}  // namespace pelmar::receiversim
