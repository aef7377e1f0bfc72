#include "tools/linkserver/Replay.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <limits>
#include <mutex>

#include "platform/link/LinkLine.h"

namespace kestro::link {
namespace {

using Kind = record::Event::Kind;

// How often Run looks at the program, the end and the stop request.
constexpr std::chrono::milliseconds kTick{50};

// The framed protocol's short packet that an updater writes after a read that got nothing: the
// count (5) and the packet. What follows it in the report is left from earlier writes.
constexpr std::uint8_t kRecvFailed[] = {0x05, 0x00, 0x1D, 0x01, 0x00, 0x00};

bool IsRecvFailed(const std::uint8_t* payload) {
  return std::equal(std::begin(kRecvFailed), std::end(kRecvFailed), payload);
}

std::string Hex(const std::uint8_t* bytes) { return ToHex(bytes, record::Payload().size()); }

std::string Seconds(std::uint64_t microseconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%.6f s", static_cast<double>(microseconds) / 1e6);
  return text;
}

}  // namespace

std::optional<Recording> ParseRecording(std::string_view text, std::string& error) {
  std::optional<Recording> recording;
  std::size_t number = 0;
  for (std::size_t start = 0; start < text.size();) {
    const std::size_t newline = text.find('\n', start);
    const bool whole = newline != std::string_view::npos;
    const std::size_t end = whole ? newline : text.size();
    const std::string line(text.substr(start, end - start));
    start = end + 1;
    ++number;
    if (!recording) {
      std::optional<record::Header> header = record::ParseHeader(line);
      if (!header) {
        error = "line 1 is not the first line of a recording";
        return std::nullopt;
      }
      recording.emplace().header = std::move(*header);
      continue;
    }
    std::optional<record::Event> event = record::ParseEvent(line);
    if (!event) {
      if (!whole) break;
      error = "line " + std::to_string(number) + " is not an event of a recording";
      return std::nullopt;
    }
    recording->events.push_back(std::move(*event));
    recording->lines.push_back(number);
  }
  if (!recording) error = "it is empty";
  return recording;
}

std::string PackageMismatch(const record::Header& header, const std::string& path) {
  if (!header.package) return "";
  const record::PackageFacts& wanted = *header.package;
  const std::string facts = wanted.name + " (" + std::to_string(wanted.size) + " bytes)";
  if (path.empty()) return "the recording was made with the package " + facts + ": give --package";
  std::error_code failed;
  const std::uintmax_t size = std::filesystem::file_size(path, failed);
  if (failed) return "--package " + path + ": cannot read it";
  if (std::filesystem::path(path).filename() != wanted.name) {
    return "--package " + path + ": not the recording's package " + facts;
  }
  if (size != wanted.size) {
    return "--package " + path + ": " + std::to_string(size) +
           " bytes, not the recording's package " + facts;
  }
  return "";
}

// The recorded controller as the server's device. Its answers and removal are queued on the
// server's timer, which keeps the player alive until they have gone.
class Replay::Player : public sim::Device, public std::enable_shared_from_this<Player> {
 public:
  enum class State { kPlaying, kComplete, kDiverged };

  Player(LinkServer& server, std::string id, Recording recording, bool fast,
         std::function<void(const std::string&)> say)
      : m_server(server),
        m_id(std::move(id)),
        m_recording(std::move(recording)),
        m_fast(fast),
        m_say(std::move(say)),
        // A boot loader is never sent RECV_FAILED: from its updater that would be a fault.
        m_recvFailedIsTiming(m_recording.header.controller.mode != "boot") {
    std::size_t outs = 0;
    for (std::size_t i = 0; i < m_recording.events.size(); ++i) {
      const record::Event& event = m_recording.events[i];
      m_outNumber.push_back(outs);
      if (event.kind != Kind::kOut) continue;
      ++outs;
      if (m_recvFailedIsTiming && IsRecvFailed(event.report.data())) {
        ++m_recvFailedRecorded;
      } else {
        m_expected.push_back(i);
      }
    }
  }

