// The tray's "Output device" submenu of the real program on real (null)
// PulseAudio sinks, under Xvfb with a tray: what the submenu lists, a sink
// that appears while the program runs, choosing a sink from the submenu
// (setting, restart of every source, the sound on that sink) and losing the
// chosen sink again. Every case starts the program afresh in its own
// working directory, with the sinks it needs and nothing left by another.
//
// What the submenu shows is compared with a menu that this executable
// renders itself, in a child process on the same display, from the entries
// the submenu should have: same Qt, style and fonts, so the pictures match
// only when the labels, their order and the check mark do. The child also
// reports where each entry lies, which is where the clicks go.
#include <QtTest>

#include <QAction>
#include <QApplication>
#include <QDeadlineTimer>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMenu>
#include <QProcess>
#include <QRegularExpression>
#include <QSettings>
#include <QTemporaryDir>

#include <functional>
#include <memory>

#include "desktop.h"
#include "servicefixture.h"
#include "stationharness.h"
#include "testsupport.h"

using Pixels::colourCount;
using TestSupport::waitFor;
using TestSupport::writeFile;

namespace {

const QString executable = QStringLiteral(ONDALINE_E2E_EXECUTABLE);
const QString artefactDir = QStringLiteral(ONDALINE_ARTEFACT_DIR);
constexpr quint16 servicePort = ONDALINE_E2E_SERVICE_PORT;
const QString stationId = QStringLiteral("north");
const QString sessionId = QStringLiteral("3f9a0c6e5b2d4781");
const QString renderMenuOption = QStringLiteral("--render-menu");
constexpr double micFrequencyHz = 440.0;

// ------------------------------------------------------------ child mode

// Renders the menu described by `entries` (an array of entries with "text",
// "enabled", "checkable", "checked", "submenu", "separator") into `path`
// and prints the entries' rectangles as a JSON array of [x, y, w, h].
int renderMenu(int argc, char **argv)
{
    QApplication app(argc, argv);
    const QString path = QString::fromLocal8Bit(argv[2]);
    const QJsonArray entries = QJsonDocument::fromJson(QByteArray(argv[3])).array();
    QMenu menu;
    QList<QAction *> actions;
    for (const QJsonValue &value : entries) {
        const QJsonObject entry = value.toObject();
        QAction *action = nullptr;
        if (entry.value(QStringLiteral("separator")).toBool()) {
            action = menu.addSeparator();
        } else if (entry.value(QStringLiteral("submenu")).toBool()) {
            auto *submenu = new QMenu(entry.value(QStringLiteral("text")).toString(), &menu);
            action = menu.addMenu(submenu);
        } else {
            action = menu.addAction(entry.value(QStringLiteral("text")).toString());
            action->setCheckable(entry.value(QStringLiteral("checkable")).toBool());
            action->setChecked(entry.value(QStringLiteral("checked")).toBool());
        }
        action->setEnabled(entry.value(QStringLiteral("enabled")).toBool(true));
        actions.append(action);
    }
    menu.ensurePolished();
    menu.resize(menu.sizeHint());
    if (!menu.grab().save(path))
        return 2;
    QJsonArray rects;
    for (QAction *action : actions) {
        const QRect r = menu.actionGeometry(action);
        rects.append(QJsonArray{ r.x(), r.y(), r.width(), r.height() });
    }
    QTextStream(stdout) << QJsonDocument(rects).toJson(QJsonDocument::Compact) << Qt::endl;
    return 0;
}

// ------------------------------------------------------------ helpers

// The program's menus (Qt.labs.platform's) may come out a few pixels wider
// than a plain QMenu with the same entries, the tray menu by 8 here; the
// extra width is empty. So the left part and the right edge are compared,
// each with the reference.
int menuDifference(const QImage &shown, const QImage &reference)
{
    const int extra = shown.width() - reference.width();
    if (shown.height() != reference.height() || extra < 0 || extra > 16)
        return shown.width() * shown.height();
    constexpr int edge = 16;
    const int left = reference.width() - edge;
    return Pixels::differing(shown.copy(0, 0, left, shown.height()), reference.copy(0, 0, left, shown.height()))
            + Pixels::differing(shown.copy(shown.width() - edge, 0, edge, shown.height()),
                                reference.copy(left, 0, edge, shown.height()));
}

// The first line at or after `from` that contains `text`, or -1.
qsizetype findLine(const QStringList &lines, const QString &text, qsizetype from = 0)
{
    for (qsizetype i = qMax<qsizetype>(from, 0); i < lines.size(); ++i) {
        if (lines.at(i).contains(text))
            return i;
    }
    return -1;
}

// The sources named in "start playing" lines from `from` on.
QSet<QString> startedSources(const QStringList &lines, qsizetype from = 0)
{
    static const QRegularExpression started(QStringLiteral("Source (.*) start playing"));
    QSet<QString> names;
    for (qsizetype i = qMax<qsizetype>(from, 0); i < lines.size(); ++i) {
        const QRegularExpressionMatch match = started.match(lines.at(i));
        if (match.hasMatch())
            names.insert(match.captured(1));
    }
    return names;
}

QJsonObject menuEntry(const QString &text, bool enabled = true)
{
    return { { QStringLiteral("text"), text }, { QStringLiteral("enabled"), enabled } };
}

} // namespace

