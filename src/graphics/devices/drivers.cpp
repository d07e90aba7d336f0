#include "graphics/devices/drivers.h"

#include <cstdio>
#include <cstdlib>

void install_drivers() {
  for (DeviceRecord* d : {&x_device, &ps_device}) {
    if (install_device(*d)) continue;
    // A driver without a slot is a build fault: the table and the drivers disagree.
    fprintf(stderr, "no device slot for driver %s\n", d->name.chars);
    abort();
  }
}
