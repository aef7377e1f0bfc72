// What the update needs of the shell above it: texts, the dialog's controls and title, its
// message boxes and file dialog, and time. The main dialog implements it.
#pragma once

#include <cstdint>
#include <string>

#include "platform/Framework.h"

namespace kestro {

class UpdateHost {
 public:
  virtual ~UpdateHost() = default;

  // LocalizedString index, in the current interface language.
  virtual std::wstring Text(int index) = 0;
  virtual void SetTitle(const std::wstring& title) = 0;
  // The boot-mode info exchange put the version into the title.
  virtual void SetTitleShowsVersion() = 0;
  virtual void EnableUpdateButton(bool enable) = 0;
  virtual void ShowSuccessLabel() = 0;
  virtual void SetProgress(std::uint32_t position) = 0;
  // A box owned by the main dialog; caption nullptr gives the program's name.
  virtual int ShowMessage(const std::wstring& text, const std::wstring* caption,
                          std::uint32_t type) = 0;
  virtual bool ChooseFile(const OpenFileRequest& request, std::wstring& path) = 0;
  virtual std::wstring CurrentDirectory(std::size_t bufferChars) = 0;
  // Searches again and enables the button when a controller is present.
  virtual void RefreshUpdateButton() = 0;
  virtual void Sleep(std::uint32_t milliseconds) = 0;
  virtual std::uint64_t NowMs() = 0;
};

}  // namespace kestro