class tst_Tray : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void cleanupTestCase();

    void submenuListsTheDevices();
    void aNewSinkJoinsTheSubmenu();
    void choosingASinkRestartsTheSources();
    void aSinkAddedAfterTheChosenOneKeepsTheChoice();
    void losingTheChosenSinkFallsBackToTheDefaultDevice();

private:
    struct Reference
    {
        QImage image;
        QList<QRect> entries;
    };
    bool renderReference(const QJsonArray &entries, Reference *reference, QString *error) const;
    // Right-clicks the tray icon, clicks "Output device" and checks that
    // both menus show what their references show: the submenu with the
    // sound server's devices and `checkedEntry` checked. The screenshot is
    // kept under `shotName`; the submenu stays open.
    bool openOutputSubmenu(int checkedEntry, const QString &shotName, QString *error);
    bool closeMenus(QString *error);
    // Chooses `entry` in the submenu and returns the log line that
    // announced the change.
    bool choose(int entry, qsizetype *changedAt, QString *error);
    // "Default device", "No sound" and the sinks' descriptions in the sound
    // server's order: what the submenu should list.
    QStringList expectedOutputEntries();
    bool loadSink(const QString &name, const QString &description);
    // Starts the program on the stored device `outputDeviceIndex`; returns
    // once both sources play.
    void startProgram(int outputDeviceIndex = 0);
    bool unloadSink(const QString &name);
    // Waits for a log line containing `text` at or after line `from`.
    bool waitForLine(const QString &text, qsizetype from, int timeoutMs, qsizetype *at = nullptr);
    // Waits until every source has logged "start playing" after line `from`.
    bool sourcesRestartedAfter(qsizetype from);
    [[nodiscard]] int storedOutputDeviceIndex() const;
    [[nodiscard]] QStringList log() const { return TestSupport::dayLogLines(m_workDir->path()); }
    [[nodiscard]] QString logFrom(qsizetype from) const { return log().mid(from).join(u'\n'); }
    // The lines about the output device choice from line `from` on.
    [[nodiscard]] QStringList changesSince(qsizetype from) const;

    HeadlessDisplay m_display;
    StationHarness::PulseServer m_pulse;
    std::unique_ptr<StationHarness::SinkTone> m_microphone;
    RefService m_service;
    std::unique_ptr<QTemporaryDir> m_workDir;
    std::unique_ptr<Program> m_program;
    HeadlessDisplay::TopLevel m_window;
    HeadlessDisplay::TopLevel m_icon;
    QSet<QString> m_sources;
    QHash<QString, int> m_sinkModules;
    QRect m_submenu;
    Reference m_submenuReference;
};

