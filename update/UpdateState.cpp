#include "update/UpdateState.h"

namespace kestro {

std::atomic<std::uint32_t> stopFlag{0};
std::atomic<std::uint32_t> updateState{kUpdateStateUninitialised};
std::atomic<std::uint32_t> deviceVersion{0};

}  // namespace kestro
