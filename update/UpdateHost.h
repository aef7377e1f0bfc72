// What an update needs of the shell above it, in the update's own terms: texts, asking the user
// (choose a package, confirm the offered version), telling the user, the dialog's title, button,
// label and progress, and time. The main dialog implements it with its window framework.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace kestro {

class UpdateHost {
 public:
  virtual ~UpdateHost() = default;

  // LocalizedString index, in the current interface language.
  virtual std::wstring Text(int index) = 0;

  // The user picks a package file; its full path, or nothing when they did not confirm one.
  virtual std::optional<std::wstring> ChoosePackage() = 0;
  // The user is offered the image (the text names its version); true when they accept it.
  virtual bool ConfirmImage(const std::wstring& offer) = 0;
  // Who a message is from: the program's title (LocalizedString 6), or, where the update gives
  // no caption, the program's own name.
  enum class From { kTitle, kProgram };
  // Tells the user, and returns once they have read it.
  virtual void Tell(const std::wstring& message, From from = From::kTitle) = 0;

  virtual void SetTitle(const std::wstring& title) = 0;
  // The boot-mode info exchange put the version into the title.
  virtual void SetTitleShowsVersion() = 0;
  virtual void EnableUpdateButton(bool enable) = 0;
  virtual void ShowSuccessLabel() = 0;
  virtual void SetProgress(std::uint32_t percent) = 0;
  // Searches again and enables the button when a controller is present.
  virtual void RefreshUpdateButton() = 0;

  virtual void Wait(std::uint32_t milliseconds) = 0;
  // Milliseconds of a monotonic clock.
  virtual std::uint64_t NowMs() = 0;
};

}  // namespace kestro