void tst_Tray::initTestCase()
{
    QVERIFY2(QFileInfo(executable).isExecutable(), qPrintable(executable + QStringLiteral(" is not built")));
    QVERIFY(QDir().mkpath(artefactDir));

    QString error;
    QVERIFY2(m_display.start(true, &error), qPrintable(error));
    QVERIFY2(m_pulse.start(&error), qPrintable(error));
    // The recording source hears a tone: that is what the chosen sink plays.
    m_microphone = std::make_unique<StationHarness::SinkTone>(&m_pulse, QStringLiteral("ondaline_mic"),
                                                              micFrequencyHz);
    QVERIFY2(m_microphone->start(&error), qPrintable(error));

    // The service's one stream points where nothing listens: a second
    // source that plays, and is restarted, without being heard.
    TestSupport::Station station;
    station.id = stationId;
    station.name = QStringLiteral("North Wave");
    station.city = QStringLiteral("Harbourton");
    station.streams = QStringList { TestSupport::closedServiceUrl() + QStringLiteral("/main") };
    station.user = QStringLiteral("operator");
    QVERIFY2(TestSupport::startService(m_service, station, servicePort, &error), qPrintable(error));
    m_service.addSession(sessionId, QStringLiteral("operator"));
}

void tst_Tray::init()
{
    m_workDir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_workDir->isValid());
    m_window = {};
    m_icon = {};
}

void tst_Tray::startProgram(int outputDeviceIndex)
{
    QVERIFY(writeFile(m_workDir->filePath(QStringLiteral("ondaline.ini")),
                      "[General]\nlanguage=en\nsid=" + sessionId.toUtf8()
                              + "\nusername=operator\nshowKeepRunningDialog=false\noutputDeviceIndex="
                              + QByteArray::number(outputDeviceIndex)
                              + "\n[sources]\n1\\streamUrl=record:0\n1\\volumeLevel=1\nsize=1\n"));
    m_program = std::make_unique<Program>();
    QString error;
    QVERIFY2(m_program->start(executable, m_workDir->path(), m_display.programEnvironment(), &error),
             qPrintable(error));
    QVERIFY2(m_program->waitForWindow(m_display, &m_window), m_program->describe());
    QVERIFY2(m_program->waitForTrayIcon(m_display, &m_icon), "the program put no icon into the tray");
    // Logged in once both play: the stored recording source and the
    // service's stream.
    QVERIFY2(waitFor([&] { return startedSources(log()).size() == 2; }, 30000), qPrintable(logFrom(0)));
    m_sources = startedSources(log());
}

void tst_Tray::cleanup()
{
    m_program.reset();
    // The program's log goes with the screenshots, for a look after a failure.
    if (QTest::currentTestFailed())
        writeFile(artefactDir + QStringLiteral("/tray-%1.log").arg(QString::fromLatin1(QTest::currentTestFunction())),
                  logFrom(0).toUtf8() + '\n');
    for (int module : std::as_const(m_sinkModules))
        m_pulse.unloadModule(module);
    m_sinkModules.clear();
    m_workDir.reset();
}

void tst_Tray::cleanupTestCase()
{
    m_microphone.reset();
    m_pulse.stop();
    m_display.stop();
}

bool tst_Tray::renderReference(const QJsonArray &entries, Reference *reference, QString *error) const
{
    QTemporaryDir dir;
    if (!dir.isValid()) {
        *error = QStringLiteral("no temporary directory");
        return false;
    }
    const QString path = dir.filePath(QStringLiteral("reference.png"));
    QProcess child;
    // The program's environment, so that both choose the same theme.
    child.setProcessEnvironment(m_program->process().processEnvironment());
    child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    child.start(QCoreApplication::applicationFilePath(),
                { renderMenuOption, path, QString::fromUtf8(QJsonDocument(entries).toJson(QJsonDocument::Compact)) });
    if (!child.waitForStarted(10000) || !child.waitForFinished(20000) || child.exitCode() != 0) {
        child.kill();
        child.waitForFinished(5000);
        *error = QStringLiteral("the reference menu could not be rendered (exit code %1)").arg(child.exitCode());
        return false;
    }
    reference->image = QImage(path).convertToFormat(QImage::Format_RGB32);
    reference->entries.clear();
    const QJsonArray rects = QJsonDocument::fromJson(child.readAllStandardOutput()).array();
    for (const QJsonValue &value : rects) {
        const QJsonArray r = value.toArray();
        reference->entries.append(QRect(r.at(0).toInt(), r.at(1).toInt(), r.at(2).toInt(), r.at(3).toInt()));
    }
    if (reference->image.isNull() || reference->entries.size() != entries.size()) {
        *error = QStringLiteral("the reference menu came back incomplete");
        return false;
    }
    return true;
}

