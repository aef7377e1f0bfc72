// The controller's side of a recorded session, played over the device link: the recorded identity
// is attached as one interface, each output report of the program is compared with the next
// recorded one and answered with the input reports recorded after it, and the controller goes
// away where the recording says it did.
//
// Inputs and the removal are timed from the recorded output report before them (or from the
// program's connection, before the first): at their recorded distance from it, or at once when
// fast. RECV_FAILED, which the framed protocol's updater writes after every read that got nothing
// (10 ms apart during a transfer), is the one report whose count depends on timing alone: it
// neither has to be sent nor is it answered, and inputs after a recorded one are timed from the
// output report before it. Every other report must come as recorded: GET_DEVICE_VERSION goes out
// once per query, and the boot protocol's resends follow the recorded answers (a busy reply, or
// none), which the replay gives exactly as they were.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/record/Recording.h"
#include "tools/linkserver/LinkServer.h"

namespace kestro::link {

struct Recording {
  record::Header header;
  std::vector<record::Event> events;
  std::vector<std::size_t> lines;  // each event's line in the file, counted from 1
};

// The recording `text` holds; nothing, with why in `error`, when it is not one. A last line cut
// short (a recorder that crashed while writing it) is left out.
std::optional<Recording> ParseRecording(std::string_view text, std::string& error);

// Why the package at `path` ("" when none was given) is not the one the recording was made with;
// "" when it is, or when the recording needs none. Only its file name and size are known.
std::string PackageMismatch(const record::Header& header, const std::string& path);

struct ReplayResult {
  bool complete = false;  // every recorded report was matched and every answer given
  std::string text;       // what is said of the replay
};

class Replay {
 public:
  Replay(LinkServer& server, std::string id, Recording recording, bool fast,
         std::function<void(const std::string&)> say = {});
  ~Replay();
  Replay(const Replay&) = delete;
  Replay& operator=(const Replay&) = delete;

  // Makes the recorded controller present; before the server starts, so that it is there at the
  // program's first search.
  void Attach();
  // Plays until the recording's end, a report other than the recorded one, or the program's
  // going; `stop` is asked every few tens of milliseconds and returns a reason to stop, or
  // nullptr. After the end the link stays open until the program goes (at most kLingerMs), so
  // that it can read the last answers: a closed link would fail reports it has not read yet.
  ReplayResult Run(const std::function<const char*()>& stop);

  static constexpr std::uint32_t kLingerMs = 2000;

 private:
  class Player;
  LinkServer& m_server;
  const std::string m_id;
  const std::function<void(const std::string&)> m_say;
  std::shared_ptr<Player> m_player;
};

}  // namespace kestro::link
