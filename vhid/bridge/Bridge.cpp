#include "vhid/bridge/Bridge.h"

#include <algorithm>
#include <utility>

#include "platform/link/LinkLine.h"
#include "vhid/VhidIdentity.h"

namespace kestro::vhid {
namespace {

// How much of a bad line an error message repeats.
constexpr std::size_t kQuotedLineLength = 200;

std::string Quoted(const std::string& line) {
  return "\"" +
         (line.size() > kQuotedLineLength ? line.substr(0, kQuotedLineLength) + "..." : line) +
         "\"";
}

bool ParseHex16(const std::string& text, std::uint16_t& value) {
  std::uint8_t bytes[2];
  if (!link::ParseHex(text, bytes, 2)) return false;
  value = static_cast<std::uint16_t>(bytes[0] << 8 | bytes[1]);
  return true;
}

bool IsPrintableAscii(const std::string& line) {
  return std::all_of(line.begin(), line.end(), [](char c) { return c >= 0x20 && c <= 0x7E; });
}

// Comma-separated attach flags; false when one is not the contract's.
bool KnownFlags(const std::string& flags) {
  std::size_t start = 0;
  for (;;) {
    const std::size_t comma = flags.find(',', start);
    const std::string flag =
        flags.substr(start, comma == std::string::npos ? comma : comma - start);
    if (flag != "noopen" && flag != "noattr") return false;
    if (comma == std::string::npos) return true;
    start = comma + 1;
  }
}

}  // namespace

Bridge::Bridge(VirtualStack& stack, Sender send, Warner warn, std::uint32_t firstSerial)
    : stack_(stack), send_(std::move(send)), warn_(std::move(warn)), nextSerial_(firstSerial) {}

Bridge::Step Bridge::Apply(const std::string& received) {
  std::string line = received;
  if (!line.empty() && line.back() == '\r') line.pop_back();
  if (!IsPrintableAscii(line)) return Malformed(line);
  const std::optional<std::vector<std::string>> parsed = link::SplitFields(line);
  if (!parsed) return Malformed(line);
  const std::vector<std::string>& fields = *parsed;
  const std::string& verb = fields[0];
  if (verb == "attach") return ApplyAttach(fields, line);
  if (verb == "detach" && fields.size() == 2 && link::IsValidId(fields[1])) {
    return ApplyDetach(fields[1]);
  }
  if (verb == "input") return ApplyInput(fields, line);
  if (verb == "stall" && fields.size() == 2 && link::IsValidId(fields[1])) {
    return ApplyStall(fields[1]);
  }
  if (verb == "notify" && fields.size() == 2 &&
      (fields[1] == "arrival" || fields[1] == "removal" || fields[1] == "devnodes")) {
    return Step::kGoOn;  // Windows sends its own notifications
  }
  if (verb == "ready" && fields.size() == 1) return Step::kReady;
  if (verb == "sync" && fields.size() == 2) {
    // Every line before has been applied in order; inputs must also have reached the handles.
    std::string error;
    if (!stack_.Settle(error)) return Fail("sync " + fields[1] + ": " + error);
    send_("sync " + fields[1]);
    return Step::kGoOn;
  }
  return Malformed(line);
}

Bridge::Step Bridge::ApplyAttach(const std::vector<std::string>& fields, const std::string& line) {
  std::uint16_t vendorId = 0;
  std::uint16_t productId = 0;
  if ((fields.size() != 4 && fields.size() != 5) || !link::IsValidId(fields[1]) ||
      !ParseHex16(fields[2], vendorId) || !ParseHex16(fields[3], productId) ||
      (fields.size() == 5 && !KnownFlags(fields[4]))) {
    return Malformed(line);
  }
  const std::string& id = fields[1];
  if (fields.size() == 5) {
    // A real device cannot be told to refuse opens or attributes; pretending would mislead.
    warn_("refused " + Quoted(line) + ": flags (" + fields[4] +
          ") are not supported by the virtual HID device");
    return Step::kGoOn;
  }
  // Attaching a present id replaces its device, as unplugging and plugging in another does.
  if (std::any_of(attached_.begin(), attached_.end(),
                  [&](const auto& a) { return a.first == id; })) {
    const Step removed = ApplyDetach(id);
    if (removed != Step::kGoOn) return removed;
  }
  if (nextSerial_ == 0 || nextSerial_ > VHID_MAX_SERIAL) {
    return Fail("attach " + id + ": no device number left for this run");
  }
  const std::uint32_t serial = nextSerial_++;
  {
    std::lock_guard<std::mutex> lock(namesLock_);
    names_[serial] = id;
  }
  std::string error;
  if (!stack_.Add(serial, vendorId, productId, error)) {
    return Fail("attach " + id + " " + fields[2] + " " + fields[3] + ": " + error);
  }
  attached_.emplace_back(id, serial);
  return Step::kGoOn;
}

Bridge::Step Bridge::ApplyDetach(const std::string& id) {
  const auto found = std::find_if(attached_.begin(), attached_.end(),
                                  [&](const auto& a) { return a.first == id; });
  if (found == attached_.end()) return Step::kGoOn;  // not present: nothing to remove
  const std::uint32_t serial = found->second;
  attached_.erase(found);
  std::string error;
  if (!stack_.Remove(serial, error)) return Fail("detach " + id + ": " + error);
  return Step::kGoOn;
}

Bridge::Step Bridge::ApplyInput(const std::vector<std::string>& fields, const std::string& line) {
  std::uint8_t payload[VHID_PAYLOAD_BYTES];
  if (fields.size() != 3 || !link::IsValidId(fields[1]) ||
      !link::ParseHex(fields[2], payload, VHID_PAYLOAD_BYTES)) {
    return Malformed(line);
  }
  const auto found = std::find_if(attached_.begin(), attached_.end(),
                                  [&](const auto& a) { return a.first == fields[1]; });
  if (found == attached_.end()) return Step::kGoOn;  // from a device that is gone: reaches nobody
  std::string error;
  if (!stack_.Input(found->second, payload, error))
    return Fail("input " + fields[1] + ": " + error);
  return Step::kGoOn;
}

Bridge::Step Bridge::ApplyStall(const std::string& id) {
  const auto found = std::find_if(attached_.begin(), attached_.end(),
                                  [&](const auto& a) { return a.first == id; });
  if (found == attached_.end()) return Step::kGoOn;  // gone already: nothing takes its writes
  std::string error;
  if (!stack_.Stall(found->second, error)) return Fail("stall " + id + ": " + error);
  return Step::kGoOn;
}

Bridge::Step Bridge::Fail(std::string why) {
  failure_ = std::move(why);
  return Step::kFailed;
}

// The device link ignores what it cannot read, on both sides: said, never fatal.
Bridge::Step Bridge::Malformed(const std::string& line) {
  warn_("ignored a malformed line from the server: " + Quoted(line));
  return Step::kGoOn;
}

std::optional<std::string> Bridge::OutputLine(
    std::uint32_t serial, const std::uint8_t (&report)[VHID_REPORT_BYTES]) const {
  std::lock_guard<std::mutex> lock(namesLock_);
  const auto name = names_.find(serial);
  if (name == names_.end()) return std::nullopt;
  return "output " + name->second + " " + link::ToHex(report, VHID_REPORT_BYTES);
}

bool Bridge::RemoveAll(std::string& error) {
  bool removedAll = true;
  while (!attached_.empty()) {
    const auto [id, serial] = attached_.back();
    attached_.pop_back();
    std::string why;
    if (!stack_.Remove(serial, why) && removedAll) {
      error = "removing " + id + ": " + why;
      removedAll = false;
    }
  }
  return removedAll;
}

}  // namespace kestro::vhid
