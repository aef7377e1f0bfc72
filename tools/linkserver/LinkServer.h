// The emulated controller's side of the device link: a TCP server on 127.0.0.1 that the link
// build of the program connects to once. It describes the attached HID interfaces, hands every
// output report to the emulated device hosted on that interface and carries the device's input
// reports back. The line protocol is fixed by the device-link contract.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/link/InterfaceTable.h"
#include "sim/Device.h"

namespace kestro::link {

struct OpenRecord {
  std::string id;
  std::uint64_t handle = 0;
  std::string access;  // "r", "w" or "rw"
};

class LinkServer {
 public:
  LinkServer();
  ~LinkServer();
  LinkServer(const LinkServer&) = delete;
  LinkServer& operator=(const LinkServer&) = delete;

  // Listens on 127.0.0.1:port (0 picks a free port). False when the socket cannot be set up.
  bool Start(std::uint16_t port = 0);
  std::uint16_t Port() const { return m_port; }
  // Closes the connection and the listening socket and ends the server's threads.
  void Stop();

  // Makes the interface present. Before the program's hello it becomes part of the start state
  // sent ahead of "ready"; afterwards an attach line is sent at once (and nothing else: follow it
  // with Notify("arrival") to tell the program). Attaching a present id replaces its device.
  // The flags are those the program's interface table will hold: noOpen and noAttr go on the
  // attach line, and an interface attached stalled is followed by its stall line.
  void Attach(const std::string& id, std::shared_ptr<sim::Device> device,
              InterfaceFlags flags = {});
  void Detach(const std::string& id);
  // "arrival", "removal" or "devnodes". False when no program is connected.
  bool Notify(const std::string& event);
  // True once the program has applied every line sent before; false on time-out or disconnect.
  bool Sync(std::uint32_t timeoutMs);
  // For a controller that is played rather than emulated (a recording): one input report from
  // the attached interface, as a device's own would go (delayMs from now, never before one
  // queued earlier). Nothing when the interface is not attached.
  void Input(const std::string& id, const sim::Payload& payload, std::uint32_t delayMs);
  // Runs `action` on the thread that sends the inputs, delayMs from now and after every input
  // queued before it has gone out: what a recording did after its last reports (a removal, its
  // end) comes after them. The action may call the server.
  void After(std::uint32_t delayMs, std::function<void()> action);

  // True once a program has said hello and was sent "ready".
  bool WaitForClient(std::uint32_t timeoutMs);
  // True once the connected program has gone (or none ever came and the server stopped).
  bool WaitForDisconnect(std::uint32_t timeoutMs);
  bool ClientConnected() const;
  bool ClientGone() const;

  std::vector<OpenRecord> Opens() const;
  std::vector<std::uint64_t> Closes() const;
  // Every line in both directions, in order: "> " sent to the program, "< " received from it.
  std::vector<std::string> LineLog() const;
  // How many output reports arrived for one interface.
  std::size_t OutputCount(const std::string& id) const;

 private:
  class Host;
  struct Interface {
    std::shared_ptr<sim::Device> device;
    std::shared_ptr<Host> host;
    InterfaceFlags flags;
  };
  struct PendingInput {
    std::chrono::steady_clock::time_point due{};
    std::string line{};
    std::string id{};
    std::function<void()> action{};  // instead of the line; id empty
  };

  void AcceptLoop();
  void ReadLoop(int socket);
  void HandleLine(const std::string& line);
  void HandleOutput(const std::string& id, const std::string& hex);
  void TimerLoop();
  // `host` nullptr: whichever device is attached under id.
  void QueueInput(const std::string& id, const Host* host, const sim::Payload& payload,
                  std::uint32_t delayMs);
  // Gives `pending` its due time, delayMs from now but not before the last; m_mutex held.
  void Enqueue(PendingInput pending, std::uint32_t delayMs);
  // Detaches the interface when `host` is still the one attached under `id` (any host: nullptr).
  void DetachIf(const std::string& id, const Host* host);
  // "stall ID": the interface takes no output reports any more; only for the host attached now.
  void StallIf(const std::string& id, const Host* host);
  // Writes one line to the program; false when none is connected. m_mutex must not be held.
  bool SendLine(const std::string& line);
  // The lines that make the interface present with its flags, in the order they go out.
  static std::vector<std::string> AttachLines(const std::string& id, const Interface& interface);

  std::uint16_t m_port = 0;
  int m_listenSocket = -1;

  mutable std::mutex m_mutex;  // everything below, except m_sendMutex's and m_deviceMutex's
  std::condition_variable m_changed;
  bool m_stopping = false;
  int m_clientSocket = -1;
  bool m_helloSeen = false;
  bool m_clientGone = false;
  std::vector<std::string> m_attachOrder;  // ids in order of attachment
  std::map<std::string, Interface> m_interfaces;
  std::vector<OpenRecord> m_opens;
  std::vector<std::uint64_t> m_closes;
  std::map<std::string, std::size_t> m_outputCounts;
  std::vector<std::string> m_lineLog;
  std::uint64_t m_nextSyncToken = 1;
  std::vector<std::string> m_syncAnswers;
  std::deque<PendingInput> m_pendingInputs;  // due times never decrease, so order is kept
  std::chrono::steady_clock::time_point m_lastInputDue;

  std::mutex m_sendMutex;    // one line at a time on the socket
  std::mutex m_deviceMutex;  // one output report at a time reaches the devices

  std::thread m_acceptThread;
  std::thread m_timerThread;
};

}  // namespace kestro::link
