// Lines out of a byte stream that arrives in pieces of any size, with a bound on what is held.
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "platform/link/LineReader.h"

namespace kestro::link {
namespace {

constexpr std::size_t kBound = 8;

struct ReaderCase {
  const char* name;
  std::vector<std::string> pieces;
  std::vector<std::string> taken;  // lines, and "!" + start for a line too long
};

void PrintTo(const ReaderCase& c, std::ostream* os) { *os << c.name; }

class LineReaderTest : public ::testing::TestWithParam<ReaderCase> {};

TEST_P(LineReaderTest, CutsTheStreamIntoBoundedLines) {
  const ReaderCase& c = GetParam();
  LineReader reader(kBound);
  std::vector<std::string> taken;
  for (const std::string& piece : c.pieces) {
    reader.Append(piece.data(), piece.size());
    std::string line;
    for (LineReader::Next next; (next = reader.Take(line)) != LineReader::Next::kMore;) {
      taken.push_back(next == LineReader::Next::kLine ? line : "!" + line);
    }
  }
  EXPECT_EQ(taken, c.taken);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LineReaderTest,
    ::testing::Values(
        ReaderCase{
            "lines split anywhere", {"rea", "dy\nsync", " 1\n\nst"}, {"ready", "sync 1", ""}},
        ReaderCase{"a line at the bound", {"12345678\n"}, {"12345678"}},
        ReaderCase{"too long in one piece", {"123456789\nready\n"}, {"!12345678", "ready"}},
        ReaderCase{"too long over many pieces, said once",
                   {"12345", "6789a", "bcdef", "ghi\nrea", "dy\n"},
                   {"!12345678", "ready"}},
        ReaderCase{"a stream that never ends its line",
                   {std::string(20, 'x'), std::string(20, 'y'), "\n"},
                   {"!xxxxxxxx"}}));

}  // namespace
}  // namespace kestro::link
