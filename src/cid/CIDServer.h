// The service's own forms of the Contact ID objects: zones, groups and accounts whose status
// received reports drive, with the supervision of an account's daily test report and maintenance,
// the channel object that owns the link to one receiver and mirrors it into its state, and the
// loading and saving of all four kinds through the VW_CID_* views.
//
// Every object here produces its own status (OwnStatus): status sections in records from the Core
// service are skipped; the status comes from the database at load and from reports afterwards.
// All of it runs with the object-list lock held by the caller: reports and supervision on the work
// thread, loads and saves on the thread that creates and saves objects.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>

#include "CIDCommon.h"
#include "CustomChannel.h"
#include "cidProtocol.h"
#include "cidReceiver.h"

namespace pelmar {

// Contact ID event codes, numbered as the report's three digits read as hexadecimal (report code
// 130 is 0x130).
inline constexpr std::array<std::uint16_t, 2> TestReportCodes{0x602, 0x608};
// Group bit 3 and zone bit 0: alarm.
inline constexpr std::array<std::uint16_t, 49> AlarmCodes{
    0x100, 0x101, 0x102, 0x110, 0x111, 0x112, 0x113, 0x114, 0x115, 0x116, 0x117, 0x118, 0x120,
    0x121, 0x122, 0x123, 0x124, 0x125, 0x130, 0x131, 0x132, 0x133, 0x134, 0x135, 0x136, 0x137,
    0x138, 0x139, 0x140, 0x141, 0x142, 0x143, 0x144, 0x145, 0x146, 0x147, 0x150, 0x151, 0x152,
    0x153, 0x154, 0x155, 0x156, 0x157, 0x158, 0x159, 0x161, 0x162, 0x163};
// Group bit 0: armed.
inline constexpr std::array<std::uint16_t, 10> OpenCloseCodes{0x400, 0x401, 0x402, 0x403, 0x404,
                                                              0x405, 0x406, 0x407, 0x408, 0x409};
// Group bit 1: trouble.
inline constexpr std::array<std::uint16_t, 77> TroubleCodes{
    0x200, 0x201, 0x202, 0x203, 0x204, 0x205, 0x206, 0x300, 0x301, 0x302, 0x303, 0x304, 0x305,
    0x306, 0x307, 0x308, 0x309, 0x310, 0x311, 0x312, 0x313, 0x320, 0x321, 0x322, 0x323, 0x324,
    0x325, 0x326, 0x327, 0x330, 0x331, 0x332, 0x333, 0x334, 0x335, 0x336, 0x337, 0x338, 0x339,
    0x341, 0x342, 0x343, 0x344, 0x350, 0x351, 0x352, 0x353, 0x354, 0x355, 0x356, 0x357, 0x370,
    0x371, 0x372, 0x373, 0x374, 0x375, 0x376, 0x377, 0x378, 0x380, 0x381, 0x382, 0x383, 0x384,
    0x385, 0x386, 0x387, 0x388, 0x389, 0x391, 0x392, 0x393, 0x622, 0x623, 0x624, 0x626};
// Group bit 2: test.
inline constexpr std::array<std::uint16_t, 13> TestCodes{
    0x601, 0x602, 0x603, 0x604, 0x605, 0x606, 0x607, 0x608, 0x611, 0x612, 0x613, 0x614, 0x615};

// True iff Code is a member of Set (a linear search).
constexpr bool CodeInSet(std::span<const std::uint16_t> Set, std::uint16_t Code) {
  for (std::uint16_t Member : Set)
    if (Member == Code)
      return true;
  return false;
}

// A zone whose status reports drive. Status: bit 0 in alarm.
class TServerZone : public TCIDZone {
 public:
  explicit TServerZone(TCreateKey Key);

  // Status setter: nothing for the current value, else one status change.
  void SetState(std::uint16_t Value);
};

// A group whose status reports drive. Status: bit 0 armed, 1 trouble, 2 test, 3 alarm, 4 disarmed
// since last armed; Flags carried unchanged.
class TServerGroup : public TCIDGroup {
 public:
  explicit TServerGroup(TCreateKey Key);

