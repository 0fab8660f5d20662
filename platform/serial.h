// Serial ports: discovery with the device's USB identity where known, and raw byte I/O.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct SerialPortInfo {
    std::string name;         // "COM5" on Windows, "/dev/ttyACM0" elsewhere
    std::string description;  // friendly name, empty when unknown
    uint16_t vid = 0;         // USB vendor ID, 0 when not a USB port
    uint16_t pid = 0;         // USB product ID
};

std::vector<SerialPortInfo> serial_list_ports();

struct SerialPort;

// Opens a port raw, 8N1, at `baud`, with read calls returning after `read_timeout_ms`.
SerialPort* serial_open(const std::string& name, uint32_t baud, uint32_t read_timeout_ms);
// Returns the count read (0 on time-out) or -1 on error.
int64_t serial_read(SerialPort* port, void* buffer, size_t length);
int64_t serial_write(SerialPort* port, const void* data, size_t length);
void serial_close(SerialPort* port);
