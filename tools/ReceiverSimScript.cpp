#include "ReceiverSimScript.h"

#include <cctype>
#include <cstdio>
#include <sstream>
#include <stdexcept>

namespace pelmar::receiversim {

namespace {

constexpr int GeneratedZones = 999;
constexpr int GeneratedGroups = 99;

bool IsHex(const std::string& S) {
  for (char C : S)
    if (!std::isxdigit(static_cast<unsigned char>(C)))
      return false;
  return true;
}

void CheckField(const std::string& Name, const std::string& Value, std::size_t Digits) {
  if (Value.size() != Digits || !IsHex(Value))
    throw std::invalid_argument(Name + " \"" + Value + "\" must be " + std::to_string(Digits) +
                                " hex digits");
}

std::string Digits(int Value, int Width) {
  char Text[16];
  std::snprintf(Text, sizeof Text, "%0*d", Width, Value);
  return Text;
}

// A number from 0 to Max, decimal digits only.
long Number(const std::string& Name, const std::string& Text, long Max) {
  if (Text.empty() || Text.size() > 9)
    throw std::invalid_argument(Name + " \"" + Text + "\" is not a number");
  for (char C : Text)
    if (!std::isdigit(static_cast<unsigned char>(C)))
      throw std::invalid_argument(Name + " \"" + Text + "\" is not a number");
  long Value = std::stol(Text);
  if (Value > Max)
    throw std::invalid_argument(Name + " " + Text + " is more than " + std::to_string(Max));
  return Value;
}

std::vector<std::string> Words(const std::string& Line) {
  std::istringstream In(Line);
  std::vector<std::string> Out;
  for (std::string W; In >> W;)
    Out.push_back(W);
  return Out;
}

void WantWords(const std::vector<std::string>& W, std::size_t From, std::size_t Count,
               const char* Usage) {
  if (W.size() - From != Count)
    throw std::invalid_argument(std::string("usage: ") + Usage);
}

// A report field of a repeated step: "#" becomes the repetition number in the field's digits.
std::string Field(const std::string& Value, std::size_t Width, int Repetition) {
  if (Value != "#")
    return Value;
  if (Repetition == 0)
    throw std::invalid_argument("\"#\" stands for the repetition number and needs repeat");
  std::string Text = Digits(Repetition, static_cast<int>(Width));
  if (Text.size() > Width)
    throw std::invalid_argument("repetition " + std::to_string(Repetition) + " does not fit in " +
                                std::to_string(Width) + " digits");
  return Text;
}

// The step of the words from From on; Repetition is 1.. inside repeat, else 0.
void ParseStep(const std::vector<std::string>& W, std::size_t From, int Repetition,
               const TOrigin& Origin, std::vector<TStep>& Out) {
  const std::string& Command = W[From];
  TStep Step;
  if (Command == "report") {
    WantWords(W, From + 1, 5, "report ACCOUNT QUALIFIER CODE GROUP ZONE");
    Step.Frame = ReportFrame(Field(W[From + 1], 4, Repetition), W[From + 2],
                             Field(W[From + 3], 3, Repetition), Field(W[From + 4], 2, Repetition),
                             Field(W[From + 5], 3, Repetition), Origin);
  } else if (Command == "linktest") {
    WantWords(W, From + 1, 0, "linktest");
    Step.Frame = LinkTestFrame(Origin);
  } else if (Command == "raw" || Command == "noise") {
    std::string Hex;
    for (std::size_t I = From + 1; I < W.size(); ++I)
      Hex += W[I];
    if (Hex.empty())
      throw std::invalid_argument("usage: " + Command + " HEX");
    std::string Bytes = BytesOfHex(Hex);
    if (Command == "raw") {
      Step.Frame = {TFrameKind::Raw, Bytes, "raw:" + HexOf(Bytes)};
    } else {
      Step.Kind = TStep::Noise;
      Step.Bytes = Bytes;
    }
  } else if (Command == "garbage") {
    WantWords(W, From + 1, 1, "garbage COUNT");
    Step.Kind = TStep::Garbage;
    Step.Count = static_cast<int>(Number("count", W[From + 1], 65536));
  } else if (Command == "cut") {
    WantWords(W, From + 1, 0, "cut");
    Step.Kind = TStep::Cut;
  } else if (Command == "wait") {
    WantWords(W, From + 1, 1, "wait MILLISECONDS");
    Step.Kind = TStep::Wait;
    Step.Ms = static_cast<std::uint32_t>(Number("wait", W[From + 1], 86400000));
  } else if (Command == "repeat") {
    if (W.size() - From < 3)
      throw std::invalid_argument("usage: repeat COUNT STEP");
    if (Repetition != 0)
      throw std::invalid_argument("repeat cannot be repeated");
    long Count = Number("count", W[From + 1], 1000000);
    for (long I = 1; I <= Count; ++I)
      ParseStep(W, From + 2, static_cast<int>(I), Origin, Out);
    return;
  } else {
    throw std::invalid_argument("unknown step \"" + Command + "\"");
  }
  Out.push_back(std::move(Step));
}

}  // namespace

TFrame ReportFrame(const std::string& Account, const std::string& Qualifier,
                   const std::string& Code, const std::string& Group, const std::string& Zone,
                   const TOrigin& Origin) {
  CheckField("account", Account, 4);
  if (Qualifier.size() != 1 || !std::isgraph(static_cast<unsigned char>(Qualifier[0])))
    throw std::invalid_argument("qualifier \"" + Qualifier + "\" must be one letter (E, R, S)");
  CheckField("event code", Code, 3);
  CheckField("group", Group, 2);
  CheckField("zone", Zone, 3);
  std::string Bytes = "5" + Digits(Origin.Receiver, 2) + Digits(Origin.Line, 1) + " 18" + Account +
                      Qualifier + Code + Group + Zone + DC4;
  return {TFrameKind::Report, Bytes, Account + ":" + Qualifier + Code + ":" + Group + ":" + Zone};
}

TFrame ReportFrameOf(const std::string& Text, const TOrigin& Origin) {
  std::vector<std::string> Parts;
  std::size_t Start = 0;
  for (std::size_t Colon; (Colon = Text.find(':', Start)) != std::string::npos; Start = Colon + 1)
    Parts.push_back(Text.substr(Start, Colon - Start));
  Parts.push_back(Text.substr(Start));
  if (Parts.size() != 4 || Parts[1].size() != 4)
    throw std::invalid_argument("report \"" + Text +
                                "\" must be ACCOUNT:QCODE:GROUP:ZONE, as in 1234:E130:01:015");
  return ReportFrame(Parts[0], Parts[1].substr(0, 1), Parts[1].substr(1), Parts[2], Parts[3],
                     Origin);
}

TFrame LinkTestFrame(const TOrigin& Origin) {
  std::string Bytes = "1" + Digits(Origin.Receiver, 2) + Digits(Origin.Line, 1);
  Bytes.resize(15, ' ');
  Bytes += '@';
  Bytes.resize(FrameLength - 1, ' ');
  Bytes += DC4;
  return {TFrameKind::LinkTest, Bytes, "linktest"};
}

std::string BytesOfHex(const std::string& Hex) {
  std::string Packed;
  for (char C : Hex)
    if (C != ' ' && C != '\t')
      Packed += C;
  if (Packed.empty() || Packed.size() % 2 != 0 || !IsHex(Packed))
    throw std::invalid_argument("\"" + Hex + "\" is not a whole number of hex bytes");
  std::string Bytes;
  for (std::size_t I = 0; I < Packed.size(); I += 2)
    Bytes += static_cast<char>(std::stoi(Packed.substr(I, 2), nullptr, 16));
  return Bytes;
}

std::string HexOf(const std::string& Bytes) {
  static const char Digit[] = "0123456789ABCDEF";
  std::string Out;
  for (unsigned char C : Bytes) {
    Out += Digit[C >> 4];
    Out += Digit[C & 15];
  }
  return Out;
}

std::vector<TStep> GeneratedReports(int Count, const std::string& Account, const std::string& Event,
                                    const TOrigin& Origin) {
  if (Event.size() != 4)
    throw std::invalid_argument("event \"" + Event + "\" must be a qualifier and 3 digits (E130)");
  std::vector<TStep> Steps;
  Steps.reserve(static_cast<std::size_t>(Count));
  for (int I = 0; I < Count; ++I) {
    TStep Step;
    Step.Frame = ReportFrame(Account, Event.substr(0, 1), Event.substr(1),
                             Digits(1 + (I / GeneratedZones) % GeneratedGroups, 2),
                             Digits(1 + I % GeneratedZones, 3), Origin);
    Steps.push_back(std::move(Step));
  }
  return Steps;
}

std::vector<TStep> ParseScript(std::istream& In, const std::string& Name, const TOrigin& Origin) {
  std::vector<TStep> Steps;
  int Number = 0;
  for (std::string Line; std::getline(In, Line);) {
    ++Number;
    std::vector<std::string> W = Words(Line);
    if (W.empty() || W[0][0] == '#')
      continue;
    try {
      ParseStep(W, 0, 0, Origin, Steps);
    } catch (const std::invalid_argument& E) {
      throw std::invalid_argument(Name + ":" + std::to_string(Number) + ": " + E.what());
    }
  }
  return Steps;
}

}  // namespace pelmar::receiversim
