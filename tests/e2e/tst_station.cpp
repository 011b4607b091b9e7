// The whole program on a local station: three tone feeds on icecast2, a fake
// microphone and the output on PulseAudio, the reference service listing the
// first two feeds. Every case starts in its own directory, the feeds sounding.
#include <QtTest>

#include <QJsonArray>
#include <QJsonDocument>
#include <QSettings>

#include <memory>
#include <vector>

#include "desktop.h"
#include "servicefixture.h"
#include "stationharness.h"
#include "testsupport.h"

using namespace StationHarness;
using TestSupport::waitFor;

namespace {

const QString executable = QStringLiteral(ONDALINE_E2E_EXECUTABLE);
const QString stationId = TestSupport::Station().id;
const QString username = QStringLiteral("operator");
const QString password = QStringLiteral("Tone-Pass-7431");
const QString storedSid = QStringLiteral("e2e-stored-session");
const int userId = TestSupport::Station().userId;
constexpr double kTone1 = 440.0, kTone2 = 660.0, kMicTone = 1100.0;
constexpr int silenceMs = 2000, disconnectStartMs = 4000;
constexpr double kPeak = 0.125; // of every tone

QStringList reportedUrls(const QJsonObject &report)
{
    QStringList urls;
    for (const QJsonValue &info : report.value(QStringLiteral("sourcesInfo")).toArray())
        urls.append(info.toObject().value(QStringLiteral("streamUrl")).toString());
    return urls;
}

bool flag(const QJsonObject &report, const QString &url, const char *name)
{
    const QJsonArray infos = report.value(QStringLiteral("sourcesInfo")).toArray();
    const qsizetype i = reportedUrls(report).indexOf(url);
    return i >= 0 && infos.at(i).toObject().value(QLatin1String(name)).toBool();
}

} // namespace

class tst_Station : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void loginThroughTheForm();
    void silenceFailsOverAndBack();
    void disconnectFailsOverAtOnce();
    void stallFailsOverAndAnInactiveStallIsInaudible();
    void serviceListIsFollowedAndForbiddenLogsOut();
    void recordingSourceCoversSilentStreams();
    void restartWithStoredSessionKeepsTheSources();

private:
    QString ini() const { return m_work->filePath(QStringLiteral("ondaline.ini")); }
    QString url(int feed) const { return m_feeds.at(size_t(feed))->url().toString(); }
    QJsonObject lastReport() const { return m_reports.isEmpty() ? QJsonObject() : m_reports.last().second; }
    // The reported sources are `urls`, all connected and sounding, the first heard.
    bool sounding(const QStringList &urls) const
    {
        const QJsonObject r = lastReport();
        return reportedUrls(r) == urls && flag(r, urls.first(), "isActive") && std::all_of(urls.begin(), urls.end(), [&](const QString &u) {
                   return flag(r, u, "isConnected") && !flag(r, u, "isSilentSound");
               });
    }
    QByteArray reported() const { return QJsonDocument(lastReport()).toJson(QJsonDocument::Compact); }
    // The first report from the `from`th on that `matches`, in capture time; -1 when none.
    double reportedAt(qsizetype from, const std::function<bool(const QJsonObject &)> &matches)
    {
        for (const auto &r : m_reports.mid(from)) {
            if (matches(r.second))
                return m_out.positionMs() - double(QDateTime::currentMSecsSinceEpoch() - r.first);
        }
        return -1;
    }
    bool startProgram();
    bool showsMainView();
    bool showsLoginView() { return !showsMainView() && Pixels::logo(m_shot, m_program->window().geometry) > 2000; }
    void checkStoredStreams(const QStringList &urls, const QString &sid);
    // No silent gap, no two sources at once, no click at a switch.
    void judgeSwitch(const char *what, double atMs, bool fromSilence = false, double maxGapMs = 20.0);

    HeadlessDisplay m_display;
    PulseServer m_pulse;
    IcecastServer m_icecast;
    std::vector<std::unique_ptr<ToneFeed>> m_feeds;
    SinkTone m_mic { &m_pulse, QStringLiteral("ondaline_mic"), kMicTone };
    RefService m_service;
    QList<QPair<qint64, QJsonObject>> m_reports; // accepted by the service, stamped on arrival
    Capture m_out { &m_pulse };
    std::unique_ptr<QTemporaryDir> m_work;
    std::unique_ptr<Program> m_program;
    QImage m_shot;
    double m_heardFrom = 0;
};

