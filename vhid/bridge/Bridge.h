// The program's side of the device link, played into Windows' HID stack: each server line is
// applied to the virtual stack in order, and output reports go back as lines. Portable, so the
// rules are tested natively; kestro-vhid.exe wires it to a socket and to Wine.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/link/ServerLine.h"
#include "vhid/bridge/VirtualStack.h"

namespace kestro::vhid {

class Bridge {
 public:
  // Sends one line to the server (without its newline).
  using Sender = std::function<void(const std::string& line)>;
  // One line for standard error: a line that was refused or ignored but does not end the run.
  using Warner = std::function<void(const std::string& message)>;

  // Devices are numbered from firstSerial on (see VhidControl.h).
  Bridge(VirtualStack& stack, Sender send, Warner warn, std::uint32_t firstSerial = 1);
  Bridge(const Bridge&) = delete;
  Bridge& operator=(const Bridge&) = delete;

  enum class Step {
    kGoOn,
    kReady,  // the server's "ready" has been applied
    kFailed  // the run cannot go on; Failure() says why
  };
  Step Apply(const std::string& line);
  const std::string& Failure() const { return m_failure; }

  // The line for an output report that a device of this run received; nothing for a serial
  // that was never ours. Called from the thread that collects output reports.
  std::optional<std::string> OutputLine(std::uint32_t serial,
                                        const std::uint8_t (&report)[VHID_REPORT_BYTES]) const;

  // Removes the devices still attached, at the end of the run. False with the first failure
  // (it still tries the others).
  bool RemoveAll(std::string& error);

 private:
  Step ApplyAttach(const link::ServerLine& line, const std::string& received);
  Step ApplyDetach(const std::string& id);
  Step ApplyInput(const link::ServerLine& line);
  Step ApplyStall(const std::string& id);
  // The attached interface with this id, or m_attached.end().
  using Attached = std::vector<std::pair<std::string, std::uint32_t>>;
  Attached::iterator Find(const std::string& id);
  Step Fail(std::string why);
  Step Malformed(const std::string& line, const std::string& why);

  VirtualStack& m_stack;
  Sender m_send;
  Warner m_warn;
  std::string m_failure;
  std::uint32_t m_nextSerial;
  // Interfaces attached now, in attach order: id and serial.
  Attached m_attached;
  // Every serial of the run and its interface id, kept after a detach: a report written just
  // before the detach still reaches the server under its id.
  mutable std::mutex m_namesLock;
  std::map<std::uint32_t, std::string> m_names;
};

}  // namespace kestro::vhid
