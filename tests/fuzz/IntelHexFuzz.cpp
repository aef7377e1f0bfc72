// The Intel HEX reader over arbitrary text: it must never crash or read outside the text, and
// what it accepts must be an image the package can hold that reads back the same when written
// out again.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "tests/tools/HexText.h"
#include "tools/package/IntelHex.h"

namespace {

// Re-encoding is linear in the image; large accepted images are checked for bounds only, so
// that the fuzzer spends its time on the reader rather than on the writer.
constexpr std::size_t kMaxReencodedBytes = 1u << 16;

void Check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const kestro::tools::HexResult result = kestro::tools::ReadIntelHex(text);
  std::size_t lines = 0;
  for (std::size_t i = 0; i < size; ++i) lines += text[i] == '\n';
  if (size > 0 && text.back() != '\n') ++lines;
  if (!result.image) {
    // An error names a line the text has (line 1 for an empty text) and says something.
    Check(result.error.line >= 1 && result.error.line <= std::max<std::size_t>(lines, 1));
    Check(!result.error.message.empty());
    return 0;
  }
  const kestro::tools::HexImage& image = *result.image;
  Check(!image.bytes.empty());
  Check(image.bytes.size() <= kestro::tools::kMaxHexImageBytes);
  Check(std::uint64_t{image.baseAddress} + image.bytes.size() <= std::uint64_t{1} << 32);
  if (image.bytes.size() <= kMaxReencodedBytes) {
    const std::string again = kestro::tools::test::EncodeIntelHex(image.baseAddress, image.bytes);
    const kestro::tools::HexResult reread = kestro::tools::ReadIntelHex(again);
    Check(reread.image.has_value());
    Check(reread.image->baseAddress == image.baseAddress);
    Check(reread.image->bytes == image.bytes);
  }
  return 0;
}
