# The virtual device's logic in plain C: the driver runs it, the bridge names devices with it, and
# the native tests (tests/vhid) check it. Both builds take the list from here.
set(KESTRO_VHID_CORE_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/VhidReport.c
  ${CMAKE_CURRENT_LIST_DIR}/VhidIdentity.c
  ${CMAKE_CURRENT_LIST_DIR}/VhidDevice.c
  ${CMAKE_CURRENT_LIST_DIR}/VhidOutputQueue.c
)