void tst_Station::initTestCase()
{
    QString error;
    QVERIFY2(m_display.start(true, &error) && m_pulse.start(&error) && m_icecast.start(&error), qPrintable(error));
    for (const double tone : { kTone1, kTone2, 880.0 })
        m_feeds.push_back(std::make_unique<ToneFeed>(&m_icecast, QString::number(tone), tone));
    TestSupport::Station station;
    station.user = username;
    station.password = password;
    QVERIFY2(TestSupport::startService(m_service, station, ONDALINE_E2E_SERVICE_PORT, &error), qPrintable(error));
    connect(&m_service, &RefService::requestReceived, this, [this](const QString &path) {
        const auto last = m_service.requests(path).last();
        if (path == u"/api/player/state" && last.status == 200)
            m_reports.append({ QDateTime::currentMSecsSinceEpoch(), last.json() });
    });
}

void tst_Station::init()
{
    QString error;
    bool started = false;
    for (const auto &feed : m_feeds) {
        feed->resume();
        feed->setSilent(false);
        started = started || !feed->isRunning();
        QVERIFY2(feed->start(&error), qPrintable(error));
    }
    // A listener gets the feed's last seconds at once: what a stall leaves
    // the player depends on them.
    if (started)
        QTest::qWait(5000);
    m_mic.kill();
    QVERIFY(m_service.setStationStreams(stationId, { url(0), url(1) }));
    // Also undoes the revoked session of a 403 case that failed.
    m_service.addSession(storedSid, username);
    m_service.clearRequests();
    m_reports.clear();
    m_work = std::make_unique<QTemporaryDir>();
    // Every case but the login starts with a stored session, and with a
    // silence duration longer than what it provokes takes to be heard.
    const QByteArray test = QTest::currentTestFunction();
    const bool login = test == "loginThroughTheForm";
    QVERIFY(TestSupport::writeFile(ini(), QStringLiteral("[General]\nlanguage=en\nsilenceDetectionStartMs=%1\nsilenceDetectionEndMs=%2\n%3")
                                                  .arg(test.startsWith("disconnect") ? disconnectStartMs : test.startsWith("stall") ? 20000 : silenceMs)
                                                  .arg(silenceMs)
                                                  .arg(login ? QString() : u"sid="_qs + storedSid + u"\nusername="_qs + username)
                                                  .toUtf8()));
    QVERIFY2(startProgram(), m_program->describe());
    if (login)
        return;
    // Once both streams sound and the first is heard; the capture runs from then on.
    QVERIFY2(waitFor([&] { return sounding({ url(0), url(1) }); }, 30000), reported());
    QVERIFY2(m_out.start(&error), qPrintable(error));
    // A new recording may begin with what the sink held before it.
    m_heardFrom = m_out.onsetMs(kTone1, 0, 10000, 1000);
    QVERIFY2(m_heardFrom >= 0, qPrintable(m_out.describe(0, m_out.positionMs())));
    QVERIFY(waitFor([&] { return m_out.positionMs() > m_heardFrom + 1000; }, 10000));
}

void tst_Station::cleanup()
{
    m_program.reset();
    m_out.stop();
    const QString log = TestSupport::dayLogText(m_work->path());
    QVERIFY2(!log.contains(password), "the log holds the password");
    for (const auto &request : m_service.requests()) {
        const QString sid = request.json().value(QStringLiteral("sid")).toString();
        QVERIFY2(sid.isEmpty() || !log.contains(sid), qPrintable(u"the log holds the sid "_qs + sid));
    }
}

bool tst_Station::startProgram()
{
    m_program = std::make_unique<Program>(m_display);
    return m_program->start(executable, m_work->path()) && m_program->waitForWindow().id;
}

bool tst_Station::showsMainView()
{
    // The main view's grey left column, below the logo and station data.
    m_shot = m_display.shot();
    const QRect column(m_program->window().geometry.topLeft() + QPoint(20, 300), QSize(160, 20));
    return Pixels::count(m_shot.copy(column), [](QRgb p) { return (p & 0xffffff) == 0xf5f5f5; }) > 160 * 20 / 2;
}