bool tst_Tray::openOutputSubmenu(int checkedEntry, const QString &shotName, QString *error)
{
    const QJsonArray traySpec{
        menuEntry(QStringLiteral("North Wave Harbourton"), false),
        QJsonObject{ { QStringLiteral("text"), QStringLiteral("Output device") },
                     { QStringLiteral("submenu"), true } },
        menuEntry(QStringLiteral("Silence detection settings")),
        QJsonObject{ { QStringLiteral("separator"), true } },
        menuEntry(QStringLiteral("operator"), false),
        menuEntry(QStringLiteral("Logout")),
        QJsonObject{ { QStringLiteral("separator"), true } },
        menuEntry(QStringLiteral("About")),
        menuEntry(QStringLiteral("Close")),
    };
    const QStringList expected = expectedOutputEntries();
    QJsonArray submenuSpec;
    for (qsizetype i = 0; i < expected.size(); ++i)
        submenuSpec.append(QJsonObject{ { QStringLiteral("text"), expected.at(i) },
                                        { QStringLiteral("checkable"), true },
                                        { QStringLiteral("checked"), i == checkedEntry } });
    Reference trayReference;
    if (!renderReference(traySpec, &trayReference, error)
        || !renderReference(submenuSpec, &m_submenuReference, error))
        return false;

    const QString path = artefactDir + QLatin1Char('/') + shotName + QStringLiteral(".png");
    // Waits for a popup of the program, other than the window and `other`,
    // that shows what `reference` shows.
    QRect found;
    unsigned long foundId = 0;
    int differing = -1;
    const auto showsPopup = [&](const Reference &reference, unsigned long other) {
        found = {};
        return waitFor(
                [&] {
                    QString shotError;
                    if (!m_display.screenshot(path, &shotError))
                        return false;
                    const QImage shot = QImage(path).convertToFormat(QImage::Format_RGB32);
                    for (const auto &candidate : m_display.viewableWindowsOf(m_program->pid())) {
                        if (candidate.id == m_window.id || candidate.id == other)
                            continue;
                        found = candidate.geometry;
                        foundId = candidate.id;
                        differing = menuDifference(shot.copy(found), reference.image);
                        if (differing == 0)
                            return true;
                    }
                    return false;
                },
                10000);
    };
    const auto describe = [&](const QString &what, const Reference &reference) {
        const QString expectedPath = artefactDir + QLatin1Char('/') + shotName + QStringLiteral("-expected.png");
        reference.image.save(expectedPath);
        *error = QStringLiteral("%1 (%2 x %3 at %4, %5) differs in %6 pixels from the expected %7 x %8 (%9); "
                                "see %10")
                         .arg(what)
                         .arg(found.width())
                         .arg(found.height())
                         .arg(found.x())
                         .arg(found.y())
                         .arg(differing)
                         .arg(reference.image.width())
                         .arg(reference.image.height())
                         .arg(expectedPath, path);
    };

    if (!m_display.click(m_icon.geometry.center(), 3) || !showsPopup(trayReference, 0)) {
        describe(QStringLiteral("the tray menu"), trayReference);
        return false;
    }
    const QRect trayMenu = found;
    // Clicking an entry that holds a submenu opens the submenu at once.
    if (!m_display.click(trayMenu.topLeft() + trayReference.entries.at(1).center(), 1)
        || !showsPopup(m_submenuReference, foundId)) {
        describe(QStringLiteral("the output device submenu listing \"%1\" with entry %2 checked")
                         .arg(expected.join(QStringLiteral("\", \"")))
                         .arg(checkedEntry),
                 m_submenuReference);
        return false;
    }
    m_submenu = found;
    return true;
}