  // Status setter with the arming rule: when only bit 0 changes, disarming also clears bit 3 and
  // sets bit 4, arming clears bit 4, and the change goes to the debug log ("Group %d arming
  // status changed", then "Group %d now disarmed" / "Group %d now armed", with the object ID).
  // When other bits change together with bit 0 the values are taken as passed. Both values in
  // one status change; nothing when both are unchanged.
  void SetState(std::uint8_t NewState, std::uint8_t NewFlags);
};

// An account (alarm panel) whose status reports and supervision drive. Status: bit 0 test report
// overdue. Only server zones and groups join it.
class TServerAccount : public TCIDAccount {
 public:
  explicit TServerAccount(TCreateKey Key);

  // Also stamps the maintenance tick when the value changes, so that the first reminder comes a
  // whole interval after maintenance began.
  void SetMaintenance(bool Value) override;
  // Raise EBugCheckError "Attempt to add <class> to TServerPanel!" for a zone or group that is
  // not a server one; otherwise as for any account.
  void AddZone(TCIDZone* Zone) override;
  void AddGroup(TCIDGroup* Group) override;

  // Applies one report: a test report code records Now as the last test report; any report clears
  // the overdue bit; then the alarm, open/close, trouble and test code sets each set (qualifier 1)
  // or clear (any other qualifier) their bit of the reported group and zone, where the account
  // has them. Disarming is qualifier 1 of an open/close code.
  void ProcessEvent(const TciMessage& Msg, TDateTime Now);
  // Judges the daily test report at Now (the database server's time): answers False, having set
  // the overdue bit, when Now lies less than Window minutes past a day's limit (the due time of
  // that day plus Tolerance minutes; a limit past midnight counts on the next day) and no test
  // report came since Tolerance minutes before that due time. True for a disabled account, one in
  // maintenance or one without a due time.
  bool CheckTestReport(std::uint16_t Tolerance, std::uint16_t Window, TDateTime Now);
  // True when an enabled account in maintenance is due a reminder: more than Interval minutes
  // since maintenance began or since the last reminder, which this answer restarts.
  bool CheckMaintenance(std::uint16_t Interval);
  // The statuses after the "ForceRestore" command: overdue bit cleared, every group State 16
  // (disarmed since armed) with Flags 0, every zone 0.
  void ForceRestore();

  // Server date-time of the last test report since the service started; empty until one came.
  const TVariant& LastTestReport() const { return FLastTestReport; }
  // Tick of the last change of Maintenance or of the last reminder.
  std::uint32_t MaintenanceTick() const { return FMaintenanceTick; }

 private:
  std::uint32_t FMaintenanceTick;
  TVariant FLastTestReport;
};

// Writes an event of the installation's event log; ObjectID is the channel object's ID.
using TChannelLogEvent =
    std::function<void(std::uint8_t Priority, std::uint16_t Code, const TVariant& ObjectID,
                       const std::string& TextA, const std::string& TextB)>;
// Makes the channel component for ComType (0 serial, 1 TCP), without an address.
using TChannelFactory = std::function<std::unique_ptr<TCustomChannel>(std::uint8_t ComType)>;

// The run-time owner of the link to one receiver. From ComType, ComAddress, AckEvents and
// ReceiverTimeout it makes the channel component and the receiver, reconnects the component when
// it is lost, polls the receiver and mirrors all of it into State / StateText:
//   0 disabled; 1 enabled, not connected (text: the failure, if any); 2 connecting (text: the
//   address); 3 connected, waiting for the receiver ("Ожидание приемника..."); 4 receiver silent
//   for its time-out ("Таймаут приемника"); 5 receiver online.
// The receiver counts as online only once it has sent a message on the current connection, and
// until it has been silent for its time-out. Entering state 5 writes event 9300, leaving it 9301;
// a receive error that changes state or text writes event 11 (priority 2).
//
// Used on the work thread only; the handlers run synchronously inside Poll and SetEnabled.
class TServerChannel : public TCIDChannel {
 public:
  // Reconnect attempts of a lost component are this far apart (ms).
  static constexpr std::uint32_t ReconnectInterval = 30000;

  explicit TServerChannel(TCreateKey Key);
  // Frees receiver and component.
  ~TServerChannel() override;

