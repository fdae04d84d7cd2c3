// What the service hands a client that asks for a device (open_device).
//
// The loop driver lets whoever holds a descriptor of a loop device, or of a partition of one,
// detach it or re-point it at another file (LOOP_CLR_FD, LOOP_SET_FD, LOOP_CONFIGURE,
// LOOP_CHANGE_FD) without any further check, and device-mapper passes such requests on to the
// device below. So no client is handed a loop device nor a device that stands on one: a loop
// device that reads its whole file from the start is handed as that file instead, opened
// read-only and proven to be the very file the driver reads; every other device that has a loop
// device in its stack is refused. The service's own reads (the exporters, icat) go on using the
// device itself: those descriptors stay in the service.
#pragma once

#include <expected>
#include <string>

#include "platform/device.h"

namespace kavel_lib::platform {

// The device a client may hold for `device`, which Device::open gave (its name and offset kept):
// an image file, or a block device with no loop device in its stack, as it is; a loop device
// with offset 0 and no size limit over a regular file whose length, rounded down to 512 bytes, is
// the loop device's size, as a read-only descriptor of that file, found by the name sysfs gives
// it and proven by device and inode to be the file the driver holds. Anything else is refused
// with a text that names the drive, says why and what to map instead: "E: is the partition
// /dev/loop0p1 of the loop device /dev/loop0, which cannot be handed to a client: ...".
std::expected<Device, std::string> device_for_client(Device device);

}  // namespace kavel_lib::platform