// The streams are stored with userId:sid as their credentials.
void tst_Station::checkStoredStreams(const QStringList &urls, const QString &sid)
{
    const auto stored = TestSupport::storedSources(ini());
    QCOMPARE(stored.size(), urls.size());
    for (int i = 0; i < urls.size(); ++i)
        QCOMPARE(QUrl(stored.at(i).streamUrl), QUrl(QString(urls.at(i)).replace(u"//"_qs, QStringLiteral("//%1:%2@").arg(userId).arg(sid))));
}

void tst_Station::judgeSwitch(const char *what, double atMs, bool fromSilence, double maxGapMs)
{
    QVERIFY(waitFor([&] { return m_out.positionMs() > atMs + 800; }, 5000));
    const auto span = [&](double from, double to) { return slice(m_out.samples(), atMs + from, atMs + to); };
    // The tones' own steps from stretches away from the switch; every tone
    // has the same peak, two heard at once add up.
    const double ownStep = std::max(fromSilence ? 0 : largestStep(span(-700, -200)), largestStep(span(200, 700)));
    const double gap = fromSilence ? 0 : longestSilentGapMs(span(-100, 100));
    const double step = largestStep(span(-100, 100)), peak = peakLevel(span(-100, 100)), after = peakLevel(span(100, 700));
    const QString heard = QStringLiteral("%1 at %2 ms: gap %3 ms, step %4 against %5, peak %6 then %7; heard: %8")
                                  .arg(QLatin1String(what)).arg(atMs).arg(gap).arg(step).arg(ownStep).arg(peak).arg(after)
                                  .arg(m_out.describe(atMs - 500, atMs + 500));
    QVERIFY2(gap <= maxGapMs, qPrintable(heard));
    QVERIFY2(after <= 1.25 * kPeak && peak <= 1.25 * kPeak, qPrintable(u"both sources heard at once: "_qs + heard));
    QVERIFY2(ownStep > 0 && step <= 1.5 * ownStep, qPrintable(u"a click: "_qs + heard));
}

void tst_Station::loginThroughTheForm()
{
    QVERIFY2(waitFor([&] { return showsLoginView(); }, 20000), "no login view");
    QString error;
    QVERIFY2(m_out.start(&error), qPrintable(error));
    // The user name field has the focus when no user name is stored.
    const unsigned long window = m_program->window().id;
    m_display.typeText(window, username);
    m_display.pressKeys(window, { QStringLiteral("Tab") });
    m_display.typeText(window, password);
    const double loginAt = m_out.positionMs();
    m_display.pressKeys(window, { QStringLiteral("Return") });

    const double first = m_out.onsetMs(kTone1, loginAt, 30000);
    QVERIFY2(first >= 0, qPrintable(m_out.describe(loginAt, m_out.positionMs())));
    QVERIFY2(waitFor([&] { return sounding({ url(0), url(1) }); }, 20000), reported());

    const QString sid = TestSupport::storedValue(ini(), QStringLiteral("sid"));
    QVERIFY(!sid.isEmpty());
    QCOMPARE(TestSupport::storedValue(ini(), QStringLiteral("username")), username);
    checkStoredStreams({ url(0), url(1) }, sid);
    QVERIFY(showsMainView());
}

void tst_Station::silenceFailsOverAndBack()
{
    const qint64 silencedAt = QDateTime::currentMSecsSinceEpoch();
    const double from = m_out.positionMs();
    m_feeds[0]->setSilent(true);
    const double silence = m_out.onsetMs(0, from, 10000);
    const double second = m_out.onsetMs(kTone2, silence, silenceMs + 5000);
    QVERIFY2(silence >= 0 && second >= 0, qPrintable(m_out.describe(from, m_out.positionMs())));
    QVERIFY2(second - silence >= silenceMs - 100 && second - silence <= silenceMs + 3000,
             qPrintable(QStringLiteral("switched after %1 ms of silence").arg(second - silence)));
    QVERIFY(m_out.steady(0, silence + Capture::kWindowMs, second - Capture::kWindowMs));

    QVERIFY(waitFor([&] { return m_out.positionMs() > second + 1000; }, 5000));
    const qint64 soundedAt = QDateTime::currentMSecsSinceEpoch();
    m_feeds[0]->setSilent(false);
    const double back = m_out.onsetMs(kTone1, second, silenceMs + 5000);
    QVERIFY2(back >= 0, qPrintable(m_out.describe(second, m_out.positionMs())));
    // The sound reaches the player as late after the switch-on as the
    // silence did after the switch-off; half the duration still tells a
    // wait from none.
    const double soundArrived = silence + double(soundedAt - silencedAt);
    QVERIFY2(back - soundArrived >= silenceMs / 2 && back - soundArrived <= silenceMs + 3000,
             qPrintable(QStringLiteral("back after %1 ms of sound").arg(back - soundArrived)));
    judgeSwitch("silence to second tone", second, true);
    judgeSwitch("second tone back to first", back);
}

