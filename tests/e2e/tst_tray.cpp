// The tray's "Output device" submenu of the real program on real (null)
// PulseAudio sinks, under Xvfb with a tray: what the submenu lists, a sink
// that appears while the program runs, choosing a sink from the submenu
// (setting, restart of every source, the sound on that sink) and losing the
// chosen sink again.
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
#include <QElapsedTimer>
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

#include "headlessdisplay.h"
#include "refservice.h"
#include "stationharness.h"

namespace {

const QString executable = QStringLiteral(ONDALINE_E2E_EXECUTABLE);
const QString artefactDir = QStringLiteral(ONDALINE_ARTEFACT_DIR);
constexpr quint16 servicePort = ONDALINE_E2E_SERVICE_PORT;
const QString stationId = QStringLiteral("north");
const QString sessionId = QStringLiteral("3f9a0c6e5b2d4781");
const QString renderMenuOption = QStringLiteral("--render-menu");
constexpr double micFrequencyHz = 440.0;

// ------------------------------------------------------------ child mode

// Renders the menu described by `spec` (an array of entries with "text",
// "enabled", "checkable", "checked", "submenu", "separator") into `path`
// and prints the entries' rectangles as a JSON array of [x, y, w, h].
int renderMenu(int argc, char **argv)
{
    QApplication app(argc, argv);
    const QString path = QString::fromLocal8Bit(argv[2]);
    const QJsonArray spec = QJsonDocument::fromJson(QByteArray(argv[3])).array();
    QMenu menu;
    QList<QAction *> actions;
    for (const QJsonValue &value : spec) {
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

bool waitFor(const std::function<bool()> &condition, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!condition()) {
        if (deadline.hasExpired())
            return false;
        QTest::qWait(100);
    }
    return true;
}

int colourCount(const QImage &image)
{
    QSet<QRgb> colours;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x)
            colours.insert(image.pixel(x, y));
    }
    return int(colours.size());
}

int differingPixels(const QImage &a, const QImage &b)
{
    if (a.size() != b.size())
        return a.width() * a.height();
    int count = 0;
    for (int y = 0; y < a.height(); ++y) {
        for (int x = 0; x < a.width(); ++x) {
            if (a.pixel(x, y) != b.pixel(x, y))
                ++count;
        }
    }
    return count;
}

bool writeFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

