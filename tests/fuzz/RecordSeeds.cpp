// Writes seed inputs for the reply and update fuzz targets: the replies of the emulated
// controllers recorded during whole updates through the real dialog, in the fuzz targets' input
// formats. Run by make-seeds.sh.
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "app/UpdateDlg.h"
#include "res/resource.h"
#include "sim/BootController.h"
#include "sim/NormalController.h"
#include "sim/Package.h"
#include "tests/support/Environment.h"

namespace {

using namespace kestro;
using Bytes = std::vector<std::uint8_t>;

// Passes a controller's replies on and keeps a copy of each.
class Recorder : public sim::Device {
 public:
  explicit Recorder(std::shared_ptr<sim::Device> inner) : m_inner(std::move(inner)) {}
  std::uint16_t VendorId() const override { return m_inner->VendorId(); }
  std::uint16_t ProductId() const override { return m_inner->ProductId(); }
  void OnOutput(const sim::OutputReport& report, sim::DeviceHost& host) override {
    Tap tap(host, replies);
    m_inner->OnOutput(report, tap);
  }
  std::vector<Bytes> replies;

 private:
  class Tap : public sim::DeviceHost {
   public:
    Tap(sim::DeviceHost& host, std::vector<Bytes>& replies) : m_host(host), m_replies(replies) {}
    void SendInput(const sim::Payload& payload, std::uint32_t delayMs) override {
      m_replies.emplace_back(payload, payload + sim::kPayloadSize);
      m_host.SendInput(payload, delayMs);
    }
    void Detach() override { m_host.Detach(); }
    void StopTakingOutput() override { m_host.StopTakingOutput(); }
    std::uint64_t NowMs() override { return m_host.NowMs(); }

   private:
    sim::DeviceHost& m_host;
    std::vector<Bytes>& m_replies;
  };
  std::shared_ptr<sim::Device> m_inner;
};

// The replies of one whole update of a 100-byte image.
std::vector<Bytes> RecordUpdate(std::shared_ptr<sim::Device> controller, bool boot,
                                const std::string& packagePath) {
  sim::PackageRecord record;
  record.modelId = boot ? 0x0102 : 0;
  record.variant = boot ? 3 : 0;
  record.version = 150;
  record.image = sim::PatternImage(100, 3);
  if (!sim::WriteFileBytes(packagePath, sim::BuildPackage({record}))) return {};
  testing::Environment env;
  SetDiagnosticSink(nullptr);
  env.system.runThreadsInline = true;
  env.system.onFileDialog = [&](const OpenFileRequest&, std::wstring& path) {
    path = std::filesystem::path(packagePath).wstring();
    return true;
  };
  auto recorder = std::make_shared<Recorder>(std::move(controller));
  env.port.AttachDevice(L"pad", recorder);
  CUpdateDlg dialog(env.system, env.port);
  env.system.CreateDialog(dialog);
  env.system.Deliver(win::WM_COMMAND, IDC_UPDATE_BUTTON, 0);
  return recorder->replies;
}

// A reply seed: the mode byte, then the replies.
Bytes ReplySeed(std::uint8_t mode, const std::vector<Bytes>& replies) {
  Bytes seed{mode};
  for (const Bytes& r : replies) seed.insert(seed.end(), r.begin(), r.end());
  return seed;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: record-seeds CORPUS_DIR\n");
    return 2;
  }
  const std::filesystem::path corpus = argv[1];
  const std::filesystem::path replyDir = corpus / "ReplyFuzz";
  const std::filesystem::path updateDir = corpus / "UpdateFuzz";
  std::filesystem::create_directories(replyDir);
  std::filesystem::create_directories(updateDir);
  const std::string package =
      (std::filesystem::temp_directory_path() / "record-seeds.dat").string();

  const auto framed = RecordUpdate(std::make_shared<sim::NormalController>(), false, package);
  const auto boot = RecordUpdate(std::make_shared<sim::BootController>(), true, package);
  const auto busy = RecordUpdate(
      std::make_shared<sim::BootController>(sim::BootConfig{.faults = {.busyForMs = 1500}}), true,
      package);
  std::filesystem::remove(package);
  if (framed.size() < 4 || boot.size() < 4 || busy.size() < 4) {
    std::fprintf(stderr, "record-seeds: an update did not run through\n");
    return 1;
  }
  bool ok = true;
  // Framed replies in each transfer state (mode bit 0 set, state in bits 1-2).
  for (std::uint8_t state = 0; state < 4; ++state) {
    ok &= sim::WriteFileBytes((replyDir / ("framed-update-state" + std::to_string(state))).string(),
                              ReplySeed(static_cast<std::uint8_t>(1 | state << 1), framed));
  }
  // Boot replies for each exchange (mode bit 0 clear, exchange in the bits above).
  const char* exchanges[] = {"info", "start", "block", "finish", "query"};
  for (std::uint8_t exchange = 0; exchange < 5; ++exchange) {
    ok &= sim::WriteFileBytes((replyDir / (std::string("boot-") + exchanges[exchange])).string(),
                              ReplySeed(static_cast<std::uint8_t>(exchange << 1), boot));
  }
  ok &= sim::WriteFileBytes((replyDir / "boot-start-busy").string(), ReplySeed(1 << 1, busy));

  // Update scripts: mode, image length (LE16), version, beta, then one act per report.
  const std::vector<std::pair<const char*, Bytes>> scripts = {
      {"framed-clean", {0, 100, 0, 123, 0, 0}},
      {"framed-late-and-repeated", {4, 200, 0, 150, 1, 4, 60, 6, 0, 5, 0, 4, 250, 0, 6}},
      {"framed-erase-then-unplugged", {8, 64, 0, 99, 0, 0, 0, 0, 0, 7, 0}},
      {"boot-clean", {1, 100, 0, 123, 0, 0}},
      {"boot-late-ack-then-lost-frame", {1, 200, 0, 150, 2, 0, 0, 4, 50, 5, 0, 4, 200, 6, 0}},
      {"boot-busy-start-decoy-first", {11, 47, 0, 77, 0, 0, 0, 0, 0, 7, 0}},
  };
  for (const auto& [name, script] : scripts) {
    ok &= sim::WriteFileBytes((updateDir / name).string(), script);
  }
  if (!ok) {
    std::fprintf(stderr, "record-seeds: cannot write into %s\n", corpus.string().c_str());
    return 1;
  }
  return 0;
}
