// The graphics built-ins of the core: device selection and control, erasing, image
// transfer and the window dispatchers. Every group of graphics built-ins registers here.
#include "graphics/device.h"

void register_graphics() {}
