#include "platform/Diagnostics.h"

#include <cstdarg>
#include <cwchar>
#include <iterator>
#include <mutex>
#include <vector>

namespace kestro {
namespace {

std::mutex& SinkMutex() {
  static std::mutex mutex;
  return mutex;
}

DiagnosticSink& Sink() {
  static DiagnosticSink sink;
  return sink;
}

bool HasSink() {
  std::lock_guard<std::mutex> lock(SinkMutex());
  return static_cast<bool>(Sink());
}

void Emit(const std::wstring& text) {
  DiagnosticSink sink;
  {
    std::lock_guard<std::mutex> lock(SinkMutex());
    sink = Sink();
  }
  if (sink) sink(text);
}

}  // namespace

void SetDiagnosticSink(DiagnosticSink sink) {
  std::lock_guard<std::mutex> lock(SinkMutex());
  Sink() = std::move(sink);
}

static std::wstring FormatTextV(const wchar_t* format, va_list args) {
  // Every line of this program fits the first buffer; the loop is for texts from resources.
  wchar_t first[512];
  {
    va_list copy;
    va_copy(copy, args);
    const int n = std::vswprintf(first, std::size(first), format, copy);
    va_end(copy);
    if (n >= 0) return std::wstring(first, static_cast<std::size_t>(n));
  }
  std::vector<wchar_t> buffer(4 * std::size(first));
  for (;;) {
    va_list copy;
    va_copy(copy, args);
    int n = std::vswprintf(buffer.data(), buffer.size(), format, copy);
    va_end(copy);
    if (n >= 0) return std::wstring(buffer.data(), static_cast<std::size_t>(n));
    // vswprintf gives no size hint when the buffer is short; grow up to a sane limit.
    if (buffer.size() >= 65536) return std::wstring();
    buffer.resize(buffer.size() * 4);
  }
}

std::wstring FormatText(const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  std::wstring text = FormatTextV(format, args);
  va_end(args);
  return text;
}

void DebugLine(const wchar_t* format, ...) {
  if (!HasSink()) return;  // nobody listens: spare the formatting
  va_list args;
  va_start(args, format);
  std::wstring text = FormatTextV(format, args);
  va_end(args);
  Emit(text + L"\n");
}

void DebugText(const std::wstring& text) { Emit(text); }

}  // namespace kestro
