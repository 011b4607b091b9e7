// The tray's "Output device" submenu of the real program on PulseAudio null
// sinks: a sink that appears joins it, choosing a sink moves the sound there,
// and the chosen sink keeps its place while others come and go, until it
// goes itself. The program plays a recording source (a 440 Hz tone) and the
// service's stream, which points where nothing listens.
#include <QtTest>

#include <QRegularExpression>
#include <QSettings>

#include <memory>

#include "desktop.h"
#include "servicefixture.h"
#include "stationharness.h"
#include "testsupport.h"

using TestSupport::waitFor;

namespace {

const QString executable = QStringLiteral(ONDALINE_E2E_EXECUTABLE);
const QString sessionId = QStringLiteral("3f9a0c6e5b2d4781");
const QString extra = QStringLiteral("Ondaline_Extra_Output");
// "Default device", "No sound", the microphone's feed, the output, then added sinks.
constexpr int extraIndex = 4;

QString changedTo(const QString &device, int index)
{
    return QStringLiteral("Output device changed to \"%1\" index %2").arg(device).arg(index);
}

} // namespace

class tst_Tray : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();

    void aNewSinkJoinsTheSubmenuAndCanBeChosen();
    void theChosenSinkOutlivesOthersUntilItGoes();

private:
    void startProgram(int outputDeviceIndex);
    QStringList log() const { return TestSupport::dayLogLines(m_work->path()); }
    // The first line at or after `from` with `text`, once there is one; -1 when none came.
    qsizetype waitForLine(const QString &text, qsizetype from, int timeoutMs = 15000);
    int restartedSources(qsizetype from) const;
    int storedIndex() const { return QSettings(m_work->filePath(QStringLiteral("ondaline.ini")), QSettings::IniFormat).value(QStringLiteral("outputDeviceIndex")).toInt(); }
    // Opens the submenu through the tray menu; where it is.
    QRect openSubmenu();
    void closeMenus();
    bool loadSink(const QString &name, const QString &description);
    bool unloadSink(const QString &name) { return m_modules.contains(name) && m_pulse.unloadModule(m_modules.take(name)); }

    HeadlessDisplay m_display;
    StationHarness::PulseServer m_pulse;
    std::unique_ptr<StationHarness::SinkTone> m_microphone;
    RefService m_service;
    std::unique_ptr<QTemporaryDir> m_work;
    std::unique_ptr<Program> m_program;
    HeadlessDisplay::TopLevel m_window;
    QHash<QString, int> m_modules;
};

void tst_Tray::initTestCase()
{
    QString error;
    QVERIFY2(m_display.start(true, &error), qPrintable(error));
    QVERIFY2(m_pulse.start(&error), qPrintable(error));
    m_microphone = std::make_unique<StationHarness::SinkTone>(&m_pulse, QStringLiteral("ondaline_mic"), 440.0);
    QVERIFY2(m_microphone->start(&error), qPrintable(error));
    TestSupport::Station station;
    station.streams = QStringList { TestSupport::closedServiceUrl() + QStringLiteral("/main") };
    station.user = QStringLiteral("operator");
    QVERIFY2(TestSupport::startService(m_service, station, ONDALINE_E2E_SERVICE_PORT, &error), qPrintable(error));
    m_service.addSession(sessionId, QStringLiteral("operator"));
}

void tst_Tray::cleanup()
{
    m_program.reset();
    if (QTest::currentTestFailed())
        qInfo().noquote() << log().join(u'\n');
    for (int module : std::as_const(m_modules))
        m_pulse.unloadModule(module);
    m_modules.clear();
}

void tst_Tray::startProgram(int outputDeviceIndex)
{
    m_work = std::make_unique<QTemporaryDir>();
    QVERIFY(TestSupport::writeFile(m_work->filePath(QStringLiteral("ondaline.ini")),
                                   "[General]\nlanguage=en\nsid=" + sessionId.toUtf8() + "\nusername=operator\nshowKeepRunningDialog=false\n"
                                   "outputDeviceIndex=" + QByteArray::number(outputDeviceIndex)
                                           + "\n[sources]\n1\\streamUrl=record:0\nsize=1\n"));
    m_program = std::make_unique<Program>();
    QString error;
    QVERIFY2(m_program->start(executable, m_work->path(), m_display.programEnvironment(), &error), qPrintable(error));
    QVERIFY2(m_program->waitForWindow(m_display, &m_window), m_program->describe());
    // Logged in once both play: the recording source and the service's stream.
    QVERIFY2(waitFor([&] { return restartedSources(0) == 2; }, 30000), qPrintable(log().join(u'\n')));
}

