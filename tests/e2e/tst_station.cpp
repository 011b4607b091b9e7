// The whole program on a local station: a display with a tray, PulseAudio
// with a null output and a fake microphone (1100 Hz), icecast2 with three
// tone feeds (440, 660, 880 Hz) and the reference service listing feeds one
// and two. Every case starts from its own working directory and settings
// file, with the feeds sounding, and is judged on what the output carried,
// the log, the settings file and the reports the service received.
#include <QtTest>

#include <QJsonArray>
#include <QSettings>

#include <memory>
#include <vector>

#include "desktop.h"
#include "servicefixture.h"
#include "stationharness.h"
#include "testsupport.h"

using StationHarness::Capture;
using TestSupport::waitFor;

namespace {

const QString executable = QStringLiteral(ONDALINE_E2E_EXECUTABLE);
const QString artefactDir = QStringLiteral(ONDALINE_ARTEFACT_DIR);
const QString statePath = QStringLiteral("/api/player/state");
const QString stationId = QStringLiteral("e2e");
const QString username = QStringLiteral("operator");
const QString password = QStringLiteral("Tone-Pass-7431");
const QString storedSid = QStringLiteral("e2e-stored-session");
constexpr int userId = 7;
constexpr double kTone1 = 440.0, kTone2 = 660.0, kMicTone = 1100.0;
constexpr int silenceMs = 2000;
constexpr double kPeak = 0.125; // of every tone // both durations, short to keep a run short

QStringList reportedUrls(const QJsonObject &report)
{
    QStringList urls;
    for (const QJsonValue &info : report.value(QStringLiteral("sourcesInfo")).toArray())
        urls.append(info.toObject().value(QStringLiteral("streamUrl")).toString());
    return urls;
}

bool flag(const QJsonObject &report, const QString &url, const char *name)
{
    for (const QJsonValue &info : report.value(QStringLiteral("sourcesInfo")).toArray()) {
        if (info.toObject().value(QStringLiteral("streamUrl")).toString() == url)
            return info.toObject().value(QLatin1String(name)).toBool();
    }
    return false;
}

// What the service received, stamped on arrival.
struct Request
{
    qint64 atMs = 0;
    QString path;
    QJsonObject body;
    int status = 0;
};

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
    QJsonObject lastReport() const { return m_service.lastReport(stationId); }
    QList<Request> requests(const QString &path, qsizetype from = 0) const
    {
        QList<Request> matching;
        for (const Request &r : m_requests)
            matching += r.path == path ? QList<Request> { r } : QList<Request> {};
        return matching.mid(from);
    }
    void writeSettings(int startMs, bool withSession = true);
    bool startProgram();
    // With the stored session, once both streams sound and the first is
    // heard; the capture runs from then on.
    void startLoggedIn(int startMs = silenceMs);
    bool showsMainView(const QString &name);
    bool showsLoginView(const QString &name) { return !showsMainView(name) && Pixels::logo(m_shot, m_window.geometry) > 2000; }
    bool waitForReportedUrls(const QStringList &urls, int timeoutMs = 20000);
    void checkStoredStreams(const QStringList &urls, const QString &sid);
    // No silent gap, no two sources at once, no click at a switch.
    void judgeSwitch(const char *what, double atMs, bool fromSilence = false, double maxGapMs = 20.0);

    HeadlessDisplay m_display;
    StationHarness::PulseServer m_pulse;
    StationHarness::IcecastServer m_icecast;
    std::vector<std::unique_ptr<StationHarness::ToneFeed>> m_feeds;
    std::unique_ptr<StationHarness::SinkTone> m_mic;
    RefService m_service;
    QList<Request> m_requests;
    std::unique_ptr<Capture> m_out;
    std::unique_ptr<QTemporaryDir> m_work;
    std::unique_ptr<Program> m_program;
    HeadlessDisplay::TopLevel m_window;
    QImage m_shot;
    double m_heardFrom = 0;
};

