// The whole program on a local station: a private display with a tray,
// PulseAudio with a null output sink and a fake microphone, icecast2 with
// three tone feeds (440, 660 and 880 Hz) and the reference service in this
// process. Every case starts from its own state: a fresh working directory
// and settings file, feeds playing their tones, the service listing feeds
// one and two. Each is judged on what the output sink carried, on the
// day's log, on the settings file and on the reports the service received.
#include <QtTest>

#include <QJsonArray>
#include <QSettings>
#include <QTemporaryDir>
#include <QUrl>

#include <algorithm>
#include <memory>
#include <vector>

#include "desktop.h"
#include "servicefixture.h"
#include "stationharness.h"
#include "stationscenario.h"

using namespace Scenario;
using StationHarness::ToneFeed;
using TestSupport::StoredSource;

namespace {

const QString executable = QStringLiteral(ONDALINE_E2E_EXECUTABLE);
const QString artefactDir = QStringLiteral(ONDALINE_ARTEFACT_DIR);
const quint16 servicePort = ONDALINE_E2E_SERVICE_PORT;
const QString statePath = QStringLiteral("/api/player/state");
const QString logoutPath = QStringLiteral("/api/player/logout");
const QString stationId = QStringLiteral("e2e");
const QString username = QStringLiteral("operator");
const QString password = QStringLiteral("Tone-Pass-7431");
const QString storedSid = QStringLiteral("e2e-stored-session");
constexpr int userId = 7;
// Short silence and sound durations keep a run short; the program reads them at start.
constexpr int silenceStartMs = 2000;
constexpr int silenceEndMs = 2000;
// The main view's left column and its "Add recording source" button.
constexpr QRgb mainColumnColour = 0xf5f5f5;
constexpr QRgb addRecordingColour = 0xddedea;

} // namespace

class tst_Station : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void cleanup();

    void firstStartLogsInAndPlaysTheFirstStream();
    void silenceFailsOverAndBack();
    void disconnectFailsOverAtOnce();
    void stallFailsOverAndAnInactiveStallIsInaudible();
    void serviceStreamListIsFollowed();
    void recordingSourceCoversSilentStreams();
    void restartWithStoredSessionKeepsTheSources();
    void forbiddenReplyLogsOut();

private:
    [[nodiscard]] QString iniPath() const { return m_work->filePath(QStringLiteral("ondaline.ini")); }
    void writeSettings(int startMs = silenceStartMs, int endMs = silenceEndMs, bool withSession = true);
    bool startProgram();
    // A program with the stored session, once both streams sound and only
    // the first is heard; the capture runs from then on.
    void startLoggedIn(int startMs = silenceStartMs, int endMs = silenceEndMs);
    QImage screenshot(const QString &name) { return m_display.shot(artefact(name)); }
    bool showsMainView(const QImage &shot) const;
    bool showsLoginView(const QImage &shot) const;
    bool quitThroughTray();
    // The latest report, once it lists exactly `urls` in that order.
    bool waitForReportedUrls(const QStringList &urls, int timeoutMs);
    bool bothStreamsSound();
    void judgeSwitch(const char *what, double atMs, double before, double after, double maxGapMs = 20.0);
    [[nodiscard]] QString urlOf(int feed) const { return m_feeds.at(size_t(feed))->url().toString(); }
    [[nodiscard]] QString artefact(const QString &name) const { return artefactDir + u'/' + name; }

    HeadlessDisplay m_display;
    StationHarness::PulseServer m_pulse;
    StationHarness::IcecastServer m_icecast;
    std::vector<std::unique_ptr<ToneFeed>> m_feeds;
    std::unique_ptr<StationHarness::SinkTone> m_mic;
    RefService m_service;
    std::unique_ptr<ServiceLog> m_serviceLog;
    std::unique_ptr<StationHarness::Capture> m_listener;
    std::unique_ptr<Figures> m_figures;
    std::unique_ptr<QTemporaryDir> m_work;
    std::unique_ptr<Program> m_program;
    HeadlessDisplay::TopLevel m_window;
    double m_heardFrom = 0; // where the first tone is steady after startLoggedIn()
    double m_worstGapMs = 0;
    double m_worstStepRatio = 0;
};