bool tst_Tray::closeMenus(QString *error)
{
    // A click on the bare screen closes every open popup.
    const QPoint outside(m_window.geometry.right() + 20, m_window.geometry.bottom() + 20);
    const bool closed = m_display.click(outside, 1) && waitFor(
            [&] {
                const auto windows = m_display.viewableWindowsOf(m_program->pid());
                return windows.size() == 1 && windows.first().id == m_window.id;
            },
            10000);
    if (!closed)
        *error = QStringLiteral("the tray menu did not close");
    return closed;
}

bool tst_Tray::choose(int entry, qsizetype *changedAt, QString *error)
{
    const int stored = storedOutputDeviceIndex();
    if (!openOutputSubmenu(stored, QStringLiteral("tray-output-devices-choice"), error))
        return false;
    const QStringList entries = expectedOutputEntries();
    if (entry >= m_submenuReference.entries.size()) {
        *error = QStringLiteral("the submenu has no entry %1").arg(entry);
        return false;
    }
    const qsizetype from = log().size();
    if (!m_display.click(m_submenu.topLeft() + m_submenuReference.entries.at(entry).center(), 1)) {
        *error = QStringLiteral("xdotool could not click");
        return false;
    }
    const QString changed =
            QStringLiteral("Output device changed to \"%1\" index %2").arg(entries.at(entry)).arg(entry);
    if (!waitForLine(changed, from, 5000, changedAt)) {
        *error = QStringLiteral("no line \"%1\" after choosing it; the log since:\n%2")
                         .arg(changed, logFrom(from));
        return false;
    }
    return true;
}

QStringList tst_Tray::expectedOutputEntries()
{
    QStringList entries{ QStringLiteral("Default device"), QStringLiteral("No sound") };
    // JSON, since the plain listing follows the locale.
    const QJsonArray sinks = QJsonDocument::fromJson(m_pulse.pactl({ QStringLiteral("--format=json"),
                                                                     QStringLiteral("list"),
                                                                     QStringLiteral("sinks") }))
                                     .array();
    for (const QJsonValue &sink : sinks)
        entries.append(sink.toObject().value(QStringLiteral("description")).toString());
    return entries;
}

bool tst_Tray::loadSink(const QString &name, const QString &description)
{
    const int module = m_pulse.loadModule(QStringLiteral("module-null-sink"),
                                          { QStringLiteral("sink_name=") + name, QStringLiteral("rate=48000"),
                                            QStringLiteral("channels=2"),
                                            QStringLiteral("sink_properties=device.description=") + description });
    if (module < 0)
        return false;
    m_sinkModules.insert(name, module);
    return true;
}

bool tst_Tray::unloadSink(const QString &name)
{
    return m_sinkModules.contains(name) && m_pulse.unloadModule(m_sinkModules.take(name));
}

bool tst_Tray::waitForLine(const QString &text, qsizetype from, int timeoutMs, qsizetype *at)
{
    qsizetype found = -1;
    const bool seen = waitFor(
            [&] {
                found = findLine(log(), text, from);
                return found >= 0;
            },
            timeoutMs);
    if (at)
        *at = found;
    return seen;
}

bool tst_Tray::sourcesRestartedAfter(qsizetype from)
{
    return waitFor([&] { return startedSources(log(), from) == m_sources; }, 10000);
}

QStringList tst_Tray::changesSince(qsizetype from) const
{
    QStringList changes;
    const QStringList lines = log().mid(from);
    for (const QString &line : lines) {
        if (line.contains(QStringLiteral("Output device changed to"))
            || line.contains(QStringLiteral("is not valid")))
            changes.append(line);
    }
    return changes;
}

int tst_Tray::storedOutputDeviceIndex() const
{
    QSettings settings(m_workDir->filePath(QStringLiteral("ondaline.ini")), QSettings::IniFormat);
    return settings.value(QStringLiteral("outputDeviceIndex"), 0).toInt();
}