void tst_Station::initTestCase()
{
    QVERIFY(QDir().mkpath(artefactDir));
    QString error;
    QVERIFY2(m_display.start(true, &error), qPrintable(error));
    QVERIFY2(m_pulse.start(&error), qPrintable(error));
    QVERIFY2(m_icecast.start(&error), qPrintable(error));
    for (const double tone : { kTone1, kTone2, 880.0 })
        m_feeds.push_back(std::make_unique<StationHarness::ToneFeed>(&m_icecast, QString::number(tone), tone));
    TestSupport::Station station;
    station.id = stationId;
    station.user = username;
    station.userId = userId;
    station.password = password;
    QVERIFY2(TestSupport::startService(m_service, station, ONDALINE_E2E_SERVICE_PORT, &error), qPrintable(error));
    connect(&m_service, &RefService::requestReceived, this, [this](const QString &path) {
        const auto last = m_service.requests(path).last();
        m_requests.append({ QDateTime::currentMSecsSinceEpoch(), path, last.json(), last.status });
    });
    m_out = std::make_unique<Capture>(&m_pulse);
    m_mic = std::make_unique<StationHarness::SinkTone>(&m_pulse, QStringLiteral("ondaline_mic"), kMicTone);
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
    m_mic->stop();
    QVERIFY(m_service.setStationStreams(stationId, { url(0), url(1) }));
    m_service.addSession(storedSid, username);
    m_requests.clear();
    m_work = std::make_unique<QTemporaryDir>();
}

void tst_Station::cleanup()
{
    m_program.reset();
    m_out->stop();
    const QString log = TestSupport::dayLogText(m_work->path());
    if (QTest::currentTestFailed())
        qInfo().noquote() << log;
    QVERIFY2(!log.contains(password), "the log holds the password");
    for (const auto &entry : std::as_const(m_requests)) {
        const QString sid = entry.body.value(QStringLiteral("sid")).toString();
        QVERIFY2(sid.isEmpty() || !log.contains(sid), qPrintable(u"the log holds the sid "_qs + sid));
    }
}

void tst_Station::writeSettings(int startMs, bool withSession)
{
    QVERIFY(TestSupport::writeFile(ini(), QStringLiteral("[General]\nlanguage=en\nsilenceDetectionStartMs=%1\nsilenceDetectionEndMs=%2\n%3")
                                                  .arg(startMs).arg(silenceMs)
                                                  .arg(withSession ? u"sid="_qs + storedSid + u"\nusername="_qs + username : QString())
                                                  .toUtf8()));
}

bool tst_Station::startProgram()
{
    m_program = std::make_unique<Program>();
    QString error;
    return m_program->start(executable, m_work->path(), m_display.programEnvironment(), &error)
            && m_program->waitForWindow(m_display, &m_window);
}

void tst_Station::startLoggedIn(int startMs)
{
    writeSettings(startMs);
    QVERIFY2(startProgram(), m_program->describe());
    QVERIFY2(waitForReportedUrls({ url(0), url(1) }, 30000), qPrintable(reportedUrls(lastReport()).join(u' ')));
    QVERIFY2(waitFor([&] {
                 const QJsonObject r = lastReport();
                 return flag(r, url(0), "isActive") && !flag(r, url(0), "isSilentSound")
                         && flag(r, url(1), "isConnected") && !flag(r, url(1), "isSilentSound");
             }, 30000),
             "the two streams never both sounded");
    QString error;
    QVERIFY2(m_out->start(&error), qPrintable(error));
    // A new recording may begin with what the sink held before it.
    m_heardFrom = m_out->waitForOnset(kTone1, 0, 10000, 1000);
    QVERIFY2(m_heardFrom >= 0, qPrintable(m_out->describe(0, m_out->positionMs())));
    QVERIFY(waitFor([&] { return m_out->positionMs() > m_heardFrom + 1000; }, 10000));
}