void tst_Station::initTestCase()
{
    QVERIFY2(QFileInfo(executable).isExecutable(), qPrintable(executable + QStringLiteral(" is not built")));
    QVERIFY(QDir().mkpath(artefactDir));
    m_figures = std::make_unique<Figures>(artefact(QStringLiteral("station-figures.txt")));

    QString error;
    QVERIFY2(m_display.start(true, &error), qPrintable(error));
    QVERIFY2(m_pulse.start(&error), qPrintable(error));
    QVERIFY2(m_icecast.start(&error), qPrintable(error));
    const std::pair<const char *, double> tones[] = { { "one", kTone1 }, { "two", kTone2 }, { "three", kTone3 } };
    for (const auto &[mount, frequency] : tones)
        m_feeds.push_back(std::make_unique<ToneFeed>(&m_icecast, QString::fromLatin1(mount), frequency));

    TestSupport::Station station;
    station.id = stationId;
    station.name = QStringLiteral("Loopback Radio");
    station.city = QStringLiteral("Localhost");
    station.user = username;
    station.userId = userId;
    station.password = password;
    // The program under test has this port compiled in.
    QVERIFY2(TestSupport::startService(m_service, station, servicePort, &error), qPrintable(error));
    m_listener = std::make_unique<StationHarness::Capture>(&m_pulse);
    m_mic = std::make_unique<StationHarness::SinkTone>(&m_pulse, QStringLiteral("ondaline_mic"), kMicTone);
}

void tst_Station::cleanupTestCase()
{
    if (m_figures) {
        m_figures->record(QStringLiteral("longest_silent_gap_at_a_switch"), m_worstGapMs, QStringLiteral("ms"));
        m_figures->record(QStringLiteral("largest_step_at_a_switch_vs_tone"), m_worstStepRatio,
                          QStringLiteral("x"));
        qInfo().noquote() << "Figures written to" << m_figures->path();
    }
    m_program.reset();
    m_listener.reset();
    m_mic.reset();
    m_feeds.clear();
    m_icecast.stop();
    m_pulse.stop();
    m_display.stop();
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
    // A listener that connects gets the feed's last seconds at once: the
    // player's buffer, and so what a stall leaves to play, depends on it.
    if (started)
        QTest::qWait(5000);
    m_mic->stop();
    QVERIFY(m_service.setStationStreams(stationId, { urlOf(0), urlOf(1) }));
    m_service.addSession(storedSid, username);
    m_serviceLog = std::make_unique<ServiceLog>(&m_service);
    m_work = std::make_unique<QTemporaryDir>();
    QVERIFY(m_work->isValid());
}

void tst_Station::cleanup()
{
    const QString name = QString::fromLatin1(QTest::currentTestFunction());
    // What the output carried, for ondaline-toneprobe.
    if (QTest::currentTestFailed()) {
        m_listener->update();
        const QString wav = artefact(QStringLiteral("station-%1.wav").arg(name));
        if (m_listener->saveWav(wav))
            qInfo().noquote() << "Output of the failed scenario:" << wav;
        TestSupport::writeFile(artefact(QStringLiteral("station-%1.log").arg(name)),
                               TestSupport::dayLogText(m_work->path()).toUtf8());
    }
    m_program.reset();
    m_listener->stop();

    // Whatever the case did, the log holds no password and no session id.
    const QString log = TestSupport::dayLogText(m_work->path());
    QVERIFY2(!log.contains(password), "the log holds the password");
    for (const auto &entry : m_serviceLog->entries()) {
        const QString sid = entry.body.value(QStringLiteral("sid")).toString();
        QVERIFY2(sid.isEmpty() || !log.contains(sid), qPrintable(QStringLiteral("the log holds the sid %1").arg(sid)));
    }
    m_serviceLog.reset();
    m_work.reset();
}

void tst_Station::writeSettings(int startMs, int endMs, bool withSession)
{
    QSettings settings(iniPath(), QSettings::IniFormat);
    settings.setValue(QStringLiteral("language"), QStringLiteral("en"));
    settings.setValue(QStringLiteral("silenceDetectionStartMs"), startMs);
    settings.setValue(QStringLiteral("silenceDetectionEndMs"), endMs);
    if (withSession) {
        settings.setValue(QStringLiteral("sid"), storedSid);
        settings.setValue(QStringLiteral("username"), username);
    }
}

bool tst_Station::startProgram()
{
    m_program = std::make_unique<Program>();
    QString error;
    if (!m_program->start(executable, m_work->path(), m_display.programEnvironment(), &error)) {
        qWarning().noquote() << error;
        return false;
    }
    return m_program->waitForWindow(m_display, &m_window);
}

