// A front for tests of update/: it answers as a user would (the package picked, the offer
// accepted unless told otherwise) and records everything the update told it, in order.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "hid/Hid.h"
#include "platform/headless/VirtualClock.h"
#include "res/TextTable.h"
#include "update/UpdateHost.h"

namespace kestro::testing {

class RecordingHost : public UpdateHost {
 public:
  // `hid` is searched again when an update ends, as a front does.
  RecordingHost(CHid& hid, headless::VirtualClock& clock) : m_hid(hid), m_clock(clock) {}

  // What the user does. No package: the file choice is cancelled.
  std::optional<std::wstring> package;
  std::function<bool(const std::wstring& offer)> onOffer = [](const std::wstring&) { return true; };
  std::function<std::optional<std::wstring>()> onChoose;  // in place of `package`

  // Everything the user was shown that asked for their reading: offers, what they were told, the
  // outcome's message.
  struct Message {
    std::wstring text;
    From from;
  };
  std::vector<Message> messages;
  std::vector<std::wstring> Texts() const;
  int choices = 0;                     // times the user was asked for a package
  std::vector<std::wstring> versions;  // as ShowVersion gave them
  bool versionSticks = false;
  std::optional<Outcome> outcome;
  int outcomes = 0;
  // Whether another update may start: as the update last said, or a new search found.
  bool updateAllowed = true;
  int searches = 0;
  std::vector<std::uint32_t> progress;

  std::wstring Text(int index) override {
    const TextEntry* entry = FindText(index);
    return entry ? entry->english : std::wstring();
  }
  std::optional<std::wstring> ChoosePackage() override {
    ++choices;
    return onChoose ? onChoose() : package;
  }
  bool ConfirmImage(const std::wstring& offer) override {
    messages.push_back({offer, From::kTitle});
    return onOffer(offer);
  }
  void ShowVersion(const std::wstring& title, bool sticks) override {
    versions.push_back(title);
    versionSticks = sticks;
  }
  void Tell(const std::wstring& message, From from) override {
    messages.push_back({message, from});
  }
  void Finish(Outcome result, const std::wstring& message, From from) override {
    if (!message.empty()) messages.push_back({message, from});
    outcome = result;
    ++outcomes;
  }
  void AllowUpdate(bool allowed) override { updateAllowed = allowed; }
  void AllowUpdateIfControllerFound() override {
    ++searches;
    updateAllowed = m_hid.FindDevice() != 0;
  }
  void SetProgress(std::uint32_t percent, std::uint32_t, std::uint32_t) override {
    progress.push_back(percent);
  }
  void Wait(std::uint32_t milliseconds) override { m_clock.Advance(milliseconds); }
  std::uint64_t NowMs() override { return m_clock.NowMs(); }

 private:
  CHid& m_hid;
  headless::VirtualClock& m_clock;
};

inline std::vector<std::wstring> RecordingHost::Texts() const {
  std::vector<std::wstring> texts;
  for (const Message& m : messages) texts.push_back(m.text);
  return texts;
}

}  // namespace kestro::testing