bool tst_Station::showsMainView(const QString &name)
{
    // The main view's grey left column, below the logo and station data.
    m_shot = m_display.shot(artefactDir + u'/' + name);
    const QRect column(m_window.geometry.topLeft() + QPoint(20, 300), QSize(160, 20));
    int count = 0;
    Pixels::colourCentre(m_shot, column, 0xf5f5f5, &count);
    return count > column.width() * column.height() / 2;
}

bool tst_Station::waitForReportedUrls(const QStringList &urls, int timeoutMs)
{
    return waitFor([&] { return reportedUrls(lastReport()) == urls; }, timeoutMs);
}

// The streams are stored with userId:sid as their credentials.
void tst_Station::checkStoredStreams(const QStringList &urls, const QString &sid)
{
    const auto stored = TestSupport::storedSources(ini());
    QCOMPARE(stored.size(), urls.size());
    for (int i = 0; i < urls.size(); ++i) {
        const QUrl stream(stored.at(i).streamUrl);
        QCOMPARE(stream.adjusted(QUrl::RemoveUserInfo).toString(), urls.at(i));
        QCOMPARE(stream.userName(), QString::number(userId));
        QCOMPARE(stream.password(), sid);
    }
}

void tst_Station::judgeSwitch(const char *what, double atMs, bool fromSilence, double maxGapMs)
{
    QVERIFY(waitFor([&] { return m_out->positionMs() > atMs + 800; }, 5000));
    // The tones' own steps from stretches away from the switch; every tone
    // has the same peak, two heard at once add up.
    const double ownStep = std::max(fromSilence ? 0 : m_out->largestStep(atMs - 700, atMs - 200), m_out->largestStep(atMs + 200, atMs + 700));
    const double gap = fromSilence ? 0 : m_out->longestGapMs(atMs - 100, atMs + 100);
    const double step = m_out->largestStep(atMs - 100, atMs + 100);
    const double peak = m_out->peak(atMs - 100, atMs + 100);
    const double after = m_out->peak(atMs + 100, atMs + 700);
    const QString heard = QStringLiteral("%1 at %2 ms: gap %3 ms, step %4 against %5, peak %6 then %7; heard: %8")
                                  .arg(QLatin1String(what)).arg(atMs).arg(gap).arg(step).arg(ownStep).arg(peak).arg(after)
                                  .arg(m_out->describe(atMs - 500, atMs + 500));
    QVERIFY2(gap <= maxGapMs, qPrintable(heard));
    QVERIFY2(after <= 1.25 * kPeak && peak <= 1.25 * kPeak, qPrintable(u"both sources heard at once: "_qs + heard));
    QVERIFY2(ownStep > 0 && step <= 1.5 * ownStep, qPrintable(u"a click: "_qs + heard));
}

void tst_Station::loginThroughTheForm()
{
    writeSettings(silenceMs, false);
    QVERIFY2(startProgram(), m_program->describe());
    QVERIFY2(waitFor([&] { return showsLoginView(QStringLiteral("station-start.png")); }, 20000), "no login view");
    QString error;
    QVERIFY2(m_out->start(&error), qPrintable(error));
    // The user name field has the focus when no user name is stored.
    m_display.typeText(m_window.id, username);
    m_display.pressKeys(m_window.id, { QStringLiteral("Tab") });
    m_display.typeText(m_window.id, password);
    const double loginAt = m_out->positionMs();
    m_display.pressReturn(m_window.id);
    QVERIFY2(waitFor([&] {
                 const auto entries = requests(statePath);
                 return std::any_of(entries.begin(), entries.end(), [](const Request &e) {
                     return e.body.value(QStringLiteral("user")).toString() == username && e.status == 200;
                 });
             }, 15000),
             "the service received no accepted login");

    const double first = m_out->waitForOnset(kTone1, loginAt, 30000);
    QVERIFY2(first >= 0, qPrintable(m_out->describe(loginAt, m_out->positionMs())));
    // The second stream, started along with the first, is never heard before it.
    const double second = m_out->onsetMs(kTone2, loginAt, 20);
    QVERIFY2(second < 0 || second > first, qPrintable(m_out->describe(loginAt, first + 500)));
    QVERIFY(waitForReportedUrls({ url(0), url(1) }));
    QVERIFY(waitFor([&] { return !flag(lastReport(), url(1), "isSilentSound") && flag(lastReport(), url(1), "isConnected"); }, 20000));
    const double settled = m_out->positionMs() + 500;
    QVERIFY(waitFor([&] { return m_out->positionMs() > settled + 3000; }, 8000));
    QVERIFY2(m_out->steady(kTone1, settled, settled + 3000), qPrintable(m_out->describe(settled, settled + 3000)));

    const QString sid = TestSupport::storedValue(ini(), QStringLiteral("sid"));
    QVERIFY(!sid.isEmpty());
    QCOMPARE(TestSupport::storedValue(ini(), QStringLiteral("username")), username);
    checkStoredStreams({ url(0), url(1) }, sid);
    QVERIFY(showsMainView(QStringLiteral("station-main-view.png")));
}