  std::uint16_t VendorId() const override { return m_recording.header.controller.vendorId; }
  std::uint16_t ProductId() const override { return m_recording.header.controller.productId; }

  void OnOutput(const sim::OutputReport& report, sim::DeviceHost&) override {
    const std::uint8_t* payload = report + 1;
    std::lock_guard lock(m_mutex);
    if (m_state == State::kDiverged) return;
    BeginLocked();
    if (m_recvFailedIsTiming && IsRecvFailed(payload)) {
      ++m_recvFailedSent;
      return;
    }
    // Also after the end, while the program may still read the last answers.
    if (m_matched == m_expected.size()) {
      Diverge("after the recording's last report: received " + Hex(payload));
      return;
    }
    const std::size_t at = m_expected[m_matched];
    const record::Payload& wanted = m_recording.events[at].report;
    const auto differs = std::mismatch(wanted.begin(), wanted.end(), payload);
    if (differs.first != wanted.end()) {
      char byte[80];
      std::snprintf(byte, sizeof byte,
                    ", first difference at byte %zu (expected %02x, received %02x)",
                    static_cast<std::size_t>(differs.first - wanted.begin()), *differs.first,
                    *differs.second);
      Diverge("at " + Describe(at) + ": expected " + Hex(wanted.data()) + ", received " +
              Hex(payload) + byte);
      return;
    }
    ++m_matched;
    PlayFrom(at + 1, m_recording.events[at].t);
  }

  // What comes before the first output report, timed from the program's connection.
  void Begin() {
    std::lock_guard lock(m_mutex);
    BeginLocked();
  }

  // The state once it is no longer `from`, or after `time`.
  State Wait(std::chrono::milliseconds time, State from) {
    std::unique_lock lock(m_mutex);
    m_changed.wait_for(lock, time, [&] { return m_state != from; });
    return m_state;
  }

  std::string Divergence() const {
    std::lock_guard lock(m_mutex);
    return "replay diverged " + m_divergence;
  }

  std::string Completion() const {
    std::lock_guard lock(m_mutex);
    std::string text = "replay complete: " + Matched();
    if (m_recvFailedIsTiming) {
      text += " (RECV_FAILED aside: " + std::to_string(m_recvFailedRecorded) + " recorded, " +
              std::to_string(m_recvFailedSent) + " sent)";
    }
    return text;
  }

  // How far the program got before `what` happened.
  std::string Progress(const std::string& what) const {
    std::lock_guard lock(m_mutex);
    if (m_matched == m_expected.size()) {
      return "replay incomplete: " + what + " after " + Matched() +
             ", before the recording's last answers were given";
    }
    const std::size_t next = m_expected[m_matched];
    return "replay incomplete: " + what + " after " + Matched() + "; the next is " +
           Describe(next) + ": " + Hex(m_recording.events[next].report.data());
  }

 private:
  std::string Matched() const {
    return std::to_string(m_matched) + " of " + std::to_string(m_expected.size()) +
           " recorded reports matched";
  }

  // "out 12 (line 15, t 1.234567 s)": where a recorded report is, counting outs from 0.
  std::string Describe(std::size_t event) const {
    return "out " + std::to_string(m_outNumber[event]) + " (line " +
           std::to_string(m_recording.lines[event]) + ", t " +
           Seconds(m_recording.events[event].t) + ")";
  }

  void BeginLocked() {
    if (m_begun) return;
    m_begun = true;
    if (m_say) m_say("program connected");
    PlayFrom(0, 0);
  }

