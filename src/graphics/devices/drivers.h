// The drivers of this folder and their entry into the device table of graphics, which
// cannot name them itself: it sits below.
#pragma once

#include "graphics/device.h"

extern DeviceRecord x_device;   // x.cpp
extern DeviceRecord ps_device;  // ps.cpp

// Puts the X and PostScript drivers into their slots of dev_list. Run before
// init_graphics by the session's start-up and by the tests that select devices without
// it. A second call changes nothing.
void install_drivers();