qsizetype tst_Tray::waitForLine(const QString &text, qsizetype from, int timeoutMs)
{
    qsizetype at = -1;
    waitFor([&] {
        const QStringList lines = log();
        for (qsizetype i = from; at < 0 && i < lines.size(); ++i)
            at = lines.at(i).contains(text) ? i : -1;
        return at >= 0;
    }, timeoutMs);
    return at;
}

int tst_Tray::restartedSources(qsizetype from) const
{
    static const QRegularExpression started(QStringLiteral("Source (.*) start playing"));
    QSet<QString> names;
    for (const QString &line : log().mid(from)) {
        if (const auto match = started.match(line); match.hasMatch())
            names.insert(match.captured(1));
    }
    return int(names.size());
}

QRect tst_Tray::openSubmenu()
{
    HeadlessDisplay::TopLevel icon;
    if (!m_program->waitForTrayIcon(m_display, &icon))
        return {};
    const auto popups = [&] {
        auto windows = m_display.viewableWindowsOf(m_program->pid());
        windows.removeIf([&](const auto &w) { return w.id == m_window.id; });
        return windows;
    };
    m_display.click(icon.geometry.center(), 3);
    if (!waitFor([&] { return popups().size() == 1; }, 10000))
        return {};
    QTest::qWait(300); // the menu's final place
    const QRect menu = popups().first().geometry;
    // Entries are 22 px apart; the first names the station, the second holds the submenu.
    m_display.click({ menu.center().x(), menu.top() + 11 + 22 }, 1);
    QRect submenu;
    waitFor([&] {
        for (const auto &w : popups())
            submenu = w.geometry != menu ? w.geometry : submenu;
        return !submenu.isNull();
    }, 10000);
    return submenu;
}

void tst_Tray::closeMenus()
{
    // A click on the bare screen closes every open popup.
    m_display.click({ 1000, 700 }, 1);
    QVERIFY(waitFor([&] { return m_display.viewableWindowsOf(m_program->pid()).size() == 1; }, 10000));
}

bool tst_Tray::loadSink(const QString &name, const QString &description)
{
    const int module = m_pulse.loadModule(QStringLiteral("module-null-sink"),
                                          { u"sink_name="_qs + name, QStringLiteral("rate=48000"), QStringLiteral("channels=2"),
                                            u"sink_properties=device.description="_qs + description });
    m_modules.insert(name, module);
    return module >= 0;
}