void tst_Station::silenceFailsOverAndBack()
{
    startLoggedIn();
    if (QTest::currentTestFailed())
        return;
    const qint64 silencedAt = QDateTime::currentMSecsSinceEpoch();
    const double from = m_out->positionMs();
    m_feeds[0]->setSilent(true);
    const double silence = m_out->waitForOnset(0, from, 10000);
    const double second = m_out->waitForOnset(kTone2, silence, silenceMs + 5000);
    QVERIFY2(silence >= 0 && second >= 0, qPrintable(m_out->describe(from, m_out->positionMs())));
    QVERIFY2(second - silence >= silenceMs - 100 && second - silence <= silenceMs + 3000,
             qPrintable(QStringLiteral("switched after %1 ms of silence").arg(second - silence)));
    QVERIFY(m_out->steady(0, silence + Capture::kWindowMs, second - Capture::kWindowMs));

    QTest::qWait(1000);
    const qint64 soundedAt = QDateTime::currentMSecsSinceEpoch();
    m_feeds[0]->setSilent(false);
    const double back = m_out->waitForOnset(kTone1, second, silenceMs + 5000);
    QVERIFY2(back >= 0, qPrintable(m_out->describe(second, m_out->positionMs())));
    // The sound reaches the player as late after the switch-on as the silence did after the switch-off.
    const double soundArrived = silence + double(soundedAt - silencedAt);
    // Estimated from the switch-off: half the duration still tells a wait from none.
    QVERIFY2(back - soundArrived >= silenceMs / 2 && back - soundArrived <= silenceMs + 3000,
             qPrintable(QStringLiteral("back after %1 ms of sound").arg(back - soundArrived)));
    judgeSwitch("silence to second tone", second, true);
    judgeSwitch("second tone back to first", back);
}

void tst_Station::disconnectFailsOverAtOnce()
{
    // A silence duration of 4 s: a switch before it comes from the disconnection.
    constexpr int startMs = 4000;
    startLoggedIn(startMs);
    if (QTest::currentTestFailed())
        return;
    const double killedAt = m_out->positionMs();
    m_feeds[0]->kill();
    const double second = m_out->waitForOnset(kTone2, killedAt - 100, 15000);
    QVERIFY2(second >= 0 && second - killedAt < startMs, qPrintable(m_out->describe(killedAt - 200, m_out->positionMs())));
    judgeSwitch("disconnect", second);

    // Back only after a full sound duration once connected again.
    QTest::qWait(startMs + 1000);
    const qsizetype reportsBefore = requests(statePath).size();
    QString error;
    QVERIFY2(m_feeds[0]->start(&error), qPrintable(error));
    const double restartedAt = m_out->positionMs();
    const double back = m_out->waitForOnset(kTone1, restartedAt - 100, 30000);
    QVERIFY2(back >= 0, qPrintable(m_out->describe(restartedAt, m_out->positionMs())));
    double connected = -1;
    for (const auto &report : requests(statePath, reportsBefore)) {
        if (connected < 0 && flag(report.body, url(0), "isConnected"))
            connected = m_out->positionAt(report.atMs);
    }
    QVERIFY2(connected >= 0, "no report showed the first source connected again");
    // The report may come late on a busy machine: half the duration still tells a wait from none.
    QVERIFY2(back - connected >= silenceMs / 2 && back - restartedAt >= silenceMs / 2,
             qPrintable(QStringLiteral("back %1 ms after the reconnection").arg(back - connected)));
    judgeSwitch("reconnected first tone", back);
}

