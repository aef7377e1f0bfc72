// The little JSON the terminal front writes: strings escaped, objects a field at a time.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace kestro::cli::json {

inline std::string Quote(const std::string& utf8) {
  std::string out = "\"";
  for (const char c : utf8) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
          out += escaped;
        } else {
          out += c;
        }
    }
  }
  return out + "\"";
}

// {"a":1,"b":"x"}, built a field at a time.
class Object {
 public:
  Object& Raw(const char* name, const std::string& value) {
    m_text += (m_text.empty() ? "{" : ",") + Quote(name) + ":" + value;
    return *this;
  }
  Object& String(const char* name, const std::string& value) { return Raw(name, Quote(value)); }
  Object& Number(const char* name, double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", value);
    return Raw(name, text);
  }
  Object& Integer(const char* name, std::uint64_t value) {
    return Raw(name, std::to_string(value));
  }
  Object& Null(const char* name) { return Raw(name, "null"); }
  std::string Text() const { return m_text.empty() ? "{}" : m_text + "}"; }

 private:
  std::string m_text;
};

}  // namespace kestro::cli::json
