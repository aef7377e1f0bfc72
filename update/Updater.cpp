#include "update/Updater.h"

#include "update/UpdateState.h"

namespace kestro {

void Updater::QueryDeviceVersion() {
  deviceVersion = kVersionUnknown;
  if (!m_session.hid.OpenDevice()) return;
  if (DeviceKind.load() == kDeviceKindBoot) {
    m_boot.QueryBootInfo();
  } else {
    m_framed.QueryVersion();
  }
}

void Updater::Run(DeviceKindValue kind) {
  if (kind == kDeviceKindBoot) {
    m_boot.RunBootUpdate();
  } else {
    m_framed.Usb_UpdateThread();
  }
}

}  // namespace kestro
