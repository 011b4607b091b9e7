// Every key of the settings file with its type, default and valid range,
// and the one way a stored value is read: whatever the file holds, the
// program gets a usable value, and a value it replaced is said once.
#pragma once

#include <QList>
#include <QSettings>
#include <QString>

namespace SettingsSchema {

// What happens to a number outside its range: kept at the nearest bound,
// or replaced by the default where a bound would be a surprise (a volume of
// -1 is no wish for silence).
enum class OutOfRange { Clamp, UseDefault };

template<typename T>
struct Key
{
    const char *name;
    T defaultValue;
    T min;
    T max;
    OutOfRange outOfRange;
};

struct TextKey
{
    const char *name;
    const char *defaultValue;
};

struct BoolKey
{
    const char *name;
    bool defaultValue;
};

inline constexpr TextKey language{"language", "system"};
inline constexpr Key<int> logsStoreDays{"logsStoreDays", 30, 1, 365, OutOfRange::Clamp};
inline constexpr BoolKey showKeepRunningDialog{"showKeepRunningDialog", true};
// Checked against the device list as well, once the list is known.
inline constexpr Key<int> outputDeviceIndex{"outputDeviceIndex", 0, 0, 1000000, OutOfRange::UseDefault};
inline constexpr Key<double> silenceDetectionLevelDb{"silenceDetectionLevelDb", -50.0, -100.0, 0.0,
                                                     OutOfRange::Clamp};
inline constexpr Key<int> silenceDetectionStartMs{"silenceDetectionStartMs", 5000, 100, 1800000,
                                                  OutOfRange::Clamp};
inline constexpr Key<int> silenceDetectionEndMs{"silenceDetectionEndMs", 5000, 100, 1800000,
                                                OutOfRange::Clamp};
inline constexpr TextKey sid{"sid", ""};
inline constexpr TextKey username{"username", ""};
// The user the stored source list belongs to; a file without it belongs
// to the stored "username".
inline constexpr TextKey sourcesOwner{"sourcesOwner", ""};

// The "sources" array and the keys of each entry.
inline constexpr const char *sourcesArray = "sources";
inline constexpr TextKey streamUrl{"streamUrl", ""};
inline constexpr Key<double> volumeLevel{"volumeLevel", 1.0, 0.0, 2.0, OutOfRange::UseDefault};
// More would cost threads and memory without making the station safer.
inline constexpr int maxSources = 32;

// Absent keys give the default silently; a value that does not parse, is
// not finite or lies out of range gives a valid one and a warning.
int read(const QSettings &settings, const Key<int> &key);
double read(const QSettings &settings, const Key<double> &key);
bool read(const QSettings &settings, const BoolKey &key);
QString read(const QSettings &settings, const TextKey &key);

// The catalogue for a stored language: "en", the system's own for "system"
// (its interface language, e.g. "de-DE"), and "ru" for anything else.
QString languageCode(const QString &stored, const QString &systemLanguage);

// One entry of the "sources" array.
struct StoredSource
{
    QString streamUrl;
    double volumeLevel = 1.0;
};

// The entries present, in their order, not as many as "size" claims: a size
// of two billion must not keep the program from starting, and entries past
// a sane size are stale ones an older build left behind. At most
// maxSources are read; `leftOut` tells how many more there were.
QList<StoredSource> readSources(QSettings &settings, qsizetype &leftOut);
// The array written afresh: entries beyond the new size (a deleted source's
// URL carries the session id) must not stay in the file.
void writeSources(QSettings &settings, const QList<StoredSource> &sources);

} // namespace SettingsSchema
