// PLACEHOLDER: replaced by the audio engine.
#include "cvdevices.h"
bool BASS_GetDeviceInfo(quint32 device, BASS_DEVICEINFO *info)
{
    if (device != 0 || !info)
        return false;
    info->name = "No sound";
    info->driver = "";
    info->flags = BASS_DEVICE_ENABLED;
    return true;
}
bool BASS_RecordGetDeviceInfo(quint32, BASS_DEVICEINFO *) { return false; }
