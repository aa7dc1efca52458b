// Receiver simulator: plays an alarm receiver towards the ContactID service. It sends Sur-Gard
// reports and link tests over TCP (the service's TCP channel connects to it, optionally with
// AES-CFB-128) or over a pseudo-terminal that the service opens as its serial port, waits for
// each acknowledgement, resends as a receiver does, and logs per frame what was acknowledged,
// resent or failed. End-to-end tests compare that log with the database.
//
//   ReceiverSim (--tcp PORT [--bind ADDR] [--key KEY] | --serial)
//               [--script FILE] [--report ACCOUNT:QCODE:GROUP:ZONE]...
//               [--count N [--account ACCOUNT] [--event QCODE]]
//               [--ack-timeout MS] [--retries N] [--linktest-interval MS] [--stay]
//               [--log FILE] [--quiet] [--receiver NN] [--line N]
//               [--garbage N] [--cut] [--no-read]
//
// The first line printed is "ReceiverSim: listening on ADDR:PORT" or "ReceiverSim: serial
// device /dev/pts/N". Exit code 0 when every frame was acknowledged, 1 when one failed or was
// left unfinished by a stop, 2 for bad arguments, a bad script or a link that cannot be set up.
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "ReceiverSimLink.h"
#include "ReceiverSimLog.h"
#include "ReceiverSimScript.h"
#include "ReceiverSimSender.h"

using namespace pelmar::receiversim;