bool tst_Station::bothStreamsSound()
{
    const QJsonObject report = m_service.lastReport(stationId);
    const QJsonObject first = ServiceLog::sourceInfo(report, urlOf(0));
    const QJsonObject second = ServiceLog::sourceInfo(report, urlOf(1));
    return first.value(QStringLiteral("isActive")).toBool()
            && !first.value(QStringLiteral("isSilentSound")).toBool(true)
            && second.value(QStringLiteral("isConnected")).toBool()
            && !second.value(QStringLiteral("isSilentSound")).toBool(true);
}

void tst_Station::startLoggedIn(int startMs, int endMs)
{
    writeSettings(startMs, endMs);
    QVERIFY2(startProgram(), m_program->describe());
    QVERIFY2(waitForReportedUrls({ urlOf(0), urlOf(1) }, 30000),
             qPrintable(ServiceLog::reportedUrls(m_service.lastReport(stationId)).join(u' ')));
    QVERIFY2(waitFor([&] { return bothStreamsSound(); }, 30000), "the two streams never both sounded");
    QString error;
    QVERIFY2(m_listener->start(&error), qPrintable(error));
    // A new recording may begin with what the sink held before it.
    m_heardFrom = m_listener->waitForOnset(kTone1, 0, 10000, 1000);
    QVERIFY2(m_heardFrom >= 0, qPrintable(m_listener->describe(0, m_listener->lengthMs())));
    QVERIFY(waitFor([&] { return m_listener->positionMs() > m_heardFrom + 1000; }, 10000));
}

bool tst_Station::showsMainView(const QImage &shot) const
{
    // The left column of the main view, below the logo and station data.
    const QRect column(m_window.geometry.topLeft() + QPoint(20, 300), QSize(160, 20));
    int count = 0;
    Pixels::colourCentre(shot, column, mainColumnColour, &count);
    return count > column.width() * column.height() / 2;
}

bool tst_Station::showsLoginView(const QImage &shot) const
{
    return !showsMainView(shot) && Pixels::logo(shot, m_window.geometry) > 2000;
}

bool tst_Station::quitThroughTray()
{
    HeadlessDisplay::TopLevel icon;
    if (!m_program->waitForTrayIcon(m_display, &icon))
        return false;
    HeadlessDisplay::TopLevel menu;
    const bool chosen = m_display.click(icon.geometry.center(), 3)
            && waitFor(
                    [&] {
                        for (const auto &candidate : m_display.viewableWindowsOf(m_program->pid())) {
                            if (candidate.id != m_window.id)
                                menu = candidate;
                        }
                        return menu.id != 0;
                    },
                    10000)
            // "Close" is the last entry of the menu
            && m_display.click({ menu.geometry.center().x(), menu.geometry.bottom() - 11 }, 1);
    if (!chosen)
        return false;
    // The confirmation opens with the focus in it: Tab reaches "Yes".
    QTest::qWait(1000);
    m_display.pressKeys(m_window.id, { QStringLiteral("Tab"), QStringLiteral("space") });
    return waitFor([&] { return !m_program->isRunning(); }, 15000)
            && m_program->process().exitStatus() == QProcess::NormalExit && m_program->process().exitCode() == 0;
}

bool tst_Station::waitForReportedUrls(const QStringList &urls, int timeoutMs)
{
    return waitFor([&] { return ServiceLog::reportedUrls(m_service.lastReport(stationId)) == urls; }, timeoutMs);
}

void tst_Station::judgeSwitch(const char *what, double atMs, double before, double after, double maxGapMs)
{
    const SwitchQuality q = switchQuality(*m_listener, atMs, before, after);
    qInfo("%s at %.0f ms: gap %.2f ms, step %.4f, tones' own step %.4f (x%.2f)", what, atMs, q.gapMs, q.step,
          q.ownStep, q.ratio());
    m_worstGapMs = std::max(m_worstGapMs, q.gapMs);
    m_worstStepRatio = std::max(m_worstStepRatio, q.ratio());
    const QString context = QStringLiteral("%1; heard: %2")
                                    .arg(QString::fromLatin1(what), m_listener->describe(atMs - 500, atMs + 500));
    QVERIFY2(q.gapMs <= maxGapMs, qPrintable(QStringLiteral("silent gap of %1 ms at the switch; ").arg(q.gapMs) + context));
    // Two sources at full volume at once add up.
    QVERIFY2(q.peak <= 1.25 * q.ownPeak,
             qPrintable(QStringLiteral("peak %1 at the switch against the tones' own %2: both sources heard at once; ")
                                .arg(q.peak)
                                .arg(q.ownPeak)
                        + context));
    QVERIFY2(q.ownStep > 0 && q.ratio() <= 1.5,
             qPrintable(QStringLiteral("step %1 at the switch against the tones' own %2; ").arg(q.step).arg(q.ownStep)
                        + context));
}

