// kestro-package.exe, the package tool for firmware makers on Windows, under Wine: file names in
// Chinese through the wide command line, read and written; a package replaced whole; a refused
// write leaving nothing behind; its version line.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "sim/Package.h"
#include "tests/e2e/E2eFixture.h"

namespace kestro::e2e {
namespace {

constexpr std::uint32_t kToolMs = 60000;
const std::vector<std::uint8_t> kImage = sim::PatternImage(300, 5);

sim::PackageRecord Generated(std::size_t size) {
  sim::PackageRecord record;
  record.image = sim::PatternImage(size, 1);  // the tool's seed for its first record
  return record;
}

sim::PackageRecord FromImage() {
  sim::PackageRecord record;
  record.modelId = 1;
  record.variant = 2;
  record.version = 3;
  record.image = kImage;
  return record;
}

struct ToolCase {
  const char* name;
  std::vector<std::string> arguments;  // "{dir}" stands for the test's folder, as Windows names it
  int status;
  std::string says;                 // in the output
  std::string file;                 // made or replaced by the run; "" for none
  std::vector<std::uint8_t> holds;  // what `file` holds then
};

void PrintTo(const ToolCase& c, std::ostream* out) { *out << c.name; }

class PackageToolTest : public E2eTest, public ::testing::WithParamInterface<ToolCase> {};

TEST_P(PackageToolTest, WorksWithTheFilesAsNamed) {
  const ToolCase& c = GetParam();
  // A UTF-8 locale, which Wine takes for the Linux side of file names and arguments.
  m_lang = "C.UTF-8";
  const std::filesystem::path dir = Artifact("files");
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir / "文件夹");
  ASSERT_TRUE(sim::WriteFileBytes(dir / "旧.dat", {'o', 'l', 'd'}));
  ASSERT_TRUE(sim::WriteFileBytes(dir / "图像.bin", kImage));
  ASSERT_TRUE(sim::WriteFileBytes(dir / "包.dat", sim::BuildPackage({FromImage()})));
  const auto names = [&] {
    std::set<std::string> found;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(dir)) {
      found.insert(entry.path().lexically_relative(dir).string());
    }
    return found;
  };
  std::set<std::string> expected = names();
  if (!c.file.empty()) expected.insert(c.file);

  std::vector<std::string> argv{"wine", TestPaths().windowsBuildDir + "/kestro-package.exe"};
  for (std::string argument : c.arguments) {
    if (const std::size_t at = argument.find("{dir}"); at != std::string::npos) {
      argument.replace(at, 5, WindowsPath(dir.string()));
    }
    argv.push_back(argument);
  }
  const RunResult run = e2e::Run(argv, WineEnv(), kToolMs);
  EXPECT_EQ(run.exitCode, c.status) << run.output;
  EXPECT_NE(run.output.find(c.says), std::string::npos) << "no \"" << c.says << "\" in\n"
                                                        << run.output;
  EXPECT_EQ(names(), expected);
  if (!c.file.empty()) {
    EXPECT_EQ(sim::ReadFileBytes(dir / c.file), c.holds);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Runs, PackageToolTest,
    ::testing::ValuesIn(std::vector<ToolCase>{
        {"BuildsToAChineseName",
         {"build", "{dir}\\固件.dat", "--record", "size=64"},
         0,
         "固件.dat: 1 record(s), 92 bytes\n",
         "固件.dat",
         sim::BuildPackage({Generated(64)})},
        {"ReplacesAFile",
         {"build", "{dir}\\旧.dat", "--record", "size=64"},
         0,
         "旧.dat: 1 record(s), 92 bytes\n",
         "旧.dat",
         sim::BuildPackage({Generated(64)})},
        {"ReadsAnImageByAChineseName",
         {"build", "{dir}\\out.dat", "--record",
          "model=1,variant=2,version=3,base=0x08004000,image={dir}\\图像.bin"},
         0,
         "out.dat: 1 record(s), 328 bytes\n",
         "out.dat",
         sim::BuildPackage({FromImage()})},
        {"ExtractsToAChineseName",
         {"extract", "{dir}\\包.dat", "0", "{dir}\\映像.bin"},
         0,
         "映像.bin: 300 bytes of record #0, base 0x08004000\n",
         "映像.bin",
         kImage},
        {"RefusesAFolderAndLeavesNothing",
         {"build", "{dir}\\文件夹", "--record", "size=10"},
         1,
         "kestro-package: cannot replace Z:",
         "",
         {}},
        {"Version", {"--version"}, 0, "kestro-package " KESTRO_VERSION "\n", "", {}}}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kestro::e2e
