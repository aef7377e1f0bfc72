#include "platform/record/Recording.h"

#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <vector>

namespace kestro::record {
namespace {

// --- writing -------------------------------------------------------------------------------------

std::string Quote(const std::string& text) {
  std::string out = "\"";
  for (const char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
      out += escaped;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

std::string Hex16(std::uint16_t value) {
  char text[8];
  std::snprintf(text, sizeof text, "%04x", value);
  return text;
}

std::string Hex32(std::uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08x", value);
  return text;
}

std::string Bytes(const Payload& report) {
  static const char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (const std::uint8_t b : report) {
    hex += kDigits[b >> 4];
    hex += kDigits[b & 15];
  }
  return hex;
}

// --- reading: the little JSON these lines hold ---------------------------------------------------

struct Value {
  enum class Type { kNull, kBool, kNumber, kString, kObject } type = Type::kNull;
  bool boolean = false;
  double number = 0;
  std::string string;
  std::map<std::string, std::shared_ptr<Value>> members;

  const Value* Member(const std::string& name) const {
    const auto it = members.find(name);
    return it == members.end() ? nullptr : it->second.get();
  }
};

class Parser {
 public:
  explicit Parser(const std::string& text) : m_text(text) {}

  std::optional<Value> Document() {
    std::optional<Value> value = Parse(0);
    Blank();
    if (m_at != m_text.size()) return std::nullopt;
    return value;
  }

 private:
  void Blank() {
    while (m_at < m_text.size() && (m_text[m_at] == ' ' || m_text[m_at] == '\t' ||
                                    m_text[m_at] == '\r' || m_text[m_at] == '\n')) {
      ++m_at;
    }
  }
  bool Take(char c) {
    Blank();
    if (m_at < m_text.size() && m_text[m_at] == c) {
      ++m_at;
      return true;
    }
    return false;
  }
  bool Word(const char* word) {
    const std::string w = word;
    if (m_text.compare(m_at, w.size(), w) != 0) return false;
    m_at += w.size();
    return true;
  }
  std::optional<std::string> String() {
    if (!Take('"')) return std::nullopt;
    std::string out;
    while (m_at < m_text.size() && m_text[m_at] != '"') {
      char c = m_text[m_at++];
      if (c == '\\') {
        if (m_at >= m_text.size()) return std::nullopt;
        c = m_text[m_at++];
        if (c == 'u') {
          if (m_at + 4 > m_text.size()) return std::nullopt;
          const unsigned code = std::strtoul(m_text.substr(m_at, 4).c_str(), nullptr, 16);
          m_at += 4;
          if (code < 0x80) {
            out += static_cast<char>(code);
          } else if (code < 0x800) {
            out += static_cast<char>(0xC0 | (code >> 6));
            out += static_cast<char>(0x80 | (code & 0x3F));
          } else {
            out += static_cast<char>(0xE0 | (code >> 12));
            out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
          }
          continue;
        }
        c = c == 'n' ? '\n' : c == 't' ? '\t' : c == 'r' ? '\r' : c;
      }
      out += c;
    }
    if (m_at >= m_text.size()) return std::nullopt;
    ++m_at;
    return out;
  }
  std::optional<Value> Parse(int depth) {
    if (depth > 4) return std::nullopt;  // these lines nest two deep
    Blank();
    if (m_at >= m_text.size()) return std::nullopt;
    Value value;
    const char c = m_text[m_at];
    if (c == '{') {
      ++m_at;
      value.type = Value::Type::kObject;
      if (Take('}')) return value;
      do {
        const std::optional<std::string> name = String();
        if (!name || !Take(':')) return std::nullopt;
        std::optional<Value> member = Parse(depth + 1);
        if (!member) return std::nullopt;
        value.members[*name] = std::make_shared<Value>(std::move(*member));
      } while (Take(','));
      if (!Take('}')) return std::nullopt;
    } else if (c == '"') {
      const std::optional<std::string> text = String();
      if (!text) return std::nullopt;
      value.type = Value::Type::kString;
      value.string = *text;
    } else if (Word("true")) {
      value.type = Value::Type::kBool;
      value.boolean = true;
    } else if (Word("false")) {
      value.type = Value::Type::kBool;
    } else if (Word("null")) {
      value.type = Value::Type::kNull;
    } else {
      char* end = nullptr;
      value.number = std::strtod(m_text.c_str() + m_at, &end);
      if (end == m_text.c_str() + m_at) return std::nullopt;
      value.type = Value::Type::kNumber;
      m_at = static_cast<std::size_t>(end - m_text.c_str());
    }
    return value;
  }

  const std::string& m_text;
  std::size_t m_at = 0;
};

std::string StringOf(const Value* value) {
  return value && value->type == Value::Type::kString ? value->string : std::string();
}

std::optional<std::uint64_t> NumberOf(const Value* value) {
  if (!value || value->type != Value::Type::kNumber || value->number < 0) return std::nullopt;
  return static_cast<std::uint64_t>(value->number);
}

// "0x0002007b" or "3a7c"; nothing when it is not hex.
std::optional<std::uint32_t> HexOf(const Value* value) {
  const std::string text = StringOf(value);
  if (text.empty()) return std::nullopt;
  char* end = nullptr;
  const unsigned long number = std::strtoul(text.c_str(), &end, 16);
  if (*end != '\0') return std::nullopt;
  return static_cast<std::uint32_t>(number);
}

bool ReportOf(const Value* value, Payload& report) {
  const std::string hex = StringOf(value);
  if (hex.size() != 2 * report.size()) return false;
  for (std::size_t i = 0; i < report.size(); ++i) {
    char* end = nullptr;
    const std::string pair = hex.substr(2 * i, 2);
    report[i] = static_cast<std::uint8_t>(std::strtoul(pair.c_str(), &end, 16));
    if (*end != '\0') return false;
  }
  return true;
}

}  // namespace

std::string HeaderLine(const Header& header) {
  const Controller& c = header.controller;
  std::string line = "{\"recording\":" + std::to_string(kFormat) +
                     ",\"program\":" + Quote(header.program) +
                     ",\"controller\":{\"path\":" + Quote(c.path) + ",\"vendorId\":\"" +
                     Hex16(c.vendorId) + "\",\"productId\":\"" + Hex16(c.productId) +
                     "\",\"mode\":" + Quote(c.mode) + "},\"package\":";
  if (header.package) {
    line += "{\"name\":" + Quote(header.package->name) +
            ",\"size\":" + std::to_string(header.package->size) + "}";
  } else {
    line += "null";
  }
  return line + "}\n";
}

std::string EventLine(const Event& event) {
  std::string line = "{\"t\":" + std::to_string(event.t) + ",";
  switch (event.kind) {
    case Event::Kind::kOut:
      line += "\"out\":\"" + Bytes(event.report) + "\"";
      break;
    case Event::Kind::kIn:
      line += "\"in\":\"" + Bytes(event.report) + "\"";
      break;
    case Event::Kind::kTimeout:
      line += "\"timeout\":true";
      break;
    case Event::Kind::kReadFailed:
      line += "\"readFailed\":" + std::to_string(event.code);
      break;
    case Event::Kind::kWriteFailed:
      line += "\"writeFailed\":" + std::to_string(event.code);
      break;
    case Event::Kind::kRemoved:
      line += "\"removed\":true";
      break;
    case Event::Kind::kImage: {
      const ImageFacts& i = event.image;
      line += "\"image\":{\"record\":" + std::to_string(i.record) +
              ",\"modelId\":" + std::to_string(i.modelId) +
              ",\"variant\":" + std::to_string(i.variant) + ",\"version\":\"" + Hex32(i.version) +
              "\",\"baseAddress\":\"" + Hex32(i.baseAddress) +
              "\",\"length\":" + std::to_string(i.length) + "}";
      break;
    }
    case Event::Kind::kOutcome:
      line += "\"outcome\":" + Quote(event.outcome) + ",\"text\":" + Quote(event.text);
      break;
  }
  return line + "}\n";
}

std::optional<Header> ParseHeader(const std::string& line) {
  const std::optional<Value> value = Parser(line).Document();
  if (!value || value->type != Value::Type::kObject) return std::nullopt;
  if (NumberOf(value->Member("recording")) != std::uint64_t{kFormat}) return std::nullopt;
  const Value* controller = value->Member("controller");
  if (!controller || controller->type != Value::Type::kObject) return std::nullopt;
  Header header;
  header.program = StringOf(value->Member("program"));
  header.controller.path = StringOf(controller->Member("path"));
  header.controller.mode = StringOf(controller->Member("mode"));
  const auto vendor = HexOf(controller->Member("vendorId"));
  const auto product = HexOf(controller->Member("productId"));
  if (!vendor || !product) return std::nullopt;
  header.controller.vendorId = static_cast<std::uint16_t>(*vendor);
  header.controller.productId = static_cast<std::uint16_t>(*product);
  const Value* package = value->Member("package");
  if (package && package->type == Value::Type::kObject) {
    const auto size = NumberOf(package->Member("size"));
    if (!size) return std::nullopt;
    header.package = PackageFacts{StringOf(package->Member("name")), *size};
  }
  return header;
}

std::optional<Event> ParseEvent(const std::string& line) {
  const std::optional<Value> value = Parser(line).Document();
  if (!value || value->type != Value::Type::kObject) return std::nullopt;
  const std::optional<std::uint64_t> t = NumberOf(value->Member("t"));
  if (!t) return std::nullopt;
  Event event;
  event.t = *t;
  if (const Value* out = value->Member("out")) {
    event.kind = Event::Kind::kOut;
    if (!ReportOf(out, event.report)) return std::nullopt;
  } else if (const Value* in = value->Member("in")) {
    event.kind = Event::Kind::kIn;
    if (!ReportOf(in, event.report)) return std::nullopt;
  } else if (value->Member("timeout")) {
    event.kind = Event::Kind::kTimeout;
  } else if (const Value* code = value->Member("readFailed")) {
    event.kind = Event::Kind::kReadFailed;
    event.code = static_cast<std::uint32_t>(NumberOf(code).value_or(0));
  } else if (const Value* failed = value->Member("writeFailed")) {
    event.kind = Event::Kind::kWriteFailed;
    event.code = static_cast<std::uint32_t>(NumberOf(failed).value_or(0));
  } else if (value->Member("removed")) {
    event.kind = Event::Kind::kRemoved;
  } else if (const Value* image = value->Member("image")) {
    event.kind = Event::Kind::kImage;
    ImageFacts& i = event.image;
    i.record = static_cast<int>(NumberOf(image->Member("record")).value_or(0));
    i.modelId = static_cast<std::uint16_t>(NumberOf(image->Member("modelId")).value_or(0));
    i.variant = static_cast<std::uint8_t>(NumberOf(image->Member("variant")).value_or(0));
    i.version = HexOf(image->Member("version")).value_or(0);
    i.baseAddress = HexOf(image->Member("baseAddress")).value_or(0);
    i.length = static_cast<std::uint32_t>(NumberOf(image->Member("length")).value_or(0));
  } else if (const Value* outcome = value->Member("outcome")) {
    event.kind = Event::Kind::kOutcome;
    event.outcome = StringOf(outcome);
    event.text = StringOf(value->Member("text"));
  } else {
    return std::nullopt;
  }
  return event;
}

}  // namespace kestro::record