  // Queues the answers recorded from event `from` up to the next report to match, timed from the
  // recorded time `anchor`; after the last of them, the recording's end.
  void PlayFrom(std::size_t from, std::uint64_t anchor) {
    const std::vector<record::Event>& events = m_recording.events;
    const std::size_t end = m_matched < m_expected.size() ? m_expected[m_matched] : events.size();
    for (std::size_t i = from; i < end; ++i) {
      const record::Event& event = events[i];
      // Rounded up: never before its time.
      const std::uint64_t distanceUs = event.t > anchor ? event.t - anchor : 0;
      const auto delayMs =
          m_fast ? 0u
                 : static_cast<std::uint32_t>(std::min<std::uint64_t>(
                       (distanceUs + 999) / 1000, std::numeric_limits<std::uint32_t>::max()));
      if (event.kind == Kind::kIn) {
        sim::Payload payload;
        std::copy(event.report.begin(), event.report.end(), payload);
        m_server.Input(m_id, payload, delayMs);
      } else if (event.kind == Kind::kRemoved) {
        m_server.After(delayMs, [self = shared_from_this(), i] { self->Remove(i); });
      }
      // The rest is what the program saw or decided (a read that got nothing, the image, the
      // outcome): it follows from the answers.
    }
    if (end == events.size()) m_server.After(0, [self = shared_from_this()] { self->Finish(); });
  }

  void Remove(std::size_t event) {
    // A controller pulled out: its interface goes and the system says so.
    m_server.Detach(m_id);
    m_server.Notify("removal");
    if (m_say) m_say("controller removed, as at " + Seconds(m_recording.events[event].t));
  }

  void Finish() {
    {
      std::lock_guard lock(m_mutex);
      if (m_state == State::kPlaying) m_state = State::kComplete;
    }
    m_changed.notify_all();
  }

  void Diverge(const std::string& why) {
    m_divergence = why;
    m_state = State::kDiverged;
    m_changed.notify_all();
  }

  LinkServer& m_server;
  const std::string m_id;
  const Recording m_recording;
  const bool m_fast;
  const std::function<void(const std::string&)> m_say;
  const bool m_recvFailedIsTiming;
  std::vector<std::size_t> m_expected;   // the events to match, in order
  std::vector<std::size_t> m_outNumber;  // of each event: how many outs are before it
  std::size_t m_recvFailedRecorded = 0;

  mutable std::mutex m_mutex;  // everything below
  std::condition_variable m_changed;
  State m_state = State::kPlaying;
  bool m_begun = false;
  std::size_t m_matched = 0;
  std::size_t m_recvFailedSent = 0;
  std::string m_divergence;
};

Replay::Replay(LinkServer& server, std::string id, Recording recording, bool fast,
               std::function<void(const std::string&)> say)
    : m_server(server),
      m_id(std::move(id)),
      m_say(std::move(say)),
      m_player(std::make_shared<Player>(server, m_id, std::move(recording), fast, m_say)) {}

Replay::~Replay() = default;

void Replay::Attach() { m_server.Attach(m_id, m_player); }

ReplayResult Replay::Run(const std::function<const char*()>& stop) {
  using State = Player::State;
  bool connected = false;
  for (;;) {
    State state = m_player->Wait(kTick, State::kPlaying);
    // Seen also when the program has gone again at once.
    if (!connected && m_server.WaitForClient(0)) {
      connected = true;
      m_player->Begin();
    }
    // A program that goes right after its last report leaves the end queued, due at once.
    if (state == State::kPlaying && m_server.ClientGone()) {
      state = m_player->Wait(kTick, State::kPlaying);
    }
    if (state == State::kDiverged) return {false, m_player->Divergence()};
    if (state == State::kComplete) break;
    if (m_server.ClientGone()) return {false, m_player->Progress("the program went")};
    if (const char* reason = stop()) return {false, m_player->Progress(reason)};
  }
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(kLingerMs);
  State state = State::kComplete;
  while (state == State::kComplete && !m_server.ClientGone() &&
         std::chrono::steady_clock::now() < until && !stop()) {
    state = m_player->Wait(kTick, State::kComplete);
  }
  // A report written just before the program went was taken before its going was seen.
  if (m_player->Wait(std::chrono::milliseconds(0), State::kComplete) == State::kDiverged) {
    return {false, m_player->Divergence()};
  }
  return {true, m_player->Completion()};
}

}  // namespace kestro::link
