#include "stationscenario.h"

#include <QDateTime>
#include <QFile>
#include <QJsonArray>

#include <algorithm>

#include "refservice.h"

namespace Scenario {

qint64 nowMs()
{
    return QDateTime::currentMSecsSinceEpoch();
}

SwitchQuality switchQuality(const StationHarness::Capture &listener, double atMs, double before, double after)
{
    // The tones' own steps come from quiet stretches away from the switch;
    // the switch itself is judged on the 200 ms around it.
    SwitchQuality q;
    if (before > 0) {
        q.ownStep = listener.largestStep(atMs - 700, atMs - 200);
        q.ownPeak = listener.peak(atMs - 700, atMs - 200);
    }
    if (after > 0) {
        q.ownStep = std::max(q.ownStep, listener.largestStep(atMs + 200, atMs + 700));
        q.ownPeak = std::max(q.ownPeak, listener.peak(atMs + 200, atMs + 700));
    }
    q.step = listener.largestStep(atMs - 100, atMs + 100);
    q.peak = listener.peak(atMs - 100, atMs + 100);
    if (before > 0 && after > 0)
        q.gapMs = listener.longestGapMs(atMs - 100, atMs + 100);
    return q;
}

// ---------------------------------------------------------------- ServiceLog

ServiceLog::ServiceLog(RefService *service) : m_service(service)
{
    m_connection = QObject::connect(service, &RefService::requestReceived, service, [this](const QString &path) {
        const QList<RefService::Request> matching = m_service->requests(path);
        if (matching.isEmpty())
            return;
        const RefService::Request &request = matching.last();
        m_entries.append(Entry { nowMs(), path, request.json(), request.status });
    });
}

ServiceLog::~ServiceLog()
{
    QObject::disconnect(m_connection);
}

QList<ServiceLog::Entry> ServiceLog::entries(const QString &path) const
{
    if (path.isEmpty())
        return m_entries;
    QList<Entry> matching;
    for (const Entry &entry : m_entries) {
        if (entry.path == path)
            matching.append(entry);
    }
    return matching;
}

int ServiceLog::count(const QString &path) const
{
    return int(entries(path).size());
}

QList<ServiceLog::Entry> ServiceLog::reportsSince(int from) const
{
    QList<Entry> reports;
    const QList<Entry> all = entries(QStringLiteral("/api/player/state"));
    for (int i = std::max(0, from); i < all.size(); ++i) {
        if (all.at(i).body.contains(QStringLiteral("sourcesInfo")))
            reports.append(all.at(i));
    }
    return reports;
}

QStringList ServiceLog::reportedUrls(const QJsonObject &report)
{
    QStringList urls;
    for (const QJsonValue &info : report.value(QStringLiteral("sourcesInfo")).toArray())
        urls.append(info.toObject().value(QStringLiteral("streamUrl")).toString());
    return urls;
}

QJsonObject ServiceLog::sourceInfo(const QJsonObject &report, const QString &streamUrl)
{
    for (const QJsonValue &info : report.value(QStringLiteral("sourcesInfo")).toArray()) {
        if (info.toObject().value(QStringLiteral("streamUrl")).toString() == streamUrl)
            return info.toObject();
    }
    return {};
}

// -------------------------------------------------------------------- Figures

Figures::Figures(QString path) : m_path(std::move(path))
{
    QFile::remove(m_path);
}

void Figures::record(const QString &name, double value, const QString &unit)
{
    const QString line = QStringLiteral("%1 %2 %3").arg(name).arg(value, 0, 'f', 1).arg(unit);
    qInfo().noquote() << "FIGURE" << line;
    QFile file(m_path);
    if (file.open(QIODevice::WriteOnly | QIODevice::Append))
        file.write(line.toUtf8() + '\n');
}

} // namespace Scenario
