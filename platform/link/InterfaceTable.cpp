#include "platform/link/InterfaceTable.h"

#include <algorithm>

namespace kestro::link {

std::uint64_t InterfaceTable::Attach(const std::wstring& path, HidAttributes attributes,
                                     InterfaceFlags flags) {
  Detach(path);
  const std::uint64_t number = m_nextInstance++;
  m_interfaces.push_back({{path, number}, attributes, flags});
  return number;
}

bool InterfaceTable::Detach(const std::wstring& path) {
  return std::erase_if(m_interfaces, [&](const Interface& i) { return i.instance.path == path; }) >
         0;
}

void InterfaceTable::DetachAll() { m_interfaces.clear(); }

std::uint64_t InterfaceTable::InstanceOf(const std::wstring& path) const {
  const Interface* found = Find(path);
  return found == nullptr ? 0 : found->instance.number;
}

InterfaceFlags* InterfaceTable::Flags(const std::wstring& path) {
  Interface* found = Find(path);
  return found == nullptr ? nullptr : &found->flags;
}

std::vector<std::wstring> InterfaceTable::Attached() const {
  std::vector<std::wstring> paths;
  for (const Interface& i : m_interfaces) paths.push_back(i.instance.path);
  return paths;
}

Outcome InterfaceTable::Open(const std::wstring& path, PortAccess access, PortHandle& handle) {
  const Interface* found = Find(path);
  if (found == nullptr) return Outcome::kNotPresent;
  if (found->flags.noOpen) return Outcome::kRefused;
  handle = m_nextHandle++;
  m_handles[handle] = {
      found->instance, access != PortAccess::Write, access != PortAccess::Read, {}};
  return Outcome::kDone;
}

bool InterfaceTable::Close(PortHandle handle) { return m_handles.erase(handle) > 0; }

std::size_t InterfaceTable::OpenHandles() const { return m_handles.size(); }

Outcome InterfaceTable::GetAttributes(PortHandle handle, HidAttributes& attributes) const {
  const auto h = m_handles.find(handle);
  if (h == m_handles.end()) return Outcome::kNoHandle;
  const Interface* live = Live(h->second);
  if (live == nullptr) return Outcome::kNotPresent;
  if (live->flags.noAttr) return Outcome::kRefused;
  attributes = live->attributes;
  return Outcome::kDone;
}

Outcome InterfaceTable::Write(PortHandle handle, Instance* target) const {
  const auto h = m_handles.find(handle);
  if (h == m_handles.end()) return Outcome::kNoHandle;
  if (!h->second.canWrite) return Outcome::kNoAccess;
  const Interface* live = Live(h->second);
  if (live == nullptr) return Outcome::kNotPresent;
  if (live->flags.stalled) return Outcome::kStalled;
  if (target != nullptr) *target = live->instance;
  return Outcome::kDone;
}

std::size_t InterfaceTable::Input(const std::wstring& path, const ReportBytes& report,
                                  Time readableAt) {
  const std::uint64_t number = InstanceOf(path);
  if (number == 0) return 0;
  std::size_t reached = 0;
  for (auto& [id, handle] : m_handles) {
    if (handle.instance.number != number || !handle.canRead) continue;
    // A report late to arrive holds back those behind it: they are read in the order sent.
    const Time at =
        handle.unread.empty() ? readableAt : std::max(readableAt, handle.unread.back().readableAt);
    handle.unread.push_back({at, report});
    if (handle.unread.size() > kUnreadReportLimit) handle.unread.pop_front();
    ++reached;
  }
  return reached;
}

Outcome InterfaceTable::Read(PortHandle handle, ReportBytes& report, Time readableBy,
                             Time* readableAt) {
  const auto h = m_handles.find(handle);
  if (h == m_handles.end()) return Outcome::kNoHandle;
  if (!h->second.canRead) return Outcome::kNoAccess;
  if (Live(h->second) == nullptr) return Outcome::kNotPresent;
  std::deque<Queued>& unread = h->second.unread;
  if (unread.empty() || unread.front().readableAt > readableBy) return Outcome::kNoReport;
  report = unread.front().report;
  if (readableAt != nullptr) *readableAt = unread.front().readableAt;
  unread.pop_front();
  return Outcome::kDone;
}

InterfaceTable::Interface* InterfaceTable::Find(const std::wstring& path) {
  const auto found = std::find_if(m_interfaces.begin(), m_interfaces.end(),
                                  [&](const Interface& i) { return i.instance.path == path; });
  return found == m_interfaces.end() ? nullptr : &*found;
}

const InterfaceTable::Interface* InterfaceTable::Find(const std::wstring& path) const {
  return const_cast<InterfaceTable*>(this)->Find(path);
}

const InterfaceTable::Interface* InterfaceTable::Live(const Handle& handle) const {
  const Interface* found = Find(handle.instance.path);
  return found != nullptr && found->instance.number == handle.instance.number ? found : nullptr;
}

}  // namespace kestro::link
