// A main dialog over the headless framework and the fake port, with package files in a
// temporary directory.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>

#include "app/UpdateDlg.h"
#include "res/resource.h"
#include "sim/Package.h"
#include "tests/support/Environment.h"

namespace kestro::testing {

inline const std::wstring kTitle = L"Kestro Update v2.00";
inline const std::wstring kEnglishInstructions =
    L"1. Press and hold LB+RB, then plug in USB, POWER LED will blink in white.\r\n\r\n"
    L"2. Click \"USB Update\" button and select firmware file.";

class DialogFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    m_dir = std::filesystem::temp_directory_path() /
            ("kestro-test-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
             "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(m_dir);
    env.system.currentDirectory = m_dir.wstring();
  }
  void TearDown() override {
    env.system.JoinThreads();
    dialog.reset();
    std::error_code ignored;
    std::filesystem::remove_all(m_dir, ignored);
  }

  // Builds the dialog and runs its initialisation, as the modal run does.
  CUpdateDlg& Start() {
    dialog = std::make_unique<CUpdateDlg>(env.system, env.port);
    env.system.CreateDialog(*dialog);
    return *dialog;
  }

  std::wstring WritePackage(const std::string& name,
                            const std::vector<sim::PackageRecord>& records) {
    const auto path = m_dir / name;
    EXPECT_TRUE(sim::WriteFileBytes(path.string(), sim::BuildPackage(records))) << path;
    return path.wstring();
  }
  std::wstring WriteBytes(const std::string& name, const std::vector<std::uint8_t>& bytes) {
    const auto path = m_dir / name;
    EXPECT_TRUE(sim::WriteFileBytes(path.string(), bytes)) << path;
    return path.wstring();
  }

  // The file dialog picks this path; every message box is answered with `answer`.
  void PickFile(const std::wstring& path) {
    env.system.onFileDialog = [path](const OpenFileRequest&, std::wstring& out) {
      out = path;
      return true;
    };
  }

  void Press() { env.system.Deliver(win::WM_COMMAND, IDC_UPDATE_BUTTON, 0); }
  void DeviceChange(std::uint32_t code) { env.system.Deliver(win::WM_DEVICECHANGE, code, 0); }
  // Waits for the worker, then lets the dialog handle what the worker posted to it, as its
  // message loop would.
  bool WaitForWorker() {
    const bool ended = env.system.JoinThreads();
    env.system.DeliverPosted();
    return ended;
  }

  std::wstring Title() const { return env.system.Dialog().text; }
  bool ButtonEnabled() const { return env.system.Control(IDC_UPDATE_BUTTON).enabled; }
  bool SuccessVisible() const { return env.system.Control(IDC_SUCCESS_LABEL).visible; }
  std::intptr_t Progress() const { return env.system.Control(IDC_PROGRESS).progressPosition; }
  std::vector<std::wstring> BoxTexts() const {
    std::vector<std::wstring> texts;
    for (const auto& b : env.system.MessageBoxes()) texts.push_back(b.text);
    return texts;
  }

  Environment env;
  std::unique_ptr<CUpdateDlg> dialog;

 private:
  std::filesystem::path m_dir;
};

}  // namespace kestro::testing
