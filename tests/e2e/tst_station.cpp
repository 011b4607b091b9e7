// The whole program on a local station: a private display with a tray,
// PulseAudio with a null output sink and a fake microphone, icecast2 with
// three tone feeds (440, 660 and 880 Hz) and the reference service in this
// process. One operator session runs through the test functions in order;
// every step is judged on what the output sink carried, on the day's log,
// on the settings file and on the reports the service received.
#include <QtTest>

#include <QJsonArray>
#include <QSettings>
#include <QTemporaryDir>
#include <QUrl>

#include <algorithm>
#include <memory>
#include <vector>

#include "headlessdisplay.h"
#include "refservice.h"
#include "stationharness.h"
#include "stationscenario.h"

using namespace Scenario;
using StationHarness::ToneFeed;

namespace {

const QString executable = QStringLiteral(ONDALINE_E2E_EXECUTABLE);
const QString artefactDir = QStringLiteral(ONDALINE_ARTEFACT_DIR);
const quint16 servicePort = ONDALINE_E2E_SERVICE_PORT;
const QString statePath = QStringLiteral("/api/player/state");
const QString logoutPath = QStringLiteral("/api/player/logout");
const QString stationId = QStringLiteral("e2e");
const QString username = QStringLiteral("operator");
const QString password = QStringLiteral("Tone-Pass-7431");
constexpr int userId = 7;
// Short silence and sound durations keep the run short; the program reads them at start.
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
    void cleanup();

    void firstStartLogsInAndPlaysTheFirstStream();
    void silenceFailsOverAndBack();
    void disconnectFailsOverAtOnce();
    void stallFailsOverAndAnInactiveStallIsInaudible();
    void serviceStreamListIsFollowed();
    void recordingSourceCoversSilentStreams();
    void restartWithStoredSessionKeepsTheSources();
    void forbiddenReplyLogsOut();
    void logCarriesNoCredentials();
    void peakMemory_data();
    void peakMemory();

private:
    bool startProgram(Program *program, const QString &dir);
    void writeSettings(const QString &dir, const QString &sid);
    QImage screenshot(const QString &name);
    bool showsMainView(const QImage &shot) const;
    bool showsLoginView(const QImage &shot) const;
    bool quitThroughTray(Program *program);
    // The latest report, once it lists exactly `urls` in that order.
    bool waitForReportedUrls(const QStringList &urls, int timeoutMs);
    void judgeSwitch(const char *what, double atMs, double before, double after);
    [[nodiscard]] QString urlOf(int feed) const { return m_feeds.at(size_t(feed))->url().toString(); }
    [[nodiscard]] QString artefact(const QString &name) const { return artefactDir + u'/' + name; }

    HeadlessDisplay m_display;
    StationHarness::PulseServer m_pulse;
    StationHarness::IcecastServer m_icecast;
    std::vector<std::unique_ptr<ToneFeed>> m_feeds;
    std::unique_ptr<StationHarness::SinkTone> m_mic;
    RefService m_service;
    std::unique_ptr<ServiceLog> m_serviceLog;
    std::unique_ptr<Listener> m_listener;
    std::unique_ptr<Figures> m_figures;
    QTemporaryDir m_work;
    std::unique_ptr<Program> m_program;
    HeadlessDisplay::TopLevel m_window;
    QString m_sid;
    bool m_loggedIn = false;
    double m_worstGapMs = 0;
    double m_worstStepRatio = 0;
};

