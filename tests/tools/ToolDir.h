// A private directory per test for the package tool's commands, and a command run with its
// output captured.
#pragma once

#include <gtest/gtest.h>

#include <cctype>
#include <filesystem>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "sim/Package.h"
#include "tools/package/CommandLine.h"

namespace kestro::tools::test {

using Bytes = std::vector<std::uint8_t>;

inline std::string TestName(std::string name) {
  for (char& c : name) c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
  return name;
}

struct CommandRun {
  int status = -1;
  std::string out, err;
};

class ToolDir : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
    m_dir = std::filesystem::path(::testing::TempDir()) /
            TestName(std::string("kestro_package_") + test->test_suite_name() + test->name());
    std::filesystem::remove_all(m_dir);
    std::filesystem::create_directories(m_dir);
  }
  void TearDown() override { std::filesystem::remove_all(m_dir); }

  std::string Path(const std::string& name) const { return (m_dir / name).string(); }
  void Write(const std::string& name, const Bytes& bytes) const {
    ASSERT_TRUE(sim::WriteFileBytes(Path(name), bytes));
  }
  void Write(const std::string& name, const std::string& text) const {
    Write(name, Bytes(text.begin(), text.end()));
  }
  Bytes Read(const std::string& name) const { return *sim::ReadFileBytes(Path(name)); }
  // Every name in the directory and its subfolders, to see that a failed command left nothing
  // behind.
  std::set<std::string> Names() const {
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(m_dir)) {
      names.insert(entry.path().lexically_relative(m_dir).string());
    }
    return names;
  }

  // "{dir}" in an argument stands for this test's directory.
  template <typename Command>
  CommandRun Run(Command command, const std::string& words) const {
    std::vector<std::string> args;
    std::istringstream split(words);
    for (std::string word; split >> word;) args.push_back(word);
    return Run(command, args);
  }
  template <typename Command>
  CommandRun Run(Command command, std::vector<std::string> args) const {
    for (std::string& arg : args) {
      for (std::size_t at; (at = arg.find("{dir}")) != std::string::npos;) {
        arg.replace(at, 5, m_dir.string());
      }
    }
    const std::vector<std::string_view> views(args.begin(), args.end());
    std::ostringstream out, err;
    const int status = command(Arguments(views), out, err);
    return {status, out.str(), err.str()};
  }

 private:
  std::filesystem::path m_dir;
};

template <typename Case>
class ToolDirWith : public ToolDir, public ::testing::WithParamInterface<Case> {};

}  // namespace kestro::tools::test
