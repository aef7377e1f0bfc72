#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <csignal>

#include "tests/tools/HexText.h"
#include "tests/tools/ToolDir.h"
#include "tools/package/BuildCommand.h"
#include "update/Package.h"
#include "update/PackageFile.h"

namespace kestro::tools::test {
namespace {

const Bytes kFirmware = sim::PatternImage(300, 7);
const std::string kOld = "an earlier package";

class BuildFixture : public ToolDir {
 protected:
  void SetUp() override {
    ToolDir::SetUp();
    Write("fw.bin", kFirmware);
    Write("fw.hex", EncodeIntelHex(0x08004000, kFirmware));
    Write("bad.hex", HexLine(kDataRecord, 0, {1}) + ":0100100000EE\n" + kEndLine);
    Write("empty.bin", Bytes{});
    Write("out.dat", kOld);
    std::filesystem::create_directory(Path("adir"));
    std::filesystem::create_directory(Path("sub"));
    Write("sub/target.dat", kOld);
    std::filesystem::create_symlink("sub/target.dat", Path("relative.dat"));
    std::filesystem::create_symlink(Path("sub/target.dat"), Path("absolute.dat"));
    // The second link is relative to its own folder, not to the first link's.
    std::filesystem::create_symlink("sub/hop.dat", Path("chain.dat"));
    std::filesystem::create_symlink("target.dat", Path("sub/hop.dat"));
    std::filesystem::create_symlink("sub/missing.dat", Path("dangling.dat"));
    std::filesystem::create_symlink("loop.dat", Path("loop.dat"));
  }
};

struct BuiltCase {
  const char* name;
  std::string args;     // behind OUT.dat
  std::uint16_t model;  // the updater's scan for this controller finds this image
  std::uint8_t variant;
  std::uint32_t base;
  Bytes image;
};
void PrintTo(const BuiltCase& c, std::ostream* os) { *os << c.name; }

class Built : public BuildFixture, public ::testing::WithParamInterface<BuiltCase> {};

// Read back as the updater reads a package: with its file class and its scan.
TEST_P(Built, TheUpdatersScanFindsTheImage) {
  const BuiltCase& c = GetParam();
  const CommandRun run = Run(RunBuild, "{dir}/out.dat " + c.args);
  ASSERT_EQ(run.status, 0) << run.err;
  const std::string path = Path("out.dat");
  PackageFile file;
  ASSERT_TRUE(file.Open(std::wstring(path.begin(), path.end())));
  const std::optional<PackageImage> found = FindPackageImage(file, c.model, c.variant);
  ASSERT_TRUE(found);
  EXPECT_EQ(found->header.baseAddress, c.base);
  Bytes image(found->header.length);
  std::size_t got = 0;
  ASSERT_TRUE(file.ReadAt(found->dataOffset, image.data(), image.size(), got));
  EXPECT_EQ(image, c.image);
}

Bytes Padded(std::size_t padding, const Bytes& image) {
  Bytes bytes(padding, 0xFF);
  bytes.insert(bytes.end(), image.begin(), image.end());
  return bytes;
}

const std::string kFile = "--record model=1,variant=2,version=100,image={dir}/";

INSTANTIATE_TEST_SUITE_P(
    Inputs, Built,
    ::testing::Values(
        BuiltCase{"raw", kFile + "fw.bin,base=0x08004000", 1, 2, 0x08004000, kFirmware},
        BuiltCase{"HEX", kFile + "fw.hex", 1, 2, 0x08004000, kFirmware},
        BuiltCase{"HEX from a lower base", kFile + "fw.hex,base=0x08003FF0", 1, 2, 0x08003FF0,
                  Padded(16, kFirmware)},
        BuiltCase{"generated before a file record", "--record size=50,base=16 " + kFile + "fw.hex",
                  0, 0, 16, sim::PatternImage(50, 1)}),
    [](const auto& info) { return TestName(info.param.name); });

struct RefusedCase {
  const char* name;
  std::string args;   // behind OUT
  std::string error;  // what the one error line says, or a piece of it
  std::string out = "out.dat";
  rlim_t fileSizeLimit = 0;  // when set, writes past it fail as on a full disk
};
void PrintTo(const RefusedCase& c, std::ostream* os) { *os << c.name; }

class Refused : public BuildFixture, public ::testing::WithParamInterface<RefusedCase> {};

TEST_P(Refused, SaysWhyInOneLineAndWritesNothing) {
  const std::set<std::string> before = Names();
  rlimit limit{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &limit), 0);
  const rlimit unlimited = limit;
  const auto onExcess = std::signal(SIGXFSZ, SIG_IGN);  // the write fails with EFBIG instead
  if (GetParam().fileSizeLimit != 0) limit.rlim_cur = GetParam().fileSizeLimit;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limit), 0);
  const CommandRun run = Run(RunBuild, "{dir}/" + GetParam().out + " " + GetParam().args);
  ::setrlimit(RLIMIT_FSIZE, &unlimited);
  std::signal(SIGXFSZ, onExcess);
  EXPECT_EQ(run.status, 1);
  EXPECT_TRUE(run.err.starts_with("kestro-package: ")) << run.err;
  EXPECT_NE(run.err.find(GetParam().error), std::string::npos) << run.err;
  EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
  EXPECT_EQ(Names(), before);
  EXPECT_EQ(Read("out.dat"), Bytes(kOld.begin(), kOld.end()));
}

