// Device enumeration in the output engine's numbering, from Qt Multimedia.
#include "cvdevices.h"

#include <QAudioDevice>
#include <QMediaDevices>
#include <QMutex>

#include <atomic>
#include <optional>

namespace {

struct Fake
{
    QList<CVDevices::Device> outputs;
    QList<CVDevices::Device> inputs;
};

QMutex fakeMutex;
std::optional<Fake> fake;
std::atomic<int> fakeGeneration{0};

CVDevices::Device fromQt(const QAudioDevice &device, bool input)
{
    CVDevices::Device d;
    d.name = device.description().toLocal8Bit();
    d.driver = device.id();
    d.flags = BASS_DEVICE_ENABLED;
    if (device.isDefault())
        d.flags |= BASS_DEVICE_DEFAULT;
    // A monitor records what a sink plays.
    if (input && device.id().endsWith(".monitor"))
        d.flags |= BASS_DEVICE_LOOPBACK;
    return d;
}

QList<CVDevices::Device> systemDevices(bool input)
{
    {
        QMutexLocker lock(&fakeMutex);
        if (fake)
            return input ? fake->inputs : fake->outputs;
    }
    QList<CVDevices::Device> list;
    const auto devices = input ? QMediaDevices::audioInputs() : QMediaDevices::audioOutputs();
    for (const QAudioDevice &device : devices)
        list.append(fromQt(device, input));
    return list;
}

// One snapshot per enumeration, taken at device 0 and kept per thread, so
// the returned strings stay valid and the numbering consistent.
struct Snapshot
{
    QList<CVDevices::Device> devices;
    bool taken = false;
    int generation = 0;
};

bool fill(Snapshot &snapshot, bool input, quint32 index, BASS_DEVICEINFO *info)
{
    if (!info)
        return false;
    const int generation = fakeGeneration.load();
    if (index == 0 || !snapshot.taken || snapshot.generation != generation) {
        snapshot.devices = systemDevices(input);
        snapshot.taken = true;
        snapshot.generation = generation;
    }
    if (index >= quint32(snapshot.devices.size()))
        return false;
    const CVDevices::Device &d = snapshot.devices.at(qsizetype(index));
    info->name = d.name.constData();
    info->driver = d.driver.constData();
    info->flags = d.flags;
    return true;
}

} // namespace

bool BASS_GetDeviceInfo(quint32 device, BASS_DEVICEINFO *info)
{
    if (!info)
        return false;
    if (device == 0) {
        info->name = "No sound";
        info->driver = "";
        info->flags = BASS_DEVICE_ENABLED;
        return true;
    }
    thread_local Snapshot outputs;
    return fill(outputs, false, device - 1, info);
}

bool BASS_RecordGetDeviceInfo(quint32 device, BASS_DEVICEINFO *info)
{
    thread_local Snapshot inputs;
    return fill(inputs, true, device, info);
}

namespace CVDevices {

void setFakeDevices(const QList<Device> &outputs, const QList<Device> &inputs)
{
    QMutexLocker lock(&fakeMutex);
    fake = Fake{outputs, inputs};
    ++fakeGeneration;
}

void clearFakeDevices()
{
    QMutexLocker lock(&fakeMutex);
    fake.reset();
    ++fakeGeneration;
}

} // namespace CVDevices
