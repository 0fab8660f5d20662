// The libusb 0.1 interface, loaded at run time (libusb0.dll on Windows, libusb-0.1.so.4
// elsewhere). Only the calls the device bridge needs are bound; none of them is usable before
// usb0_load has succeeded.
#pragma once

#include <cstdint>

struct usb0_device;     // struct usb_device of libusb 0.1, used through the accessors below
struct usb0_dev_handle;  // usb_dev_handle

struct Usb0DeviceInfo {
    usb0_device* device;
    uint16_t vid;
    uint16_t pid;
    uint8_t bus_number;
    uint8_t device_address;
};

// Loads the library and binds its functions. False when it is not installed.
bool usb0_load();
bool usb0_loaded();

// usb_init, usb_find_busses, usb_find_devices, then a walk over every device.
int usb0_scan(void (*visit)(const Usb0DeviceInfo& info, void* context), void* context);

usb0_dev_handle* usb0_open(usb0_device* device);
int usb0_set_configuration(usb0_dev_handle* handle, int configuration);
int usb0_claim_interface(usb0_dev_handle* handle, int interface_number);
int usb0_release_interface(usb0_dev_handle* handle, int interface_number);
int usb0_bulk_write(usb0_dev_handle* handle, int endpoint, const void* data, int length, int timeout_ms);
int usb0_bulk_read(usb0_dev_handle* handle, int endpoint, void* data, int length, int timeout_ms);
int usb0_close(usb0_dev_handle* handle);
