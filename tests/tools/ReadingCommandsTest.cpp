// list, extract and select over packages with usable and refused records.
#include <gtest/gtest.h>

#include "tests/tools/ToolDir.h"
#include "tools/package/ExtractCommand.h"
#include "tools/package/ListCommand.h"
#include "tools/package/PackageReading.h"
#include "tools/package/SelectCommand.h"
#include "update/Package.h"

namespace kestro::tools::test {
namespace {

sim::PackageRecord Record(std::uint16_t model, std::uint8_t variant, std::size_t size,
                          std::optional<std::uint32_t> lengthField = std::nullopt) {
  return {.version = static_cast<std::uint16_t>(100 + model),
          .baseAddress = 0x08000000u + model * 0x1000u,
          .modelId = model,
          .variant = variant,
          .image = sim::PatternImage(size, model * 16 + variant),
          .lengthField = lengthField};
}

Bytes Package(const std::vector<sim::PackageRecord>& records, std::size_t cutTo = SIZE_MAX) {
  Bytes bytes = sim::BuildPackage(records);
  bytes.resize(std::min(cutTo, bytes.size()));
  return bytes;
}

// Two usable records, the normal-mode one (model 0, variant 0) second.
const Bytes kTwo = Package({Record(0x0102, 3, 46), Record(0, 0, 100)});
const Bytes kEmptyImage = Package({Record(0, 0, 0)});
const Bytes kImageCut = Package({Record(0, 0, 100)}, 60);
const Bytes kHeaderCut = Package({Record(1, 1, 10), Record(0, 0, 10)}, 48);
// The first record's next position is past 2^32 - 1: the scan stops there.
const Bytes kWraps = Package({Record(1, 1, 4, 0xFFFFFFFF), Record(0, 0, 4)});

using Command = int (*)(Arguments, std::ostream&, std::ostream&);

struct ReadingCase {
  const char* name;
  Command command;
  Bytes package;     // written as pkg.dat
  std::string args;  // behind {dir}/pkg.dat
  int status;
  std::string expect;  // a piece of the output (standard output, then error)
};
void PrintTo(const ReadingCase& c, std::ostream* os) { *os << c.name; }

class Reading : public ToolDirWith<ReadingCase> {};

TEST_P(Reading, ReportsWhatTheUpdaterWouldDo) {
  const ReadingCase& c = GetParam();
  Write("pkg.dat", c.package);
  const CommandRun run = Run(c.command, "{dir}/pkg.dat " + c.args);
  EXPECT_EQ(run.status, c.status) << run.err;
  EXPECT_NE((run.out + run.err).find(c.expect), std::string::npos) << run.out << run.err;
  if (run.status != 0) {
    EXPECT_EQ(Names(), std::set<std::string>{"pkg.dat"});  // extract wrote nothing
  }
}

INSTANTIATE_TEST_SUITE_P(
    Packages, Reading,
    ::testing::Values(
        ReadingCase{"list empty image", RunList, kEmptyImage, "", 0,
                    "#0 length 0: the updater refuses an empty image\n"},
        ReadingCase{"list next position wraps", RunList, kWraps, "", 2,
                    "#0 next record at 4294967323, past 2^32 - 1: the updater stops here\n"},
        ReadingCase{"select normal mode", RunSelect, kTwo, "", 0,
                    "variant 0\nthe updater would take it: 100 bytes to 0x08000000, version word "
                    "0x00000064\n"},
        ReadingCase{"select boot mode", RunSelect, kTwo, "--model 0x0102 --variant 3", 0,
                    "(boot mode)\n#0 offset 0:"},
        ReadingCase{"select no match", RunSelect, kTwo, "--model 5 --variant 5", 2,
                    "take no image: no record has model 0x0005 variant 5\n"},
        ReadingCase{"select empty image", RunSelect, kEmptyImage, "", 2,
                    "variant 0\nthe updater would refuse it: its length is 0\n"},
        ReadingCase{"select image cut short", RunSelect, kImageCut, "", 2,
                    "refuse it: its image is cut short, 32 of 100 bytes in the file\n"},
        ReadingCase{"select header cut short first", RunSelect, kHeaderCut, "", 2,
                    "take no image: the scan ends at record #1, whose header is cut short"},
        ReadingCase{"select wraps before the match", RunSelect, kWraps, "", 2,
                    "take no image: the scan ends at record #0, which ends past 2^32 - 1"},
        ReadingCase{"select matching record wraps", RunSelect, kWraps, "--model 1 --variant 1", 2,
                    "cut short, 36 of 4294967295 bytes in the file; it ends past 2^32 - 1\n"},
        ReadingCase{"select model alone", RunSelect, kTwo, "--model 1", 1,
                    "select takes --model and --variant together, or neither\n"},
        ReadingCase{"extract out of range", RunExtract, kTwo, "2 {dir}/out.bin", 1, "it holds 2"},
        ReadingCase{"extract image cut short", RunExtract, kImageCut, "0 {dir}/out.bin", 1,
                    "record 0 is not whole: 32 of its 100 image bytes are in the file"}),
    [](const auto& info) { return TestName(info.param.name); });

TEST_F(ToolDir, ExtractWritesTheImageBytes) {
  Write("pkg.dat", kTwo);
  ASSERT_EQ(Run(RunExtract, "{dir}/pkg.dat 0 {dir}/a.bin").status, 0);
  EXPECT_EQ(Read("a.bin"), sim::PatternImage(46, 0x0102 * 16 + 3));
}

TEST_F(ToolDir, ListJsonIsOneDocument) {
  sim::PackageRecord first = Record(0x0102, 3, 2);
  first.rest[0] = 0xAB;
  Write("pkg.dat", Package({first, Record(0, 0, 10)}, 62));
  const CommandRun run = Run(RunList, "--json {dir}/pkg.dat");
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(
      run.out,
      "{\n  \"fileBytes\": 62,\n  \"complete\": false,\n  \"records\": [\n"
      "    {\"index\": 0, \"offset\": 0, \"headerBytes\": 28, \"version\": 358, \"beta\": 0, "
      "\"versionWord\": 358, \"baseAddress\": 135274496, \"length\": 2, \"modelId\": 258, "
      "\"variant\": 3, \"uninterpreted\": \"ab000000000000000000000000\", \"imageBytes\": 2, "
      "\"problems\": []},\n"
      "    {\"index\": 1, \"offset\": 30, \"headerBytes\": 28, \"version\": 100, \"beta\": 0, "
      "\"versionWord\": 100, \"baseAddress\": 134217728, \"length\": 10, \"modelId\": 0, "
      "\"variant\": 0, \"uninterpreted\": \"00000000000000000000000000\", \"imageBytes\": 4, "
      "\"problems\": [\"image-cut-short\"]}\n  ]\n}\n");
}

// The verdict is the updater's scan and the listing only explains it: over every cut of a package
// with refused and usable records the two must tell the same story, and the select command's
// status must be the updater's verdict.
TEST_F(ToolDir, SelectAgreesWithTheUpdatersScanOnEveryCut) {
  const Bytes whole = Package(
      {Record(1, 1, 0), Record(2, 2, 30), Record(1, 1, 10), Record(0, 0, 5), Record(2, 2, 7)});
  for (std::size_t size = 0; size <= whole.size(); ++size) {
    const Bytes package(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(size));
    Write("pkg.dat", package);
    for (std::uint8_t id = 0; id < 4; ++id) {
      MemoryPackageSource source(package);
      const bool taken = FindPackageImage(source, id, id).has_value();
      EXPECT_TRUE(SelectImage(package, id, id).consistent) << size << " " << int{id};
      const std::string ids = std::to_string(id);
      const CommandRun run = Run(RunSelect, "{dir}/pkg.dat --model " + ids + " --variant " + ids);
      EXPECT_EQ(run.status, taken ? kExitOk : kExitRefused) << size << " " << int{id} << "\n"
                                                            << run.out << run.err;
    }
  }
}

}  // namespace
}  // namespace kestro::tools::test
