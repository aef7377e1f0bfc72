// Diagnostic lines for the debugger output. One formatting function; the platform sets the sink
// (OutputDebugStringW on Windows, a capture in tests).
#pragma once

#include <functional>
#include <string>

namespace kestro {

using DiagnosticSink = std::function<void(const std::wstring&)>;

// Replaces the sink; an empty sink drops every line.
void SetDiagnosticSink(DiagnosticSink sink);

// Formats with a wide printf format (use %ls for wide strings).
std::wstring FormatText(const wchar_t* format, ...);

// Formats with a wide printf format (use %ls for wide strings) and writes it followed by "\n".
void DebugLine(const wchar_t* format, ...);
// Writes the text as it stands, without a line feed.
void DebugText(const std::wstring& text);

}  // namespace kestro
