// One update of one controller, whatever the front: the record of the update, both protocols,
// and the choice between them by the controller's kind. A front gives it the controller (CHid)
// and itself (UpdateHost), asks for the version, opens the controller and runs the update.
#pragma once

#include "hid/Hid.h"
#include "update/BootUpdate.h"
#include "update/FramedUpdate.h"
#include "update/UpdateContext.h"
#include "update/UpdateHost.h"
#include "update/UpdateSession.h"

namespace kestro {

class Updater {
 public:
  Updater(CHid& hid, UpdateHost& host) : m_session{hid, m_context, host} {}
  Updater(const Updater&) = delete;
  Updater& operator=(const Updater&) = delete;

  // The version of the controller found last, by its kind's protocol: deviceVersion is the
  // sentinel until it answers, and stays so when it cannot be opened.
  void QueryDeviceVersion();
  // The whole update of a controller of `kind` that the front has opened, from the choice of the
  // package to the outcome it tells the host.
  void Run(DeviceKindValue kind);

  // A boot-mode controller's model and variant were read from the controller found last.
  bool ModelKnown() const { return m_context.modelConnection == m_session.hid.Connection(); }

  UpdateContext& Context() { return m_context; }
  const UpdateContext& Context() const { return m_context; }
  // Each protocol's own steps, for tests of the wire.
  FramedUpdate& Framed() { return m_framed; }
  BootUpdate& Boot() { return m_boot; }

 private:
  UpdateContext m_context;
  UpdateSession m_session;
  BootUpdate m_boot{m_session};
  FramedUpdate m_framed{m_session};
};

}  // namespace kestro
