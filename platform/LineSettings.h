// The line settings of a port (speed, framing, flow control) between the DCB and termios.
#pragma once

#include "platform/Win32Api.h"

namespace LineSettings {
// Applies `dcb` to the terminal `fd` (raw mode, receiver on, modem-status lines ignored) and reads the
// result back; false with `error` set when a value is not supported or did not take.
bool Apply(int fd, const DCB& dcb, DWORD& error);
// Fills speed, framing and flow control of `dcb` from the terminal's current settings.
bool Read(int fd, DCB& dcb, DWORD& error);
} // namespace LineSettings
