// The HID interfaces of the device link and the handles open on them, with the rules the
// contract's "Semantics" give them (as Windows does): enumeration in attach order, handles tied
// to one attach, input reports fanned out to the reading handles with a bounded backlog, reads and
// writes that fail once the device is gone. The link port keeps its interfaces here, and so does
// the in-process fake port of the native tests.
//
// State and rules only: no clock and no threads. Waiting stays with each user (real time for the
// link port, virtual time for the fake), and so does locking: calls are not synchronised, so that
// a user guards the table with the very mutex its waits use and a change cannot slip in between
// a check and the wait that follows it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <limits>
#include <map>
#include <string>
#include <vector>

#include "platform/HidPort.h"

namespace kestro::link {

// Unread reports each handle keeps; beyond that the oldest is dropped, as the contract says.
inline constexpr std::size_t kUnreadReportLimit = 32;

struct InterfaceFlags {
  bool noOpen = false;   // opening the interface fails
  bool noAttr = false;   // reading its attributes fails
  bool stalled = false;  // it takes no output reports: a write waits its time-out and fails
};

enum class Outcome {
  kDone,
  kNoReport,    // a read: nothing readable yet
  kNotPresent,  // the interface is not attached, or no longer the attach the handle was opened on
  kNoHandle,    // not an open handle
  kNoAccess,    // the handle was not opened for that direction
  kRefused,     // the interface's flags refuse it (noopen, noattr)
  kStalled,     // a write: the interface takes no output reports
};

class InterfaceTable {
 public:
  using ReportBytes = std::array<std::uint8_t, kReportSize>;
  // A time on the user's clock; the table only compares them.
  using Time = std::uint64_t;
  static constexpr Time kAnyTime = std::numeric_limits<Time>::max();

  // One attach of an interface: its path and a number never used again in this table.
  struct Instance {
    std::wstring path;
    std::uint64_t number = 0;
  };

  // The interface becomes present, last in enumeration order. Attaching a present path makes a
  // new device: handles to the one it replaces stay dead. Returns the attach's number.
  std::uint64_t Attach(const std::wstring& path, HidAttributes attributes,
                       InterfaceFlags flags = {});
  // False when the path is not attached.
  bool Detach(const std::wstring& path);
  // The link is gone: every interface counts as detached.
  void DetachAll();
  // The number of the attach present under path; 0 when none is.
  std::uint64_t InstanceOf(const std::wstring& path) const;
  // The flags of the attach present under path, to change; nullptr when none is. Valid until the
  // next Attach or Detach.
  InterfaceFlags* Flags(const std::wstring& path);
  // The paths of the attached interfaces, in attach order.
  std::vector<std::wstring> Attached() const;

  // handle is set only with kDone; handles are numbered from 1 and never reused.
  Outcome Open(const std::wstring& path, PortAccess access, PortHandle& handle);
  // False when it was not an open handle.
  bool Close(PortHandle handle);
  std::size_t OpenHandles() const;
  Outcome GetAttributes(PortHandle handle, HidAttributes& attributes) const;
  // Whether a report written on the handle goes out now (kDone, with the attach it goes to).
  // kStalled: the user lets the write wait its time-out, or until this answer changes, and fails.
  Outcome Write(PortHandle handle, Instance* target = nullptr) const;

  // One input report from the interface attached under path, for each reading handle of that
  // attach, readable from readableAt on (never before a report queued ahead of it). Returns how
  // many handles got it: 0 when it is lost.
  std::size_t Input(const std::wstring& path, const ReportBytes& report, Time readableAt = 0);
  // Takes the handle's oldest report if it is readable by readableBy (kDone; readableAt, if
  // asked, says from when). kNoReport when there is none yet; once the attach is gone, its reads
  // fail whatever is queued.
  Outcome Read(PortHandle handle, ReportBytes& report, Time readableBy = kAnyTime,
               Time* readableAt = nullptr);

 private:
  struct Interface {
    Instance instance;
    HidAttributes attributes;
    InterfaceFlags flags;
  };
  struct Queued {
    Time readableAt = 0;
    ReportBytes report{};
  };
  struct Handle {
    Instance instance;
    bool canRead = false;
    bool canWrite = false;
    std::deque<Queued> unread;
  };

  Interface* Find(const std::wstring& path);
  const Interface* Find(const std::wstring& path) const;
  // The interface of the handle's attach while that attach lasts; nullptr once it is gone.
  const Interface* Live(const Handle& handle) const;

  std::vector<Interface> m_interfaces;  // in attach order
  std::map<PortHandle, Handle> m_handles;
  PortHandle m_nextHandle = 1;
  std::uint64_t m_nextInstance = 1;
};

}  // namespace kestro::link
