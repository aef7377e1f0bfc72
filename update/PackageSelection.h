// Choosing the image to send: the user picks a package, the first record for the controller's
// model and variant is taken, and the user confirms its version.
#pragma once

#include <functional>

#include "hid/Hid.h"
#include "update/UpdateSession.h"

namespace kestro {

class PackageSelection {
 public:
  explicit PackageSelection(UpdateSession& session) : m_session(session) {}

  // True when an image was found and the user confirmed it; the UpdateContext then holds its
  // facts. For a normal-mode controller updateState is then 1 and `announce` has sent
  // SET_FIRMWARE_INFO (the framed protocol's); for a boot-mode one nothing is sent.
  bool SelectPackageImage(DeviceKindValue kind, const std::function<void()>& announce);

 private:
  UpdateSession& m_session;
};

}  // namespace kestro
