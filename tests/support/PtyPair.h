// Pseudo-terminals standing in for serial ports. TPtyPair is one line: the code under test opens
// the slave side as its serial device, the test plays the far end on the master side.
// TSerialPortDir makes serial port numbers name such slaves, through the device template in the
// environment. Waits are bounded in real time; nothing here waits for a protocol time-out.
#pragma once

#include <termios.h>

#include <cstddef>
#include <string>
#include <string_view>

namespace pelmar::test {

class TPtyPair {
 public:
  // Opens a pseudo-terminal; the master side is non-blocking. A failure fails the test.
  TPtyPair();
  ~TPtyPair();
  TPtyPair(const TPtyPair&) = delete;
  TPtyPair& operator=(const TPtyPair&) = delete;

  const std::string& SlaveName() const { return FSlaveName; }
  int Master() const { return FMaster; }
  // The test's own descriptor of the slave side (kept open, for tcgetattr).
  int Slave() const { return FSlave; }

  // Writes all of Bytes as the far end of the line.
  void Send(std::string_view Bytes);
  // Collects what the near end wrote until Count bytes came or TimeoutMs of real time passed.
  std::string Receive(std::size_t Count, int TimeoutMs = 5000);
  // Whatever is waiting on the master side now.
  std::string Drain();
  // The line settings as the slave side has them.
  termios Attributes() const;
  // The far end goes away: the slave side is hung up.
  void CloseMaster();

 private:
  int FMaster = -1;
  int FSlave = -1;
  std::string FSlaveName;
};

// A temporary directory with links tty0, tty1, ... and PELMAR_SERIAL_DEVICE pointing at
// "<dir>/tty%d" while the object lives (the previous value is restored).
class TSerialPortDir {
 public:
  TSerialPortDir();
  ~TSerialPortDir();
  TSerialPortDir(const TSerialPortDir&) = delete;
  TSerialPortDir& operator=(const TSerialPortDir&) = delete;

  // Makes serial port Port (1 for the first) name Target.
  void Link(int Port, const std::string& Target);
  // The device name of port Port under this directory (whether linked or not).
  std::string DeviceOf(int Port) const;
  const std::string& Template() const { return FTemplate; }

 private:
  std::string FDir;
  std::string FTemplate;
  bool FHadOld = false;
  std::string FOld;
};

}  // namespace pelmar::test