void tst_Tray::aNewSinkJoinsTheSubmenuAndCanBeChosen()
{
    startProgram(0);
    if (QTest::currentTestFailed())
        return;
    const QRect fourEntries = openSubmenu();
    QVERIFY2(!fourEntries.isNull(), "no output device submenu");
    closeMenus();

    const qsizetype before = log().size();
    QVERIFY(loadSink(QStringLiteral("ondaline_extra"), extra));
    const qsizetype updated = waitForLine(QStringLiteral("(I): Output devices list was updated"), before);
    QVERIFY2(updated >= 0, "the program did not list the new sink");
    // Appended at the end, it leaves the default device chosen and the sources alone.
    QVERIFY(waitForLine(changedTo(QStringLiteral("Default device"), 0), updated, 5000) >= 0);
    QCOMPARE(storedIndex(), 0);
    QCOMPARE(restartedSources(before), 0);
    const QRect fiveEntries = openSubmenu();
    const int pitch = fiveEntries.height() - fourEntries.height();
    QVERIFY2(pitch > 10, "the submenu did not grow by the new sink");

    const qsizetype chosenFrom = log().size();
    const int margin = (fiveEntries.height() - 5 * pitch) / 2;
    m_display.click({ fiveEntries.center().x(), fiveEntries.top() + margin + pitch * extraIndex + pitch / 2 }, 1);
    const qsizetype changed = waitForLine(u"(I): "_qs + changedTo(extra, extraIndex), chosenFrom, 5000);
    QVERIFY2(changed >= 0, qPrintable(log().mid(chosenFrom).join(u'\n')));
    QTRY_COMPARE_WITH_TIMEOUT(storedIndex(), extraIndex, 5000);
    QVERIFY(waitFor([&] { return restartedSources(changed) == 2; }, 10000));
    // The check mark moved to the chosen entry: dark pixels at the left of its row only.
    const QRect shown = openSubmenu();
    const QImage shot = m_display.shot(QDir::temp().filePath(QStringLiteral("tst_tray.png")));
    QList<int> marks;
    QString counts;
    for (int row = 0; row < 5; ++row) {
        marks << Pixels::count(shot.copy(shown.left() + 2, shown.top() + margin + row * pitch + 4, 22, pitch - 8), [](QRgb p) { return qGray(p) < 100; });
        counts += QString::number(marks.last()) + u' ';
    }
    QVERIFY2(marks.at(extraIndex) > 10 && marks.count(0) == 4, qPrintable(u"dark pixels left of each row: "_qs + counts));
    closeMenus();

    // The recording source is heard on the chosen sink, and no longer on the default one.
    StationHarness::Capture chosen(&m_pulse, QStringLiteral("ondaline_extra.monitor")), previous(&m_pulse);
    QString error;
    QVERIFY2(chosen.start(&error) && previous.start(&error), qPrintable(error));
    QVERIFY(waitFor([&] { return chosen.samples().size() >= 2 * 48000 * 2; }, 10000));
    const auto heard = StationHarness::tail(chosen.stop(), 1000);
    const auto left = StationHarness::tail(previous.stop(), 1000);
    QVERIFY2(qAbs(StationHarness::dominantFrequency(heard) - 440) < 10 && StationHarness::peakLevel(heard) > 0.05,
             qPrintable(QStringLiteral("%1 Hz at %2").arg(StationHarness::dominantFrequency(heard)).arg(StationHarness::peakLevel(heard))));
    QVERIFY2(StationHarness::peakLevel(left) < 0.01, "still heard on the default device");
}

// Positions name the devices: one added or removed after the chosen one
// changes nothing but the list.
void tst_Tray::theChosenSinkOutlivesOthersUntilItGoes()
{
    QVERIFY(loadSink(QStringLiteral("ondaline_extra"), extra));
    startProgram(extraIndex);
    if (QTest::currentTestFailed())
        return;
    const qsizetype before = log().size();
    for (const bool load : { true, false }) {
        const qsizetype from = log().size();
        QVERIFY(load ? loadSink(QStringLiteral("ondaline_late"), QStringLiteral("Late")) : unloadSink(QStringLiteral("ondaline_late")));
        const qsizetype updated = waitForLine(QStringLiteral("Output devices list was updated"), from);
        QVERIFY2(updated >= 0 && waitForLine(changedTo(extra, extraIndex), updated, 5000) >= 0,
                 qPrintable(u"a sink after the chosen one changed the choice:\n"_qs + log().mid(from).join(u'\n')));
    }
    QCOMPARE(log().mid(before).filter(QStringLiteral("Output device changed to")).size(), 2);
    QVERIFY(log().mid(before).filter(QStringLiteral("is not valid")).isEmpty());
    QCOMPARE(storedIndex(), extraIndex);
    QCOMPARE(restartedSources(before), 0);

    const qsizetype lost = log().size();
    QVERIFY(unloadSink(QStringLiteral("ondaline_extra")));
    const qsizetype warned = waitForLine(QStringLiteral("(W): New output device index 4 is not valid"), lost, 5000);
    QVERIFY2(warned >= 0, qPrintable(log().mid(lost).join(u'\n')));
    const qsizetype changed = waitForLine(u"(I): "_qs + changedTo(QStringLiteral("Default device"), 0), warned, 5000);
    QVERIFY2(changed >= 0, qPrintable(log().mid(lost).join(u'\n')));
    QTRY_COMPARE_WITH_TIMEOUT(storedIndex(), 0, 5000);
    QVERIFY(waitFor([&] { return restartedSources(changed) == 2; }, 10000));
    QVERIFY(m_program->isRunning());
}

QTEST_GUILESS_MAIN(tst_Tray)
#include "tst_tray.moc"
