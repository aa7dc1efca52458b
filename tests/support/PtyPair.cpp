#include "PtyPair.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>

namespace pelmar::test {

namespace {

const char* const TemplateVariable = "PELMAR_SERIAL_DEVICE";

}  // namespace

TPtyPair::TPtyPair() {
  char Name[128] = {};
  if (openpty(&FMaster, &FSlave, Name, nullptr, nullptr) != 0) {
    ADD_FAILURE() << "openpty: " << std::strerror(errno);
    return;
  }
  FSlaveName = Name;
  fcntl(FMaster, F_SETFL, fcntl(FMaster, F_GETFL) | O_NONBLOCK);
  fcntl(FMaster, F_SETFD, FD_CLOEXEC);
  fcntl(FSlave, F_SETFD, FD_CLOEXEC);
}

TPtyPair::~TPtyPair() {
  CloseMaster();
  if (FSlave >= 0)
    close(FSlave);
}

void TPtyPair::Send(std::string_view Bytes) {
  while (!Bytes.empty()) {
    ssize_t N = write(FMaster, Bytes.data(), Bytes.size());
    if (N > 0) {
      Bytes.remove_prefix(static_cast<size_t>(N));
      continue;
    }
    if (N < 0 && errno != EAGAIN && errno != EINTR) {
      ADD_FAILURE() << "pty master write: " << std::strerror(errno);
      return;
    }
    pollfd P{FMaster, POLLOUT, 0};
    poll(&P, 1, 100);
  }
}

std::string TPtyPair::Receive(std::size_t Count, int TimeoutMs) {
  std::string Out;
  auto Deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(TimeoutMs);
  while (Out.size() < Count && std::chrono::steady_clock::now() < Deadline) {
    char Buffer[4096];
    ssize_t N = read(FMaster, Buffer, std::min(sizeof Buffer, Count - Out.size()));
    if (N > 0) {
      Out.append(Buffer, static_cast<size_t>(N));
      continue;
    }
    pollfd P{FMaster, POLLIN, 0};
    poll(&P, 1, 20);
  }
  return Out;
}

std::string TPtyPair::Drain() {
  std::string Out;
  char Buffer[4096];
  ssize_t N;
  while ((N = read(FMaster, Buffer, sizeof Buffer)) > 0)
    Out.append(Buffer, static_cast<size_t>(N));
  return Out;
}

termios TPtyPair::Attributes() const {
  termios T{};
  EXPECT_EQ(0, tcgetattr(FSlave, &T)) << std::strerror(errno);
  return T;
}

void TPtyPair::CloseMaster() {
  if (FMaster < 0)
    return;
  close(FMaster);
  FMaster = -1;
}

TSerialPortDir::TSerialPortDir() {
  std::string Pattern = (std::filesystem::temp_directory_path() / "pelmar-tty-XXXXXX").string();
  if (mkdtemp(Pattern.data()) == nullptr)
    ADD_FAILURE() << "mkdtemp: " << std::strerror(errno);
  FDir = Pattern;
  FTemplate = FDir + "/tty%d";
  if (const char* Old = std::getenv(TemplateVariable)) {
    FHadOld = true;
    FOld = Old;
  }
  setenv(TemplateVariable, FTemplate.c_str(), 1);
}

TSerialPortDir::~TSerialPortDir() {
  if (FHadOld)
    setenv(TemplateVariable, FOld.c_str(), 1);
  else
    unsetenv(TemplateVariable);
  std::error_code Ignored;
  std::filesystem::remove_all(FDir, Ignored);
}

std::string TSerialPortDir::DeviceOf(int Port) const {
  return FDir + "/tty" + std::to_string(Port - 1);
}

void TSerialPortDir::Link(int Port, const std::string& Target) {
  std::string Name = DeviceOf(Port);
  unlink(Name.c_str());
  if (symlink(Target.c_str(), Name.c_str()) != 0)
    ADD_FAILURE() << "symlink " << Name << ": " << std::strerror(errno);
}

}  // namespace pelmar::test
