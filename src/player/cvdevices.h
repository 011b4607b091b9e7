// Enumeration of output and recording devices, numbered as the output
// engine numbers them: output 0 is "No sound", outputs 1.. and recording
// devices 0.. are the system's devices in its order.
#pragma once

#include <QByteArray>
#include <QList>
#include <QtGlobal>

struct BASS_DEVICEINFO
{
    const char *name = nullptr;   // local 8-bit encoding
    const char *driver = nullptr;
    quint32 flags = 0;
};

constexpr quint32 BASS_DEVICE_ENABLED = 1;
constexpr quint32 BASS_DEVICE_DEFAULT = 2;
constexpr quint32 BASS_DEVICE_LOOPBACK = 8;

// Fill `info` for the device and return true, or false past the last one.
// The strings stay valid until the next call for device 0.
bool BASS_GetDeviceInfo(quint32 device, BASS_DEVICEINFO *info);
bool BASS_RecordGetDeviceInfo(quint32 device, BASS_DEVICEINFO *info);

namespace CVDevices {

struct Device
{
    QByteArray name;   // local 8-bit encoding
    QByteArray driver;
    quint32 flags = BASS_DEVICE_ENABLED;
};

// Test seam: while set, the two functions above enumerate these lists
// instead of the system's devices (output 0 stays "No sound"; `outputs`
// are devices 1..., `inputs` recording devices 0...). Playback is not
// affected. clearFakeDevices() returns to the system's devices.
void setFakeDevices(const QList<Device> &outputs, const QList<Device> &inputs);
void clearFakeDevices();

} // namespace CVDevices