// ---------------------------------------------------------------- scenarios

void tst_Station::firstStartLogsInAndPlaysTheFirstStream()
{
    writeSettings(silenceStartMs, silenceEndMs, false);
    QVERIFY2(startProgram(), m_program->describe());
    QVERIFY2(waitFor([&] { return showsLoginView(screenshot(QStringLiteral("station-start.png"))); }, 20000),
             "no login view; see station-start.png");

    QString error;
    QVERIFY2(m_listener->start(&error), qPrintable(error));
    // The user name field has the focus when no user name is stored.
    QVERIFY(m_display.typeText(m_window.id, username));
    QVERIFY(m_display.pressKeys(m_window.id, { QStringLiteral("Tab") }));
    QVERIFY(m_display.typeText(m_window.id, password));
    const double loginAt = m_listener->positionMs();
    QVERIFY(m_display.pressReturn(m_window.id));

    QVERIFY2(waitFor(
                     [&] {
                         for (const auto &entry : m_serviceLog->entries(statePath)) {
                             if (entry.body.value(QStringLiteral("user")).toString() == username)
                                 return entry.status == 200;
                         }
                         return false;
                     },
                     15000),
             "the service received no accepted login");
    const double firstAudio = m_listener->waitForOnset(kTone1, loginAt, 30000);
    QVERIFY2(firstAudio >= 0, qPrintable(QStringLiteral("the first tone was never heard; heard: ")
                                                 + m_listener->describe(loginAt, m_listener->lengthMs())));
    m_figures->record(QStringLiteral("login_to_first_audio"), firstAudio - loginAt, QStringLiteral("ms"));
    // The first source is the first heard: the second, started along with
    // it, is never heard before it, not even for a moment.
    const double secondFirst = m_listener->onsetMs(kTone2, loginAt, 20);
    QVERIFY2(secondFirst < 0 || secondFirst > firstAudio,
             qPrintable(QStringLiteral("heard: ") + m_listener->describe(loginAt, firstAudio + 500)));

    // Both streams are sources; once both play only the first is heard.
    QVERIFY2(waitForReportedUrls({ urlOf(0), urlOf(1) }, 20000),
             qPrintable(ServiceLog::reportedUrls(m_service.lastReport(stationId)).join(u' ')));
    // Both sound, and the first stays the heard one.
    QVERIFY(waitFor([&] { return bothStreamsSound(); }, 20000));
    // What the program decided just now reaches the sink a little later.
    const double settled = m_listener->positionMs() + 500;
    QTest::qWait(3500);
    const double end = m_listener->positionMs();
    QVERIFY2(m_listener->steady(kTone1, settled, end),
             qPrintable(QStringLiteral("heard: ") + m_listener->describe(settled, end)));

    // The settings file holds the streams with userId:sid as credentials.
    const QString sid = TestSupport::storedValue(iniPath(), QStringLiteral("sid"));
    QVERIFY(!sid.isEmpty());
    QCOMPARE(TestSupport::storedValue(iniPath(), QStringLiteral("username")), username);
    const QList<StoredSource> stored = TestSupport::storedSources(iniPath());
    QCOMPARE(stored.size(), 2);
    for (int i = 0; i < 2; ++i) {
        const QUrl url(stored.at(i).streamUrl);
        QCOMPARE(url.adjusted(QUrl::RemoveUserInfo).toString(), urlOf(i));
        QCOMPARE(url.userName(), QString::number(userId));
        QCOMPARE(url.password(), sid);
    }
    QVERIFY(showsMainView(screenshot(QStringLiteral("station-main-view.png"))));
}

