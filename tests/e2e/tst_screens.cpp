// The real program on a private display with a tray: its start-up (lock and
// banner, a second instance, no tray, an unwritable directory), then its
// views and tray logged in with a recording source that hears a 440 Hz tone
// and the service's two unreachable streams; output devices are PulseAudio
// null sinks.
#include <QtTest>

#include <QRegularExpression>

#include <memory>
#include <vector>

#include <csignal>
#include <unistd.h>

#include "desktop.h"
#include "servicefixture.h"
#include "stationharness.h"
#include "testsupport.h"

using TestSupport::waitFor;

namespace {

const QString executable = QStringLiteral(ONDALINE_E2E_EXECUTABLE);
const QString lockName = QStringLiteral("ondaline.lock");
const QString sessionId = QStringLiteral("6c0d7e52a1f94b38");
const QByteArray loggedIn = "sid=" + sessionId.toUtf8() + "\nusername=operator\n[sources]\n1\\streamUrl=record:0\nsize=1\n";
// "Default device", "No sound", the microphone's feed, the output, then added sinks.
constexpr int extraIndex = 4;

bool near(QRgb p, int r, int g, int b, int tolerance)
{
    return qAbs(qRed(p) - r) <= tolerance && qAbs(qGreen(p) - g) <= tolerance && qAbs(qBlue(p) - b) <= tolerance;
}

// Start-up banners: fifty hyphens, then the version line, both warnings.
int banners(const QString &dir)
{
    static const QRegularExpression banner(QStringLiteral(R"(\(W\): -{50} \(.*\n.*\(W\): Ondaline 1\.1\.15 startup \()"));
    return int(TestSupport::dayLogText(dir).count(banner));
}

} // namespace

class tst_Screens : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();

    void oneInstancePerDirectoryAndTheLockOutlivesACrash();
    void withoutTrayExitsWithMinusOne();
    void unwritableDirectoryIsFatal();
    void mainViewFollowsTheLanguageAndActsOnTheSourceList();
    void outputDeviceFromTheTraySubmenu();

private:
    QString ini() const { return m_work->filePath(QStringLiteral("ondaline.ini")); }
    // A program of its own in `dir`, without settings.
    Program *start(const QString &dir, const HeadlessDisplay &display)
    {
        m_programs.push_back(std::make_unique<Program>(display));
        m_programs.back()->start(executable, dir);
        return m_programs.back().get();
    }
    // The only program, on a fresh working directory with `ini` as [General], once its window shows.
    bool launch(const QByteArray &ini)
    {
        m_programs.clear();
        m_work = std::make_unique<QTemporaryDir>();
        const bool written = TestSupport::writeFile(this->ini(), "[General]\nshowKeepRunningDialog=false\n" + ini);
        m_program = start(m_work->path(), m_display);
        return written && m_program->waitForWindow().id;
    }
    QStringList log() const { return TestSupport::dayLogText(m_work->path()).split(u'\n', Qt::SkipEmptyParts); }
    // Sources (re)started since line `from`.
    int started(qsizetype from) const { return int(log().mid(from).filter(u"start playing"_qs).size()); }
    int storedIndex() const { return TestSupport::storedValue(ini(), QStringLiteral("outputDeviceIndex")).toInt(); }
    // Opens the submenu through the tray menu; where it is.
    QRect openSubmenu();
    void closeMenus()
    {
        // A click on the bare screen closes every open popup.
        m_display.click({ 1000, 700 });
        QVERIFY(waitFor([&] { return m_program->popups().isEmpty(); }, 10000));
    }

    HeadlessDisplay m_display;
    StationHarness::PulseServer m_pulse;
    StationHarness::SinkTone m_microphone { &m_pulse, QStringLiteral("ondaline_mic"), 440.0 };
    RefService m_service;
    std::unique_ptr<QTemporaryDir> m_work;
    std::vector<std::unique_ptr<Program>> m_programs;
    Program *m_program = nullptr; // the one launch() started
    int m_extraSink = -1; // module index
};

void tst_Screens::initTestCase()
{
    QString error;
    QVERIFY2(m_display.start(true, &error) && m_pulse.start(&error) && m_microphone.start(&error), qPrintable(error));
    TestSupport::Station station;
    const QString streams = TestSupport::closedServiceUrl();
    station.streams = QStringList { streams + QStringLiteral("/main"), streams + QStringLiteral("/backup") };
    station.user = QStringLiteral("operator");
    QVERIFY2(TestSupport::startService(m_service, station, ONDALINE_E2E_SERVICE_PORT, &error), qPrintable(error));
    m_service.addSession(sessionId, QStringLiteral("operator"));
}

void tst_Screens::cleanup()
{
    m_programs.clear();
    if (m_extraSink >= 0)
        m_pulse.unloadModule(std::exchange(m_extraSink, -1));
}