void tst_Station::initTestCase()
{
    QVERIFY2(QFileInfo(executable).isExecutable(), qPrintable(executable + QStringLiteral(" is not built")));
    const QStringList missing = StationHarness::missingPrograms(
            { QStringLiteral("Xvfb"), QStringLiteral("trayer"), QStringLiteral("xdotool"), QStringLiteral("import"),
              QStringLiteral("pulseaudio"), QStringLiteral("pacat"), QStringLiteral("parec"),
              QStringLiteral("icecast2"), QStringLiteral("ffmpeg") });
    QVERIFY2(missing.isEmpty(), qPrintable(QStringLiteral("missing: %1 (scripts/install-deps.sh)")
                                                   .arg(missing.join(u' '))));
    QVERIFY(m_work.isValid());
    m_figures = std::make_unique<Figures>(artefact(QStringLiteral("station-figures.txt")));

    QString error;
    QVERIFY2(m_display.start(true, &error), qPrintable(error));
    QVERIFY2(m_pulse.start(&error), qPrintable(error));
    QVERIFY2(m_icecast.start(&error), qPrintable(error));
    const std::pair<const char *, double> tones[] = { { "one", kTone1 }, { "two", kTone2 }, { "three", kTone3 } };
    for (const auto &[mount, frequency] : tones) {
        m_feeds.push_back(std::make_unique<ToneFeed>(&m_icecast, QString::fromLatin1(mount), frequency));
        QVERIFY2(m_feeds.back()->start(&error), qPrintable(error));
    }

    const QJsonObject data {
        { QStringLiteral("stations"),
          QJsonObject { { stationId,
                          QJsonObject { { QStringLiteral("name"), QStringLiteral("Loopback Radio") },
                                        { QStringLiteral("city"), QStringLiteral("Localhost") },
                                        { QStringLiteral("logoFilename"), QString() },
                                        { QStringLiteral("streams"), QJsonArray { urlOf(0), urlOf(1) } } } } } },
        { QStringLiteral("users"), QJsonArray { RefService::makeUser(username, userId, stationId, password) } }
    };
    QVERIFY2(m_service.loadData(data, &error), qPrintable(error));
    // The program under test has this port compiled in.
    QVERIFY2(m_service.start(servicePort, &error) == servicePort,
             qPrintable(QStringLiteral("the reference service cannot listen on the e2e port %1: %2 "
                                       "(reconfigure with another ONDALINE_E2E_SERVICE_PORT)")
                                .arg(servicePort)
                                .arg(error)));
    m_serviceLog = std::make_unique<ServiceLog>(&m_service);
    m_listener = std::make_unique<Listener>(&m_pulse, m_work.filePath(QStringLiteral("output.raw")));
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
    if (m_listener)
        m_listener->stop();
    if (m_mic)
        m_mic->stop();
    m_feeds.clear();
    m_icecast.stop();
    m_pulse.stop();
    m_display.stop();
}

void tst_Station::cleanup()
{
    // What the output carried, for ondaline-toneprobe.
    if (QTest::currentTestFailed() && m_listener) {
        m_listener->update();
        const QString wav = artefact(QStringLiteral("station-%1.wav").arg(QString::fromLatin1(QTest::currentTestFunction())));
        if (m_listener->saveWav(wav))
            qInfo().noquote() << "Output of the failed scenario:" << wav;
        QFile log(artefact(QStringLiteral("station-%1.log").arg(QString::fromLatin1(QTest::currentTestFunction()))));
        if (log.open(QIODevice::WriteOnly | QIODevice::Truncate))
            log.write(logText(m_work.path()).toUtf8());
    }
}

void tst_Station::writeSettings(const QString &dir, const QString &sid)
{
    QSettings settings(QDir(dir).filePath(QStringLiteral("ondaline.ini")), QSettings::IniFormat);
    settings.setValue(QStringLiteral("language"), QStringLiteral("en"));
    settings.setValue(QStringLiteral("silenceDetectionStartMs"), silenceStartMs);
    settings.setValue(QStringLiteral("silenceDetectionEndMs"), silenceEndMs);
    if (!sid.isEmpty()) {
        settings.setValue(QStringLiteral("sid"), sid);
        settings.setValue(QStringLiteral("username"), username);
    }
}

bool tst_Station::startProgram(Program *program, const QString &dir)
{
    QString error;
    if (!program->start(executable, dir, m_display.environment(), &error)) {
        qWarning().noquote() << error;
        return false;
    }
    return program->waitForWindow(m_display, &m_window);
}

QImage tst_Station::screenshot(const QString &name)
{
    const QString path = artefact(name);
    QString error;
    if (!m_display.screenshot(path, &error)) {
        qWarning().noquote() << error;
        return {};
    }
    return QImage(path);
}

bool tst_Station::showsMainView(const QImage &shot) const
{
    // The left column of the main view, below the logo and station data.
    const QRect column(m_window.geometry.topLeft() + QPoint(20, 300), QSize(160, 20));
    int count = 0;
    colourCentre(shot, column, mainColumnColour, &count);
    return count > column.width() * column.height() / 2;
}