void tst_Station::silenceFailsOverAndBack()
{
    startLoggedIn();
    if (QTest::currentTestFailed())
        return;

    const qint64 silencedAt = nowMs();
    const double silencedPos = m_listener->positionMs();
    m_feeds[0]->setSilent(true);
    double silence = m_listener->waitForOnset(0, silencedPos, 10000);
    QVERIFY2(silence >= 0, qPrintable(m_listener->describe(silencedPos, m_listener->lengthMs())));
    double second = m_listener->waitForOnset(kTone2, silence, silenceStartMs + 5000);
    QVERIFY2(second >= 0, qPrintable(m_listener->describe(silencedPos, m_listener->lengthMs())));
    silence = m_listener->silenceStartNear(silence);
    second = m_listener->soundStartNear(second);
    m_figures->record(QStringLiteral("silence_failover"), second - silence, QStringLiteral("ms"));
    QVERIFY2(second - silence <= silenceStartMs + 3000,
             qPrintable(QStringLiteral("%1 ms").arg(second - silence)));
    QVERIFY2(second - silence >= silenceStartMs - 100,
             qPrintable(QStringLiteral("switched after %1 ms of silence").arg(second - silence)));
    // Nothing but the first tone, its silence and the second tone.
    QVERIFY(m_listener->steady(0, silence + StationHarness::Capture::kWindowMs, second - StationHarness::Capture::kWindowMs));

    QTest::qWait(1000);
    const qint64 soundedAt = nowMs();
    m_feeds[0]->setSilent(false);
    const double back = m_listener->waitForOnset(kTone1, second, silenceEndMs + 5000);
    QVERIFY2(back >= 0, qPrintable(m_listener->describe(second, m_listener->lengthMs())));
    // The feed's sound reaches the player as late after the switch-on as its
    // silence reached the output after the switch-off.
    const double soundArrived = silence + double(soundedAt - silencedAt);
    m_figures->record(QStringLiteral("back_to_first_source"), back - soundArrived, QStringLiteral("ms"));
    QVERIFY2(back - soundArrived <= silenceEndMs + 3000, qPrintable(QStringLiteral("%1 ms").arg(back - soundArrived)));
    QVERIFY2(back - soundArrived >= silenceEndMs - 200,
             qPrintable(QStringLiteral("back after %1 ms of sound").arg(back - soundArrived)));
    QVERIFY(waitFor([&] { return m_listener->positionMs() > back + 800; }, 5000));
    judgeSwitch("silence to second tone", second, 0, kTone2);
    judgeSwitch("second tone back to first", back, kTone2, kTone1);
}

void tst_Station::disconnectFailsOverAtOnce()
{
    // A silence duration of 4 s: a switch before it comes from the disconnection.
    constexpr int outageStartMs = 4000;
    startLoggedIn(outageStartMs, silenceEndMs);
    if (QTest::currentTestFailed())
        return;
    QString error;

    const double killedAt = m_listener->positionMs();
    m_feeds[0]->kill();
    const double second = m_listener->waitForOnset(kTone2, killedAt - 100, 15000);
    QVERIFY2(second >= 0, qPrintable(m_listener->describe(killedAt, m_listener->lengthMs())));
    m_figures->record(QStringLiteral("disconnect_failover"), second - killedAt, QStringLiteral("ms"));
    QVERIFY2(second - killedAt < outageStartMs, qPrintable(QStringLiteral("%1 ms, not before the silence duration; heard: %2")
                                                          .arg(second - killedAt)
                                                          .arg(m_listener->describe(killedAt - 200, second + 200))));
    QVERIFY(waitFor([&] { return m_listener->positionMs() > second + 800; }, 5000));
    judgeSwitch("disconnect", second, kTone1, kTone2);

    // An outage longer than the silence duration: the first source has
    // turned silent, so its return waits for a full sound duration.
    QTest::qWait(outageStartMs + 1000);
    const int reportsBefore = m_serviceLog->count(statePath);
    QVERIFY2(m_feeds[0]->start(&error), qPrintable(error));
    const double restartedAt = m_listener->positionMs();
    const double back = m_listener->waitForOnset(kTone1, restartedAt - 100, 30000);
    QVERIFY2(back >= 0, qPrintable(m_listener->describe(restartedAt, m_listener->lengthMs())));
    double connected = -1;
    for (const auto &report : m_serviceLog->reportsSince(reportsBefore)) {
        if (ServiceLog::sourceInfo(report.body, urlOf(0)).value(QStringLiteral("isConnected")).toBool()) {
            connected = m_listener->positionAt(report.atMs);
            break;
        }
    }
    QVERIFY2(connected >= 0, "no report showed the first source connected again");
    m_figures->record(QStringLiteral("reconnect_to_first_source"), back - connected, QStringLiteral("ms"));
    m_figures->record(QStringLiteral("feed_restart_to_tone"), back - restartedAt, QStringLiteral("ms"));
    // The report of the reconnection may come late on a busy machine: half the
    // sound duration still tells a wait from none.
    QVERIFY2(back - connected >= silenceEndMs / 2,
             qPrintable(QStringLiteral("back %1 ms after the reconnection").arg(back - connected)));
    QVERIFY2(back - restartedAt >= silenceEndMs / 2,
             qPrintable(QStringLiteral("back %1 ms after the feed restarted").arg(back - restartedAt)));
    QVERIFY(waitFor([&] { return m_listener->positionMs() > back + 800; }, 5000));
    judgeSwitch("reconnected first tone", back, kTone2, kTone1);
}

