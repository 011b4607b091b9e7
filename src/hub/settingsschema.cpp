#include "settingsschema.h"

#include <QDebug>
#include <QStringList>

#include <algorithm>

#include <cmath>

namespace SettingsSchema {

namespace {

QString storedText(const QVariant &value)
{
    // An unquoted comma in a hand edit reads as a list.
    return value.typeId() == QMetaType::QStringList ? value.toStringList().join(QLatin1Char(','))
                                                    : value.toString();
}

template<typename T>
T replaced(const char *name, const QString &text, T value)
{
    qWarning() << "Setting" << name << text << "from config is not valid, using" << value;
    return value;
}

template<typename T, typename Parse>
T readNumber(const QSettings &settings, const Key<T> &key, Parse parse)
{
    const QVariant stored = settings.value(QLatin1String(key.name));
    if (!stored.isValid())
        return key.defaultValue;
    const QString text = storedText(stored);
    bool ok = false;
    const T value = parse(text.trimmed(), &ok);
    if (!ok || !std::isfinite(double(value)))
        return replaced(key.name, text, key.defaultValue);
    if (value < key.min || value > key.max) {
        const T fixed = key.outOfRange == OutOfRange::UseDefault ? key.defaultValue
                                                                  : std::clamp(value, key.min, key.max);
        return replaced(key.name, text, fixed);
    }
    return value;
}

QList<int> presentIndexes(const QSettings &settings, const QString &sizeText)
{
    bool hasSize = false;
    const int size = sizeText.toInt(&hasSize);
    QList<int> indexes;
    const QStringList groups = settings.childGroups();
    for (const QString &group : groups) {
        bool isNumber = false;
        const int index = group.toInt(&isNumber);
        if (isNumber && index > 0 && (!hasSize || index <= size))
            indexes.append(index);
    }
    std::sort(indexes.begin(), indexes.end());
    const bool isListed = settings.contains(QStringLiteral("size")) || !groups.isEmpty();
    if (isListed && (!hasSize || size < 0 || size > indexes.size()))
        qWarning() << "Sources size" << sizeText << "from config is not valid, reading the" << indexes.size()
                   << "entries present";
    return indexes;
}

} // namespace

QList<StoredSource> readSources(QSettings &settings, qsizetype &leftOut)
{
    settings.beginGroup(QLatin1String(sourcesArray));
    QList<int> indexes = presentIndexes(settings, settings.value(QStringLiteral("size")).toString());
    leftOut = qMax<qsizetype>(0, indexes.size() - maxSources);
    indexes.resize(indexes.size() - leftOut);
    QList<StoredSource> sources;
    for (const int index : indexes) {
        settings.beginGroup(QString::number(index));
        sources.append({read(settings, streamUrl), read(settings, volumeLevel)});
        settings.endGroup();
    }
    settings.endGroup();
    return sources;
}

void writeSources(QSettings &settings, const QList<StoredSource> &sources)
{
    const QString array = QLatin1String(sourcesArray);
    settings.remove(array);
    settings.beginWriteArray(array, int(sources.size()));
    for (int i = 0; i < sources.size(); ++i) {
        settings.setArrayIndex(i);
        settings.setValue(QLatin1String(streamUrl.name), sources.at(i).streamUrl);
        settings.setValue(QLatin1String(volumeLevel.name), sources.at(i).volumeLevel);
    }
    settings.endArray();
}

int read(const QSettings &settings, const Key<int> &key)
{
    return readNumber(settings, key, [](const QString &text, bool *ok) { return text.toInt(ok); });
}

double read(const QSettings &settings, const Key<double> &key)
{
    return readNumber(settings, key, [](const QString &text, bool *ok) { return text.toDouble(ok); });
}

bool read(const QSettings &settings, const BoolKey &key)
{
    const QVariant stored = settings.value(QLatin1String(key.name));
    if (!stored.isValid())
        return key.defaultValue;
    const QString text = storedText(stored).trimmed().toLower();
    if (text == QLatin1String("true") || text == QLatin1String("1"))
        return true;
    if (text == QLatin1String("false") || text == QLatin1String("0"))
        return false;
    return replaced(key.name, storedText(stored), key.defaultValue);
}

QString read(const QSettings &settings, const TextKey &key)
{
    const QVariant stored = settings.value(QLatin1String(key.name));
    return stored.isValid() ? storedText(stored) : QString::fromUtf8(key.defaultValue);
}

QString languageCode(const QString &stored, const QString &systemLanguage)
{
    if (stored == QLatin1String("en"))
        return QStringLiteral("en");
    if (stored != QLatin1String("system"))
        return QStringLiteral("ru");
    if (systemLanguage.isEmpty()) {
        qWarning() << "Language is empty, using deafult - ru";
        return QStringLiteral("ru");
    }
    return systemLanguage.left(2);
}

} // namespace SettingsSchema
