#include "CoreServiceServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>

#include "CIDCommon.h"
#include "Clock.h"

namespace pelmar::coreservice {

namespace {

// The protocol version services log in with.
const char* const ProtocolVersion = "1.9";
// Longest text and parameter block the server takes from a service; anything longer is a broken
// stream, not a message.
constexpr std::int32_t MaxTextLength = 1 << 16;
constexpr std::int32_t MaxParamLength = 64 << 20;
// Longest operator command line.
constexpr std::size_t MaxLineLength = 1 << 20;
// How long a refused connection is kept open for the service to read the refusal, ms.
constexpr std::uint32_t ClosingGrace = 5000;

std::string SystemError(const std::string& What) {
  return What + ": " + std::strerror(errno);
}

void SetNonBlocking(int Fd) {
  fcntl(Fd, F_SETFL, fcntl(Fd, F_GETFL) | O_NONBLOCK);
}

std::string Content(const TBufferProtocol& B) {
  return B.Size() == 0 ? std::string()
                       : std::string(reinterpret_cast<const char*>(B.Data()),
                                     static_cast<std::size_t>(B.Size()));
}

std::int32_t IntegerAt(const std::string& D, std::size_t At) {
  std::uint32_t U = 0;
  for (int I = 3; I >= 0; --I)
    U = (U << 8) | static_cast<std::uint8_t>(D[At + static_cast<std::size_t>(I)]);
  return static_cast<std::int32_t>(U);
}

// Moves At past a String (or block) at At when it is complete; false while bytes are missing.
// Raises Exception for a length no message can have.
bool SkipCounted(const std::string& D, std::size_t& At, std::int32_t Max, const char* What) {
  if (D.size() < At + 4)
    return false;
  std::int32_t N = IntegerAt(D, At);
  if (N < 0 || N > Max)
    throw Exception(std::string("impossible length ") + std::to_string(N) + " of " + What);
  if (D.size() < At + 4 + static_cast<std::size_t>(N))
    return false;
  At += 4 + static_cast<std::size_t>(N);
  return true;
}

// Length of the complete log-in at the start of D (Byte service, String version, String
// password), or 0 while bytes are missing.
std::size_t LoginLength(const std::string& D) {
  std::size_t At = 1;
  if (D.empty() || !SkipCounted(D, At, MaxTextLength, "the protocol version") ||
      !SkipCounted(D, At, MaxTextLength, "the password"))
    return 0;
  return At;
}

// Length of the complete command or event at the start of D (String name, Byte kind, a command's
// Byte id, Integer n and n bytes of parameters), or 0 while bytes are missing.
std::size_t MessageLength(const std::string& D) {
  std::size_t At = 0;
  if (!SkipCounted(D, At, MaxTextLength, "a message name") || D.size() < At + 1)
    return 0;
  auto Kind = static_cast<std::uint8_t>(D[At++]);
  if (Kind > 1)
    throw Exception("message kind " + std::to_string(Kind) + " is neither command nor event");
  if (Kind == 0 && D.size() < ++At)
    return 0;
  if (!SkipCounted(D, At, MaxParamLength, "the parameters"))
    return 0;
  return At;
}

std::unique_ptr<TBufferProtocol> BufferOf(const std::string& Bytes) {
  auto B = std::make_unique<TBufferProtocol>(64);
  B->WriteData(static_cast<std::int32_t>(Bytes.size()), Bytes.data());
  B->SetPosition(0);
  return B;
}

// Splits a command line at blanks; a double-quoted part (with its quotes and backslash escapes)
// stays within its word.
std::vector<std::string> Words(const std::string& Line) {
  std::vector<std::string> Result;
  std::string Word;
  bool InWord = false, Quoted = false;
  for (std::size_t I = 0; I < Line.size(); ++I) {
    char C = Line[I];
    if (!Quoted && (C == ' ' || C == '\t')) {
      if (InWord)
        Result.push_back(Word);
      Word.clear();
      InWord = false;
      continue;
    }
    InWord = true;
    Word += C;
    if (Quoted && C == '\\' && I + 1 < Line.size())
      Word += Line[++I];
    else if (C == '"')
      Quoted = !Quoted;
  }
  if (InWord)
    Result.push_back(Word);
  return Result;
}

// The rest of Line after its first N words.
std::string AfterWords(const std::string& Line, std::size_t N) {
  std::size_t At = 0;
  for (std::size_t I = 0; I < N; ++I) {
    At = Line.find_first_not_of(" \t", At);
    At = At == std::string::npos ? Line.size() : Line.find_first_of(" \t", At);
    if (At == std::string::npos)
      return "";
  }
  At = Line.find_first_not_of(" \t", At);
  return At == std::string::npos ? "" : Line.substr(At);
}

bool ParseInt(const std::string& S, std::int64_t Min, std::int64_t Max, std::int64_t& Out) {
  if (S.empty())
    return false;
  char* End = nullptr;
  errno = 0;
  long long V = std::strtoll(S.c_str(), &End, 10);
  if (*End != '\0' || errno != 0 || V < Min || V > Max)
    return false;
  Out = V;
  return true;
}

std::int32_t ObjectId(const std::string& S) {
  std::int64_t V = 0;
  if (!ParseInt(S, 1, INT32_MAX, V))
    throw Exception("\"" + S + "\" is not an object ID");
  return static_cast<std::int32_t>(V);
}

// Takes a "user=N" word out of Words, answering N or Default.
std::int64_t TakeUser(std::vector<std::string>& Words, std::int64_t Default) {
  for (auto It = Words.begin(); It != Words.end(); ++It) {
    if (It->rfind("user=", 0) != 0)
      continue;
    std::int64_t User = 0;
    if (!ParseInt(It->substr(5), INT64_MIN, INT64_MAX, User))
      throw Exception("\"" + *It + "\": the user must be a number");
    Words.erase(It);
    return User;
  }
  return Default;
}

const char* const HelpText[] = {
    "set ID FIELD=VALUE... [user=N]  change an object (SetSysObject with a change action)",
    "add [user=N] {JSON}             add an object: {\"type\": \"Zone\", \"id\": 230, ...}",
    "delete ID [user=N]              delete an object (SetSysObject with a delete action)",
    "restore ACCOUNT-ID [user=N] [TEXT]  ForceRestore of an account",
    "quit [REASON]                   CoreQuit: ask the service to disconnect",
    "drop                            close the service's connection",
    "refuse REASON                   refuse log-ins with REASON (\"NonFatal: ...\" is retried)",
    "accept                          accept log-ins again",
    "list                            the objects with their properties and status",
    "status                          connections and the objects' last status",
    "show ID                         one object as JSON",
    "exit                            stop the Core service",
};

}  // namespace

struct TCoreServer::TSession {
  enum TState { Login, Ready, Closing };
  int Fd = -1;
  int Number = 0;
  std::string Peer;
  TState State = Login;
  std::string In;
  std::string Out;
  bool Shut = false;  // our side of a closing connection is shut down
  std::uint32_t ClosingSince = 0;
  std::string Events;                // what the service registered for
  std::deque<std::string> Awaiting;  // pushed commands waiting for their ReturnCommand
};

struct TCoreServer::TControlClient {
  int Fd = -1;
  std::string In;
  std::string Out;
  bool Closing = false;
};

TCoreServer::TCoreServer(TInstallation& Installation, TServerOptions Options)
    : FInstallation(Installation), FOptions(std::move(Options)) {}

TCoreServer::~TCoreServer() {
  for (auto& S : FSessions)
    close(S->Fd);
  for (auto& C : FControlClients)
    close(C->Fd);
  if (FListen >= 0)
    close(FListen);
  if (FControl >= 0) {
    close(FControl);
    unlink(FOptions.ControlPath.c_str());
  }
  for (int Fd : FStopPipe)
    if (Fd >= 0)
      close(Fd);
}

void TCoreServer::Open() {
  if (pipe2(FStopPipe, O_CLOEXEC | O_NONBLOCK) != 0)
    throw Exception(SystemError("pipe"));

  FListen = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (FListen < 0)
    throw Exception(SystemError("socket"));
  int One = 1;
  setsockopt(FListen, SOL_SOCKET, SO_REUSEADDR, &One, sizeof One);
  sockaddr_in A{};
  A.sin_family = AF_INET;
  A.sin_port = htons(FOptions.Port);
  if (inet_pton(AF_INET, FOptions.Bind.c_str(), &A.sin_addr) != 1)
    throw Exception("\"" + FOptions.Bind + "\" is not an IPv4 address");
  if (bind(FListen, reinterpret_cast<sockaddr*>(&A), sizeof A) != 0)
    throw Exception(
        SystemError("cannot listen on " + FOptions.Bind + ":" + std::to_string(FOptions.Port)));
  if (listen(FListen, 16) != 0)
    throw Exception(SystemError("listen"));
  socklen_t Len = sizeof A;
  getsockname(FListen, reinterpret_cast<sockaddr*>(&A), &Len);
  FPort = ntohs(A.sin_port);
  SetNonBlocking(FListen);

  if (!FOptions.ControlPath.empty()) {
    const std::string& Path = FOptions.ControlPath;
    sockaddr_un U{};
    U.sun_family = AF_UNIX;
    if (Path.size() >= sizeof U.sun_path)
      throw Exception("the control socket path is too long: " + Path);
    std::memcpy(U.sun_path, Path.c_str(), Path.size() + 1);
    // A socket left behind by a Core service that died may go; one that answers is in use.
    struct stat St {};
    if (lstat(Path.c_str(), &St) == 0) {
      if (!S_ISSOCK(St.st_mode))
        throw Exception(Path + " exists and is not a socket");
      int Probe = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
      bool InUse = connect(Probe, reinterpret_cast<sockaddr*>(&U), sizeof U) == 0;
      close(Probe);
      if (InUse)
        throw Exception(Path + " is in use by another Core service");
      unlink(Path.c_str());
    }
    FControl = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (FControl < 0 || bind(FControl, reinterpret_cast<sockaddr*>(&U), sizeof U) != 0 ||
        listen(FControl, 8) != 0) {
      std::string Error = SystemError("cannot open the control socket " + Path);
      if (FControl >= 0)
        close(FControl);
      FControl = -1;
      throw Exception(Error);
    }
    SetNonBlocking(FControl);
  }
  FStdinOpen = FOptions.ReadStdin;
}

void TCoreServer::RequestStop() {
  FStop.store(true);
  if (FStopPipe[1] >= 0) {
    char C = 0;
    [[maybe_unused]] ssize_t N = write(FStopPipe[1], &C, 1);
  }
}

void TCoreServer::Log(const std::string& Line) {
  std::string Time = DateTimeToStr(Now());
  std::printf("%s %s\n", Time.substr(Time.size() > 11 ? 11 : 0).c_str(), Line.c_str());
  std::fflush(stdout);
}

int TCoreServer::Run() {
  struct TWatch {
    int Fd;
    short Events;
    std::function<void(short Revents)> OnReady;
  };

  // Sends what waits in Out without blocking; false when the peer is gone.
  auto Flush = [](int Fd, std::string& Out) {
    while (!Out.empty()) {
      ssize_t N = send(Fd, Out.data(), Out.size(), MSG_NOSIGNAL);
      if (N < 0)
        return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
      Out.erase(0, static_cast<std::size_t>(N));
    }
    return true;
  };

  while (!FStop.load()) {
    std::vector<TWatch> Watches;
    Watches.push_back({FStopPipe[0], POLLIN, [this](short) { FStop.store(true); }});
    Watches.push_back({FListen, POLLIN, [this](short) { Accept(); }});
    if (FControl >= 0)
      Watches.push_back({FControl, POLLIN, [this](short) { AcceptControl(); }});
    if (FStdinOpen)
      Watches.push_back({STDIN_FILENO, POLLIN, [this](short) { ReadStdin(); }});
    for (auto& S : FSessions) {
      TSession* P = S.get();
      short Events = static_cast<short>(POLLIN | (P->Out.empty() ? 0 : POLLOUT));
      Watches.push_back({P->Fd, Events, [this, P, &Flush](short Revents) {
                           if (P->Fd < 0)
                             return;  // closed by an operator command of this round
                           if ((Revents & POLLOUT) != 0 && !Flush(P->Fd, P->Out))
                             CloseSession(*P, "the connection failed");
                           if ((Revents & (POLLIN | POLLHUP | POLLERR)) != 0 && P->Fd >= 0)
                             ReadSession(*P);
                         }});
    }
    for (auto& C : FControlClients) {
      TControlClient* P = C.get();
      short Events = static_cast<short>(POLLIN | (P->Out.empty() ? 0 : POLLOUT));
      Watches.push_back({P->Fd, Events, [this, P, &Flush](short Revents) {
                           if ((Revents & POLLOUT) != 0 && !Flush(P->Fd, P->Out))
                             P->Closing = true;
                           if ((Revents & (POLLIN | POLLHUP | POLLERR)) != 0)
                             ReadControl(*P);
                         }});
    }

    std::vector<pollfd> Fds;
    for (const TWatch& W : Watches)
      Fds.push_back({W.Fd, W.Events, 0});
    int N = poll(Fds.data(), Fds.size(), 200);
    if (N < 0 && errno != EINTR) {
      std::fprintf(stderr, "CoreService: %s\n", SystemError("poll").c_str());
      return 1;
    }
    for (std::size_t I = 0; N > 0 && I < Fds.size(); ++I)
      if (Fds[I].revents != 0)
        Watches[I].OnReady(Fds[I].revents);

    // Replies made while handling input go out at once, without waiting for the next round.
    for (auto& S : FSessions) {
      if (S->Fd >= 0 && !Flush(S->Fd, S->Out))
        CloseSession(*S, "the connection failed");
      if (S->Fd < 0 || S->State != TSession::Closing)
        continue;
      if (S->Out.empty() && !S->Shut) {
        shutdown(S->Fd, SHUT_WR);
        S->Shut = true;
      }
      if (GetTickCount() - S->ClosingSince > ClosingGrace) {
        close(S->Fd);
        S->Fd = -1;
      }
    }
    for (auto& C : FControlClients) {
      if (!Flush(C->Fd, C->Out))
        C->Closing = true;
      if (C->Closing && C->Out.empty()) {
        close(C->Fd);
        C->Fd = -1;
      }
    }
    std::erase_if(FSessions, [](const auto& S) { return S->Fd < 0; });
    std::erase_if(FControlClients, [](const auto& C) { return C->Fd < 0; });
  }
  Log("stopping");
  return 0;
}

void TCoreServer::Accept() {
  sockaddr_in A{};
  socklen_t Len = sizeof A;
  int Fd = accept4(FListen, reinterpret_cast<sockaddr*>(&A), &Len, SOCK_CLOEXEC | SOCK_NONBLOCK);
  if (Fd < 0)
    return;
  int One = 1;
  setsockopt(Fd, IPPROTO_TCP, TCP_NODELAY, &One, sizeof One);
  auto S = std::make_unique<TSession>();
  S->Fd = Fd;
  S->Number = FNextSession++;
  char Host[INET_ADDRSTRLEN] = "?";
  inet_ntop(AF_INET, &A.sin_addr, Host, sizeof Host);
  S->Peer = std::string(Host) + ":" + std::to_string(ntohs(A.sin_port));
  Log("session " + std::to_string(S->Number) + ": connection from " + S->Peer);
  FSessions.push_back(std::move(S));
}

void TCoreServer::AcceptControl() {
  int Fd = accept4(FControl, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
  if (Fd < 0)
    return;
  auto C = std::make_unique<TControlClient>();
  C->Fd = Fd;
  FControlClients.push_back(std::move(C));
}

void TCoreServer::CloseSession(TSession& S, const std::string& Why) {
  if (S.Fd < 0)
    return;
  if (S.State != TSession::Closing || !Why.empty())
    Log("session " + std::to_string(S.Number) + ": " + Why);
  for (const std::string& Pushed : S.Awaiting)
    Log("session " + std::to_string(S.Number) + ": no answer came to " + Pushed);
  close(S.Fd);
  S.Fd = -1;
}

void TCoreServer::ReadSession(TSession& S) {
  char Buf[65536];
  ssize_t N = recv(S.Fd, Buf, sizeof Buf, 0);
  if (N == 0) {
    CloseSession(S, S.State == TSession::Closing ? "" : "the service closed the connection");
    return;
  }
  if (N < 0) {
    if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
      CloseSession(S, SystemError("the connection failed"));
    return;
  }
  if (S.State == TSession::Closing)
    return;  // what comes after a refusal is not read
  S.In.append(Buf, static_cast<std::size_t>(N));
  try {
    ProcessInput(S);
  } catch (const std::exception& E) {
    CloseSession(S, std::string("protocol error, closing: ") + E.what());
  }
}

void TCoreServer::ProcessInput(TSession& S) {
  while (S.Fd >= 0 && S.State != TSession::Closing) {
    std::size_t Length = S.State == TSession::Login ? LoginLength(S.In) : MessageLength(S.In);
    if (Length == 0)
      return;
    auto Frame = BufferOf(S.In.substr(0, Length));
    S.In.erase(0, Length);
    if (S.State == TSession::Login)
      HandleLogin(S, *Frame);
    else
      HandleMessage(S, *Frame);
  }
}

void TCoreServer::HandleLogin(TSession& S, TBufferProtocol& Frame) {
  const std::uint8_t Service = Frame.ReadByte();
  const std::string Version = Frame.ReadString();
  const std::string Password = Frame.ReadString();
  std::string Refusal;
  if (FRefusing)
    Refusal = FRefuseReason;
  else if (Version != ProtocolVersion)
    Refusal = "Unsupported protocol version " + Version + " (this Core service speaks " +
              ProtocolVersion + ")";
  else if (Service != ServiceNumber)
    Refusal = "Unknown service " + std::to_string(Service) + ": this installation serves only " +
              "service " + std::to_string(ServiceNumber);
  else if (FOptions.CheckPassword && Password != FOptions.Password)
    Refusal = "Wrong password for service " + std::to_string(Service);

  std::string Head = "session " + std::to_string(S.Number) + ": log-in of service " +
                     std::to_string(Service) + ", protocol " + Version + ": ";
  TBufferProtocol Answer(32);
  if (!Refusal.empty()) {
    Answer.WriteBoolean(false);
    Answer.WriteString(Refusal);
    S.State = TSession::Closing;
    S.ClosingSince = GetTickCount();
    Log(Head + "refused: " + Refusal);
  } else {
    Answer.WriteBoolean(true);
    Answer.WriteString("");  // the configuration text, which the service does not use
    S.State = TSession::Ready;
    Log(Head + "accepted");
  }
  S.Out += Content(Answer);
}

void TCoreServer::HandleMessage(TSession& S, TBufferProtocol& Frame) {
  const std::string Name = Frame.ReadString();
  const bool IsEvent = Frame.ReadByte() == 1;
  const std::uint8_t Id = IsEvent ? 0 : Frame.ReadByte();
  TBufferProtocol Params(64);
  Frame.ReadBlock(Params);
  Params.SetPosition(0);
  if (IsEvent) {
    try {
      HandleEvent(S, Name, Params);
    } catch (const std::exception& E) {
      Log("event " + Name + ": cannot decode it: " + E.what());
    }
    return;
  }
  std::string Reply;
  Reply += static_cast<char>(Id);
  try {
    Reply += HandleCommand(S, Name, Id, Params);
  } catch (const std::exception& E) {
    TBufferProtocol Failed(32);
    Failed.WriteByte(3);
    Failed.WriteString(std::string("CoreService: bad parameters of ") + Name + ": " + E.what());
    Reply += Content(Failed);
    Log("command " + Name + " #" + std::to_string(Id) + ": bad parameters: " + E.what());
  }
  S.Out += Reply;
}

std::string TCoreServer::HandleCommand(TSession& S, const std::string& Name, std::uint8_t Id,
                                       TBufferProtocol& Params) {
  const std::string Head = "command " + Name + " #" + std::to_string(Id);
  TBufferProtocol Reply(64);
  if (Name == "Keepalive") {
    Log(Head);
    Reply.WriteByte(0);
  } else if (Name == "GetSysObjects") {
    TBufferProtocol Objects(64);
    FInstallation.Objects().ObjectsSaveToBufferFilter(Objects,
                                                      [](TCustomSysObject&) { return true; });
    Reply.WriteByte(1);
    Reply.WriteBlock(Objects, true);
    Log(Head + ": sent " + std::to_string(FInstallation.Objects().Count()) + " objects");
  } else if (Name == "SetSysObjects") {
    Log(Head + ": " + ApplySysObjects(Params));
    Reply.WriteByte(0);
  } else if (Name == "RegisterForEvents") {
    std::string Events;
    while (Params.Position() < Params.Size()) {
      std::uint8_t Source = Params.ReadByte();
      std::string Event = Params.ReadString();
      Events += (Events.empty() ? "" : ", ") + Event + " from service " + std::to_string(Source);
    }
    S.Events = Events;
    Log(Head + ": " + (Events.empty() ? "none" : Events));
    Reply.WriteByte(0);
  } else if (Name == "ReturnCommand") {
    std::string Result;
    switch (std::uint8_t Status = Params.ReadByte()) {
      case 0:
        Result = "done";
        break;
      case 1: {
        TBufferProtocol Data(32);
        Params.ReadBlock(Data);
        Result = "done, " + std::to_string(Data.Size()) +
                 " bytes of reply: " + HexText(Data.Data(), static_cast<std::size_t>(Data.Size()));
        break;
      }
      case 3:
        Result = "failed: " + Params.ReadString();
        break;
      default:
        Result = "unknown result " + std::to_string(Status);
    }
    std::string Pushed = "a command this Core service did not send";
    if (!S.Awaiting.empty()) {
      Pushed = S.Awaiting.front();
      S.Awaiting.pop_front();
    }
    Log(Head + ": answer to " + Pushed + ": " + Result);
    Reply.WriteByte(0);
  } else {
    Log(Head + ": unknown command, refused");
    Reply.WriteByte(3);
    Reply.WriteString("CoreService: unknown command \"" + Name + "\"");
  }
  return Content(Reply);
}

std::string TCoreServer::ApplySysObjects(TBufferProtocol& Params) {
  TSysObjectList& List = FInstallation.Objects();
  std::map<std::int32_t, std::string> Before;
  for (std::int32_t I = 0; I < List.Count(); ++I) {
    TBufferProtocol Record(64);
    List.Items(I)->SaveToBuffer(Record);
    Before[List.Items(I)->ID()] = Content(Record);
  }
  const std::int32_t Count = Params.PeekInteger();
  List.ObjectLoadMulti(Params, false);
  std::string Added, Changed;
  for (std::int32_t I = 0; I < List.Count(); ++I) {
    TCustomSysObject* Obj = List.Items(I);
    TBufferProtocol Record(64);
    Obj->SaveToBuffer(Record);
    auto It = Before.find(Obj->ID());
    if (It == Before.end())
      Added += (Added.empty() ? "" : ", ") + Describe(*Obj);
    else if (It->second != Content(Record))
      Changed += (Changed.empty() ? "" : ", ") + Describe(*Obj);
  }
  return std::to_string(Count) +
         " objects of the service; new: " + (Added.empty() ? "none" : Added) +
         "; changed: " + (Changed.empty() ? "none" : Changed);
}

void TCoreServer::HandleEvent(TSession& S, const std::string& Name, TBufferProtocol& Params) {
  if (Name == "SysObjectStatus") {
    ObjectStatus(Params);
  } else if (Name == "SysObjectConfig") {
    ObjectConfig(Params);
  } else if (Name == "Quit") {
    Log("event Quit: session " + std::to_string(S.Number) + " logs out");
  } else {
    std::string Shown =
        Params.Size() == 0
            ? std::string("no parameters")
            : std::to_string(Params.Size()) + " bytes: " +
                  HexText(Params.Data(), static_cast<std::size_t>(std::min(Params.Size(), 64)));
    Log("event " + Name + ": " + Shown);
  }
}

void TCoreServer::ObjectStatus(TBufferProtocol& Params) {
  const std::int32_t ID = Params.ReadInteger();
  TBufferProtocol Status(32);
  Params.ReadBlock(Status);
  Status.SetPosition(0);
  TCustomSysObject* Obj = FInstallation.Find(ID);
  if (Obj == nullptr) {
    Log("event SysObjectStatus: " + std::to_string(ID) +
        " (unknown object): " + HexText(Status.Data(), static_cast<std::size_t>(Status.Size())));
    return;
  }
  // As a record's status section is read: an empty one means the initial status.
  if (Status.Size() == 0)
    Obj->ClearStatus();
  else
    Obj->ReadStatus(Status, Status.Size());
  Log("event SysObjectStatus: " + Describe(*Obj) + ": " + StatusText(*Obj));
}

void TCoreServer::ObjectConfig(TBufferProtocol& Params) {
  const std::uint8_t Action = Params.ReadByte();
  const std::int32_t ID = Params.PeekInteger();
  Params.SetPosition(0);
  TCustomSysObject* Before = FInstallation.Find(ID);
  std::string Was = Before != nullptr ? Describe(*Before) : std::to_string(ID) + " (unknown)";
  try {
    FInstallation.Objects().ObjectLoad(Params);
  } catch (const std::exception& E) {
    Log("event SysObjectConfig: action " + std::to_string(Action) + " for " + Was +
        " not applied: " + E.what());
    return;
  }
  TCustomSysObject* After = FInstallation.Find(ID);
  std::string Line = "event SysObjectConfig: ";
  if (Action == olaDeleted)
    Line += "deleted " + Was;
  else if (After == nullptr)
    Line += "action " + std::to_string(Action) + " for " + Was + " left no object";
  else
    Line += std::string(Action == olaAdded ? "added " : "changed ") + Describe(*After) + ": " +
            PropertiesText(*After);
  Log(Line);
}

void TCoreServer::ReadControl(TControlClient& C) {
  char Buf[4096];
  ssize_t N = recv(C.Fd, Buf, sizeof Buf, 0);
  if (N <= 0) {
    if (N == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR))
      C.Closing = true;
    return;
  }
  C.In.append(Buf, static_cast<std::size_t>(N));
  for (std::size_t End; (End = C.In.find('\n')) != std::string::npos;) {
    std::string Line = C.In.substr(0, End);
    C.In.erase(0, End + 1);
    if (!Line.empty() && Line.back() == '\r')
      Line.pop_back();
    Log("control: " + Line);
    for (const std::string& Reply : Execute(Line))
      C.Out += Reply + "\n";
  }
  if (C.In.size() > MaxLineLength) {
    C.Out += "error: the line is too long\n";
    C.Closing = true;
  }
}

void TCoreServer::ReadStdin() {
  char Buf[4096];
  ssize_t N = read(STDIN_FILENO, Buf, sizeof Buf);
  if (N <= 0) {
    if (N == 0 || errno != EINTR)
      FStdinOpen = false;  // without a terminal the server goes on with the control socket
    return;
  }
  FStdinBuffer.append(Buf, static_cast<std::size_t>(N));
  for (std::size_t End; (End = FStdinBuffer.find('\n')) != std::string::npos;) {
    std::string Line = FStdinBuffer.substr(0, End);
    FStdinBuffer.erase(0, End + 1);
    for (const std::string& Reply : Execute(Line))
      if (Reply != "ok")
        std::printf("%s\n", Reply.c_str());
    std::fflush(stdout);
  }
  if (FStdinBuffer.size() > MaxLineLength)
    FStdinBuffer.clear();
}

std::vector<std::string> TCoreServer::Execute(const std::string& Line) {
  std::vector<std::string> W = Words(Line);
  std::vector<std::string> Reply;
  if (W.empty())
    return {"ok"};
  const std::string Command = W[0];
  try {
    if (Command == "help") {
      Reply.assign(std::begin(HelpText), std::end(HelpText));
    } else if (Command == "list" || Command == "status") {
      Reply = ListCommand(Command == "status");
    } else if (Command == "show" && W.size() == 2) {
      TCustomSysObject* Obj = FInstallation.Find(ObjectId(W[1]));
      if (Obj == nullptr)
        throw Exception("no object has the ID " + W[1]);
      std::string Text = ToJson(*Obj).dump(2);
      for (std::size_t At = 0; At <= Text.size();) {
        std::size_t End = Text.find('\n', At);
        if (End == std::string::npos)
          End = Text.size();
        Reply.push_back(Text.substr(At, End - At));
        At = End + 1;
      }
    } else if (Command == "set") {
      Reply = SetCommand(W);
    } else if (Command == "add") {
      Reply = AddCommand(AfterWords(Line, 1));
    } else if (Command == "delete") {
      std::int64_t User = TakeUser(W, FOptions.DefaultUser);
      if (W.size() != 2)
        throw Exception("usage: delete ID [user=N]");
      TCustomSysObject* Obj = FInstallation.Find(ObjectId(W[1]));
      if (Obj == nullptr)
        throw Exception("no object has the ID " + W[1]);
      TBufferProtocol Params(32);
      FInstallation.Objects().WriteListAction(*Obj, olaDeleted, Params);
      Reply = PushCommand("SetSysObject", User, Params, "SetSysObject: delete " + Describe(*Obj));
    } else if (Command == "restore") {
      std::int64_t User = TakeUser(W, FOptions.DefaultUser);
      if (W.size() < 2)
        throw Exception("usage: restore ACCOUNT-ID [user=N] [TEXT]");
      std::int32_t ID = ObjectId(W[1]);
      std::string Text;
      for (std::size_t I = 2; I < W.size(); ++I)
        Text += (I == 2 ? "" : " ") + W[I];
      TCustomSysObject* Obj = FInstallation.Find(ID);
      if (Obj != nullptr && dynamic_cast<TCIDAccount*>(Obj) == nullptr)
        Reply.push_back("note: " + Describe(*Obj) + " is not an account; the service ignores it");
      TBufferProtocol Params(32);
      Params.WriteInteger(ID);
      Params.WriteString(Text);
      std::vector<std::string> Sent =
          PushCommand("ForceRestore", User, Params,
                      "ForceRestore of " + (Obj != nullptr ? Describe(*Obj) : std::to_string(ID)));
      Reply.insert(Reply.end(), Sent.begin(), Sent.end());
    } else if (Command == "quit") {
      std::string Reason = AfterWords(Line, 1);
      if (Reason.empty())
        Reason = "Stopped by the Core service operator";
      TBufferProtocol Params(32);
      Params.WriteString(Reason);
      Params.WriteBoolean(false);
      TBufferProtocol Message(64);
      Message.WriteBoolean(false);
      Message.WriteByte(0);
      Message.WriteString("CoreQuit");
      Message.WriteBlock(Params, true);
      Reply.push_back(Push(Content(Message), "CoreQuit \"" + Reason + "\"", false));
    } else if (Command == "drop" && W.size() == 1) {
      int Dropped = 0;
      for (auto& S : FSessions)
        if (S->Fd >= 0) {
          CloseSession(*S, "dropped by the operator");
          ++Dropped;
        }
      Reply.push_back("dropped " + std::to_string(Dropped) + " connections");
    } else if (Command == "refuse") {
      std::string Reason = AfterWords(Line, 1);
      if (Reason.empty())
        throw Exception("usage: refuse REASON (a reason with \"NonFatal:\" is retried)");
      FRefusing = true;
      FRefuseReason = Reason;
      Reply.push_back("log-ins are refused: " + Reason);
    } else if (Command == "accept" && W.size() == 1) {
      FRefusing = false;
      Reply.push_back("log-ins are accepted");
    } else if (Command == "exit" && W.size() == 1) {
      FStop.store(true);
      Reply.push_back("stopping");
    } else {
      throw Exception("unknown command \"" + Line + "\"; try help");
    }
  } catch (const std::exception& E) {
    Reply.push_back(std::string("error: ") + E.what());
    return Reply;
  }
  Reply.push_back("ok");
  return Reply;
}

std::vector<std::string> TCoreServer::SetCommand(const std::vector<std::string>& Words) {
  std::vector<std::string> W = Words;
  std::int64_t User = TakeUser(W, FOptions.DefaultUser);
  if (W.size() < 3)
    throw Exception("usage: set ID FIELD=VALUE... [user=N]");
  std::int32_t ID = ObjectId(W[1]);
  TCustomSysObject* Obj = FInstallation.Find(ID);
  if (Obj == nullptr)
    throw Exception("no object has the ID " + W[1]);
  TJson Fields = TJson::object();
  std::string Changes;
  for (std::size_t I = 2; I < W.size(); ++I) {
    std::size_t Eq = W[I].find('=');
    if (Eq == std::string::npos || Eq == 0)
      throw Exception("\"" + W[I] + "\" is not FIELD=VALUE");
    std::string Field = W[I].substr(0, Eq);
    Fields[Field] = FInstallation.FieldValueFromText(*Obj, Field, W[I].substr(Eq + 1));
    Changes += " " + Field + "=" + Fields[Field].dump();
  }
  std::unique_ptr<TCustomSysObject> Changed = FInstallation.ChangedObject(ID, Fields);
  TBufferProtocol Params(64);
  FInstallation.Objects().WriteListAction(*Changed, oaChanged, Params);
  return PushCommand("SetSysObject", User, Params,
                     "SetSysObject: change " + Describe(*Obj) + Changes);
}

std::vector<std::string> TCoreServer::AddCommand(const std::string& Rest) {
  std::vector<std::string> W = Words(Rest);
  std::int64_t User = FOptions.DefaultUser;
  std::string Json = Rest;
  if (!W.empty() && W[0].rfind("user=", 0) == 0) {
    std::vector<std::string> First{W[0]};
    User = TakeUser(First, User);
    Json = AfterWords(Rest, 1);
  }
  if (!TJson::accept(Json))
    throw Exception("usage: add [user=N] {JSON object}; the object is not valid JSON");
  std::unique_ptr<TCustomSysObject> Obj = FInstallation.NewObject(TJson::parse(Json));
  TBufferProtocol Params(64);
  FInstallation.Objects().WriteListAction(*Obj, olaAdded, Params);
  return PushCommand("SetSysObject", User, Params,
                     "SetSysObject: add " + Describe(*Obj) + ": " + PropertiesText(*Obj));
}

std::vector<std::string> TCoreServer::ListCommand(bool StatusOnly) {
  std::vector<std::string> Lines;
  if (StatusOnly) {
    int Sessions = 0;
    for (auto& S : FSessions) {
      if (S->Fd < 0)
        continue;
      ++Sessions;
      static const char* const States[] = {"logging in", "logged in", "closing"};
      Lines.push_back("session " + std::to_string(S->Number) + " from " + S->Peer + ": " +
                      States[S->State] + (S->Events.empty() ? "" : ", events: " + S->Events) +
                      (S->Awaiting.empty()
                           ? ""
                           : ", " + std::to_string(S->Awaiting.size()) + " commands unanswered"));
    }
    if (Sessions == 0)
      Lines.push_back("no service connected");
    Lines.push_back(FRefusing ? "log-ins are refused: " + FRefuseReason : "log-ins are accepted");
  }
  TSysObjectList& List = FInstallation.Objects();
  for (std::int32_t I = 0; I < List.Count(); ++I) {
    TCustomSysObject* Obj = List.Items(I);
    Lines.push_back(Describe(*Obj) + ": " + (StatusOnly ? "" : PropertiesText(*Obj) + "; ") +
                    StatusText(*Obj));
  }
  return Lines;
}

std::string TCoreServer::Push(const std::string& Message, const std::string& Description,
                              bool IsCommand) {
  TBufferProtocol Block(64);
  Block.WriteByte(0);
  Block.WriteByte(2);
  Block.WriteInteger(1);
  std::string Bytes = Content(Block) + Message;
  std::string Sessions;
  for (auto& S : FSessions) {
    if (S->Fd < 0 || S->State != TSession::Ready)
      continue;
    S->Out += Bytes;
    if (IsCommand)
      S->Awaiting.push_back(Description);
    Sessions += (Sessions.empty() ? "" : ", ") + std::to_string(S->Number);
  }
  if (Sessions.empty())
    throw Exception("no service is logged in");
  Log("pushed to session " + Sessions + ": " + Description);
  return "sent to session " + Sessions + ": " + Description;
}

std::vector<std::string> TCoreServer::PushCommand(const std::string& Name, std::int64_t User,
                                                  const TBufferProtocol& Params,
                                                  const std::string& Description) {
  TBufferProtocol Message(64);
  Message.WriteBoolean(true);
  Message.WriteByte(0);  // from the Core service itself
  Message.WriteInt64(User);
  Message.WriteString(Name);
  Message.WriteBlock(Params, true);
  return {Push(Content(Message), Description + ", user " + std::to_string(User), true)};
}

}  // namespace pelmar::coreservice
