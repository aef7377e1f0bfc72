// Choosing the image to send: the user picks a package, the first record for the controller's
// model and variant is taken, and the user confirms its version.
#pragma once

#include "hid/Hid.h"
#include "update/UpdateSession.h"

namespace kestro {

class PackageSelection {
 public:
  explicit PackageSelection(UpdateSession& session) : m_session(session) {}

  // True when an image was found and the user confirmed it; the UpdateContext then holds its
  // facts, the version word among them, and the controller is read with the transfer's short
  // time-out. Nothing is sent: announcing the image is the protocol's.
  bool SelectPackageImage();

 private:
  UpdateSession& m_session;
};

}  // namespace kestro