void tst_Station::stallFailsOverAndAnInactiveStallIsInaudible()
{
    // A silence duration of 20 s: a switch before it comes from the stall.
    startLoggedIn(20000, silenceEndMs);
    if (QTest::currentTestFailed())
        return;

    // icecast keeps a source 10 s without data: resume before that.
    const double stalledAt = m_listener->positionMs();
    m_feeds[0]->pause();
    const double second = m_listener->waitForOnset(kTone2, stalledAt, 8000);
    // The stall lasts a while after the switch, as a network's would.
    waitFor([&] { return m_listener->positionMs() > second + 1500; }, 3000);
    m_feeds[0]->resume();
    QVERIFY2(second >= 0, qPrintable(m_listener->describe(stalledAt, m_listener->lengthMs())));
    m_figures->record(QStringLiteral("stall_failover"), second - stalledAt, QStringLiteral("ms"));
    QVERIFY(waitFor([&] { return m_listener->positionMs() > second + 800; }, 5000));
    // A stall is known only after a second without data; what the player
    // still holds by then depends on how far ahead the feed had sent.
    judgeSwitch("stall", second, kTone1, kTone2, 150.0);
    const double back = m_listener->waitForOnset(kTone1, second, 30000);
    QVERIFY2(back >= 0, qPrintable(m_listener->describe(second, m_listener->lengthMs())));
    QVERIFY(waitFor([&] { return m_listener->positionMs() > back + 1500; }, 5000));
    judgeSwitch("first tone after the stall", back, kTone2, kTone1);

    // The second, muted feed stalls: the heard tone goes on untouched.
    const double quietFrom = m_listener->positionMs();
    const double ownStep = m_listener->largestStep(quietFrom - 1000, quietFrom);
    m_feeds[1]->pause();
    QTest::qWait(2200);
    m_feeds[1]->resume();
    QTest::qWait(1500);
    const double quietTo = m_listener->positionMs();
    QVERIFY2(m_listener->steady(kTone1, quietFrom, quietTo),
             qPrintable(m_listener->describe(quietFrom, quietTo)));
    QVERIFY2(m_listener->longestGapMs(quietFrom, quietTo) < 2.0,
             qPrintable(QStringLiteral("gap of %1 ms").arg(m_listener->longestGapMs(quietFrom, quietTo))));
    QVERIFY2(m_listener->largestStep(quietFrom, quietTo) <= 1.5 * ownStep,
             qPrintable(QStringLiteral("step %1 against %2").arg(m_listener->largestStep(quietFrom, quietTo)).arg(ownStep)));
}