void tst_Screens::oneInstancePerDirectoryAndTheLockOutlivesACrash()
{
    QTemporaryDir dir;
    Program *first = start(dir.path(), m_display);
    QVERIFY2(first->waitForWindow().id, first->describe());
    QVERIFY(QFile::exists(dir.filePath(lockName)));
    QCOMPARE(banners(dir.path()), 1);

    Program *second = start(dir.path(), m_display);
    const auto box = second->waitForWindow(false);
    QVERIFY2(box.id, "the second instance showed no message box");
    QVERIFY2(!second->waitForWindow(true, 0).id, "the second instance opened a main window");
    m_display.pressKeys(box.id, { QStringLiteral("Return") });
    QCOMPARE(second->waitForExit(), 1);
    QVERIFY(first->isRunning());
    QVERIFY(QFile::exists(dir.filePath(lockName)));

    ::kill(pid_t(first->pid()), SIGKILL);
    QCOMPARE(first->waitForExit(), -1000);
    QVERIFY2(QFile::exists(dir.filePath(lockName)), "a killed instance leaves its lock behind");
    Program *next = start(dir.path(), m_display);
    QVERIFY2(next->waitForWindow().id, "the stale lock was not taken over");
    QVERIFY(m_display.closeWindow(next->window().id));
    QCOMPARE(next->waitForExit(), 0);
    QVERIFY2(!QFile::exists(dir.filePath(lockName)), "the lock outlived the process");
}

void tst_Screens::withoutTrayExitsWithMinusOne()
{
    HeadlessDisplay bare;
    QString error;
    QVERIFY2(bare.start(false, &error), qPrintable(error));
    QTemporaryDir dir;
    Program *program = start(dir.path(), bare);
    const auto box = program->waitForWindow(false);
    QVERIFY2(box.id, program->describe());
    QVERIFY2(!program->waitForWindow(true, 0).id, "the interface was loaded without a tray");
    bare.pressKeys(box.id, { QStringLiteral("Return") });
    QCOMPARE(program->waitForExit(), -1);
    QVERIFY2(!QFile::exists(dir.filePath(lockName)), "the lock outlived the process");
}

void tst_Screens::unwritableDirectoryIsFatal()
{
    QTemporaryDir base;
    const auto readable = QFileDevice::ReadOwner | QFileDevice::ExeOwner | QFileDevice::ReadGroup | QFileDevice::ExeGroup
            | QFileDevice::ReadOther | QFileDevice::ExeOther;
    QVERIFY(QFile::setPermissions(base.path(), readable | QFileDevice::WriteOwner));
    const QString work = base.filePath(QStringLiteral("work"));
    QVERIFY(QDir().mkdir(work) && QFile::setPermissions(work, readable));
    QProcess process;
    process.setWorkingDirectory(work);
    process.setProcessEnvironment(m_display.programEnvironment());
    if (::geteuid() == 0) {
        // root writes anywhere: run as nobody, from a copy nobody may run.
        const QString copy = base.filePath(QStringLiteral("ondaline"));
        QVERIFY(QFile::copy(executable, copy) && QFile::setPermissions(copy, readable));
        process.start(QStringLiteral("setpriv"), { QStringLiteral("--reuid=nobody"), QStringLiteral("--regid=nogroup"),
                                                   QStringLiteral("--clear-groups"), copy });
    } else {
        process.start(executable, {});
    }
    QVERIFY(process.waitForFinished(15000));
    QVERIFY(process.exitStatus() == QProcess::CrashExit || process.exitCode() != 0);
    const QByteArray errors = process.readAllStandardError();
    QVERIFY2(errors.contains("Can not open log file: ondaline"), errors.constData());
    QVERIFY(QDir(work).isEmpty());
    QFile::setPermissions(work, readable | QFileDevice::WriteOwner);
}

// A stored session and a recording source; the service's two streams join
// it. The labels and buttons change with the language. Then, in English:
// move the first row down, delete the recording row after its confirmation;
// the settings file follows the rows. Positions are those of the 720 x 540
// window.
void tst_Screens::mainViewFollowsTheLanguageAndActsOnTheSourceList()
{
    // Ready with the side panel's grey and the three green dots of the one heard source.
    const auto ready = [](const QImage &image) {
        return near(image.pixel(5, 300), 0xf5, 0xf5, 0xf5, 2) && Pixels::count(image, [](QRgb p) { return near(p, 0x00, 0x80, 0x00, 8); }) > 220;
    };
    QList<QImage> panels;
    for (const char *language : { "ru", "system" }) { // the system's language is English here
        QImage area;
        QVERIFY2(launch("language=" + QByteArray(language) + '\n' + loggedIn), m_program->describe());
        QVERIFY2(waitFor([&] { return ready(area = m_display.shot().copy(m_program->window().geometry)); }, 45000), "no main view");
        panels.append(area.copy(0, 110, 200, 430));
    }
    QVERIFY2(Pixels::differing(panels.at(0), panels.at(1)) > 400, "the main view did not change with the language");

    const auto stored = [&] {
        QString kinds;
        for (const auto &source : TestSupport::storedSources(ini()))
            kinds += source.streamUrl == u"record:0" ? u'r' : source.streamUrl.endsWith(u"/main") ? u'm' : u'b';
        return kinds;
    };
    const QPoint origin = m_program->window().geometry.topLeft();
    QVERIFY(waitFor([&] { return stored() == u"rmb"; }, 10000));
    m_display.click(origin + QPoint(685, 163));
    QVERIFY2(waitFor([&] { return stored() == u"mrb"; }, 10000), qPrintable(stored()));
    m_display.click(origin + QPoint(485, 163 + 120));
    QVERIFY2(waitFor([&] { return m_program->dimmed({ 400, 500 }); }, 10000), "no confirmation dialog");
    QCOMPARE(stored(), u"mrb"_qs);
    m_display.pressKeys(m_program->window().id, { QStringLiteral("Tab"), QStringLiteral("space") });
    QVERIFY2(waitFor([&] { return stored() == u"mb"; }, 10000), qPrintable(stored()));
}

