#include "tests/hidraw/LinkedController.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>

#include "platform/link/LineReader.h"
#include "platform/link/ServerLine.h"

namespace kestro::hidraw::testing {
namespace {

// The next line of the link, or false at its end.
bool NextLine(int socket, link::LineReader& reader, std::string& line) {
  for (;;) {
    if (reader.Take(line) == link::LineReader::Next::kLine) return true;
    char bytes[4096];
    const ssize_t got = recv(socket, bytes, sizeof bytes, 0);
    if (got <= 0) return false;
    reader.Append(bytes, static_cast<std::size_t>(got));
  }
}

}  // namespace

LinkedController::~LinkedController() {
  m_closing = true;
  if (m_socket >= 0) shutdown(m_socket, SHUT_RDWR);
  if (m_follower.joinable()) m_follower.join();
  if (m_socket >= 0) close(m_socket);
}

std::shared_ptr<LinkedController> LinkedController::Connect(std::uint16_t port) {
  auto controller = std::shared_ptr<LinkedController>(new LinkedController);
  controller->m_socket = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (controller->m_socket < 0 ||
      connect(controller->m_socket, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    return nullptr;
  }
  controller->Send("hello 1");
  std::string line;
  while (NextLine(controller->m_socket, controller->m_reader, line)) {
    std::string why;
    const std::optional<link::ServerLine> parsed = link::ParseServerLine(line, why);
    if (!parsed) continue;
    if (parsed->verb == link::ServerLine::Verb::kAttach && controller->m_id.empty()) {
      controller->m_id = parsed->id;
      controller->m_vendorId = parsed->vendorId;
      controller->m_productId = parsed->productId;
    }
    if (parsed->verb == link::ServerLine::Verb::kReady) {
      return controller->m_id.empty() ? nullptr : controller;
    }
  }
  return nullptr;
}

std::shared_ptr<EmulatedNode> LinkedController::PlugInto(HidrawTestbed& bed) {
  m_bed = &bed;
  std::shared_ptr<EmulatedNode> node =
      bed.Plug(std::static_pointer_cast<sim::Device>(shared_from_this()));
  if (!node) return nullptr;
  m_node = node.get();
  m_follower = std::thread([this] { Follow(); });
  return node;
}

void LinkedController::OnOutput(const sim::OutputReport& report, sim::DeviceHost&) {
  static const char kDigits[] = "0123456789abcdef";
  std::string line = "output " + m_id + " ";
  for (const std::uint8_t b : report) {
    line += kDigits[b >> 4];
    line += kDigits[b & 15];
  }
  Send(line);
}

void LinkedController::Send(const std::string& line) {
  const std::string text = line + "\n";
  if (send(m_socket, text.data(), text.size(), MSG_NOSIGNAL) < 0) return;
}

void LinkedController::Follow() {
  std::string line;
  while (!m_closing && NextLine(m_socket, m_reader, line)) {
    std::string why;
    const std::optional<link::ServerLine> parsed = link::ParseServerLine(line, why);
    if (!parsed || parsed->id != m_id) {
      if (parsed && parsed->verb == link::ServerLine::Verb::kSync) Send("sync " + parsed->token);
      continue;
    }
    if (parsed->verb == link::ServerLine::Verb::kInput) {
      sim::Payload payload;
      std::copy(parsed->payload, parsed->payload + sizeof payload, payload);
      m_node->QueueReport(payload);
    } else if (parsed->verb == link::ServerLine::Verb::kDetach) {
      m_bed->Unplug(*m_node);
    }
  }
}

}  // namespace kestro::hidraw::testing