void tst_Tray::submenuListsTheDevices()
{
    startProgram();
    if (QTest::currentTestFailed())
        return;
    // The harness's two null sinks: the fake microphone's feed and the output.
    QCOMPARE(expectedOutputEntries().size(), 4);
    QString error;
    QVERIFY2(openOutputSubmenu(0, QStringLiteral("tray-output-devices"), &error), qPrintable(error));
    const QImage shot(artefactDir + QStringLiteral("/tray-output-devices.png"));
    QVERIFY2(colourCount(shot) > 32 && colourCount(shot.copy(m_submenu)) > 8, "a blank screenshot");
    QVERIFY2(closeMenus(&error), qPrintable(error));
}

void tst_Tray::aNewSinkJoinsTheSubmenu()
{
    startProgram();
    if (QTest::currentTestFailed())
        return;
    const qsizetype linesBefore = log().size();
    QVERIFY2(loadSink(QStringLiteral("ondaline_extra"), QStringLiteral("Ondaline_Extra_Output")),
             "pactl could not load another null sink");
    qsizetype updatedAt = -1;
    QVERIFY2(waitForLine(QStringLiteral("(I): Output devices list was updated"), linesBefore, 15000, &updatedAt),
             "the program did not list the new sink");

    // Appended at the end, the sink leaves the default device chosen.
    QVERIFY(waitForLine(QStringLiteral("Output device changed to \"Default device\" index 0"), updatedAt, 5000));
    QTRY_COMPARE_WITH_TIMEOUT(storedOutputDeviceIndex(), 0, 5000);
    const QStringList expected = expectedOutputEntries();
    QCOMPARE(expected.size(), 5);
    QCOMPARE(expected.last(), QStringLiteral("Ondaline_Extra_Output"));
    QString error;
    QVERIFY2(openOutputSubmenu(0, QStringLiteral("tray-output-devices-added"), &error), qPrintable(error));
    QVERIFY2(closeMenus(&error), qPrintable(error));
    QVERIFY2(startedSources(log(), linesBefore).isEmpty(), qPrintable(logFrom(linesBefore)));
}

void tst_Tray::choosingASinkRestartsTheSources()
{
    QVERIFY2(loadSink(QStringLiteral("ondaline_extra"), QStringLiteral("Ondaline_Extra_Output")),
             "pactl could not load another null sink");
    startProgram();
    if (QTest::currentTestFailed())
        return;
    qsizetype changedAt = -1;
    QString error;
    QVERIFY2(choose(4, &changedAt, &error), qPrintable(error));
    QVERIFY(log().at(changedAt).contains(QStringLiteral("(I): Output device changed to \"Ondaline_Extra_Output\" "
                                                        "index 4")));
    QTRY_COMPARE_WITH_TIMEOUT(storedOutputDeviceIndex(), 4, 5000);
    QVERIFY2(sourcesRestartedAfter(changedAt), qPrintable(logFrom(changedAt)));

    // The recording source is heard on the chosen sink, and no longer on
    // the default one.
    StationHarness::Capture chosen(&m_pulse, QStringLiteral("ondaline_extra.monitor"));
    StationHarness::Capture previous(&m_pulse, QStringLiteral("ondaline_out.monitor"));
    QVERIFY2(chosen.start(&error), qPrintable(error));
    QVERIFY2(previous.start(&error), qPrintable(error));
    QVERIFY(waitFor([&] { return chosen.samples().size() >= 2 * 48000 * 2; }, 10000));
    const QVector<qint16> heard = StationHarness::tail(chosen.stop(), 1000);
    const QVector<qint16> left = StationHarness::tail(previous.stop(), 1000);
    const double frequency = StationHarness::dominantFrequency(heard);
    QVERIFY2(qAbs(frequency - micFrequencyHz) < 10 && StationHarness::peakLevel(heard) > 0.05,
             qPrintable(QStringLiteral("%1 Hz at peak %2").arg(frequency).arg(StationHarness::peakLevel(heard))));
    QVERIFY2(StationHarness::peakLevel(left) < 0.01, qPrintable(QString::number(StationHarness::peakLevel(left))));
}