QStringList readLogLines(const QString &dir)
{
    QStringList lines;
    for (const QFileInfo &info : QDir(dir).entryInfoList({ QStringLiteral("ondaline_*.log") }, QDir::Files,
                                                        QDir::Time | QDir::Reversed)) {
        QFile file(info.filePath());
        if (file.open(QIODevice::ReadOnly))
            lines += QString::fromUtf8(file.readAll()).split(u'\n', Qt::SkipEmptyParts);
    }
    return lines;
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

qsizetype countLines(const QStringList &lines, const QString &text)
{
    qsizetype count = 0;
    for (const QString &line : lines)
        count += line.contains(text) ? 1 : 0;
    return count;
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
    void cleanupTestCase();

    void submenuListsTheDevices();
    void aNewSinkJoinsTheSubmenu();
    void choosingASinkRestartsTheSources();
    void losingTheChosenSinkFallsBackToTheFirstDevice();

private:
    struct Reference
    {
        QImage image;
        QList<QRect> entries;
    };
    bool renderReference(const QJsonArray &spec, Reference *reference, QString *error) const;
    // Right-clicks the tray icon, clicks "Output device" and checks both
    // menus against their references; the submenu's screen rectangle and
    // reference come back. The screenshot is kept under `shotName`.
    bool openOutputSubmenu(const QStringList &expectedEntries, int checkedEntry, const QString &shotName,
                           QRect *submenu, Reference *submenuReference, QString *error);
    bool closeMenus(QString *error);
    // "Default device", "No sound" and the sinks' descriptions in the
    // server's order, as the submenu should list them.
    QStringList expectedOutputEntries();
    [[nodiscard]] int storedOutputDeviceIndex() const;
    [[nodiscard]] QStringList log() const { return readLogLines(m_workDir.path()); }

    HeadlessDisplay m_display;
    StationHarness::PulseServer m_pulse;
    std::unique_ptr<StationHarness::SinkTone> m_microphone;
    RefService m_service;
    QTemporaryDir m_workDir;
    QProcess m_program;
    HeadlessDisplay::TopLevel m_window;
    HeadlessDisplay::TopLevel m_icon;
    QSet<QString> m_sources;
    int m_extraSinkModule = -1;
    QRect m_submenu;
    Reference m_submenuReference;
};

void tst_Tray::initTestCase()
{
    QVERIFY2(QFileInfo(executable).isExecutable(), qPrintable(executable + QStringLiteral(" is not built")));
    QVERIFY(QDir().mkpath(artefactDir));
    QVERIFY(m_workDir.isValid());

    QString error;
    QVERIFY2(m_display.start(true, &error), qPrintable(error));
    QVERIFY2(m_pulse.start(&error), qPrintable(error));
    // The recording source hears a tone: that is what the chosen sink plays.
    m_microphone = std::make_unique<StationHarness::SinkTone>(&m_pulse, QStringLiteral("ondaline_mic"),
                                                              micFrequencyHz);
    QVERIFY2(m_microphone->start(&error), qPrintable(error));

    // The service's one stream points where nothing listens: a second
    // source that plays, and is restarted, without being heard.
    const quint16 closedPort = StationHarness::freeTcpPort();
    QVERIFY(closedPort != 0);
    const QJsonObject data{
        { QStringLiteral("stations"),
          QJsonObject{ { stationId,
                         QJsonObject{ { QStringLiteral("name"), QStringLiteral("North Wave") },
                                      { QStringLiteral("city"), QStringLiteral("Harbourton") },
                                      { QStringLiteral("streams"),
                                        QJsonArray{ QStringLiteral("http://127.0.0.1:%1/main").arg(closedPort) } } } } } },
        { QStringLiteral("users"),
          QJsonArray{ RefService::makeUser(QStringLiteral("operator"), 7, stationId, QStringLiteral("secret")) } },
    };
    QVERIFY2(m_service.loadData(data, &error), qPrintable(error));
    QVERIFY2(m_service.start(servicePort, &error) == servicePort,
             qPrintable(QStringLiteral("the reference service cannot listen on port %1, which ondaline_e2e is "
                                       "built against (%2); reconfigure with another "
                                       "ONDALINE_E2E_SERVICE_PORT")
                                .arg(servicePort)
                                .arg(error)));
    m_service.addSession(sessionId, QStringLiteral("operator"));

    QVERIFY(writeFile(m_workDir.filePath(QStringLiteral("ondaline.ini")),
                      "[General]\nlanguage=en\nsid=" + sessionId.toUtf8()
                              + "\nusername=operator\nshowKeepRunningDialog=false\n"
                                "[sources]\n1\\streamUrl=record:0\n1\\volumeLevel=1\nsize=1\n"));
    QProcessEnvironment env = m_display.environment();
    for (const char *name : { "http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY", "all_proxy", "ALL_PROXY",
                              "LC_ALL", "LC_MESSAGES", "LANGUAGE" })
        env.remove(QString::fromLatin1(name));
    env.insert(QStringLiteral("LANG"), QStringLiteral("en_GB.UTF-8"));
    m_program.setWorkingDirectory(m_workDir.path());
    m_program.setProcessEnvironment(env);
    m_program.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_program.start(executable, {});
    QVERIFY2(m_program.waitForStarted(10000), qPrintable(m_program.errorString()));

    const bool shown = waitFor(
            [&] {
                for (const auto &candidate : m_display.viewableWindowsOf(m_program.processId())) {
                    if (candidate.geometry.size() == QSize(720, 540))
                        m_window = candidate;
                }
                return m_window.id != 0 || m_program.state() != QProcess::Running;
            },
            30000);
    QVERIFY2(shown && m_program.state() == QProcess::Running, "the program showed no main window");
    QVERIFY2(waitFor(
                     [&] {
                         m_icon = m_display.trayIconOf(m_program.processId());
                         return m_icon.id != 0;
                     },
                     15000),
             "the program put no icon into the tray");
    // Logged in once both sources play: the stored recording source and the
    // service's stream.
    QVERIFY2(waitFor([&] { return startedSources(log()).size() == 2; }, 30000),
             qPrintable(log().join(u'\n')));
    m_sources = startedSources(log());
}

void tst_Tray::cleanupTestCase()
{
    if (m_program.state() != QProcess::NotRunning) {
        m_program.kill();
        m_program.waitForFinished(10000);
    }
    if (m_extraSinkModule >= 0)
        m_pulse.unloadModule(m_extraSinkModule);
    m_microphone.reset();
    m_pulse.stop();
    m_display.stop();
}

bool tst_Tray::renderReference(const QJsonArray &spec, Reference *reference, QString *error) const
{
    QTemporaryDir dir;
    if (!dir.isValid()) {
        *error = QStringLiteral("no temporary directory");
        return false;
    }
    const QString path = dir.filePath(QStringLiteral("reference.png"));
    QProcess child;
    QProcessEnvironment env = m_display.environment();
    // The program's environment as launched, so both pick the same theme.
    env.remove(QStringLiteral("LC_ALL"));
    env.insert(QStringLiteral("LANG"), QStringLiteral("en_GB.UTF-8"));
    child.setProcessEnvironment(env);
    child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    child.start(QCoreApplication::applicationFilePath(),
                { renderMenuOption, path, QString::fromUtf8(QJsonDocument(spec).toJson(QJsonDocument::Compact)) });
    if (!child.waitForStarted(10000) || !child.waitForFinished(20000) || child.exitCode() != 0) {
        child.kill();
        child.waitForFinished(5000);
        *error = QStringLiteral("the reference menu could not be rendered (exit code %1)").arg(child.exitCode());
        return false;
    }
    reference->image = QImage(path).convertToFormat(QImage::Format_RGB32);
    reference->entries.clear();
    for (const QJsonValue &value : QJsonDocument::fromJson(child.readAllStandardOutput()).array()) {
        const QJsonArray r = value.toArray();
        reference->entries.append(QRect(r.at(0).toInt(), r.at(1).toInt(), r.at(2).toInt(), r.at(3).toInt()));
    }
    if (reference->image.isNull() || reference->entries.size() != spec.size()) {
        *error = QStringLiteral("the reference menu came back incomplete");
        return false;
    }
    return true;
}

QStringList tst_Tray::expectedOutputEntries()
{
    QStringList entries{ QStringLiteral("Default device"), QStringLiteral("No sound") };
    bool ok = false;
    const QString sinks = QString::fromUtf8(m_pulse.pactl({ QStringLiteral("list"), QStringLiteral("sinks") }, &ok));
    static const QRegularExpression description(QStringLiteral("^\\s*Description: (.*)$"),
                                                QRegularExpression::MultilineOption);
    auto it = description.globalMatch(sinks);
    while (it.hasNext())
        entries.append(it.next().captured(1).trimmed());
    return entries;
}

int tst_Tray::storedOutputDeviceIndex() const
{
    QSettings settings(m_workDir.filePath(QStringLiteral("ondaline.ini")), QSettings::IniFormat);
    return settings.value(QStringLiteral("outputDeviceIndex"), -1).toInt();
}

bool tst_Tray::openOutputSubmenu(const QStringList &expectedEntries, int checkedEntry, const QString &shotName,
                                 QRect *submenu, Reference *submenuReference, QString *error)
{
    const QJsonArray traySpec{
        menuEntry(QStringLiteral("North Wave Harbourton"), false),
        QJsonObject{ { QStringLiteral("text"), QStringLiteral("Output device") }, { QStringLiteral("submenu"), true } },
        menuEntry(QStringLiteral("Silence detection settings")),
        QJsonObject{ { QStringLiteral("separator"), true } },
        menuEntry(QStringLiteral("operator"), false),
        menuEntry(QStringLiteral("Logout")),
        QJsonObject{ { QStringLiteral("separator"), true } },
        menuEntry(QStringLiteral("About")),
        menuEntry(QStringLiteral("Close")),
    };
    QJsonArray submenuSpec;
    for (qsizetype i = 0; i < expectedEntries.size(); ++i)
        submenuSpec.append(QJsonObject{ { QStringLiteral("text"), expectedEntries.at(i) },
                                        { QStringLiteral("checkable"), true },
                                        { QStringLiteral("checked"), i == checkedEntry } });
    Reference trayReference;
    if (!renderReference(traySpec, &trayReference, error) || !renderReference(submenuSpec, submenuReference, error))
        return false;

    QStringList seen;
    const auto popupOfSize = [&](QSize size, QRect *found) {
        return waitFor(
                [&] {
                    seen.clear();
                    for (const auto &candidate : m_display.viewableWindowsOf(m_program.processId())) {
                        seen.append(QStringLiteral("%1x%2+%3+%4").arg(candidate.geometry.width()).arg(candidate.geometry.height()).arg(candidate.geometry.x()).arg(candidate.geometry.y()));
                        if (candidate.id != m_window.id && candidate.geometry.size() == size)
                            *found = candidate.geometry;
                    }
                    return found->isValid();
                },
                10000);
    };
    QRect trayMenu;
    if (!m_display.click(m_icon.geometry.center(), 3) || !popupOfSize(trayReference.image.size(), &trayMenu)) {
        QString e; m_display.screenshot(artefactDir + QStringLiteral("/dbg-tray.png"), &e); trayReference.image.save(artefactDir + QStringLiteral("/dbg-tray-ref.png"));
        *error = QStringLiteral("no tray menu of the size of the reference (%1 x %2); windows: %3")
                         .arg(trayReference.image.width())
                         .arg(trayReference.image.height()).arg(seen.join(u' '));
        return false;
    }
    // Clicking a submenu's entry opens it at once.
    if (!m_display.click(trayMenu.topLeft() + trayReference.entries.at(1).center(), 1)
        || !popupOfSize(submenuReference->image.size(), submenu)) {
        *error = QStringLiteral("no output device submenu of the size of the reference (%1 x %2)")
                         .arg(submenuReference->image.width())
                         .arg(submenuReference->image.height());
        return false;
    }

    const QString path = artefactDir + QLatin1Char('/') + shotName + QStringLiteral(".png");
    int differing = -1;
    const bool matched = waitFor(
            [&] {
                QString shotError;
                if (!m_display.screenshot(path, &shotError))
                    return false;
                const QImage shot = QImage(path).convertToFormat(QImage::Format_RGB32);
                differing = differingPixels(shot.copy(*submenu), submenuReference->image);
                return differing == 0;
            },
            10000);
    if (!matched) {
        submenuReference->image.save(artefactDir + QLatin1Char('/') + shotName + QStringLiteral("-expected.png"));
        *error = QStringLiteral("the submenu differs in %1 pixels from one listing \"%2\" with entry %3 checked; "
                                "see %4")
                         .arg(differing)
                         .arg(expectedEntries.join(QStringLiteral("\", \"")))
                         .arg(checkedEntry)
                         .arg(path);
        return false;
    }
    return true;
}

bool tst_Tray::closeMenus(QString *error)
{
    // A click on the bare screen closes every open popup.
    const QPoint outside(m_window.geometry.right() + 20, m_window.geometry.bottom() + 20);
    const bool closed = m_display.click(outside, 1) && waitFor(
            [&] {
                const auto windows = m_display.viewableWindowsOf(m_program.processId());
                return windows.size() == 1 && windows.first().id == m_window.id;
            },
            10000);
    if (!closed)
        *error = QStringLiteral("the tray menu did not close");
    return closed;
}

void tst_Tray::submenuListsTheDevices()
{
    const QStringList expected = expectedOutputEntries();
    // The harness's two null sinks: its fake microphone's feed and the output.
    QCOMPARE(expected.size(), 4);
    QString error;
    QVERIFY2(openOutputSubmenu(expected, 0, QStringLiteral("tray-output-devices"), &m_submenu,
                               &m_submenuReference, &error),
             qPrintable(error));
    const QImage shot = QImage(artefactDir + QStringLiteral("/tray-output-devices.png"));
    QVERIFY(colourCount(shot.copy(m_submenu)) > 8);
    QVERIFY2(closeMenus(&error), qPrintable(error));
}

void tst_Tray::aNewSinkJoinsTheSubmenu()
{
    const QString updated = QStringLiteral("Output devices list was updated");
    const qsizetype updatesBefore = countLines(log(), updated);
    const qsizetype linesBefore = log().size();
    QElapsedTimer sinceLoad;
    sinceLoad.start();
    m_extraSinkModule = m_pulse.loadModule(QStringLiteral("module-null-sink"),
                                           { QStringLiteral("sink_name=ondaline_extra"), QStringLiteral("rate=48000"),
                                             QStringLiteral("channels=2"),
                                             QStringLiteral("sink_properties=device.description=Ondaline_Extra_Output") });
    QVERIFY2(m_extraSinkModule >= 0, "pactl could not load another null sink");
    QVERIFY2(waitFor([&] { return countLines(log(), updated) > updatesBefore; }, 3000),
             "the program did not notice the new sink within 3 s");
    qInfo() << "The new sink was listed after" << sinceLoad.elapsed() << "ms";

    // A device added at the end leaves the chosen index as it was: logged
    // and stored again, nothing restarted.
    QVERIFY(waitFor(
            [&] { return findLine(log(), QStringLiteral("Output device changed to \"Default device\" index 0"),
                                  linesBefore) >= 0; },
            5000));
    QTRY_COMPARE_WITH_TIMEOUT(storedOutputDeviceIndex(), 0, 5000);

    const QStringList expected = expectedOutputEntries();
    QCOMPARE(expected.size(), 5);
    QCOMPARE(expected.last(), QStringLiteral("Ondaline_Extra_Output"));
    QString error;
    QVERIFY2(openOutputSubmenu(expected, 0, QStringLiteral("tray-output-devices-added"), &m_submenu,
                               &m_submenuReference, &error),
             qPrintable(error));
    QVERIFY2(startedSources(log(), linesBefore).isEmpty(), "a new device at the end restarted the sources");
}

// The submenu is still open from the test before.
void tst_Tray::choosingASinkRestartsTheSources()
{
    QVERIFY2(m_extraSinkModule >= 0 && m_submenuReference.entries.size() == 5, "no extra sink in the submenu");
    const qsizetype linesBefore = log().size();
    QVERIFY(m_display.click(m_submenu.topLeft() + m_submenuReference.entries.at(4).center(), 1));

    const QString changed = QStringLiteral("Output device changed to \"Ondaline_Extra_Output\" index 4");
    qsizetype changedAt = -1;
    QVERIFY2(waitFor(
                     [&] {
                         changedAt = findLine(log(), changed, linesBefore);
                         return changedAt >= 0;
                     },
                     5000),
             qPrintable(log().mid(linesBefore).join(u'\n')));
    QTRY_COMPARE_WITH_TIMEOUT(storedOutputDeviceIndex(), 4, 5000);
    QVERIFY2(waitFor([&] { return startedSources(log(), changedAt) == m_sources; }, 10000),
             qPrintable(log().mid(changedAt).join(u'\n')));

    // The recording source is heard on the chosen sink.
    StationHarness::Capture capture(&m_pulse, QStringLiteral("ondaline_extra.monitor"));
    QString error;
    QVERIFY2(capture.start(&error), qPrintable(error));
    QVERIFY(waitFor([&] { return capture.samples().size() >= 2 * 48000 * 2; }, 10000));
    const QVector<qint16> heard = StationHarness::tail(capture.stop(), 1000);
    QVERIFY2(qAbs(StationHarness::dominantFrequency(heard) - micFrequencyHz) < 10,
             qPrintable(QString::number(StationHarness::dominantFrequency(heard))));
    QVERIFY(StationHarness::peakLevel(heard) > 0.05);
}

void tst_Tray::losingTheChosenSinkFallsBackToTheFirstDevice()
{
    QVERIFY2(m_extraSinkModule >= 0 && storedOutputDeviceIndex() == 4, "the extra sink was not chosen");
    const qsizetype linesBefore = log().size();
    QVERIFY(m_pulse.unloadModule(m_extraSinkModule));
    m_extraSinkModule = -1;

    qsizetype warnedAt = -1;
    QVERIFY2(waitFor(
                     [&] {
                         warnedAt = findLine(log(), QStringLiteral("New output device index 4 is not valid"),
                                             linesBefore);
                         return warnedAt >= 0;
                     },
                     5000),
             qPrintable(log().mid(linesBefore).join(u'\n')));
    QVERIFY(log().at(warnedAt).contains(QStringLiteral("(W)")));
    qsizetype changedAt = -1;
    QVERIFY(waitFor(
            [&] {
                changedAt = findLine(log(), QStringLiteral("Output device changed to \"No sound\" index 1"), warnedAt);
                return changedAt >= 0;
            },
            5000));
    QTRY_COMPARE_WITH_TIMEOUT(storedOutputDeviceIndex(), 1, 5000);
    QVERIFY2(waitFor([&] { return startedSources(log(), changedAt) == m_sources; }, 10000),
             qPrintable(log().mid(changedAt).join(u'\n')));
    QCOMPARE(m_program.state(), QProcess::Running);
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
