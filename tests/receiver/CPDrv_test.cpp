// ctest-label: os
#include "CPDrv.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "Exception.h"
#include "Failure.h"
#include "FakeClock.h"
#include "LoopbackPeer.h"
#include "PtyPair.h"

namespace pelmar {
namespace {

using test::OpenDescriptorCount;
using test::TFakeClock;
using test::TPtyPair;
using test::TSerialPortDir;

using test::Failure;

TEST(LineNamesTest, NamesAndTheirOrdinals) {
  EXPECT_EQ(db5BITS, DataBitsFromName("5"));
  EXPECT_EQ(db8BITS, DataBitsFromName("8"));
  EXPECT_EQ(ptNONE, ParityFromName("N"));
  EXPECT_EQ(ptODD, ParityFromName("O"));
  EXPECT_EQ(ptEVEN, ParityFromName("E"));
  EXPECT_EQ(ptMARK, ParityFromName("M"));
  EXPECT_EQ(ptSPACE, ParityFromName("S"));
  EXPECT_EQ(sb1BITS, StopBitsFromName("1"));
  EXPECT_EQ(sb1HALFBITS, StopBitsFromName("1.5"));
  EXPECT_EQ(sb2BITS, StopBitsFromName("2"));
}

TEST(LineNamesTest, UnknownNamesRaise) {
  struct {
    std::string (*Call)();
    const char* Want;
  } Cases[] = {
      {[] { return std::to_string(DataBitsFromName("9")); }, "Unknown data bits name - \"9\"!"},
      {[] { return std::to_string(DataBitsFromName("")); }, "Unknown data bits name - \"\"!"},
      {[] { return std::to_string(ParityFromName("n")); }, "Unknown parity name - \"n\"!"},
      {[] { return std::to_string(ParityFromName("NONE")); }, "Unknown parity name - \"NONE\"!"},
      {[] { return std::to_string(StopBitsFromName("1,5")); }, "Unknown stop bits name - \"1,5\"!"},
      {[] { return std::to_string(StopBitsFromName("0")); }, "Unknown stop bits name - \"0\"!"},
  };
  for (const auto& C : Cases)
    EXPECT_EQ(C.Want, Failure(C.Call));
}

TEST(CommPortDriverTest, Defaults) {
  TCommPortDriver Driver;
  EXPECT_EQ(1, Driver.Port());
  EXPECT_EQ(br9600, Driver.BaudRate());
  EXPECT_EQ(9600u, Driver.BaudRateValue());
  EXPECT_EQ(db8BITS, Driver.DataBits());
  EXPECT_EQ(sb1BITS, Driver.StopBits());
  EXPECT_EQ(ptNONE, Driver.Parity());
  EXPECT_EQ(hfNONERTSON, Driver.HwFlow());
  EXPECT_EQ(sfNONE, Driver.SwFlow());
  EXPECT_EQ(2048u, Driver.InBufSize());
  EXPECT_EQ(2048u, Driver.OutBufSize());
  EXPECT_TRUE(Driver.EnableDTROnOpen());
  EXPECT_EQ(500, Driver.OutputTimeout());
  EXPECT_EQ(200u, Driver.InputTimeout());
  EXPECT_FALSE(Driver.CheckLineStatus());
  EXPECT_FALSE(Driver.Connected());
}

TEST(CommPortDriverTest, BaudRateAndItsValueFollowEachOther) {
  TCommPortDriver Driver;
  Driver.SetBaudRate(br19200);
  EXPECT_EQ(19200u, Driver.BaudRateValue());
  Driver.SetBaudRate(br256000);
  EXPECT_EQ(256000u, Driver.BaudRateValue());
  Driver.SetBaudRateValue(9600);
  EXPECT_EQ(brCustom, Driver.BaudRate()) << "the value always makes the rate custom";
  Driver.SetBaudRateValue(12345);
  Driver.SetBaudRate(brCustom);
  EXPECT_EQ(12345u, Driver.BaudRateValue());
}

TEST(CommPortDriverTest, QueueSizesAreClamped) {
  struct {
    std::uint32_t Set, Want;
  } Cases[] = {{0, 128}, {127, 128}, {128, 128}, {4096, 4096}, {8192, 8192}, {100000, 8192}};
  TCommPortDriver Driver;
  for (const auto& C : Cases) {
    Driver.SetInBufSize(C.Set);
    Driver.SetOutBufSize(C.Set);
    EXPECT_EQ(C.Want, Driver.InBufSize()) << C.Set;
    EXPECT_EQ(C.Want, Driver.OutBufSize()) << C.Set;
  }
}

// Restores the device template and its environment variable.
class DeviceNameTest : public ::testing::Test {
 protected:
  DeviceNameTest() {
    if (const char* Old = std::getenv("PELMAR_SERIAL_DEVICE"))
      OldEnv = Old;
    unsetenv("PELMAR_SERIAL_DEVICE");
  }
  ~DeviceNameTest() override {
    SetSerialDeviceTemplate("");
    if (OldEnv.empty())
      unsetenv("PELMAR_SERIAL_DEVICE");
    else
      setenv("PELMAR_SERIAL_DEVICE", OldEnv.c_str(), 1);
  }
  std::string OldEnv;
};

TEST_F(DeviceNameTest, PortNumbersNameDevicesThroughTheTemplate) {
  struct {
    const char* Env;
    const char* Setting;
    unsigned Port;
    const char* Want;
  } Cases[] = {
      {nullptr, "", 1, "/dev/ttyS0"},
      {nullptr, "", 17, "/dev/ttyS16"},
      {"", "", 2, "/dev/ttyS1"},
      {"/dev/ttyUSB%d", "", 3, "/dev/ttyUSB2"},
      {"/dev/ttyUSB%d", "/dev/ttyACM%d", 1, "/dev/ttyACM0"},
      {nullptr, "/dev/serial/by-id/usb-receiver", 4, "/dev/serial/by-id/usb-receiver"},
      {"/tmp/%s%d%d", "", 2, "/tmp/%s1%d"},
  };
  for (const auto& C : Cases) {
    if (C.Env)
      setenv("PELMAR_SERIAL_DEVICE", C.Env, 1);
    else
      unsetenv("PELMAR_SERIAL_DEVICE");
    SetSerialDeviceTemplate(C.Setting);
    EXPECT_EQ(C.Want, SerialDeviceName(C.Port)) << (C.Env ? C.Env : "(unset)") << " " << C.Setting;
  }
}

TEST_F(DeviceNameTest, PortSelectsTheDeviceOnlyWhileClosed) {
  setenv("PELMAR_SERIAL_DEVICE", "/dev/ttyUSB%d", 1);
  TCommPortDriver Driver;
  EXPECT_EQ("/dev/ttyUSB0", Driver.PortName());
  Driver.SetPort(3);
  EXPECT_EQ("/dev/ttyUSB2", Driver.PortName());
  Driver.SetPort(0);
  EXPECT_EQ(0, Driver.Port());
  EXPECT_EQ("/dev/ttyUSB2", Driver.PortName()) << "port 0 keeps the device";
}

// A driver on serial port 1, which is the slave side of a pseudo-terminal.
class PtyDriverTest : public ::testing::Test {
 protected:
  PtyDriverTest() {
    Dir.Link(1, Pty.SlaveName());
    Driver.SetPort(1);
  }