  // One work step: makes or replaces the component as the properties say, keeps it connected,
  // polls the receiver. Answers True when the receiver is online. Not polled while disabled
  // (False). An invalid ComType (EBugCheckError "Invalid channel type: %d") or ComAddress leaves
  // Poll at every call until corrected; an EDatabaseError from the event-log handler propagates;
  // any other failure of the link becomes state 1 with its message. A report whose handler fails
  // is not acknowledged (the receiver sends it again); the failure goes no further.
  bool Poll();

  // Enabling sets state 1 (the component is made by the next Poll); disabling frees receiver and
  // component and sets state 0.
  void SetEnabled(bool Value) override;
  // A change of state into 5 writes event 9300, out of 5 event 9301; then both values change in
  // one status change. Nothing when both are unchanged.
  void SetState(std::uint8_t NewState, const std::string& Text) override;

  // Receives every decoded report (by reference: the handler sets Ack), inside Poll. A failure
  // it raises stays with the receiver's protocol: the report is not acknowledged.
  void SetOnCIDEvent(TciMessageEvent Value) { FOnCIDEvent = std::move(Value); }
  // Writes events of the installation's event log; assigned before the first Poll.
  void SetOnLogEvent(TChannelLogEvent Value) { FOnLogEvent = std::move(Value); }
  // Replaces the making of channel components (serial port, TCP client); for tests.
  void SetChannelFactory(TChannelFactory Value) { FChannelFactory = std::move(Value); }

  // The current component and receiver, or null; for inspection.
  TCustomChannel* Channel() const { return FChannel.get(); }
  TReceiver* Receiver() const { return FReceiver.get(); }
  // The component's descriptor to wait on for input, or -1.
  int WaitHandle() const { return FChannel && FReceiver ? FChannel->WaitHandle() : -1; }

 private:
  // Replaces the component when ComType or ComAddress no longer match it, then answers whether it
  // is open, opening it at most every ReconnectInterval ms. An open failure sets state 1.
  bool CheckChannel();
  // Makes the receiver for the component when there is none; Timeout and AckEvents are copied
  // only here.
  bool EnsureReceiver();
  // The kind the component was made for: 0 serial, 1 TCP, -1 none.
  int ChannelKind() const { return FChannelKind; }
  void ChannelStatus(TCustomChannel& Sender);
  void ReceiverMessage(TciMessage& Msg);
  void FreeComponent();
  void LogEvent(std::uint8_t Priority, std::uint16_t Code, const std::string& TextA,
                const std::string& TextB);

  // Destroyed receiver first: the receiver never outlives the component it reads.
  std::unique_ptr<TCustomChannel> FChannel;
  std::unique_ptr<TReceiver> FReceiver;
  int FChannelKind = -1;
  // Presence as last reported through the state.
  bool FReceiverOnline = false;
  TciMessageEvent FOnCIDEvent;
  TChannelLogEvent FOnLogEvent;
  TChannelFactory FChannelFactory;
};

// Load one object from its view row (query group "grp_loadobj"; QueryHandle is the caller's
// cached-query handle). Name (empty for NULL), Enabled, Description, the kind's own columns and
// LinkObject are applied in one update; LAST_STATUS only when it holds exactly the object's status
// section (1 byte for an account, 2 for a group or zone). False, the object untouched, when the
// view has no row for the object's ID. A failure while applying cancels the update; database errors
// propagate. Take the DatabaseLock.
bool LoadAccount(TServerAccount& Account, std::int32_t& QueryHandle);
bool LoadGroup(TServerGroup& Group, std::int32_t& QueryHandle);
bool LoadZone(TServerZone& Zone, std::int32_t& QueryHandle);
bool LoadChannel(TServerChannel& Channel, std::int32_t& QueryHandle);

// Write (oaChanged, olaAdded) or delete (olaDeleted) the object's view row on a write transaction
// of its own, committed; other actions do nothing. The status is never written here. Take the
// DatabaseLock; database errors propagate.
void SaveAccount(TServerAccount& Account, TObjectAction Action);
void SaveGroup(TServerGroup& Group, TObjectAction Action);
void SaveZone(TServerZone& Zone, TObjectAction Action);
void SaveChannel(TServerChannel& Channel, TObjectAction Action);

}  // namespace pelmar
