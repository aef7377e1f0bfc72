#include "vhid/bridge/Bridge.h"

#include <algorithm>
#include <cstdio>
#include <utility>

#include "platform/link/LinkLine.h"
#include "vhid/VhidIdentity.h"

namespace kestro::vhid {
namespace {

static_assert(link::kInputPayloadBytes == VHID_PAYLOAD_BYTES);

std::string Quoted(const std::string& line) {
  std::string quoted(1, '"');
  quoted += link::Shortened(line);
  quoted += '"';
  return quoted;
}

}  // namespace

Bridge::Bridge(VirtualStack& stack, Sender send, Warner warn, std::uint32_t firstSerial)
    : m_stack(stack), m_send(std::move(send)), m_warn(std::move(warn)), m_nextSerial(firstSerial) {}

Bridge::Step Bridge::Apply(const std::string& received) {
  std::string why;
  const std::optional<link::ServerLine> line = link::ParseServerLine(received, why);
  if (!line) return Malformed(received, why);
  switch (line->verb) {
    case link::ServerLine::Verb::kAttach:
      return ApplyAttach(*line, received);
    case link::ServerLine::Verb::kDetach:
      return ApplyDetach(line->id);
    case link::ServerLine::Verb::kInput:
      return ApplyInput(*line);
    case link::ServerLine::Verb::kStall:
      return ApplyStall(line->id);
    case link::ServerLine::Verb::kNotify:
      return Step::kGoOn;  // Windows sends its own notifications
    case link::ServerLine::Verb::kReady:
      return Step::kReady;
    case link::ServerLine::Verb::kSync: {
      // Every line before has been applied in order; inputs must also have reached the handles.
      std::string error;
      if (!m_stack.Settle(error)) return Fail("sync " + line->token + ": " + error);
      m_send("sync " + line->token);
      return Step::kGoOn;
    }
  }
  return Malformed(received, "unknown");
}

Bridge::Step Bridge::ApplyAttach(const link::ServerLine& line, const std::string& received) {
  const std::string& id = line.id;
  // Attaching a present id replaces its device, as unplugging and plugging in another does; the
  // old one goes even when the new one is refused, or it would take the new one's traffic.
  if (Find(id) != m_attached.end()) {
    const Step removed = ApplyDetach(id);
    if (removed != Step::kGoOn) return removed;
  }
  if (line.noOpen || line.noAttr) {
    // A real device cannot be told to refuse opens or attributes; pretending would mislead.
    m_warn("refused " + Quoted(received) +
           ": its flags are not supported by the virtual HID device");
    return Step::kGoOn;
  }
  if (m_nextSerial == 0 || m_nextSerial > VHID_MAX_SERIAL) {
    return Fail("attach " + id + ": no device number left for this run");
  }
  const std::uint32_t serial = m_nextSerial++;
  {
    std::lock_guard<std::mutex> lock(m_namesLock);
    m_names[serial] = id;
  }
  std::string error;
  if (!m_stack.Add(serial, line.vendorId, line.productId, error)) {
    char identity[16];
    std::snprintf(identity, sizeof(identity), "%04x %04x", line.vendorId, line.productId);
    return Fail("attach " + id + " " + identity + ": " + error);
  }
  m_attached.emplace_back(id, serial);
  return Step::kGoOn;
}

Bridge::Step Bridge::ApplyDetach(const std::string& id) {
  const auto found = Find(id);
  if (found == m_attached.end()) return Step::kGoOn;  // not present: nothing to remove
  const std::uint32_t serial = found->second;
  m_attached.erase(found);
  std::string error;
  if (!m_stack.Remove(serial, error)) return Fail("detach " + id + ": " + error);
  return Step::kGoOn;
}

Bridge::Step Bridge::ApplyInput(const link::ServerLine& line) {
  const auto found = Find(line.id);
  if (found == m_attached.end()) return Step::kGoOn;  // from a device that is gone: reaches nobody
  std::string error;
  if (!m_stack.Input(found->second, line.payload, error)) {
    return Fail("input " + line.id + ": " + error);
  }
  return Step::kGoOn;
}

Bridge::Step Bridge::ApplyStall(const std::string& id) {
  const auto found = Find(id);
  if (found == m_attached.end()) return Step::kGoOn;  // gone already: nothing takes its writes
  std::string error;
  if (!m_stack.Stall(found->second, error)) return Fail("stall " + id + ": " + error);
  return Step::kGoOn;
}

Bridge::Attached::iterator Bridge::Find(const std::string& id) {
  return std::find_if(m_attached.begin(), m_attached.end(),
                      [&](const auto& a) { return a.first == id; });
}

Bridge::Step Bridge::Fail(std::string why) {
  m_failure = std::move(why);
  return Step::kFailed;
}

// The device link ignores what it cannot read, on both sides: said, never fatal.
Bridge::Step Bridge::Malformed(const std::string& line, const std::string& why) {
  m_warn("ignored a malformed line from the server: " + Quoted(line) + " (" + why + ")");
  return Step::kGoOn;
}

std::optional<std::string> Bridge::OutputLine(
    std::uint32_t serial, const std::uint8_t (&report)[VHID_REPORT_BYTES]) const {
  std::lock_guard<std::mutex> lock(m_namesLock);
  const auto name = m_names.find(serial);
  if (name == m_names.end()) return std::nullopt;
  return "output " + name->second + " " + link::ToHex(report, VHID_REPORT_BYTES);
}

bool Bridge::RemoveAll(std::string& error) {
  bool removedAll = true;
  while (!m_attached.empty()) {
    const auto [id, serial] = m_attached.back();
    m_attached.pop_back();
    std::string why;
    if (!m_stack.Remove(serial, why) && removedAll) {
      error = "removing " + id + ": " + why;
      removedAll = false;
    }
  }
  return removedAll;
}

}  // namespace kestro::vhid
