// The receiver's side of the conversation: sends the steps of a run one frame at a time over a
// link, waits for each acknowledgement and resends as a receiver does. A frame not acknowledged
// within the acknowledgement time-out is sent again, up to Retries more times on one connection,
// then it counts as failed and the run goes on; any answer other than ACK (0x06) makes it go out
// again at once. A frame that was waiting when the connection went is sent again in full on the
// next connection, with a fresh count of attempts. While nothing is to be sent, a link test goes
// out every LinkTestInterval.
//
// After an acknowledgement of a frame sent more than once, the answers to the earlier attempts
// may still be on their way; they are waited for (at most one time-out) and logged as LATE, so
// that they are never taken for the acknowledgement of the next frame.
//
// Log events, one line each (link tests have the same with "LINKTEST-" before the name):
//   SEND <seq> <frame> attempt=1           the first attempt
//   RESEND <seq> <frame> attempt=N reason=timeout|nak|reconnect
//   ACK <seq> <frame> attempts=N            acknowledged
//   NAK <seq> <frame> byte=HH attempt=N     answered with another byte
//   FAILED <seq> <frame> attempts=N         given up
//   LATE <seq> <frame> byte=HH              an answer to an earlier attempt, after the ACK
//   CUT <seq> <frame> bytes=N               the attempt broke off after N bytes
//   STRAY byte=HH                           a byte while no frame waited for an answer
//   NOISE bytes=N                           line noise sent
#pragma once

#include <csignal>
#include <cstdint>
#include <deque>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "ReceiverSimLink.h"
#include "ReceiverSimLog.h"
#include "ReceiverSimScript.h"

namespace pelmar::receiversim {

struct TSenderOptions {
  std::uint32_t AckTimeoutMs = 4000;
  int Retries = 3;
  std::uint32_t LinkTestIntervalMs = 30000;  // 0: none
  bool Stay = false;                         // go on after the last step, until stopped
  int GarbageBytes = 0;                      // line noise before each report and raw frame
  TOrigin Origin;
};

struct TCounts {
  int Acknowledged = 0;
  int Resent = 0;  // RESEND lines
  int Failed = 0;
};

struct TSummary {
  TCounts Frames;      // reports and raw frames
  TCounts LinkTests;   // link tests
  int Unfinished = 0;  // frames neither acknowledged nor failed when the run ended
};

class TSender {
 public:
  // Link and Log are not owned and must outlive the sender.
  TSender(TLink& Link, TEventLog& Log, std::vector<TStep> Steps, TSenderOptions Options);
  TSender(const TSender&) = delete;
  TSender& operator=(const TSender&) = delete;

  // Runs until every step is done (or, with Stay, until Stop), waiting in ppoll with the
  // signal mask WaitMask. Stop is set by a signal handler.
  void Run(const sigset_t& WaitMask, const volatile std::sig_atomic_t& Stop);
  TSummary Summary() const;

 private:
  struct TPending {
    TFrame Frame;
    int Seq = 0;
    int Attempts = 0;        // sends, over all connections
    int AttemptsOnLink = 0;  // sends on the present connection
    int Unanswered = 0;      // sends on the present connection no byte has answered yet
    bool Acknowledged = false;
    bool Cut = false;                 // the first attempt breaks off
    const char* ResendNow = nullptr;  // the reason to send again without waiting
    TSteady::time_point Deadline;
  };

  // Does whatever is due now; sets FDone when the run is over.
  void Advance();
  // Sends the current frame once more; Event is SEND or RESEND.
  void SendAttempt(const std::string& Event, const char* Reason);
  void Finish();
  bool StartStep();
  void StartLinkTestWhenIdle();
  TSteady::time_point NextWakeUp() const;
  std::string Garbage(int Count);

  void LinkUp();
  void LinkDown();
  void Received(const std::string& Bytes);
  void Answer(char Byte);

  bool IsLinkTest() const { return FCurrent->Frame.Kind == TFrameKind::LinkTest; }
  TCounts& Counts() { return IsLinkTest() ? FSummary.LinkTests : FSummary.Frames; }
  // The event name for the current frame: Event, with LINKTEST- before it for a link test.
  std::string Name(const std::string& Event) const;
  // "<seq> <frame>" of the current frame.
  std::string Subject() const;

  TLink& FLink;
  TEventLog& FLog;
  std::deque<TStep> FSteps;
  TSenderOptions FOptions;
  std::optional<TPending> FCurrent;
  std::optional<TSteady::time_point> FWaitUntil;
  TSteady::time_point FIdleSince;
  bool FCutNext = false;
  bool FDone = false;
  int FFrameSeq = 0;
  int FLinkTestSeq = 0;
  TSummary FSummary;
  std::mt19937 FRandom;
};

}  // namespace pelmar::receiversim