  // Waits in real time until the driver's device has input, then reads it.
  std::string ReadWithin(std::size_t Count, int TimeoutMs = 5000) {
    std::string Out;
    auto Deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(TimeoutMs);
    while (Out.size() < Count && std::chrono::steady_clock::now() < Deadline) {
      char Buffer[256];
      int N = Driver.ReadAvailable(Buffer,
                                   static_cast<int>(std::min(sizeof Buffer, Count - Out.size())));
      if (N > 0) {
        Out.append(Buffer, static_cast<std::size_t>(N));
        continue;
      }
      pollfd P{Driver.Handle(), POLLIN, 0};
      poll(&P, 1, 20);
    }
    return Out;
  }

  TSerialPortDir Dir;
  TPtyPair Pty;
  TCommPortDriver Driver;
};

TEST_F(PtyDriverTest, ConnectConfiguresARawLine) {
  Driver.SetBaudRateValue(19200);
  Driver.SetDataBits(db7BITS);
  Driver.SetParity(ptEVEN);
  Driver.SetStopBits(sb2BITS);
  ASSERT_TRUE(Driver.Connect()) << std::strerror(Driver.LastError());
  EXPECT_EQ(Dir.DeviceOf(1), Driver.PortName());

  // A pseudo-terminal forces 8 data bits without parity; the rest shows as configured.
  termios T = Pty.Attributes();
  EXPECT_EQ(B19200, cfgetospeed(&T));
  EXPECT_TRUE(T.c_cflag & CSTOPB);
  EXPECT_TRUE(T.c_cflag & CREAD);
  EXPECT_TRUE(T.c_cflag & CLOCAL);
  EXPECT_FALSE(T.c_cflag & CRTSCTS);
  EXPECT_FALSE(T.c_lflag & (ICANON | ECHO | ISIG | IEXTEN));
  EXPECT_FALSE(T.c_oflag & OPOST);
  EXPECT_FALSE(T.c_iflag & (ICRNL | INLCR | IGNCR | ISTRIP | IXON | IXOFF));
  EXPECT_EQ(0, T.c_cc[VMIN]);
  EXPECT_EQ(0, T.c_cc[VTIME]);
  EXPECT_EQ(0x11, T.c_cc[VSTART]);
  EXPECT_EQ(0x13, T.c_cc[VSTOP]);
}

TEST_F(PtyDriverTest, SettingsChangedWhileOpenReachTheLineAtOnce) {
  ASSERT_TRUE(Driver.Connect());
  struct {
    std::uint32_t Baud;
    TDataBits DataBits;
    TParity Parity;
    TStopBits StopBits;
    THwFlowControl HwFlow;
    TSwFlowControl SwFlow;
    tcflag_t Size, ParityBits;
    bool TwoStopBits;
  } Cases[] = {
      {9600, db8BITS, ptNONE, sb1BITS, hfNONE, sfNONE, CS8, 0, false},
      {1200, db7BITS, ptODD, sb1BITS, hfNONERTSON, sfNONE, CS7, PARENB | PARODD, false},
      {4800, db6BITS, ptMARK, sb2BITS, hfRTSCTS, sfXONXOFF, CS6, PARENB | PARODD | CMSPAR, true},
      {14400, db5BITS, ptSPACE, sb1HALFBITS, hfNONE, sfNONE, CS5, PARENB | CMSPAR, true},
      {12345, db8BITS, ptEVEN, sb1BITS, hfRTSCTS, sfNONE, CS8, PARENB, false},
      {250000, db8BITS, ptNONE, sb2BITS, hfNONE, sfXONXOFF, CS8, 0, true},
      {115200, db8BITS, ptNONE, sb1BITS, hfNONE, sfNONE, CS8, 0, false},
  };
  for (const auto& C : Cases) {
    Driver.SetBaudRateValue(C.Baud);
    Driver.SetDataBits(C.DataBits);
    Driver.SetParity(C.Parity);
    Driver.SetStopBits(C.StopBits);
    Driver.SetHwFlow(C.HwFlow);
    Driver.SetSwFlow(C.SwFlow);
    termios T = Pty.Attributes();
    std::uint32_t Baud = 0;
    EXPECT_EQ(0, GetLineSpeed(Pty.Slave(), Baud));
    EXPECT_EQ(C.Baud, Baud);
    // A pseudo-terminal forces CS8 and clears PARENB; what the driver asks for is checked on
    // the attributes it builds.
    termios Asked = Driver.LineAttributes(T);
    EXPECT_EQ(C.Size, Asked.c_cflag & CSIZE) << C.Baud;
    EXPECT_EQ(C.ParityBits, Asked.c_cflag & (PARENB | PARODD | CMSPAR)) << C.Baud;
    EXPECT_EQ(C.ParityBits & (PARODD | CMSPAR), T.c_cflag & (PARODD | CMSPAR)) << C.Baud;
    EXPECT_EQ(C.TwoStopBits, (T.c_cflag & CSTOPB) != 0) << C.Baud;
    EXPECT_EQ(C.HwFlow == hfRTSCTS, (T.c_cflag & CRTSCTS) != 0) << C.Baud;
    EXPECT_EQ(C.SwFlow == sfXONXOFF, (T.c_iflag & IXON) != 0) << C.Baud;
    EXPECT_EQ(C.SwFlow == sfXONXOFF, (T.c_iflag & IXOFF) != 0) << C.Baud;
  }
  termios T = Pty.Attributes();
  EXPECT_EQ(B115200, cfgetospeed(&T)) << "standard rates keep their own speed code";
}

TEST_F(PtyDriverTest, PortInUseIsRefused) {
  ASSERT_TRUE(Driver.Connect());
  TCommPortDriver Second;
  Second.SetPort(1);
  EXPECT_FALSE(Second.Connect());
  EXPECT_EQ(EBUSY, Second.LastError());
  EXPECT_FALSE(Second.Connected());
  Driver.Disconnect();
  EXPECT_TRUE(Second.Connect()) << "free again once the first owner closed it";
}

TEST_F(PtyDriverTest, DevicesThatCannotBeOpened) {
  const int StartFds = OpenDescriptorCount();
  TCommPortDriver Absent;
  Absent.SetPort(5);
  EXPECT_FALSE(Absent.Connect());
  EXPECT_EQ(ENOENT, Absent.LastError());

  std::string File = Dir.DeviceOf(6);
  std::ofstream(File) << "not a tty";
  TCommPortDriver NotATty;
  NotATty.SetPort(6);
  EXPECT_FALSE(NotATty.Connect());
  EXPECT_EQ(ENOTTY, NotATty.LastError());
  EXPECT_EQ(StartFds, OpenDescriptorCount());
}

TEST_F(PtyDriverTest, ReadsWhatArrivedWithoutWaiting) {
  char Buffer[16];
  EXPECT_EQ("Port not open!", Failure([&] { Driver.ReadAvailable(Buffer, 1); }));
  Pty.Send("stale");  // arrives before the port is opened and is discarded by it
  ASSERT_TRUE(Driver.Connect());
  auto Start = std::chrono::steady_clock::now();
  EXPECT_EQ(0, Driver.ReadAvailable(Buffer, sizeof Buffer));
  EXPECT_LT(std::chrono::steady_clock::now() - Start, std::chrono::milliseconds(100));

  Pty.Send(std::string("5011 181234E13001003\x14", 21));
  EXPECT_EQ(std::string("5011 181234E13001003\x14", 21), ReadWithin(21));
  Pty.Send("abcdef");
  EXPECT_EQ("ab", ReadWithin(2)) << "never more than asked for";
  EXPECT_EQ("cdef", ReadWithin(4));
}

TEST_F(PtyDriverTest, FlushDiscardsPendingInput) {
  EXPECT_FALSE(Driver.FlushBuffers(true, true)) << "closed";
  ASSERT_TRUE(Driver.Connect());
  Pty.Send("junk");
  pollfd P{Driver.Handle(), POLLIN, 0};
  ASSERT_EQ(1, poll(&P, 1, 5000));
  EXPECT_TRUE(Driver.FlushBuffers(true, false));
  char Buffer[8];
  EXPECT_EQ(0, Driver.ReadAvailable(Buffer, sizeof Buffer));
}

TEST_F(PtyDriverTest, SendsData) {
  EXPECT_EQ(0, Driver.SendData("x", 1)) << "closed";
  ASSERT_TRUE(Driver.Connect());
  EXPECT_EQ(1, Driver.SendData("\x06", 1));
  EXPECT_EQ("\x06", Pty.Receive(1));
  std::string Block(10000, 'z');
  std::string Received;
  std::thread Reader([&] { Received = Pty.Receive(Block.size()); });
  EXPECT_EQ(10000, Driver.SendData(Block.data(), static_cast<int>(Block.size())));
  Reader.join();
  EXPECT_EQ(Block, Received);
}

TEST_F(PtyDriverTest, WriteTheFarEndNeverTakesEndsAfterOutputTimeout) {
  TFakeClock Clock;
  ASSERT_TRUE(Driver.Connect());
  std::atomic<bool> Done{false};
  std::thread Ticker([&] {
    while (!Done) {
      Clock.Advance(5);
      std::this_thread::yield();
    }
  });
  std::string Block(1 << 20, 'q');
  std::uint32_t Before = Clock.Ticks();
  int Written = Driver.SendData(Block.data(), static_cast<int>(Block.size()));
  Done = true;
  Ticker.join();
  EXPECT_GT(Written, 0);
  EXPECT_LT(Written, static_cast<int>(Block.size())) << "the rest is dropped without an error";
  EXPECT_GT(Clock.Ticks() - Before, 500u);
  EXPECT_TRUE(Driver.Connected());
}

TEST_F(PtyDriverTest, VanishedDeviceFailsReadAndWrite) {
  ASSERT_TRUE(Driver.Connect());
  Pty.CloseMaster();
  char Buffer[8];
  try {
    Driver.ReadAvailable(Buffer, sizeof Buffer);
    ADD_FAILURE() << "a hung-up line reads without error";
  } catch (const EOSError& E) {
    EXPECT_EQ(EIO, E.ErrorCode()) << E.Message();
  }
  EXPECT_THROW(Driver.SendData("x", 1), EOSError);
}

TEST_F(PtyDriverTest, QueueSizesStayWhileOpen) {
  ASSERT_TRUE(Driver.Connect());
  Driver.SetInBufSize(4096);
  Driver.SetOutBufSize(4096);
  Driver.SetPort(2);
  EXPECT_EQ(2048u, Driver.InBufSize());
  EXPECT_EQ(2048u, Driver.OutBufSize());
  EXPECT_EQ(1, Driver.Port());
  EXPECT_EQ(Dir.DeviceOf(1), Driver.PortName());
}

}  // namespace
}  // namespace pelmar