namespace {

volatile std::sig_atomic_t StopRequested = 0;

void OnStopSignal(int) {
  StopRequested = 1;
}

const char* const UsageText =
    "usage: ReceiverSim (--tcp PORT [--bind ADDR] [--key KEY] | --serial)\n"
    "                   [--script FILE] [--report ACCOUNT:QCODE:GROUP:ZONE]...\n"
    "                   [--count N [--account ACCOUNT] [--event QCODE]]\n"
    "                   [--ack-timeout MS] [--retries N] [--linktest-interval MS] [--stay]\n"
    "                   [--log FILE] [--quiet] [--receiver NN] [--line N]\n"
    "                   [--garbage N] [--cut] [--no-read]\n"
    "\n"
    "  --tcp PORT             listen for the service's TCP channel (0: a free port)\n"
    "  --bind ADDR            IPv4 address to listen on (default 127.0.0.1)\n"
    "  --key KEY              AES-CFB-128 with a 16, 24 or 32-byte key: 01-02-...-10 or 0102...10\n"
    "  --serial               a pseudo-terminal for the service's serial channel\n"
    "  --script FILE          steps from FILE (report, linktest, raw, noise, garbage, cut, wait,\n"
    "                         repeat; see tools/demo-reports.txt)\n"
    "  --report A:QCCC:GG:ZZZ one report, as in 1234:E130:01:015\n"
    "  --count N              N reports, each with its own group and zone (01/001, 01/002, ...)\n"
    "  --account ACCOUNT      account of the --count reports (default 1234)\n"
    "  --event QCODE          qualifier and code of the --count reports (default E130)\n"
    "  --ack-timeout MS       wait this long for an acknowledgement (default 4000)\n"
    "  --retries N            resend an unacknowledged frame N times, then fail it (default 3)\n"
    "  --linktest-interval MS link test after this long without traffic (default 30000, 0 off)\n"
    "  --stay                 go on after the last frame (link tests) until SIGINT or SIGTERM;\n"
    "                         implied when no frame is given\n"
    "  --log FILE             one line per event: <unix-ms> <EVENT> <seq> <frame> ...\n"
    "  --quiet                print no event lines, only the summary\n"
    "  --receiver NN --line N receiver and line number in the frames (default 01 and 1)\n"
    "  --garbage N            N random bytes of line noise before each frame\n"
    "  --cut                  break the connection in the middle of the first frame, once\n"
    "  --no-read              never read what the service sends (acknowledgements are lost)\n";

int Usage(const std::string& Problem) {
  std::fprintf(stderr, "ReceiverSim: %s\n%s", Problem.c_str(), UsageText);
  return 2;
}

bool Number(const std::string& Text, long Max, long& Out) {
  char* End = nullptr;
  Out = std::strtol(Text.c_str(), &End, 10);
  return !Text.empty() && *End == '\0' && Out >= 0 && Out <= Max;
}

// Where the frames come from, in the order of the arguments.
struct TSource {
  enum TKind { FromScript, FromReport, Generated } Kind;
  std::string Value;
  long Count = 0;
};

struct TOptions {
  bool Tcp = false;
  bool Serial = false;
  std::uint16_t Port = 0;
  std::string Bind = "127.0.0.1";
  std::string Key;
  std::vector<TSource> Sources;
  std::string Account = "1234";
  std::string Event = "E130";
  std::string LogFile;
  bool Quiet = false;
  bool Cut = false;
  bool NoRead = false;
  TSenderOptions Sender;
};

// Parses the arguments into Options; answers "" or the problem.
std::string ParseArguments(int argc, char** argv, TOptions& Options) {
  for (int I = 1; I < argc; ++I) {
    std::string Arg = argv[I];
    bool Flag = Arg == "--serial" || Arg == "--stay" || Arg == "--quiet" || Arg == "--cut" ||
                Arg == "--no-read";
    if (!Flag && I + 1 >= argc)
      return Arg.rfind("--", 0) == 0 ? Arg + " wants a value" : "unexpected argument " + Arg;
    std::string Value = Flag ? std::string() : argv[++I];
    long N = 0;
    if (Arg == "--tcp") {
      if (!Number(Value, 65535, N))
        return "--tcp wants a port number from 0 to 65535";
      Options.Tcp = true;
      Options.Port = static_cast<std::uint16_t>(N);
    } else if (Arg == "--bind") {
      Options.Bind = Value;
    } else if (Arg == "--key") {
      Options.Key = Value;
    } else if (Arg == "--serial") {
      Options.Serial = true;
    } else if (Arg == "--script") {
      Options.Sources.push_back({TSource::FromScript, Value});
    } else if (Arg == "--report") {
      Options.Sources.push_back({TSource::FromReport, Value});
    } else if (Arg == "--count") {
      if (!Number(Value, 1000000, N))
        return "--count wants a number up to 1000000";
      Options.Sources.push_back({TSource::Generated, Value, N});
    } else if (Arg == "--account") {
      Options.Account = Value;
    } else if (Arg == "--event") {
      Options.Event = Value;
    } else if (Arg == "--ack-timeout") {
      if (!Number(Value, 3600000, N) || N == 0)
        return "--ack-timeout wants milliseconds from 1 to 3600000";
      Options.Sender.AckTimeoutMs = static_cast<std::uint32_t>(N);
    } else if (Arg == "--retries") {
      if (!Number(Value, 1000, N))
        return "--retries wants a number from 0 to 1000";
      Options.Sender.Retries = static_cast<int>(N);
    } else if (Arg == "--linktest-interval") {
      if (!Number(Value, 86400000, N))
        return "--linktest-interval wants milliseconds (0: no link tests)";
      Options.Sender.LinkTestIntervalMs = static_cast<std::uint32_t>(N);
    } else if (Arg == "--stay") {
      Options.Sender.Stay = true;
    } else if (Arg == "--log") {
      Options.LogFile = Value;
    } else if (Arg == "--quiet") {
      Options.Quiet = true;
    } else if (Arg == "--receiver") {
      if (!Number(Value, 99, N))
        return "--receiver wants a number from 0 to 99";
      Options.Sender.Origin.Receiver = static_cast<int>(N);
    } else if (Arg == "--line") {
      if (!Number(Value, 9, N))
        return "--line wants a number from 0 to 9";
      Options.Sender.Origin.Line = static_cast<int>(N);
    } else if (Arg == "--garbage") {
      if (!Number(Value, 65536, N))
        return "--garbage wants a number of bytes up to 65536";
      Options.Sender.GarbageBytes = static_cast<int>(N);
    } else if (Arg == "--cut") {
      Options.Cut = true;
    } else if (Arg == "--no-read") {
      Options.NoRead = true;
    } else {
      return "unexpected argument " + Arg;
    }
  }
  if (Options.Tcp == Options.Serial)
    return "give either --tcp PORT or --serial";
  if (Options.Serial && !Options.Key.empty())
    return "--key is for --tcp: the service's serial channel is not encrypted";
  return "";
}

// The steps of all sources, in order. Raises std::invalid_argument.
std::vector<TStep> BuildSteps(const TOptions& Options) {
  const TOrigin& Origin = Options.Sender.Origin;
  std::vector<TStep> Steps;
  if (Options.Cut) {
    Steps.emplace_back();
    Steps.back().Kind = TStep::Cut;
  }
  for (const TSource& Source : Options.Sources) {
    std::vector<TStep> More;
    if (Source.Kind == TSource::FromScript) {
      std::ifstream In(Source.Value);
      if (!In)
        throw std::invalid_argument("cannot read the script " + Source.Value);
      More = ParseScript(In, Source.Value, Origin);
    } else if (Source.Kind == TSource::FromReport) {
      More.emplace_back();
      More.back().Frame = ReportFrameOf(Source.Value, Origin);
    } else {
      More =
          GeneratedReports(static_cast<int>(Source.Count), Options.Account, Options.Event, Origin);
    }
    Steps.insert(Steps.end(), std::make_move_iterator(More.begin()),
                 std::make_move_iterator(More.end()));
  }
  return Steps;
}

// The frames to send: reports and raw frames, and link tests.
std::pair<int, int> CountFrames(const std::vector<TStep>& Steps) {
  std::pair<int, int> N;
  for (const TStep& S : Steps)
    if (S.Kind == TStep::Send)
      ++(S.Frame.Kind == TFrameKind::LinkTest ? N.second : N.first);
  return N;
}

std::string CountsText(const TCounts& C) {
  return std::to_string(C.Acknowledged) + " acknowledged, " + std::to_string(C.Resent) +
         " resent, " + std::to_string(C.Failed) + " failed";
}

}  // namespace

