#include "ReceiverSimSender.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace pelmar::receiversim {

namespace {

std::string ByteText(char Byte) {
  return "byte=" + HexOf(std::string(1, Byte));
}

}  // namespace

TSender::TSender(TLink& Link, TEventLog& Log, std::vector<TStep> Steps, TSenderOptions Options)
    : FLink(Link),
      FLog(Log),
      FSteps(std::make_move_iterator(Steps.begin()), std::make_move_iterator(Steps.end())),
      FOptions(Options),
      FIdleSince(TSteady::now()),
      FRandom(std::random_device{}()) {
  FLink.OnUp = [this] { LinkUp(); };
  FLink.OnDown = [this](const std::string&) { LinkDown(); };
  FLink.OnReceived = [this](const std::string& Bytes) { Received(Bytes); };
}

void TSender::Run(const sigset_t& WaitMask, const volatile std::sig_atomic_t& Stop) {
  std::vector<pollfd> Fds;
  while (!Stop) {
    Advance();
    if (FDone)
      return;
    Fds.clear();
    FLink.AddPollFds(Fds);
    TSteady::time_point WakeUp = std::min(NextWakeUp(), FLink.WakeUp());
    timespec Timeout{};
    timespec* TimeoutOrNone = nullptr;
    if (WakeUp != TSteady::time_point::max()) {
      auto Left = std::chrono::duration_cast<std::chrono::nanoseconds>(WakeUp - TSteady::now());
      Left = std::max(Left, std::chrono::nanoseconds(0));
      Timeout.tv_sec = static_cast<time_t>(Left.count() / 1000000000);
      Timeout.tv_nsec = static_cast<long>(Left.count() % 1000000000);
      TimeoutOrNone = &Timeout;
    }
    if (ppoll(Fds.data(), Fds.size(), TimeoutOrNone, &WaitMask) < 0) {
      if (errno == EINTR)
        continue;
      throw std::runtime_error(std::string("poll: ") + std::strerror(errno));
    }
    FLink.Handle(Fds);
  }
}

TSummary TSender::Summary() const {
  TSummary Result = FSummary;
  for (const TStep& S : FSteps)
    if (S.Kind == TStep::Send && S.Frame.Kind != TFrameKind::LinkTest)
      ++Result.Unfinished;
  if (FCurrent && !FCurrent->Acknowledged && FCurrent->Frame.Kind != TFrameKind::LinkTest)
    ++Result.Unfinished;
  return Result;
}

void TSender::Advance() {
  auto Now = TSteady::now();
  for (;;) {
    if (FCurrent) {
      TPending& P = *FCurrent;
      if (P.Acknowledged) {
        if (P.Unanswered > 0 && FLink.Up() && Now < P.Deadline)
          return;
        Finish();
        continue;
      }
      if (!FLink.Up())
        return;
      if (P.Attempts == 0) {
        SendAttempt("SEND", nullptr);
        return;
      }
      const char* Reason = P.ResendNow ? P.ResendNow : Now >= P.Deadline ? "timeout" : nullptr;
      if (Reason == nullptr)
        return;
      if (P.AttemptsOnLink >= FOptions.Retries + 1) {
        FLog.Event(Name("FAILED"), Subject() + " attempts=" + std::to_string(P.Attempts));
        ++Counts().Failed;
        Finish();
        continue;
      }
      SendAttempt("RESEND", Reason);
      return;
    }
    if (FWaitUntil && Now >= *FWaitUntil)
      FWaitUntil.reset();
    if (FWaitUntil || (FSteps.empty() && FOptions.Stay)) {
      StartLinkTestWhenIdle();
      if (!FCurrent)
        return;
      continue;
    }
    if (FSteps.empty()) {
      FDone = true;
      return;
    }
    if (!StartStep())
      return;
  }
}

bool TSender::StartStep() {
  TStep& Step = FSteps.front();
  switch (Step.Kind) {
    case TStep::Wait:
      FWaitUntil = TSteady::now() + std::chrono::milliseconds(Step.Ms);
      break;
    case TStep::Cut:
      FCutNext = true;
      break;
    case TStep::Send:
      FCurrent.emplace();
      FCurrent->Frame = std::move(Step.Frame);
      FCurrent->Seq = IsLinkTest() ? ++FLinkTestSeq : ++FFrameSeq;
      FCurrent->Cut = FCutNext;
      FCutNext = false;
      break;
    case TStep::Noise:
    case TStep::Garbage: {
      if (!FLink.Up())
        return false;
      std::string Bytes = Step.Kind == TStep::Noise ? Step.Bytes : Garbage(Step.Count);
      FLog.Event("NOISE", "bytes=" + std::to_string(Bytes.size()));
      FLink.Send(Bytes);
      break;
    }
  }
  FSteps.pop_front();
  return true;
}

void TSender::StartLinkTestWhenIdle() {
  if (FOptions.LinkTestIntervalMs == 0 || !FLink.Up() || FCurrent)
    return;
  if (TSteady::now() - FIdleSince < std::chrono::milliseconds(FOptions.LinkTestIntervalMs))
    return;
  FCurrent.emplace();
  FCurrent->Frame = LinkTestFrame(FOptions.Origin);
  FCurrent->Seq = ++FLinkTestSeq;
}

