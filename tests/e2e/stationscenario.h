// Pieces of the end-to-end station scenarios: what the service saw, how a
// switch sounded on the output, and the figures the scenarios report.
#pragma once

#include <QJsonObject>
#include <QList>
#include <QPointer>
#include <QString>
#include <QStringList>

#include "stationharness.h"
#include "testsupport.h"

class RefService;

namespace Scenario {

[[nodiscard]] qint64 nowMs();
// The in-process service must keep answering while a test waits.
using TestSupport::waitFor;

// The tones of the station; a window is classified as the nearest of them.
constexpr double kTone1 = 440.0;
constexpr double kTone2 = 660.0;
constexpr double kTone3 = 880.0;
constexpr double kMicTone = 1100.0;

// What one switch between sources looked like on the output.
struct SwitchQuality
{
    double gapMs = 0;     // longest run below the silence level around the switch
    double step = 0;      // largest sample-to-sample step around the switch
    double ownStep = 0;   // the larger of the two tones' own largest steps
    double peak = 0;      // loudest sample around the switch
    double ownPeak = 0;   // the louder tone's own peak
    [[nodiscard]] double ratio() const { return ownStep > 0 ? step / ownStep : 0; }
};
// The switch at atMs from the tone heard before it to the one after it;
// either may be 0 (silence).
SwitchQuality switchQuality(const StationHarness::Capture &listener, double atMs, double before, double after);

// The state requests the service received, stamped on arrival.
class ServiceLog
{
public:
    struct Entry
    {
        qint64 atMs = 0;
        QString path;
        QJsonObject body;
        int status = 0;
    };

    explicit ServiceLog(RefService *service);
    ~ServiceLog();
    ServiceLog(const ServiceLog &) = delete;
    ServiceLog &operator=(const ServiceLog &) = delete;
    [[nodiscard]] QList<Entry> entries(const QString &path = {}) const;
    [[nodiscard]] int count(const QString &path) const;
    // Reports (state requests with a sid) since index `from` of entries(statePath).
    [[nodiscard]] QList<Entry> reportsSince(int from) const;
    // Stream URLs of a report's "sourcesInfo", in order.
    static QStringList reportedUrls(const QJsonObject &report);
    static QJsonObject sourceInfo(const QJsonObject &report, const QString &streamUrl);

private:
    QPointer<RefService> m_service;
    QMetaObject::Connection m_connection;
    QList<Entry> m_entries;
};

// Figures of the run, printed with qInfo and written as "name value unit"
// lines to a summary file.
class Figures
{
public:
    explicit Figures(QString path);
    void record(const QString &name, double value, const QString &unit);
    [[nodiscard]] QString path() const { return m_path; }

private:
    QString m_path;
};

} // namespace Scenario