void tst_Station::stallFailsOverAndAnInactiveStallIsInaudible()
{
    // A silence duration of 20 s: a switch before it comes from the stall.
    startLoggedIn(20000);
    if (QTest::currentTestFailed())
        return;
    // icecast keeps a source 10 s without data: resume before that.
    const double stalledAt = m_out->positionMs();
    m_feeds[0]->pause();
    const double second = m_out->waitForOnset(kTone2, stalledAt, 8000);
    waitFor([&] { return m_out->positionMs() > second + 1500; }, 3000);
    m_feeds[0]->resume();
    QVERIFY2(second >= 0, qPrintable(m_out->describe(stalledAt, m_out->positionMs())));
    // A stall is known after a second without data; what the player holds by then varies.
    judgeSwitch("stall", second, false, 150.0);
    const double back = m_out->waitForOnset(kTone1, second, 30000);
    QVERIFY2(back >= 0, qPrintable(m_out->describe(second, m_out->positionMs())));
    judgeSwitch("first tone after the stall", back);

    QVERIFY(waitFor([&] { return m_out->positionMs() > back + 1500; }, 5000));
    const double quietFrom = m_out->positionMs();
    const double ownStep = m_out->largestStep(quietFrom - 1000, quietFrom);
    m_feeds[1]->pause();
    QTest::qWait(2200);
    m_feeds[1]->resume();
    QTest::qWait(1500);
    const double quietTo = m_out->positionMs();
    QVERIFY2(m_out->steady(kTone1, quietFrom, quietTo) && m_out->longestGapMs(quietFrom, quietTo) < 2.0
                     && m_out->largestStep(quietFrom, quietTo) <= 1.5 * ownStep,
             qPrintable(u"the muted stream's stall was heard: "_qs + m_out->describe(quietFrom, quietTo)));
}