bool tst_Station::showsLoginView(const QImage &shot) const
{
    return !showsMainView(shot) && logoPixels(shot, m_window.geometry) > 2000;
}

bool tst_Station::quitThroughTray(Program *program)
{
    HeadlessDisplay::TopLevel icon;
    if (!waitFor(
                [&] {
                    icon = m_display.trayIconOf(program->pid());
                    return icon.id != 0;
                },
                15000))
        return false;
    HeadlessDisplay::TopLevel menu;
    const bool chosen = m_display.click(icon.geometry.center(), 3)
            && waitFor(
                    [&] {
                        for (const auto &candidate : m_display.viewableWindowsOf(program->pid())) {
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
    return waitFor([&] { return !program->isRunning(); }, 15000)
            && program->process().exitStatus() == QProcess::NormalExit && program->process().exitCode() == 0;
}

bool tst_Station::waitForReportedUrls(const QStringList &urls, int timeoutMs)
{
    return waitFor([&] { return ServiceLog::reportedUrls(m_service.lastReport(stationId)) == urls; }, timeoutMs);
}

void tst_Station::judgeSwitch(const char *what, double atMs, double before, double after)
{
    const SwitchQuality q = switchQuality(*m_listener, atMs, before, after);
    qInfo("%s at %.0f ms: gap %.2f ms, step %.4f, tones' own step %.4f (x%.2f)", what, atMs, q.gapMs, q.step,
          q.ownStep, q.ratio());
    m_worstGapMs = std::max(m_worstGapMs, q.gapMs);
    m_worstStepRatio = std::max(m_worstStepRatio, q.ratio());
    const QString context = QStringLiteral("%1; heard: %2")
                                    .arg(QString::fromLatin1(what), m_listener->describe(atMs - 500, atMs + 500));
    QVERIFY2(q.gapMs <= 20.0, qPrintable(QStringLiteral("silent gap of %1 ms at the switch; ").arg(q.gapMs) + context));
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
    writeSettings(m_work.path(), {});
    m_program = std::make_unique<Program>();
    QVERIFY2(startProgram(m_program.get(), m_work.path()), m_program->describe());
    QVERIFY2(waitFor([&] { return showsLoginView(screenshot(QStringLiteral("station-start.png"))); }, 20000),
             "no login view; see station-start.png");

    QString error;
    QVERIFY2(m_listener->start(&error), qPrintable(error));
    // The user name field has the focus when no user name is stored.
    QVERIFY(typeText(m_display, m_window.id, username));
    QVERIFY(m_display.pressKeys(m_window.id, { QStringLiteral("Tab") }));
    QVERIFY(typeText(m_display, m_window.id, password));
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
    QVERIFY(waitFor(
            [&] {
                const QJsonObject report = m_service.lastReport(stationId);
                const QJsonObject first = ServiceLog::sourceInfo(report, urlOf(0));
                const QJsonObject second = ServiceLog::sourceInfo(report, urlOf(1));
                return first.value(QStringLiteral("isActive")).toBool()
                        && !first.value(QStringLiteral("isSilentSound")).toBool(true)
                        && second.value(QStringLiteral("isConnected")).toBool()
                        && !second.value(QStringLiteral("isSilentSound")).toBool(true);
            },
            20000));
    // What the program decided just now reaches the sink a little later.
    const double settled = m_listener->positionMs() + 500;
    QTest::qWait(3500);
    const double end = m_listener->positionMs();
    QVERIFY2(m_listener->steady(kTone1, settled, end),
             qPrintable(QStringLiteral("heard: ") + m_listener->describe(settled, end)));

    // The settings file holds the streams with userId:sid as credentials.
    m_sid = storedValue(m_work.path(), QStringLiteral("sid"));
    QVERIFY(!m_sid.isEmpty());
    QCOMPARE(storedValue(m_work.path(), QStringLiteral("username")), username);
    const QList<StoredSource> stored = storedSources(m_work.path());
    QCOMPARE(stored.size(), 2);
    for (int i = 0; i < 2; ++i) {
        const QUrl url(stored.at(i).streamUrl);
        QCOMPARE(url.adjusted(QUrl::RemoveUserInfo).toString(), urlOf(i));
        QCOMPARE(url.userName(), QString::number(userId));
        QCOMPARE(url.password(), m_sid);
    }
    QVERIFY(showsMainView(screenshot(QStringLiteral("station-main-view.png"))));
    m_loggedIn = true;
}

void tst_Station::silenceFailsOverAndBack()
{
    QVERIFY2(m_loggedIn, "needs the logged-in session of the first scenario");
    QString error;
    QVERIFY2(m_listener->start(&error), qPrintable(error));
    QVERIFY(waitFor([&] { return m_listener->positionMs() > 1000; }, 5000));
    QVERIFY2(m_listener->steady(kTone1, 0, 1000), qPrintable(m_listener->describe(0, 1000)));

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
    QVERIFY2(second - silence <= silenceStartMs + 300,
             qPrintable(QStringLiteral("%1 ms").arg(second - silence)));
    QVERIFY2(second - silence >= silenceStartMs - 100,
             qPrintable(QStringLiteral("switched after %1 ms of silence").arg(second - silence)));
    // Nothing but the first tone, its silence and the second tone.
    QVERIFY(m_listener->steady(0, silence + Listener::kWindowMs, second - Listener::kWindowMs));

    QTest::qWait(1000);
    const qint64 soundedAt = nowMs();
    m_feeds[0]->setSilent(false);
    const double back = m_listener->waitForOnset(kTone1, second, silenceEndMs + 5000);
    QVERIFY2(back >= 0, qPrintable(m_listener->describe(second, m_listener->lengthMs())));
    // The feed's sound reaches the player as late after the switch-on as its
    // silence reached the output after the switch-off.
    const double soundArrived = silence + double(soundedAt - silencedAt);
    m_figures->record(QStringLiteral("back_to_first_source"), back - soundArrived, QStringLiteral("ms"));
    QVERIFY2(back - soundArrived <= silenceEndMs + 300, qPrintable(QStringLiteral("%1 ms").arg(back - soundArrived)));
    QVERIFY2(back - soundArrived >= silenceEndMs - 200,
             qPrintable(QStringLiteral("back after %1 ms of sound").arg(back - soundArrived)));
    QVERIFY(waitFor([&] { return m_listener->positionMs() > back + 800; }, 5000));
    judgeSwitch("silence to second tone", second, 0, kTone2);
    judgeSwitch("second tone back to first", back, kTone2, kTone1);
}

void tst_Station::disconnectFailsOverAtOnce()
{
    QVERIFY2(m_loggedIn, "needs the logged-in session of the first scenario");
    QString error;
    QVERIFY2(m_listener->start(&error), qPrintable(error));
    QVERIFY(waitFor([&] { return m_listener->positionMs() > 1000; }, 5000));
    QVERIFY2(m_listener->steady(kTone1, 0, 1000), qPrintable(m_listener->describe(0, 1000)));

    const double killedAt = m_listener->positionMs();
    m_feeds[0]->kill();
    const double second = m_listener->waitForOnset(kTone2, killedAt - 100, 5000);
    QVERIFY2(second >= 0, qPrintable(m_listener->describe(killedAt, m_listener->lengthMs())));
    m_figures->record(QStringLiteral("disconnect_failover"), second - killedAt, QStringLiteral("ms"));
    QVERIFY2(second - killedAt <= 300, qPrintable(QStringLiteral("%1 ms; heard: %2")
                                                          .arg(second - killedAt)
                                                          .arg(m_listener->describe(killedAt - 200, second + 200))));
    QVERIFY(waitFor([&] { return m_listener->positionMs() > second + 800; }, 5000));
    judgeSwitch("disconnect", second, kTone1, kTone2);

    // An outage longer than the silence duration: the first source has
    // turned silent, so its return waits for a full sound duration.
    QTest::qWait(silenceStartMs + 1000);
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
    QVERIFY2(back - connected >= silenceEndMs - 150,
             qPrintable(QStringLiteral("back %1 ms after the reconnection").arg(back - connected)));
    QVERIFY2(back - restartedAt >= silenceEndMs - 150,
             qPrintable(QStringLiteral("back %1 ms after the feed restarted").arg(back - restartedAt)));
    QVERIFY(waitFor([&] { return m_listener->positionMs() > back + 800; }, 5000));
    judgeSwitch("reconnected first tone", back, kTone2, kTone1);
}

void tst_Station::stallFailsOverAndAnInactiveStallIsInaudible()
{
    QVERIFY2(m_loggedIn, "needs the logged-in session of the first scenario");
    QString error;
    QVERIFY2(m_listener->start(&error), qPrintable(error));
    QVERIFY(waitFor([&] { return m_listener->positionMs() > 1000; }, 5000));
    QVERIFY2(m_listener->steady(kTone1, 0, 1000), qPrintable(m_listener->describe(0, 1000)));

    // icecast drops a source after 3 s without data: resume before that.
    const qint64 pausedAt = nowMs();
    const double stalledAt = m_listener->positionMs();
    m_feeds[0]->pause();
    const double second = m_listener->waitForOnset(kTone2, stalledAt, 2500);
    QTest::qWait(int(std::max<qint64>(0, pausedAt + 2200 - nowMs())));
    m_feeds[0]->resume();
    QVERIFY2(second >= 0, qPrintable(m_listener->describe(stalledAt, m_listener->lengthMs())));
    m_figures->record(QStringLiteral("stall_failover"), second - stalledAt, QStringLiteral("ms"));
    QVERIFY2(second - stalledAt <= 1500, qPrintable(QStringLiteral("%1 ms").arg(second - stalledAt)));
    QVERIFY(waitFor([&] { return m_listener->positionMs() > second + 800; }, 5000));
    judgeSwitch("stall", second, kTone1, kTone2);
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
    QVERIFY2(m_loggedIn, "needs the logged-in session of the first scenario");
    QString error;
    QVERIFY2(m_listener->start(&error), qPrintable(error));
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

    const QList<StoredSource> stored = storedSources(m_work.path());
    QCOMPARE(stored.size(), 2);
    for (int i = 0; i < 2; ++i) {
        const QUrl url(stored.at(i).streamUrl);
        QCOMPARE(url.adjusted(QUrl::RemoveUserInfo).toString(), urlOf(i == 0 ? 0 : 2));
        QCOMPARE(url.userName(), QString::number(userId));
        QCOMPARE(url.password(), m_sid);
    }
    const QString log = logText(m_work.path());
    QVERIFY(log.contains(QStringLiteral("that was not received from the server")));
    QVERIFY(log.contains(QStringLiteral("was received from the server")));
    // The heard source was left alone.
    const double end = m_listener->positionMs();
    QVERIFY2(m_listener->steady(kTone1, 0, end), qPrintable(m_listener->describe(0, end)));
}

void tst_Station::recordingSourceCoversSilentStreams()
{
    QVERIFY2(m_loggedIn, "needs the logged-in session of the first scenario");
    QString error;
    QVERIFY2(m_mic->start(&error), qPrintable(error));

    QPoint button;
    int pixels = 0;
    QVERIFY2(waitFor(
                     [&] {
                         const QImage shot = screenshot(QStringLiteral("station-add-recording.png"));
                         const QRect column(m_window.geometry.topLeft(), QSize(200, m_window.geometry.height()));
                         button = colourCentre(shot, column, addRecordingColour, &pixels);
                         return pixels > 500;
                     },
                     10000),
             "no \"Add recording source\" button in the main view; see station-add-recording.png");
    QVERIFY(m_display.click(button, 1));
    QVERIFY2(waitFor(
                     [&] {
                         const QList<StoredSource> stored = storedSources(m_work.path());
                         return stored.size() == 3 && stored.last().streamUrl.startsWith(QLatin1String("record:"));
                     },
                     10000),
             "the settings file holds no recording source");
    const QString recordUrl = storedSources(m_work.path()).last().streamUrl;
    QVERIFY(waitForReportedUrls({ urlOf(0), urlOf(2), recordUrl }, 10000));

    QVERIFY2(m_listener->start(&error), qPrintable(error));
    QVERIFY(waitFor([&] { return m_listener->positionMs() > 1000; }, 5000));
    QVERIFY2(m_listener->steady(kTone1, 0, 1000), qPrintable(m_listener->describe(0, 1000)));
    const int reportsBefore = m_serviceLog->count(statePath);
    const double silencedAt = m_listener->positionMs();
    m_feeds[0]->setSilent(true);
    m_feeds[2]->setSilent(true);
    double mic = m_listener->waitForOnset(kMicTone, silencedAt, silenceStartMs + 8000);
    m_feeds[0]->setSilent(false);
    m_feeds[2]->setSilent(false);
    QVERIFY2(mic >= 0, qPrintable(m_listener->describe(silencedAt, m_listener->lengthMs())));
    mic = m_listener->soundStartNear(mic);
    // The streams' silences reach the player at different times (their
    // buffers differ): the microphone takes over once both are silent.
    double bothSilent = -1;
    for (const auto &report : m_serviceLog->reportsSince(reportsBefore)) {
        const auto silent = [&](int feed) {
            return ServiceLog::sourceInfo(report.body, urlOf(feed)).value(QStringLiteral("isSilentSound")).toBool();
        };
        if (silent(0) && silent(2)) {
            bothSilent = m_listener->positionAt(report.atMs);
            break;
        }
    }
    QVERIFY2(bothSilent >= 0, "no report showed both streams silent");
    m_figures->record(QStringLiteral("recording_source_takeover"), mic - bothSilent, QStringLiteral("ms"));
    QVERIFY2(mic - bothSilent <= 500, qPrintable(QStringLiteral("%1 ms; heard: %2")
                                                         .arg(mic - bothSilent)
                                                         .arg(m_listener->describe(silencedAt, mic + 500))));
    QVERIFY2(m_listener->waitForOnset(kTone1, mic, silenceEndMs + 5000) >= 0,
             qPrintable(m_listener->describe(mic, m_listener->lengthMs())));
}

void tst_Station::restartWithStoredSessionKeepsTheSources()
{
    QVERIFY2(m_loggedIn, "needs the logged-in session of the first scenario");
    QString error;
    QVERIFY2(m_listener->start(&error), qPrintable(error));
    double heard = -1;
    QVERIFY2(waitFor(
                     [&] {
                         heard = m_listener->positionMs();
                         return heard > 1000 && m_listener->steady(kTone1, heard - 1000, heard);
                     },
                     15000),
             qPrintable(m_listener->describe(0, m_listener->lengthMs())));
    const double fullPeak = m_listener->peak(heard - 1000, heard);
    const QList<StoredSource> before = storedSources(m_work.path());
    const QStringList reportedBefore = ServiceLog::reportedUrls(m_service.lastReport(stationId));
    QVERIFY(before.size() >= 2);

    QVERIFY2(quitThroughTray(m_program.get()), m_program->describe());
    m_loggedIn = false;
    {
        // Half volume for the first source while the program is down.
        QSettings settings(m_work.filePath(QStringLiteral("ondaline.ini")), QSettings::IniFormat);
        settings.setValue(QStringLiteral("sources/1/volumeLevel"), 0.5);
    }

    const int requestsBefore = m_serviceLog->count(statePath);
    m_program = std::make_unique<Program>();
    QVERIFY2(startProgram(m_program.get(), m_work.path()), m_program->describe());
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
        QCOMPARE(entry.body.value(QStringLiteral("sid")).toString(), m_sid);
    }
    m_loggedIn = true;

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

    const QList<StoredSource> after = storedSources(m_work.path());
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
    QVERIFY2(m_loggedIn, "needs the logged-in session of the first scenario");
    QString error;
    QVERIFY2(m_listener->start(&error), qPrintable(error));
    QVERIFY(waitFor([&] { return m_listener->positionMs() > 1000; }, 5000));

    const int logoutsBefore = m_serviceLog->count(logoutPath);
    m_service.forceNextReply(403, "{}", statePath);
    // A change of the muted third source makes the program report.
    m_feeds[2]->setSilent(true);
    QVERIFY2(waitFor([&] { return m_serviceLog->count(logoutPath) > logoutsBefore; }, 20000),
             "no logout request after the 403");
    m_feeds[2]->setSilent(false);
    m_loggedIn = false;
    QVERIFY(waitFor([&] { return storedValue(m_work.path(), QStringLiteral("sid")).isEmpty(); }, 5000));
    {
        QSettings settings(m_work.filePath(QStringLiteral("ondaline.ini")), QSettings::IniFormat);
        QVERIFY2(settings.contains(QStringLiteral("sid")), "the empty sid is stored, not removed");
    }
    const QString log = logText(m_work.path());
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
    m_program = std::make_unique<Program>();
    QVERIFY2(startProgram(m_program.get(), m_work.path()), m_program->describe());
    QVERIFY2(waitFor([&] { return showsLoginView(screenshot(QStringLiteral("station-next-start.png"))); }, 20000),
             "no login view at the next start; see station-next-start.png");
    QTest::qWait(2000);
    QCOMPARE(m_serviceLog->count(statePath), statesBefore);
    QVERIFY(m_display.closeWindow(m_window.id));
    QVERIFY2(m_program->process().waitForFinished(15000), m_program->describe());
}

void tst_Station::logCarriesNoCredentials()
{
    const QString log = logText(m_work.path());
    QVERIFY2(log.contains(QStringLiteral("start playing")), "the log shows no playing source");
    QStringList sids;
    for (const auto &entry : m_serviceLog->entries()) {
        const QString sid = entry.body.value(QStringLiteral("sid")).toString();
        if (!sid.isEmpty() && !sids.contains(sid))
            sids.append(sid);
    }
    QVERIFY(!sids.isEmpty());
    for (const QString &sid : std::as_const(sids))
        QVERIFY2(!log.contains(sid), qPrintable(QStringLiteral("the log holds the sid %1").arg(sid)));
    QVERIFY2(!log.contains(password), "the log holds the password");
}

void tst_Station::peakMemory_data()
{
    QTest::addColumn<int>("streams");
    QTest::newRow("2 streams") << 2;
    QTest::newRow("16 streams") << 16;
}

void tst_Station::peakMemory()
{
    QFETCH(int, streams);
    m_program.reset(); // one program on the output at a time
    m_loggedIn = false;
    QString error;
    for (int i = int(m_feeds.size()); i < streams; ++i) {
        m_feeds.push_back(
                std::make_unique<ToneFeed>(&m_icecast, QStringLiteral("extra%1").arg(i), 2000.0 + 50.0 * i));
        QVERIFY2(m_feeds.back()->start(&error), qPrintable(error));
    }
    QStringList urls;
    for (int i = 0; i < streams; ++i)
        urls.append(urlOf(i));
    QVERIFY(m_service.setStationStreams(stationId, urls));

    // A stored session: the program logs itself in at start.
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString sid = QStringLiteral("memory%1").arg(streams);
    m_service.addSession(sid, username);
    writeSettings(dir.path(), sid);
    const int requestsBefore = m_serviceLog->count(statePath);
    Program program;
    QVERIFY2(startProgram(&program, dir.path()), program.describe());
    QVERIFY2(waitFor(
                     [&] {
                         const auto reports = m_serviceLog->reportsSince(requestsBefore);
                         if (reports.isEmpty() || ServiceLog::reportedUrls(reports.last().body) != urls)
                             return false;
                         for (const QJsonValue &info :
                              reports.last().body.value(QStringLiteral("sourcesInfo")).toArray()) {
                             if (!info.toObject().value(QStringLiteral("isConnected")).toBool())
                                 return false;
                         }
                         return true;
                     },
                     60000),
             qPrintable(QStringLiteral("not all %1 streams reported connected").arg(streams)));
    QVERIFY2(m_listener->start(&error), qPrintable(error));
    QVERIFY(waitFor([&] { return m_listener->positionMs() > 8000; }, 15000));
    QVERIFY2(m_listener->steady(kTone1, 6000, 8000), qPrintable(m_listener->describe(0, 8000)));
    const qint64 peakKb = program.peakRssKb();
    QVERIFY(peakKb > 0);
    m_figures->record(QStringLiteral("peak_rss_%1_streams").arg(streams), double(peakKb), QStringLiteral("KiB"));
    program.kill();
    m_listener->stop();
}

QTEST_GUILESS_MAIN(tst_Station)
#include "tst_station.moc"