void tst_Station::serviceStreamListIsFollowed()
{
    startLoggedIn();
    if (QTest::currentTestFailed())
        return;
    QVERIFY(m_service.setStationStreams(stationId, { urlOf(0), urlOf(2) }));
    // A change of the muted second source makes the program report, and
    // the reply carries the new list.
    m_feeds[1]->setSilent(true);
    QVERIFY2(waitForReportedUrls({ urlOf(0), urlOf(2) }, 20000),
             qPrintable(ServiceLog::reportedUrls(m_service.lastReport(stationId)).join(u' ')));
    QVERIFY(waitFor(
            [&] {
                return ServiceLog::sourceInfo(m_service.lastReport(stationId), urlOf(2))
                        .value(QStringLiteral("isConnected"))
                        .toBool();
            },
            20000));
    m_feeds[1]->setSilent(false);

    const QList<StoredSource> stored = TestSupport::storedSources(iniPath());
    QCOMPARE(stored.size(), 2);
    for (int i = 0; i < 2; ++i) {
        const QUrl url(stored.at(i).streamUrl);
        QCOMPARE(url.adjusted(QUrl::RemoveUserInfo).toString(), urlOf(i == 0 ? 0 : 2));
        QCOMPARE(url.userName(), QString::number(userId));
        QCOMPARE(url.password(), storedSid);
    }
    const QString log = TestSupport::dayLogText(m_work->path());
    QVERIFY(log.contains(QStringLiteral("that was not received from the server")));
    QVERIFY(log.contains(QStringLiteral("was received from the server")));
    // The heard source was left alone.
    const double end = m_listener->positionMs();
    QVERIFY2(m_listener->steady(kTone1, m_heardFrom, end), qPrintable(m_listener->describe(0, end)));
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
    QVERIFY2(waitFor(
                     [&] {
                         const QImage shot = screenshot(QStringLiteral("station-add-recording.png"));
                         const QRect column(m_window.geometry.topLeft(), QSize(200, m_window.geometry.height()));
                         button = Pixels::colourCentre(shot, column, addRecordingColour, &pixels);
                         return pixels > 500;
                     },
                     10000),
             "no \"Add recording source\" button in the main view; see station-add-recording.png");
    QVERIFY(m_display.click(button, 1));
    QVERIFY2(waitFor(
                     [&] {
                         const QList<StoredSource> stored = TestSupport::storedSources(iniPath());
                         return stored.size() == 3 && stored.last().streamUrl.startsWith(QLatin1String("record:"));
                     },
                     10000),
             "the settings file holds no recording source");
    const QString recordUrl = TestSupport::storedSources(iniPath()).last().streamUrl;
    QVERIFY(waitForReportedUrls({ urlOf(0), urlOf(1), recordUrl }, 10000));

    const double added = m_listener->positionMs();
    QVERIFY2(m_listener->steady(kTone1, added - 1000, added), qPrintable(m_listener->describe(0, added)));
    const int reportsBefore = m_serviceLog->count(statePath);
    const double silencedAt = m_listener->positionMs();
    m_feeds[0]->setSilent(true);
    m_feeds[1]->setSilent(true);
    double mic = m_listener->waitForOnset(kMicTone, silencedAt, silenceStartMs + 8000);
    m_feeds[0]->setSilent(false);
    m_feeds[1]->setSilent(false);
    QVERIFY2(mic >= 0, qPrintable(m_listener->describe(silencedAt, m_listener->lengthMs())));
    mic = m_listener->soundStartNear(mic);
    // The streams' silences reach the player at different times (their
    // buffers differ): the microphone takes over once both are silent.
    double bothSilent = -1;
    for (const auto &report : m_serviceLog->reportsSince(reportsBefore)) {
        const auto silent = [&](int feed) {
            return ServiceLog::sourceInfo(report.body, urlOf(feed)).value(QStringLiteral("isSilentSound")).toBool();
        };
        if (silent(0) && silent(1)) {
            bothSilent = m_listener->positionAt(report.atMs);
            break;
        }
    }
    QVERIFY2(bothSilent >= 0, "no report showed both streams silent");
    m_figures->record(QStringLiteral("recording_source_takeover"), mic - bothSilent, QStringLiteral("ms"));
    QVERIFY2(mic - bothSilent <= 3000, qPrintable(QStringLiteral("%1 ms; heard: %2")
                                                         .arg(mic - bothSilent)
                                                         .arg(m_listener->describe(silencedAt, mic + 500))));
    QVERIFY2(m_listener->waitForOnset(kTone1, mic, silenceEndMs + 5000) >= 0,
             qPrintable(m_listener->describe(mic, m_listener->lengthMs())));
}

void tst_Station::restartWithStoredSessionKeepsTheSources()
{
    startLoggedIn();
    if (QTest::currentTestFailed())
        return;
    const double heard = m_listener->positionMs();
    const double fullPeak = m_listener->peak(heard - 1000, heard);
    const QList<StoredSource> before = TestSupport::storedSources(iniPath());
    const QStringList reportedBefore = ServiceLog::reportedUrls(m_service.lastReport(stationId));
    QVERIFY(before.size() >= 2);

    QVERIFY2(quitThroughTray(), m_program->describe());
    {
        // Half volume for the first source while the program is down.
        QSettings settings(iniPath(), QSettings::IniFormat);
        settings.setValue(QStringLiteral("sources/1/volumeLevel"), 0.5);
    }

    const int requestsBefore = m_serviceLog->count(statePath);
    QVERIFY2(startProgram(), m_program->describe());
    QString error;
    QVERIFY2(m_listener->start(&error), qPrintable(error));
    QVERIFY2(waitFor(
                     [&] {
                         const auto reports = m_serviceLog->reportsSince(requestsBefore);
                         return !reports.isEmpty() && reports.last().status == 200
                                 && ServiceLog::reportedUrls(reports.last().body) == reportedBefore;
                     },
                     20000),
             "no accepted report of the same sources after the restart");
    for (const auto &entry : m_serviceLog->entries(statePath).mid(requestsBefore)) {
        QVERIFY2(!entry.body.contains(QStringLiteral("pass")), "the restart sent a password");
        QCOMPARE(entry.body.value(QStringLiteral("sid")).toString(), storedSid);
    }

    // The source that sounds first is heard until the first one sounds too.
    QVERIFY2(waitFor(
                     [&] {
                         const QJsonArray infos =
                                 m_service.lastReport(stationId).value(QStringLiteral("sourcesInfo")).toArray();
                         bool sounding = !infos.isEmpty()
                                 && infos.first().toObject().value(QStringLiteral("isActive")).toBool();
                         for (const QJsonValue &info : infos)
                             sounding = sounding && !info.toObject().value(QStringLiteral("isSilentSound")).toBool(true);
                         return sounding;
                     },
                     20000),
             "the first source never became the heard one with every source sounding");
    const double settled = m_listener->positionMs() + 500;
    QVERIFY(waitFor([&] { return m_listener->positionMs() > settled + 1500; }, 8000));
    QVERIFY2(m_listener->steady(kTone1, settled, settled + 1500),
             qPrintable(m_listener->describe(0, settled + 1500)));
    const double halfPeak = m_listener->peak(settled, settled + 1500);
    QVERIFY2(std::abs(halfPeak / fullPeak - 0.5) < 0.08,
             qPrintable(QStringLiteral("peak %1 at half volume against %2").arg(halfPeak).arg(fullPeak)));

    const QList<StoredSource> after = TestSupport::storedSources(iniPath());
    QCOMPARE(after.size(), before.size());
    for (int i = 0; i < before.size(); ++i) {
        QCOMPARE(after.at(i).streamUrl, before.at(i).streamUrl);
        QCOMPARE(after.at(i).volumeLevel, i == 0 ? 0.5 : before.at(i).volumeLevel);
    }
    QVERIFY2(waitFor([&] { return showsMainView(screenshot(QStringLiteral("station-restarted.png"))); }, 10000),
             "no main view after the restart; see station-restarted.png");
}