void tst_Station::serviceListIsFollowedAndForbiddenLogsOut()
{
    startLoggedIn();
    if (QTest::currentTestFailed())
        return;
    QVERIFY(m_service.setStationStreams(stationId, { url(0), url(2) }));
    // A change of the muted second source makes the program report; the reply carries the new list.
    m_feeds[1]->setSilent(true);
    QVERIFY2(waitForReportedUrls({ url(0), url(2) }), qPrintable(reportedUrls(lastReport()).join(u' ')));
    // Once it sounds, the new stream's silence makes the program report again.
    QVERIFY(waitFor([&] { return flag(lastReport(), url(2), "isConnected") && !flag(lastReport(), url(2), "isSilentSound"); }, 20000));
    checkStoredStreams({ url(0), url(2) }, storedSid);
    const QString log = TestSupport::dayLogText(m_work->path());
    QVERIFY(log.contains(QStringLiteral("that was not received from the server")));
    QVERIFY(log.contains(QStringLiteral("was received from the server")));
    const double changed = m_out->positionMs();
    QVERIFY2(m_out->steady(kTone1, m_heardFrom, changed), qPrintable(m_out->describe(0, changed)));

    const qsizetype logouts = requests(QStringLiteral("/api/player/logout")).size();
    m_service.forceNextReply(403, "{}", statePath);
    m_feeds[2]->setSilent(true);
    QVERIFY2(waitFor([&] { return requests(QStringLiteral("/api/player/logout")).size() > logouts; }, 20000),
             "no logout request after the 403");
    QVERIFY(waitFor([&] { return TestSupport::storedValue(ini(), QStringLiteral("sid")).isEmpty(); }, 5000));
    QVERIFY2(QSettings(ini(), QSettings::IniFormat).contains(QStringLiteral("sid")), "the empty sid is stored, not removed");
    QVERIFY(TestSupport::dayLogText(m_work->path()).contains(QStringLiteral("User logged out, stop all sources")));
    // Every source stopped: the output falls silent and stays so.
    const double stoppedAt = m_out->positionMs();
    const double silence = m_out->waitForOnset(0, stoppedAt - 500, 5000, 1000);
    QVERIFY(waitFor([&] { return m_out->positionMs() > silence + 2500; }, 5000));
    QVERIFY2(silence >= 0 && m_out->steady(0, silence, silence + 2500), qPrintable(m_out->describe(stoppedAt - 500, m_out->positionMs())));
    QVERIFY2(waitFor([&] { return showsLoginView(QStringLiteral("station-logged-out.png")); }, 10000), "no login view after the 403");

    // Closing the login view ends the program; the next start, without a
    // sid, shows the login view and reports nothing.
    QVERIFY(m_display.closeWindow(m_window.id));
    QCOMPARE(m_program->waitForExit(), 0);
    const qsizetype states = requests(statePath).size();
    QVERIFY2(startProgram(), m_program->describe());
    QVERIFY2(waitFor([&] { return showsLoginView(QStringLiteral("station-next-start.png")); }, 20000), "no login view at the next start");
    QTest::qWait(2000);
    QCOMPARE(requests(statePath).size(), states);
}

void tst_Station::recordingSourceCoversSilentStreams()
{
    startLoggedIn();
    if (QTest::currentTestFailed())
        return;
    QString error;
    QVERIFY2(m_mic->start(&error), qPrintable(error));
    QPoint button;
    int pixels = 0;
    QVERIFY2(waitFor([&] {
                 showsMainView(QStringLiteral("station-add-recording.png"));
                 button = Pixels::colourCentre(m_shot, QRect(m_window.geometry.topLeft(), QSize(200, m_window.geometry.height())), 0xddedea, &pixels);
                 return pixels > 500;
             }, 10000),
             "no \"Add recording source\" button in the main view");
    QVERIFY(m_display.click(button, 1));
    QVERIFY2(waitFor([&] {
                 const auto stored = TestSupport::storedSources(ini());
                 return stored.size() == 3 && stored.last().streamUrl.startsWith(QLatin1String("record:"));
             }, 10000),
             "the settings file holds no recording source");
    QVERIFY(waitForReportedUrls({ url(0), url(1), TestSupport::storedSources(ini()).last().streamUrl }, 10000));
    const double added = m_out->positionMs();
    QVERIFY2(m_out->steady(kTone1, added - 1000, added), qPrintable(m_out->describe(0, added)));

    const qsizetype reportsBefore = requests(statePath).size();
    m_feeds[0]->setSilent(true);
    m_feeds[1]->setSilent(true);
    const double mic = m_out->waitForOnset(kMicTone, added, silenceMs + 8000);
    QVERIFY2(mic >= 0, qPrintable(m_out->describe(added, m_out->positionMs())));
    // The streams fall silent at different times: the microphone takes over once both are.
    double bothSilent = -1;
    for (const auto &report : requests(statePath, reportsBefore)) {
        if (bothSilent < 0 && flag(report.body, url(0), "isSilentSound") && flag(report.body, url(1), "isSilentSound"))
            bothSilent = m_out->positionAt(report.atMs);
    }
    QVERIFY2(bothSilent >= 0 && mic - bothSilent <= 3000,
             qPrintable(QStringLiteral("%1 ms; heard: %2").arg(mic - bothSilent).arg(m_out->describe(added, mic + 500))));
    m_feeds[0]->setSilent(false);
    QVERIFY2(m_out->waitForOnset(kTone1, mic, silenceMs + 5000) >= 0, qPrintable(m_out->describe(mic, m_out->positionMs())));
}