void tst_Station::disconnectFailsOverAtOnce()
{
    const double killedAt = m_out.positionMs();
    m_feeds[0]->kill();
    const double second = m_out.onsetMs(kTone2, killedAt - 100, 15000);
    QVERIFY2(second >= 0 && second - killedAt < disconnectStartMs, qPrintable(m_out.describe(killedAt - 200, m_out.positionMs())));
    judgeSwitch("disconnect", second);

    // Back only after a full sound duration once connected again.
    QVERIFY(waitFor([&] { return m_out.positionMs() > second + disconnectStartMs + 2000; }, disconnectStartMs + 8000));
    const qsizetype reportsBefore = m_reports.size();
    QString error;
    QVERIFY2(m_feeds[0]->start(&error), qPrintable(error));
    const double restartedAt = m_out.positionMs();
    const double back = m_out.onsetMs(kTone1, restartedAt - 100, 30000);
    QVERIFY2(back >= 0, qPrintable(m_out.describe(restartedAt, m_out.positionMs())));
    const double connected = reportedAt(reportsBefore, [&](const QJsonObject &r) { return flag(r, url(0), "isConnected"); });
    QVERIFY2(connected >= 0, "no report showed the first source connected again");
    // The report may come late on a busy machine: half the duration still tells a wait from none.
    QVERIFY2(back - connected >= silenceMs / 2 && back - restartedAt >= silenceMs / 2,
             qPrintable(QStringLiteral("back %1 ms after the reconnection").arg(back - connected)));
    judgeSwitch("reconnected first tone", back);
}

void tst_Station::stallFailsOverAndAnInactiveStallIsInaudible()
{
    // icecast keeps a source 10 s without data: resume before that.
    const double stalledAt = m_out.positionMs();
    m_feeds[0]->pause();
    const double second = m_out.onsetMs(kTone2, stalledAt, 8000);
    waitFor([&] { return m_out.positionMs() > second + 1500; }, 3000);
    m_feeds[0]->resume();
    QVERIFY2(second >= 0, qPrintable(m_out.describe(stalledAt, m_out.positionMs())));
    // A stall is known after a second without data; what the player holds by then varies.
    judgeSwitch("stall", second, false, 150.0);
    const double back = m_out.onsetMs(kTone1, second, 30000);
    QVERIFY2(back >= 0, qPrintable(m_out.describe(second, m_out.positionMs())));
    judgeSwitch("first tone after the stall", back);

    QVERIFY(waitFor([&] { return m_out.positionMs() > back + 1500; }, 5000));
    const double quietFrom = m_out.positionMs();
    const double ownStep = largestStep(slice(m_out.samples(), quietFrom - 1000, quietFrom));
    m_feeds[1]->pause();
    waitFor([&] { return m_out.positionMs() > quietFrom + 2200; }, 10000);
    m_feeds[1]->resume();
    waitFor([&] { return m_out.positionMs() > quietFrom + 3700; }, 10000);
    const double quietTo = m_out.positionMs();
    const auto quiet = slice(m_out.samples(), quietFrom, quietTo);
    QVERIFY2(m_out.steady(kTone1, quietFrom, quietTo) && longestSilentGapMs(quiet) < 2.0 && largestStep(quiet) <= 1.5 * ownStep,
             qPrintable(u"the muted stream's stall was heard: "_qs + m_out.describe(quietFrom, quietTo)));
}

