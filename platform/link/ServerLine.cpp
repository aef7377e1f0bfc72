#include "platform/link/ServerLine.h"

#include <vector>

#include "platform/link/LinkLine.h"

namespace kestro::link {
namespace {

// How much of a line a message repeats.
constexpr std::size_t kQuotedLineLength = 200;

bool ParseHex16(const std::string& text, std::uint16_t& value) {
  std::uint8_t bytes[2];
  if (!ParseHex(text, bytes, 2)) return false;
  value = static_cast<std::uint16_t>(bytes[0] << 8 | bytes[1]);
  return true;
}

// Comma-separated; every flag must be one the contract names (an empty one is not).
bool ParseFlags(const std::string& text, ServerLine& parsed) {
  std::size_t start = 0;
  for (;;) {
    const std::size_t comma = text.find(',', start);
    const std::string flag =
        text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
    if (flag == "noopen") {
      parsed.noOpen = true;
    } else if (flag == "noattr") {
      parsed.noAttr = true;
    } else {
      return false;
    }
    if (comma == std::string::npos) return true;
    start = comma + 1;
  }
}

std::optional<ServerLine> Refused(std::string& why, const char* reason) {
  why = reason;
  return std::nullopt;
}

}  // namespace

std::optional<ServerLine> ParseServerLine(const std::string& received, std::string& why) {
  std::string line = received;
  if (!line.empty() && line.back() == '\r') line.pop_back();
  if (!IsPrintableAscii(line)) return Refused(why, "not printable ASCII");
  const std::optional<std::vector<std::string>> split = SplitFields(line);
  if (!split) return Refused(why, "malformed");
  const std::vector<std::string>& fields = *split;
  const std::string& verb = fields[0];
  const bool withId = fields.size() >= 2 && IsValidId(fields[1]);

  ServerLine parsed;
  if (verb == "attach") {
    if ((fields.size() != 4 && fields.size() != 5) || !withId ||
        !ParseHex16(fields[2], parsed.vendorId) || !ParseHex16(fields[3], parsed.productId)) {
      return Refused(why, "malformed attach");
    }
    if (fields.size() == 5) {
      if (!ParseFlags(fields[4], parsed)) return Refused(why, "unknown attach flag");
    }
    parsed.verb = ServerLine::Verb::kAttach;
    parsed.id = fields[1];
  } else if (verb == "detach" && fields.size() == 2 && withId) {
    parsed.verb = ServerLine::Verb::kDetach;
    parsed.id = fields[1];
  } else if (verb == "input") {
    if (fields.size() != 3 || !withId || !ParseHex(fields[2], parsed.payload, kInputPayloadBytes)) {
      return Refused(why, "malformed input");
    }
    parsed.verb = ServerLine::Verb::kInput;
    parsed.id = fields[1];
  } else if (verb == "stall" && fields.size() == 2 && withId) {
    parsed.verb = ServerLine::Verb::kStall;
    parsed.id = fields[1];
  } else if (verb == "notify" && fields.size() == 2) {
    if (fields[1] == "arrival") {
      parsed.event = ServerLine::Event::kArrival;
    } else if (fields[1] == "removal") {
      parsed.event = ServerLine::Event::kRemoval;
    } else if (fields[1] == "devnodes") {
      parsed.event = ServerLine::Event::kDevnodes;
    } else {
      return Refused(why, "unknown notify event");
    }
    parsed.verb = ServerLine::Verb::kNotify;
  } else if (verb == "ready" && fields.size() == 1) {
    parsed.verb = ServerLine::Verb::kReady;
  } else if (verb == "sync" && fields.size() == 2) {
    parsed.verb = ServerLine::Verb::kSync;
    parsed.token = fields[1];
  } else {
    return Refused(why, "unknown or malformed");
  }
  return parsed;
}

std::string Shortened(const std::string& line) {
  return line.size() > kQuotedLineLength ? line.substr(0, kQuotedLineLength) + "..." : line;
}

}  // namespace kestro::link