TSteady::time_point TSender::NextWakeUp() const {
  auto Now = TSteady::now();
  if (FCurrent) {
    const TPending& P = *FCurrent;
    if (P.Acknowledged)
      return P.Deadline;
    if (!FLink.Up())
      return TSteady::time_point::max();
    return P.Attempts == 0 || P.ResendNow ? Now : P.Deadline;
  }
  TSteady::time_point Result = FWaitUntil.value_or(TSteady::time_point::max());
  if (FOptions.LinkTestIntervalMs > 0 && FLink.Up() && (FWaitUntil || FSteps.empty()))
    Result = std::min(Result, FIdleSince + std::chrono::milliseconds(FOptions.LinkTestIntervalMs));
  return Result;
}

void TSender::SendAttempt(const std::string& Event, const char* Reason) {
  TPending& P = *FCurrent;
  ++P.Attempts;
  ++P.AttemptsOnLink;
  ++P.Unanswered;
  P.ResendNow = nullptr;

  std::string Bytes = P.Frame.Bytes;
  std::size_t Before = 0;
  if (P.Attempts == 1 && FOptions.GarbageBytes > 0 && !IsLinkTest()) {
    std::string Noise = Garbage(FOptions.GarbageBytes);
    FLog.Event("NOISE", "bytes=" + std::to_string(Noise.size()));
    Before = Noise.size();
    Bytes = Noise + Bytes;
  }
  std::string Details = Subject() + " attempt=" + std::to_string(P.Attempts);
  if (Reason != nullptr)
    Details += std::string(" reason=") + Reason;
  FLog.Event(Name(Event), Details);
  if (Event == "RESEND")
    ++Counts().Resent;
  // Timed from after the log line, so that the log never shows a resend sooner than the time-out.
  P.Deadline = TSteady::now() + std::chrono::milliseconds(FOptions.AckTimeoutMs);

  if (!P.Cut) {
    FLink.Send(Bytes);
    return;
  }
  // A line failing in the middle of a frame: the service holds half a frame. Where the line
  // cannot be taken away (serial), the half frame is all it gets of this attempt.
  P.Cut = false;
  std::size_t Half = P.Frame.Bytes.size() / 2;
  FLink.Send(Bytes.substr(0, Before + Half));
  FLog.Event(Name("CUT"), Subject() + " bytes=" + std::to_string(Half));
  FLink.Drop();
}

void TSender::Finish() {
  FCurrent.reset();
  FIdleSince = TSteady::now();
}

std::string TSender::Garbage(int Count) {
  // Never "1" or "5", which start a frame, nor DC4, which ends one: no run of the noise can be
  // taken for a message. The closing DC4 makes the service drop the noise as one piece, so the
  // frame after it arrives whole.
  std::uniform_int_distribution<int> Byte(0, 255);
  std::string Bytes;
  while (static_cast<int>(Bytes.size()) < Count) {
    char C = static_cast<char>(Byte(FRandom));
    if (C != '1' && C != '5' && C != DC4)
      Bytes += C;
  }
  return Bytes + DC4;
}

void TSender::LinkUp() {
  FIdleSince = TSteady::now();
  if (FCurrent && !FCurrent->Acknowledged && FCurrent->Attempts > 0)
    FCurrent->ResendNow = "reconnect";
}

void TSender::LinkDown() {
  if (!FCurrent)
    return;
  // Answers to what went over the old connection cannot come any more.
  FCurrent->AttemptsOnLink = 0;
  FCurrent->Unanswered = 0;
  FCurrent->ResendNow = nullptr;
}

void TSender::Received(const std::string& Bytes) {
  for (char Byte : Bytes)
    Answer(Byte);
}

void TSender::Answer(char Byte) {
  if (!FCurrent || FCurrent->Unanswered == 0) {
    FLog.Event("STRAY", ByteText(Byte));
    return;
  }
  TPending& P = *FCurrent;
  --P.Unanswered;
  if (P.Acknowledged) {
    FLog.Event(Name("LATE"), Subject() + " " + ByteText(Byte));
    if (P.Unanswered == 0)
      Finish();
    return;
  }
  if (Byte == ACK) {
    P.Acknowledged = true;
    FLog.Event(Name("ACK"), Subject() + " attempts=" + std::to_string(P.Attempts));
    ++Counts().Acknowledged;
    if (P.Unanswered == 0)
      Finish();
    else
      P.Deadline = TSteady::now() + std::chrono::milliseconds(FOptions.AckTimeoutMs);
    return;
  }
  FLog.Event(Name("NAK"),
             Subject() + " " + ByteText(Byte) + " attempt=" + std::to_string(P.Attempts));
  // An answer to an earlier attempt leaves the latest one waiting for its own.
  if (P.Unanswered == 0)
    P.ResendNow = "nak";
}

std::string TSender::Name(const std::string& Event) const {
  return FCurrent->Frame.Kind == TFrameKind::LinkTest ? "LINKTEST-" + Event : Event;
}

std::string TSender::Subject() const {
  return std::to_string(FCurrent->Seq) + " " + FCurrent->Frame.Text;
}

}  // namespace pelmar::receiversim