void tst_Station::serviceListIsFollowedAndForbiddenLogsOut()
{
    QVERIFY(m_service.setStationStreams(stationId, { url(0), url(2) }));
    // A change of the muted second source makes the program report; the reply carries the new list.
    m_feeds[1]->setSilent(true);
    QVERIFY2(waitFor([&] { return sounding({ url(0), url(2) }); }, 20000), reported());
    checkStoredStreams({ url(0), url(2) }, storedSid);
    const QString log = TestSupport::dayLogText(m_work->path());
    QVERIFY(log.contains(u"that was not received from the server"_qs) && log.contains(u"was received from the server"_qs));
    const double changed = m_out.positionMs();
    QVERIFY2(m_out.steady(kTone1, m_heardFrom, changed), qPrintable(m_out.describe(0, changed)));

    // The session revoked: the next report gets a 403.
    m_service.addSession(storedSid, QStringLiteral("revoked"));
    m_feeds[2]->setSilent(true);
    QVERIFY2(waitFor([&] { return TestSupport::storedValue(ini(), QStringLiteral("sid")).isEmpty(); }, 20000), "no logout after the 403");
    QVERIFY2(QSettings(ini(), QSettings::IniFormat).contains(QStringLiteral("sid")), "the empty sid is stored, not removed");
    // Every source stopped: the output falls silent and stays so.
    const double stoppedAt = m_out.positionMs();
    const double silence = m_out.onsetMs(0, stoppedAt - 500, 5000, 1000);
    QVERIFY(waitFor([&] { return m_out.positionMs() > silence + 2500; }, 5000));
    QVERIFY2(silence >= 0 && m_out.steady(0, silence, silence + 2500), qPrintable(m_out.describe(stoppedAt - 500, m_out.positionMs())));
    QVERIFY2(waitFor([&] { return showsLoginView(); }, 10000), "no login view after the 403");
}

void tst_Station::recordingSourceCoversSilentStreams()
{
    QString error;
    QVERIFY2(m_mic.start(&error), qPrintable(error));
    QPoint button;
    const QRect panel(m_program->window().geometry.topLeft(), QSize(200, 540));
    QVERIFY2(waitFor([&] {
                 showsMainView();
                 return Pixels::count(m_shot.copy(panel), [](QRgb p) { return (p & 0xffffff) == 0xddedea; }, &button) > 500;
             }, 10000),
             "no \"Add recording source\" button in the main view");
    m_display.click(panel.topLeft() + button);
    QString recording;
    QVERIFY2(waitFor([&] {
                 const auto stored = TestSupport::storedSources(ini());
                 recording = stored.size() == 3 ? stored.last().streamUrl : QString();
                 return recording.startsWith(QLatin1String("record:"));
             }, 10000),
             "the settings file holds no recording source");
    QVERIFY2(waitFor([&] { return reportedUrls(lastReport()) == QStringList { url(0), url(1), recording }; }, 10000), reported());
    const double added = m_out.positionMs();
    QVERIFY2(m_out.steady(kTone1, added - 1000, added), qPrintable(m_out.describe(0, added)));

    m_feeds[0]->setSilent(true);
    m_feeds[1]->setSilent(true);
    const double mic = m_out.onsetMs(kMicTone, added, silenceMs + 8000);
    QVERIFY2(mic >= 0, qPrintable(m_out.describe(added, m_out.positionMs())));
    m_feeds[0]->setSilent(false);
    QVERIFY2(m_out.onsetMs(kTone1, mic, silenceMs + 5000) >= 0, qPrintable(m_out.describe(mic, m_out.positionMs())));
}

void tst_Station::restartWithStoredSessionKeepsTheSources()
{
    // Quit through the tray's "Close": "No" keeps the program, "Yes" ends it.
    for (const bool yes : { false, true }) {
        QVERIFY2(m_program->closeThroughTray(), "no confirmation from the tray's Close");
        m_display.pressKeys(m_program->window().id, yes ? QStringList { u"Tab"_qs, u"space"_qs } : QStringList { u"Tab"_qs, u"Tab"_qs, u"space"_qs });
        QVERIFY2(yes || waitFor([&] { return !m_program->dimmed(); }, 10000), "\"No\" did not close the dialog");
    }
    QCOMPARE(m_program->waitForExit(), 0);
    QSettings(ini(), QSettings::IniFormat).setValue(QStringLiteral("sources/1/volumeLevel"), 0.5);

    m_reports.clear();
    QVERIFY2(startProgram(), m_program->describe());
    QVERIFY2(waitFor([&] { return sounding({ url(0), url(1) }); }, 20000), reported());
    checkStoredStreams({ url(0), url(1) }, storedSid);
    QCOMPARE(TestSupport::storedSources(ini()).at(0).volumeLevel, 0.5);
    QVERIFY2(waitFor([&] { return showsMainView(); }, 10000), "no main view after the restart");
}

QTEST_GUILESS_MAIN(tst_Station)
#include "tst_station.moc"
