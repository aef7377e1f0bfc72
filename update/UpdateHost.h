// What an update needs of the front that runs it, in the update's own terms: texts, asking the
// user (choose a package, confirm the offered version), telling the user what the controller is
// and how the update went, whether another update may start, progress, and time. The dialog maps
// these to its title, message boxes, label and button; a terminal to its lines and exit status.
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

  // The controller's version, as the program's title shows it. `sticks` when nothing the program
  // does at its start replaces it (the boot loader's info exchange); a normal-mode controller's
  // version found at start gives way to the bare title.
  virtual void ShowVersion(const std::wstring& title, bool sticks) = 0;

  // Who a message is from: the program's title (LocalizedString 6), or, where the update gives
  // no caption, the program's own name.
  enum class From { kTitle, kProgram };
  // Something the user must read about the controller (it has no firmware, its boot loader does
  // not tell its model); returns once they have.
  virtual void Tell(const std::wstring& message, From from = From::kTitle) = 0;

  enum class Outcome {
    kSucceeded,  // the controller holds the whole image and was told so
    kFailed,     // the controller may hold part of an image: it needs another update
    kNotMade,    // nothing was written: cancelled, refused, or no image for the controller
  };
  // How the update ended, with what the user is told of it (nothing when the message is empty);
  // returns once they have read it. Called at most once per update.
  virtual void Finish(Outcome outcome, const std::wstring& message, From from = From::kTitle) = 0;

  // Whether the user may start another update now.
  virtual void AllowUpdate(bool allowed) = 0;
  // The update is over: another may start if a controller is found (the front searches again).
  virtual void AllowUpdateIfControllerFound() = 0;

  // The transfer's progress: percent of the image, 0 to 100 (more when bytes from behind the
  // image were counted), and the bytes of it through so far.
  virtual void SetProgress(std::uint32_t percent, std::uint32_t bytesSent,
                           std::uint32_t imageLength) = 0;

  virtual void Wait(std::uint32_t milliseconds) = 0;
  // Milliseconds of a monotonic clock.
  virtual std::uint64_t NowMs() = 0;
};

}  // namespace kestro
