#include "statereply.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QJsonValue>

#include <algorithm>
#include <cmath>
#include <limits>

namespace StateReply {

namespace {

// Names, ids and file names; anything longer is no station's.
constexpr qsizetype maxTextLength = 8192;

enum class Type { Text, Int32, Int64, Streams };

struct Member
{
    const char *name;
    Type type;
    bool inVersionReply;
};

constexpr Member members[] = {
    {"sid", Type::Text, false},
    {"username", Type::Text, false},
    {"userId", Type::Int32, false},
    {"city", Type::Text, false},
    {"stationName", Type::Text, false},
    {"stationLogoFilename", Type::Text, false},
    {"streams", Type::Streams, false},
    {"newVersion", Type::Text, true},
    {"newVersionCode", Type::Int64, true},
    {"newVersionFilename", Type::Text, true},
};

bool isWhole(const QJsonValue &value, double min, double max)
{
    if (!value.isDouble())
        return false;
    const double number = value.toDouble();
    return std::isfinite(number) && std::floor(number) == number && number >= min && number <= max;
}

bool isStreamList(const QJsonValue &value)
{
    if (!value.isArray())
        return false;
    const QJsonArray streams = value.toArray();
    return std::all_of(streams.begin(), streams.end(), [](const QJsonValue &stream) {
        const QJsonValue url = stream.toObject().value(QLatin1String("streamUrl"));
        return stream.isObject() && url.isString() && url.toString().size() <= maxTextLength;
    });
}

bool hasType(const QJsonValue &value, Type type)
{
    switch (type) {
    case Type::Text:
        return value.isString() && value.toString().size() <= maxTextLength;
    case Type::Int32:
        return isWhole(value, std::numeric_limits<qint32>::min(), std::numeric_limits<qint32>::max());
    case Type::Int64:
        // Beyond 2^53 a JSON number is no longer a whole number we can trust.
        return isWhole(value, -9007199254740992.0, 9007199254740992.0);
    case Type::Streams:
        return isStreamList(value);
    }
    return false;
}

const char *typeName(Type type)
{
    switch (type) {
    case Type::Text:
        return "a text";
    case Type::Int32:
    case Type::Int64:
        return "a whole number";
    case Type::Streams:
        return "a list of streams";
    }
    return "";
}

} // namespace

QString check(const QByteArray &body, QJsonObject *reply, Kind kind)
{
    if (body.size() > maxBytes)
        return QStringLiteral("is larger than %1 bytes").arg(maxBytes);
    if (body.trimmed().isEmpty())
        return QStringLiteral("is empty");
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(body, &error);
    if (error.error != QJsonParseError::NoError)
        return QStringLiteral("is not JSON: %1 at offset %2").arg(error.errorString()).arg(error.offset);
    if (!document.isObject())
        return QStringLiteral("is not a JSON object");
    const QJsonObject object = document.object();
    const bool isState = kind == Kind::State;
    if (isState && !object.value(QLatin1String("sid")).isString())
        return QStringLiteral("has no \"sid\" text");
    for (const Member &member : members) {
        if (!isState && !member.inVersionReply)
            continue;
        const QJsonValue value = object.value(QLatin1String(member.name));
        // Absent or null: the member resets its property, as the service means.
        if (value.isUndefined() || value.isNull())
            continue;
        if (!hasType(value, member.type))
            return QStringLiteral("member \"%1\" is not %2").arg(QLatin1String(member.name),
                                                                 QLatin1String(typeName(member.type)));
    }
    // A session without its user would log the operator out.
    if (isState && !object.value(QLatin1String("sid")).toString().isEmpty()
        && !object.value(QLatin1String("userId")).isDouble())
        return QStringLiteral("has a \"sid\" but no \"userId\"");
    *reply = object;
    return {};
}

int nextRetryDelayMs(int previousMs)
{
    constexpr int firstMs = 2000;
    constexpr int periodMs = 60000;
    return previousMs <= 0 ? firstMs : std::min(previousMs * 2, periodMs);
}

} // namespace StateReply