// Positions name the devices: one added or removed after the chosen one
// changes nothing but the list.
void tst_Tray::aSinkAddedAfterTheChosenOneKeepsTheChoice()
{
    QVERIFY2(loadSink(QStringLiteral("ondaline_extra"), QStringLiteral("Ondaline_Extra_Output")),
             "pactl could not load another null sink");
    startProgram(4);
    if (QTest::currentTestFailed())
        return;
    const QString kept = QStringLiteral("Output device changed to \"Ondaline_Extra_Output\" index 4");

    const qsizetype linesBefore = log().size();
    QVERIFY2(loadSink(QStringLiteral("ondaline_late"), QStringLiteral("Ondaline_Late_Output")),
             "pactl could not load another null sink");
    qsizetype updatedAt = -1;
    QVERIFY(waitForLine(QStringLiteral("Output devices list was updated"), linesBefore, 15000, &updatedAt));
    QVERIFY2(waitForLine(kept, updatedAt, 5000),
             qPrintable(QStringLiteral("a sink added after the chosen one changed the choice:\n")
                        + changesSince(linesBefore).join(u'\n')));
    QString error;
    QVERIFY2(openOutputSubmenu(4, QStringLiteral("tray-output-devices-kept"), &error), qPrintable(error));
    QVERIFY2(closeMenus(&error), qPrintable(error));

    const qsizetype removedFrom = log().size();
    QVERIFY(unloadSink(QStringLiteral("ondaline_late")));
    QVERIFY(waitForLine(QStringLiteral("Output devices list was updated"), removedFrom, 15000, &updatedAt));
    QVERIFY2(waitForLine(kept, updatedAt, 5000),
             qPrintable(QStringLiteral("a sink removed after the chosen one changed the choice:\n")
                        + changesSince(removedFrom).join(u'\n')));

    // One line per list change, each naming the kept device.
    const QStringList changes = changesSince(linesBefore);
    QCOMPARE(changes.size(), 2);
    for (const QString &line : changes)
        QVERIFY2(line.contains(kept), qPrintable(line));
    QCOMPARE(storedOutputDeviceIndex(), 4);
    QVERIFY2(startedSources(log(), linesBefore).isEmpty(), qPrintable(logFrom(linesBefore)));
}

void tst_Tray::losingTheChosenSinkFallsBackToTheDefaultDevice()
{
    QVERIFY2(loadSink(QStringLiteral("ondaline_extra"), QStringLiteral("Ondaline_Extra_Output")),
             "pactl could not load another null sink");
    startProgram(4);
    if (QTest::currentTestFailed())
        return;
    const qsizetype linesBefore = log().size();
    QVERIFY(unloadSink(QStringLiteral("ondaline_extra")));

    qsizetype warnedAt = -1;
    QVERIFY2(waitForLine(QStringLiteral("(W): New output device index 4 is not valid"), linesBefore, 5000,
                         &warnedAt),
             qPrintable(QStringLiteral("no warning when the chosen sink went away:\n")
                        + changesSince(linesBefore).join(u'\n')));
    qsizetype changedAt = -1;
    QVERIFY2(waitForLine(QStringLiteral("(I): Output device changed to \"Default device\" index 0"), warnedAt, 5000,
                         &changedAt),
             qPrintable(changesSince(linesBefore).join(u'\n')));
    QTRY_COMPARE_WITH_TIMEOUT(storedOutputDeviceIndex(), 0, 5000);
    QVERIFY2(sourcesRestartedAfter(changedAt), qPrintable(logFrom(changedAt)));

    QString error;
    QVERIFY2(openOutputSubmenu(0, QStringLiteral("tray-output-devices-fallback"), &error), qPrintable(error));
    QVERIFY2(closeMenus(&error), qPrintable(error));
    QVERIFY(m_program->isRunning());
}

int main(int argc, char *argv[])
{
    if (argc == 4 && QString::fromLocal8Bit(argv[1]) == renderMenuOption)
        return renderMenu(argc, argv);
    QCoreApplication app(argc, argv);
    tst_Tray test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_tray.moc"