QRect tst_Screens::openSubmenu()
{
    const QRect menu = m_program->openTrayMenu();
    // Entries are 22 px apart; the first names the station, the second holds the submenu.
    m_display.click({ menu.center().x(), menu.top() + 11 + 22 });
    QRect submenu;
    waitFor([&] {
        for (const auto &w : m_program->popups())
            submenu = w.geometry != menu ? w.geometry : submenu;
        return !submenu.isNull();
    }, 10000);
    return submenu;
}

// A sink that appears joins the submenu at its end and leaves the choice
// alone; chosen, it takes the sound; once gone, the default device has it.
void tst_Screens::outputDeviceFromTheTraySubmenu()
{
    QVERIFY2(launch("language=en\n" + loggedIn), m_program->describe());
    QVERIFY2(waitFor([&] { return started(0) >= 3; }, 30000), qPrintable(log().join(u'\n')));
    const QRect fourEntries = openSubmenu();
    QVERIFY2(!fourEntries.isNull(), "no output device submenu");
    closeMenus();

    const qsizetype before = log().size();
    m_extraSink = m_pulse.loadModule(u"module-null-sink"_qs, { u"sink_name=ondaline_extra"_qs, u"rate=48000"_qs, u"channels=2"_qs,
                                                                u"sink_properties=device.description=Extra"_qs });
    QVERIFY(m_extraSink >= 0);
    QVERIFY2(waitFor([&] { return !log().mid(before).filter(u"Output devices list was updated"_qs).isEmpty(); }, 15000),
             "the program did not list the new sink");
    const QRect fiveEntries = openSubmenu();
    const int pitch = fiveEntries.height() - fourEntries.height();
    QVERIFY2(pitch > 10, "the submenu did not grow by the new sink");
    QCOMPARE(storedIndex(), 0);

    const qsizetype chosenFrom = log().size();
    const int margin = (fiveEntries.height() - 5 * pitch) / 2;
    m_display.click({ fiveEntries.center().x(), fiveEntries.top() + margin + pitch * extraIndex + pitch / 2 });
    QTRY_COMPARE_WITH_TIMEOUT(storedIndex(), extraIndex, 5000);
    QVERIFY(waitFor([&] { return started(chosenFrom) >= 3; }, 10000));
    // The check mark moved to the chosen entry: dark pixels at the left of its row only.
    const QRect shown = openSubmenu();
    const QImage shot = m_display.shot();
    QList<int> marks;
    for (int row = 0; row < 5; ++row)
        marks << Pixels::count(shot.copy(shown.left() + 2, shown.top() + margin + row * pitch + 4, 22, pitch - 8), [](QRgb p) { return qGray(p) < 100; });
    QVERIFY2(marks.at(extraIndex) > 10 && marks.count(0) == 4, qPrintable(QDebug::toString(marks)));
    closeMenus();

    // The recording source is heard on the chosen sink, and no longer on the default one.
    StationHarness::Capture chosen(&m_pulse, QStringLiteral("ondaline_extra.monitor")), previous(&m_pulse);
    QString error;
    QVERIFY2(chosen.start(&error) && previous.start(&error), qPrintable(error));
    QVERIFY2(chosen.onsetMs(440, 0, 10000, 1000) >= 0, qPrintable(chosen.describe(0, chosen.positionMs())));
    QVERIFY2(previous.steady(0, 0, previous.positionMs()), qPrintable(u"still heard on the default device: "_qs + previous.describe(0, 1e9)));

    const double lostAt = previous.positionMs();
    QVERIFY(m_pulse.unloadModule(std::exchange(m_extraSink, -1)));
    QVERIFY2(previous.onsetMs(440, lostAt, 15000, 1000) >= 0, qPrintable(previous.describe(lostAt, previous.positionMs())));
    QTRY_COMPARE_WITH_TIMEOUT(storedIndex(), 0, 5000);
}

QTEST_GUILESS_MAIN(tst_Screens)
#include "tst_screens.moc"