void tst_Station::restartWithStoredSessionKeepsTheSources()
{
    startLoggedIn();
    if (QTest::currentTestFailed())
        return;
    const double heard = m_out->positionMs();
    const double fullPeak = m_out->peak(heard - 1000, heard);
    const auto before = TestSupport::storedSources(ini());
    QCOMPARE(before.size(), 2);

    // Quit through the tray's "Close" (the menu's last entry) and its confirmation.
    HeadlessDisplay::TopLevel icon, menu;
    QVERIFY2(m_program->waitForTrayIcon(m_display, &icon), "no tray icon");
    m_display.click(icon.geometry.center(), 3);
    QVERIFY2(waitFor([&] {
                 for (const auto &w : m_display.viewableWindowsOf(m_program->pid()))
                     menu = w.id != m_window.id ? w : menu;
                 return menu.id != 0;
             }, 10000),
             "no tray menu");
    QTest::qWait(300);
    m_display.click({ menu.geometry.center().x(), menu.geometry.bottom() - 11 }, 1);
    QTest::qWait(1000);
    m_display.pressKeys(m_window.id, { QStringLiteral("Tab"), QStringLiteral("space") });
    QCOMPARE(m_program->waitForExit(), 0);
    QSettings(ini(), QSettings::IniFormat).setValue(QStringLiteral("sources/1/volumeLevel"), 0.5);

    const qsizetype requestsBefore = requests(statePath).size();
    QVERIFY2(startProgram(), m_program->describe());
    QString error;
    QVERIFY2(m_out->start(&error), qPrintable(error));
    QVERIFY2(waitFor([&] {
                 const auto reports = requests(statePath, requestsBefore);
                 return std::any_of(reports.begin(), reports.end(), [&](const Request &r) {
                     return r.status == 200 && reportedUrls(r.body) == QStringList { url(0), url(1) };
                 });
             }, 20000),
             "no accepted report of the same sources after the restart");
    for (const auto &entry : requests(statePath, requestsBefore)) {
        QVERIFY2(!entry.body.contains(QStringLiteral("pass")), "the restart sent a password");
        QCOMPARE(entry.body.value(QStringLiteral("sid")).toString(), storedSid);
    }
    QVERIFY2(waitFor([&] {
                 const QJsonObject r = lastReport();
                 return flag(r, url(0), "isActive") && !flag(r, url(0), "isSilentSound") && !flag(r, url(1), "isSilentSound");
             }, 20000),
             "the first source never became the heard one with both sounding");
    const double settled = m_out->positionMs() + 500;
    QVERIFY(waitFor([&] { return m_out->positionMs() > settled + 1500; }, 8000));
    QVERIFY2(m_out->steady(kTone1, settled, settled + 1500), qPrintable(m_out->describe(0, settled + 1500)));
    const double halfPeak = m_out->peak(settled, settled + 1500);
    QVERIFY2(std::abs(halfPeak / fullPeak - 0.5) < 0.08, qPrintable(QStringLiteral("peak %1 at half volume against %2").arg(halfPeak).arg(fullPeak)));
    const auto after = TestSupport::storedSources(ini());
    QCOMPARE(after.size(), 2);
    QCOMPARE(after.at(0).streamUrl, before.at(0).streamUrl);
    QCOMPARE(after.at(1).streamUrl, before.at(1).streamUrl);
    QCOMPARE(after.at(0).volumeLevel, 0.5);
    QVERIFY2(waitFor([&] { return showsMainView(QStringLiteral("station-restarted.png")); }, 10000), "no main view after the restart");
}

QTEST_GUILESS_MAIN(tst_Station)
#include "tst_station.moc"