int main(int argc, char** argv) {
  for (int I = 1; I < argc; ++I)
    if (std::string(argv[I]) == "--help" || std::string(argv[I]) == "-h") {
      std::fputs(UsageText, stdout);
      return 0;
    }
  TOptions Options;
  if (std::string Problem = ParseArguments(argc, argv, Options); !Problem.empty())
    return Usage(Problem);

  std::vector<TStep> Steps;
  std::vector<std::uint8_t> Key;
  try {
    Steps = BuildSteps(Options);
    if (!Options.Key.empty())
      Key = ParseKeyText(Options.Key);
  } catch (const std::invalid_argument& E) {
    std::fprintf(stderr, "ReceiverSim: %s\n", E.what());
    return 2;
  }
  auto [Frames, LinkTests] = CountFrames(Steps);
  if (Frames + LinkTests == 0)
    Options.Sender.Stay = true;

  // Stop requests are only taken while the simulator waits, so that one arriving at any other
  // moment is not lost and never interrupts a write halfway.
  sigset_t Stops, WaitMask;
  sigemptyset(&Stops);
  sigaddset(&Stops, SIGINT);
  sigaddset(&Stops, SIGTERM);
  sigprocmask(SIG_BLOCK, &Stops, &WaitMask);
  sigdelset(&WaitMask, SIGINT);
  sigdelset(&WaitMask, SIGTERM);
  struct sigaction Action {};
  Action.sa_handler = OnStopSignal;
  sigemptyset(&Action.sa_mask);
  sigaction(SIGINT, &Action, nullptr);
  sigaction(SIGTERM, &Action, nullptr);
  signal(SIGPIPE, SIG_IGN);

  TEventLog Log;
  Log.SetEcho(!Options.Quiet);
  std::unique_ptr<TLink> Link;
  try {
    if (!Options.LogFile.empty())
      Log.OpenFile(Options.LogFile);
    if (Options.Tcp) {
      auto Tcp = std::make_unique<TTcpLink>(Log, Key,
                                            std::chrono::milliseconds(Options.Sender.AckTimeoutMs));
      Tcp->Listen(Options.Bind, Options.Port);
      std::string Address = Options.Bind + ":" + std::to_string(Tcp->Port());
      Log.Say("listening on " + Address);
      Log.Event("LISTEN", Address);
      Log.Say("the service's TCP channel address is " + Address);
      if (!Key.empty())
        Log.Say("AES-" + std::to_string(Key.size() * 8) + " CFB; the channel's encryption key is " +
                KeyText(Key));
      Link = std::move(Tcp);
    } else {
      auto Pty = std::make_unique<TPtyLink>(Log);
      Pty->Open();
      Log.Say("serial device " + Pty->DeviceName());
      Log.Event("SERIAL", Pty->DeviceName());
      Log.Say("run the service with PELMAR_SERIAL_DEVICE=" + Pty->DeviceName() +
              " (every port number then names this device) and a channel address such as "
              "1/9600-8-N-1");
      Link = std::move(Pty);
    }
  } catch (const std::exception& E) {
    std::fprintf(stderr, "ReceiverSim: %s\n", E.what());
    return 2;
  }
  Link->SetNoRead(Options.NoRead);
  const TSenderOptions& S = Options.Sender;
  Log.Say(std::to_string(Frames) + " frames, " + std::to_string(LinkTests) +
          " link tests; acknowledgement time-out " + std::to_string(S.AckTimeoutMs) + " ms, " +
          std::to_string(S.Retries) + " retries, link test " +
          (S.LinkTestIntervalMs == 0 ? std::string("off")
                                     : "every " + std::to_string(S.LinkTestIntervalMs) + " ms"));

  TSender Sender(*Link, Log, std::move(Steps), Options.Sender);
  bool Broken = false;
  try {
    Sender.Run(WaitMask, StopRequested);
  } catch (const std::exception& E) {
    std::fprintf(stderr, "ReceiverSim: %s\n", E.what());
    Broken = true;
  }

  TSummary Summary = Sender.Summary();
  Log.Event("SUMMARY",
            "acknowledged=" + std::to_string(Summary.Frames.Acknowledged) +
                " resent=" + std::to_string(Summary.Frames.Resent) +
                " failed=" + std::to_string(Summary.Frames.Failed) +
                " unfinished=" + std::to_string(Summary.Unfinished) +
                " linktests-acknowledged=" + std::to_string(Summary.LinkTests.Acknowledged) +
                " linktests-resent=" + std::to_string(Summary.LinkTests.Resent) +
                " linktests-failed=" + std::to_string(Summary.LinkTests.Failed));
  Log.Say(CountsText(Summary.Frames));
  const TCounts& L = Summary.LinkTests;
  if (L.Acknowledged + L.Resent + L.Failed > 0)
    Log.Say("link tests: " + CountsText(L));
  if (Summary.Unfinished > 0)
    Log.Say(std::to_string(Summary.Unfinished) + " frames not finished");
  bool Clean = !Broken && Summary.Frames.Failed == 0 && L.Failed == 0 && Summary.Unfinished == 0;
  return Clean ? 0 : 1;
}
