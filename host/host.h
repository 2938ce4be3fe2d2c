// The start-up of the host: single instance, standard streams, log, command
// window, reader thread, main loop and stop sequence.
#pragma once

#include <cstdint>

#include "ormid/platform/platform.h"

// Runs the host; returns the process exit code (1 on every path).
int hostMain();

// Creates the hidden command window; false (logged) on failure.
bool createWindow();

// The command window's procedure: runs the operation of a command message on
// the main thread under processLock and signals eventEndProcessing.
std::intptr_t WndProcDocEditor(ormid::platform::WindowHandle window, std::uint32_t message,
                               std::uintptr_t wParam, std::intptr_t lParam);