void tst_Station::forbiddenReplyLogsOut()
{
    startLoggedIn();
    if (QTest::currentTestFailed())
        return;

    const int logoutsBefore = m_serviceLog->count(logoutPath);
    m_service.forceNextReply(403, "{}", statePath);
    // A change of the muted second source makes the program report.
    m_feeds[1]->setSilent(true);
    QVERIFY2(waitFor([&] { return m_serviceLog->count(logoutPath) > logoutsBefore; }, 20000),
             "no logout request after the 403");
    QVERIFY(waitFor([&] { return TestSupport::storedValue(iniPath(), QStringLiteral("sid")).isEmpty(); }, 5000));
    {
        QSettings settings(iniPath(), QSettings::IniFormat);
        QVERIFY2(settings.contains(QStringLiteral("sid")), "the empty sid is stored, not removed");
    }
    const QString log = TestSupport::dayLogText(m_work->path());
    QVERIFY(log.contains(QStringLiteral("Ondaline server replied forbidden, logout")));
    QVERIFY(log.contains(QStringLiteral("User logged out, stop all sources")));

    // Every source stopped: the output falls silent and stays so.
    const double stoppedAt = m_listener->positionMs();
    const double silence = m_listener->waitForOnset(0, stoppedAt - 500, 5000, 1000);
    QVERIFY2(silence >= 0, qPrintable(m_listener->describe(stoppedAt - 500, m_listener->lengthMs())));
    QVERIFY(waitFor([&] { return m_listener->positionMs() > silence + 2500; }, 5000));
    QVERIFY2(m_listener->steady(0, silence, silence + 2500),
             qPrintable(m_listener->describe(silence, silence + 2500)));
    QVERIFY2(waitFor([&] { return showsLoginView(screenshot(QStringLiteral("station-logged-out.png"))); }, 10000),
             "no login view after the 403; see station-logged-out.png");

    // Closing the window on the login view ends the program; the next start,
    // without a sid, shows the login view and reports nothing.
    QVERIFY(m_display.closeWindow(m_window.id));
    QVERIFY2(m_program->process().waitForFinished(15000), m_program->describe());
    QCOMPARE(m_program->process().exitCode(), 0);
    const int statesBefore = m_serviceLog->count(statePath);
    QVERIFY2(startProgram(), m_program->describe());
    QVERIFY2(waitFor([&] { return showsLoginView(screenshot(QStringLiteral("station-next-start.png"))); }, 20000),
             "no login view at the next start; see station-next-start.png");
    QTest::qWait(2000);
    QCOMPARE(m_serviceLog->count(statePath), statesBefore);
    QVERIFY(m_display.closeWindow(m_window.id));
    QVERIFY2(m_program->process().waitForFinished(15000), m_program->describe());
}

QTEST_GUILESS_MAIN(tst_Station)
#include "tst_station.moc"