INSTANTIATE_TEST_SUITE_P(
    Inputs, Refused,
    ::testing::Values(
        RefusedCase{"bad HEX", kFile + "bad.hex",
                    "bad.hex line 2: checksum 0xEE, the record's bytes give 0xEF"},
        RefusedCase{"raw without base", kFile + "fw.bin", "needs base=ADDRESS"},
        RefusedCase{"image without model", "--record variant=1,version=1,image=x.hex",
                    "needs model, variant and version"},
        RefusedCase{"empty raw image", kFile + "empty.bin,base=0", "is empty"},
        RefusedCase{"base above the HEX data", kFile + "fw.hex,base=0x08004001",
                    "base 0x08004001 lies above"},
        RefusedCase{"later record bad", "--record size=10 " + kFile + "bad.hex", "record 1: "},
        RefusedCase{"truncate not cutting", "--record size=10 --truncate 38",
                    "does not cut the 38-byte package"},
        RefusedCase{"target is a directory", "--record size=10", "cannot replace", "adir"},
        RefusedCase{"write cut short", "--record size=1000", "File too large", "out.dat", 100},
        RefusedCase{"dangling link", "--record size=10", "/sub/missing.dat, which does not exist",
                    "dangling.dat"},
        RefusedCase{"link loop", "--record size=10", "Too many levels of symbolic links",
                    "loop.dat"}),
    [](const auto& info) { return TestName(info.param.name); });

struct WrittenCase {
  const char* name;
  std::string out;     // as named on the command line
  std::string target;  // the file that then holds the package
  mode_t before;       // the target's mode before the build; 0: there is no target yet
  mode_t after;
};
void PrintTo(const WrittenCase& c, std::ostream* os) { *os << c.name; }

class Written : public BuildFixture, public ::testing::WithParamInterface<WrittenCase> {};

// A link stays a link and the file it names takes the package; a replaced file keeps its mode.
TEST_P(Written, LandsInTheFileTheNameStandsFor) {
  const WrittenCase& c = GetParam();
  if (c.before != 0) {
    ASSERT_EQ(::chmod(Path(c.target).c_str(), c.before), 0);
  }
  const mode_t umask = ::umask(002);
  const CommandRun run = Run(RunBuild, "{dir}/" + c.out + " --record size=10");
  ::umask(umask);
  ASSERT_EQ(run.status, 0) << run.err;
  sim::PackageRecord record;
  record.image = sim::PatternImage(10, 1);
  EXPECT_EQ(Read(c.target), sim::BuildPackage({record}));
  EXPECT_EQ(std::filesystem::is_symlink(Path(c.out)), c.out != c.target);
  struct stat status {};
  ASSERT_EQ(::stat(Path(c.target).c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 07777, c.after) << std::oct << status.st_mode;
}

INSTANTIATE_TEST_SUITE_P(
    Outputs, Written,
    ::testing::Values(WrittenCase{"file 0600", "out.dat", "out.dat", 0600, 0600},
                      WrittenCase{"file 0640", "out.dat", "out.dat", 0640, 0640},
                      WrittenCase{"new file takes the umask", "new.dat", "new.dat", 0, 0664},
                      WrittenCase{"relative link", "relative.dat", "sub/target.dat", 0640, 0640},
                      WrittenCase{"absolute link", "absolute.dat", "sub/target.dat", 0600, 0600},
                      WrittenCase{"chain of links", "chain.dat", "sub/target.dat", 0640, 0640}),
    [](const auto& info) { return TestName(info.param.name); });

// Generated records, which the updater's own tests and scripts build on, keep their layout.
TEST_F(ToolDir, GeneratedRecordsKeepTheirLayout) {
  const CommandRun run = Run(RunBuild,
                             "{dir}/out.dat --record version=123,size=64 "
                             "--record model=0x0102,variant=3,size=32,seed=9");
  ASSERT_EQ(run.status, 0) << run.err;
  sim::PackageRecord first;
  first.version = 123;
  first.image = sim::PatternImage(64, 1);  // without seed=, the record's number from 1
  sim::PackageRecord second;
  second.modelId = 0x0102;
  second.variant = 3;
  second.image = sim::PatternImage(32, 9);
  EXPECT_EQ(Read("out.dat"), sim::BuildPackage({first, second}));
  EXPECT_EQ(run.out, Path("out.dat") + ": 2 record(s), 152 bytes\n");
}

}  // namespace
}  // namespace kestro::tools::test
