// A main dialog over the headless framework and the fake port, with package files in a
// temporary directory.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "app/UpdateDlg.h"
#include "res/resource.h"
#include "tests/support/Environment.h"
#include "tests/support/Packages.h"
#include "tests/support/ProgramTexts.h"

namespace kestro::testing {

class DialogFixture : public ::testing::Test {
 protected:
  void SetUp() override { env.system.currentDirectory = packages.Path().wstring(); }
  void TearDown() override {
    env.system.JoinThreads();
    dialog.reset();
  }

  // Builds the dialog and runs its initialisation, as the modal run does.
  CUpdateDlg& Start() {
    dialog = std::make_unique<CUpdateDlg>(env.system, env.port);
    env.system.CreateDialog(*dialog);
    return *dialog;
  }

  std::wstring WritePackage(const std::string& name,
                            const std::vector<sim::PackageRecord>& records) {
    return packages.WritePackage(name, records);
  }
  std::wstring WriteBytes(const std::string& name, const std::vector<std::uint8_t>& bytes) {
    return packages.WriteBytes(name, bytes);
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
  PackageDirectory packages;
  std::unique_ptr<CUpdateDlg> dialog;
};

}  // namespace kestro::testing
