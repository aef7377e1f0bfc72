// Ctrl-C. During an update of one controller the first press only warns (the controller is
// being written, and stopping leaves it without working firmware); the second stops the update
// within a second, whatever it waits for: the port's reads and writes fail, and its pauses end.
// Before anything is written the program ends at once, as the system ends an interrupted one.
// A program that runs many controllers counts the presses instead, and acts on them itself.
#pragma once

#include "cli/StopSignal.h"
#include "platform/HidPort.h"

namespace kestro::cli {

class TerminalHost;

namespace interrupts {

// At the program's start: a press before anything is written ends the program.
void Install();
// One controller's update: from now on, presses act on this port and these pauses.
void GuardUpdate(HidPort& port, StopSignal& stop, const TerminalHost& host);
// The update has ended: presses change nothing any more.
void EndUpdate();
// The update is stopped as if the second press had come (a parent that asks its child to stop).
void StopUpdate();
// Presses only counted, for a program that runs many controllers.
void CountOnly();
// Presses so far.
int Count();

}  // namespace interrupts
}  // namespace kestro::cli
