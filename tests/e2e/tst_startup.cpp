// The real executable on a private X display with a tray: banner lines,
// single instance, stale lock, missing tray, unwritable directory, and the
// two ways out: closing the window on the login view, and the tray's
// "Close" with its confirmation.
#include <QtTest>

#include <QDeadlineTimer>
#include <QImage>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <functional>
#include <memory>
#include <vector>

#include <unistd.h>

#include "desktop.h"
#include "testsupport.h"

using TestSupport::waitFor;
using Pixels::colourCount;

namespace {

const QString executable = QStringLiteral(ONDALINE_EXECUTABLE);
const QString artefactDir = QStringLiteral(ONDALINE_ARTEFACT_DIR);
const QString lockName = QStringLiteral("ondaline.lock");

// The exit code as main returned it (-1 arrives as 255 on POSIX).
int signedExitCode(const QProcess &process)
{
    return qint8(process.exitCode());
}

bool isMainWindow(const HeadlessDisplay::TopLevel &window)
{
    return window.geometry.width() >= 640 && window.geometry.height() >= 480;
}

// Positions of the start-up banners: a line of fifty hyphens directly
// followed by the version line, both at warning level.
QList<int> bannerPositions(const QStringList &lines)
{
    static const QRegularExpression hyphens(
            QStringLiteral(R"(^\d\d\.\d\d\.\d{4} \d\d:\d\d:\d\d \(W\): -{50} \()"));
    static const QRegularExpression startup(
            QStringLiteral(R"(^\d\d\.\d\d\.\d{4} \d\d:\d\d:\d\d \(W\): Ondaline 1\.1\.15 startup \()"));
    QList<int> positions;
    for (int i = 0; i + 1 < lines.size(); ++i) {
        if (hyphens.match(lines.at(i)).hasMatch() && startup.match(lines.at(i + 1)).hasMatch())
            positions.append(i);
    }
    return positions;
}

} // namespace

class tst_Startup : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();

    void startsOnLoginViewAndClosesWithZero();
    void secondInstanceExitsWithOneWhileFirstRuns();
    void trayCloseAsksBeforeQuitting();
    void lockOfCrashedInstanceIsTakenOver();
    void withoutTrayExitsWithMinusOne();
    void unwritableDirectoryIsFatal();

private:
    QProcess *launch(const QString &dir, const QProcessEnvironment &env, const QString &program = executable,
                     const QStringList &arguments = {});
    // The main window, or with mainWindow false the first window of any size.
    bool waitForWindow(const HeadlessDisplay &display, QProcess *process, HeadlessDisplay::TopLevel *window,
                       bool mainWindow = true);
    static QByteArray describe(QProcess *process);

    HeadlessDisplay m_display;
    QTemporaryDir m_runtimeDir;
    QString m_closedUrl;
    std::vector<std::unique_ptr<QProcess>> m_processes;
};

void tst_Startup::initTestCase()
{
    QVERIFY2(QFileInfo(executable).isExecutable(), qPrintable(executable + QStringLiteral(" is not built")));
    QVERIFY(m_runtimeDir.isValid());
    m_closedUrl = TestSupport::closedServiceUrl();
    QString error;
    QVERIFY2(m_display.start(true, &error), qPrintable(error));
}

void tst_Startup::cleanup()
{
    for (const auto &process : m_processes) {
        if (process->state() != QProcess::NotRunning) {
            process->kill();
            process->waitForFinished(5000);
        }
    }
    m_processes.clear();
}

QProcess *tst_Startup::launch(const QString &dir, const QProcessEnvironment &env, const QString &program,
                              const QStringList &arguments)
{
    QProcessEnvironment environment = env;
    // No sound server and no autospawned one: start-up needs neither.
    environment.insert(QStringLiteral("PULSE_SERVER"),
                       QStringLiteral("unix:") + m_runtimeDir.filePath(QStringLiteral("none")));
    environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), m_runtimeDir.path());
    // The program asks its web service for the version at start; Qt takes
    // the proxy from the environment, so that request ends at a closed
    // loopback port instead of leaving the machine.
    const QString proxy = m_closedUrl;
    for (const char *name :
         { "http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY", "all_proxy", "ALL_PROXY" })
        environment.insert(QString::fromLatin1(name), proxy);
    environment.remove(QStringLiteral("no_proxy"));
    environment.remove(QStringLiteral("NO_PROXY"));
    auto process = std::make_unique<QProcess>();
    process->setWorkingDirectory(dir);
    process->setProcessEnvironment(environment);
    process->start(program, arguments);
    process->waitForStarted(10000);
    m_processes.push_back(std::move(process));
    return m_processes.back().get();
}

bool tst_Startup::waitForWindow(const HeadlessDisplay &display, QProcess *process, HeadlessDisplay::TopLevel *window,
                                bool mainWindow)
{
    return waitFor(
                   [&] {
                       for (const auto &candidate : display.viewableWindowsOf(process->processId())) {
                           if (!mainWindow || isMainWindow(candidate)) {
                               *window = candidate;
                               return true;
                           }
                       }
                       return process->state() == QProcess::NotRunning;
                   },
                   30000)
            && process->state() == QProcess::Running;
}

// Peeks, since QVERIFY2 evaluates its message even when the check passes.
QByteArray tst_Startup::describe(QProcess *process)
{
    process->setReadChannel(QProcess::StandardError);
    const QByteArray errors = process->peek(1 << 20);
    process->setReadChannel(QProcess::StandardOutput);
    return "state " + QByteArray::number(process->state()) + ", exit code "
            + QByteArray::number(signedExitCode(*process)) + ", stderr: " + errors;
}

void tst_Startup::startsOnLoginViewAndClosesWithZero()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QProcess *program = launch(dir.path(), m_display.environment());

    HeadlessDisplay::TopLevel window;
    QVERIFY2(waitForWindow(m_display, program, &window), describe(program));
    QVERIFY(QFile::exists(dir.filePath(lockName)));
    QCOMPARE(window.geometry.size(), QSize(720, 540));

    const QStringList lines = TestSupport::dayLogLines(dir.path());
    QVERIFY2(bannerPositions(lines).size() == 1, qPrintable(lines.join(QLatin1Char('\n'))));

    // The first frame may come a little after the window is mapped.
    const QString shot = artefactDir + QStringLiteral("/startup-login-view.png");
    QImage area;
    const bool rendered = waitFor(
            [&] {
                QString error;
                if (!m_display.screenshot(shot, &error))
                    return false;
                area = QImage(shot).copy(window.geometry);
                return colourCount(area) > 1 && Pixels::logo(area) > 2000;
            },
            20000);
    QVERIFY2(rendered,
             qPrintable(QStringLiteral("window area has %1 colours and %2 logo pixels, see %3")
                                .arg(colourCount(area))
                                .arg(Pixels::logo(area))
                                .arg(shot)));

    QVERIFY(m_display.closeWindow(window.id));
    QVERIFY2(program->waitForFinished(15000), describe(program));
    QCOMPARE(program->exitStatus(), QProcess::NormalExit);
    QCOMPARE(signedExitCode(*program), 0);
    QVERIFY2(!QFile::exists(dir.filePath(lockName)), "the lock outlived the process");
}

void tst_Startup::secondInstanceExitsWithOneWhileFirstRuns()
{
    QTemporaryDir dir;
    QTemporaryDir otherDir;
    QVERIFY(dir.isValid() && otherDir.isValid());
    QProcess *first = launch(dir.path(), m_display.environment());
    HeadlessDisplay::TopLevel firstWindow;
    QVERIFY2(waitForWindow(m_display, first, &firstWindow), describe(first));

    QProcess *second = launch(dir.path(), m_display.environment());
    HeadlessDisplay::TopLevel box;
    QVERIFY2(waitForWindow(m_display, second, &box, false), describe(second));
    QVERIFY2(!isMainWindow(box), "the second instance opened a main window");
    QVERIFY(m_display.pressReturn(box.id));
    QVERIFY2(second->waitForFinished(15000), describe(second));
    QCOMPARE(second->exitStatus(), QProcess::NormalExit);
    QCOMPARE(signedExitCode(*second), 1);

    QCOMPARE(first->state(), QProcess::Running);
    QVERIFY(!m_display.viewableWindowsOf(first->processId()).isEmpty());
    QVERIFY(QFile::exists(dir.filePath(lockName)));

    // Another working directory is another instance.
    QProcess *other = launch(otherDir.path(), m_display.environment());
    HeadlessDisplay::TopLevel otherWindow;
    QVERIFY2(waitForWindow(m_display, other, &otherWindow), describe(other));

    QVERIFY(m_display.closeWindow(otherWindow.id));
    QVERIFY(m_display.closeWindow(firstWindow.id));
    QVERIFY2(other->waitForFinished(15000), describe(other));
    QVERIFY2(first->waitForFinished(15000), describe(first));
    QCOMPARE(signedExitCode(*other), 0);
    QCOMPARE(signedExitCode(*first), 0);
}

void tst_Startup::trayCloseAsksBeforeQuitting()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QProcess *program = launch(dir.path(), m_display.environment());
    HeadlessDisplay::TopLevel window;
    QVERIFY2(waitForWindow(m_display, program, &window), describe(program));
    HeadlessDisplay::TopLevel icon;
    QVERIFY2(waitFor(
                     [&] {
                         icon = m_display.trayIconOf(program->processId());
                         return icon.id != 0;
                     },
                     15000),
             "the program put no icon into the tray");

    // A modal dialog dims the (white) login view behind it.
    const QString shot = dir.filePath(QStringLiteral("shot.png"));
    const auto dimmed = [&] {
        QString error;
        if (!m_display.screenshot(shot, &error))
            return false;
        const QRgb corner = QImage(shot).pixel(window.geometry.topLeft() + QPoint(5, 5));
        return qRed(corner) < 200;
    };
    // The tray lays its icons out again when another program's icon goes
    // (the cases before this one leave theirs): click only where the icon
    // has settled, and click again when no menu came.
    const auto chooseClose = [&] {
        for (int attempt = 0; attempt < 4; ++attempt) {
            HeadlessDisplay::TopLevel settled;
            const bool still = waitFor(
                    [&] {
                        const HeadlessDisplay::TopLevel previous = settled;
                        QTest::qWait(300);
                        settled = m_display.trayIconOf(program->processId());
                        return settled.id != 0 && settled.geometry == previous.geometry;
                    },
                    10000);
            if (!still || !m_display.click(settled.geometry.center(), 3))
                continue;
            HeadlessDisplay::TopLevel menu;
            const bool shown = waitFor(
                    [&] {
                        for (const auto &candidate : m_display.viewableWindowsOf(program->processId())) {
                            if (!isMainWindow(candidate))
                                menu = candidate;
                        }
                        return menu.id != 0;
                    },
                    5000);
            if (!shown)
                continue;
            // Let the menu reach its final size before aiming at its last entry.
            QTest::qWait(300);
            for (const auto &candidate : m_display.viewableWindowsOf(program->processId())) {
                if (candidate.id == menu.id)
                    menu = candidate;
            }
            // "Close" is the last entry of the menu
            return m_display.click({ menu.geometry.center().x(), menu.geometry.bottom() - 11 }, 1);
        }
        return false;
    };

    QVERIFY2(chooseClose(), "the tray menu did not open");
    QVERIFY2(waitFor(dimmed, 10000), "no confirmation dialog");
    QVERIFY(m_display.pressKeys(window.id,
                                { QStringLiteral("Tab"), QStringLiteral("Tab"), QStringLiteral("space") }));
    QVERIFY2(waitFor([&] { return !dimmed(); }, 10000), "\"No\" did not close the dialog");
    QCOMPARE(program->state(), QProcess::Running);

    QVERIFY2(chooseClose(), "the tray menu did not open again");
    QVERIFY2(waitFor(dimmed, 10000), "no confirmation dialog the second time");
    QVERIFY(m_display.pressKeys(window.id, { QStringLiteral("Tab"), QStringLiteral("space") }));
    QVERIFY2(program->waitForFinished(15000), describe(program));
    QCOMPARE(program->exitStatus(), QProcess::NormalExit);
    QCOMPARE(signedExitCode(*program), 0);
}

void tst_Startup::lockOfCrashedInstanceIsTakenOver()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QProcess *crashed = launch(dir.path(), m_display.environment());
    HeadlessDisplay::TopLevel window;
    QVERIFY2(waitForWindow(m_display, crashed, &window), describe(crashed));
    crashed->kill();
    QVERIFY(crashed->waitForFinished(10000));
    QVERIFY2(QFile::exists(dir.filePath(lockName)), "a killed instance should leave its lock behind");

    QProcess *next = launch(dir.path(), m_display.environment());
    QVERIFY2(waitForWindow(m_display, next, &window, false), describe(next));
    QVERIFY2(isMainWindow(window), "the stale lock was not taken over");
    QCOMPARE(bannerPositions(TestSupport::dayLogLines(dir.path())).size(), 2);

    QVERIFY(m_display.closeWindow(window.id));
    QVERIFY2(next->waitForFinished(15000), describe(next));
    QCOMPARE(signedExitCode(*next), 0);
}

void tst_Startup::withoutTrayExitsWithMinusOne()
{
    HeadlessDisplay bare;
    QString error;
    QVERIFY2(bare.start(false, &error), qPrintable(error));
    QTemporaryDir dir;
    QVERIFY(dir.isValid());

    QProcess *program = launch(dir.path(), bare.environment());
    HeadlessDisplay::TopLevel box;
    QVERIFY2(waitForWindow(bare, program, &box, false), describe(program));
    QVERIFY2(!isMainWindow(box), "the interface was loaded without a tray");
    QVERIFY(bare.pressReturn(box.id));
    QVERIFY2(program->waitForFinished(15000), describe(program));
    QCOMPARE(program->exitStatus(), QProcess::NormalExit);
    QCOMPARE(signedExitCode(*program), -1);
    QVERIFY2(!QFile::exists(dir.filePath(lockName)), "the lock outlived the process");
}

void tst_Startup::unwritableDirectoryIsFatal()
{
    QTemporaryDir base;
    QVERIFY(base.isValid());
    const auto readable = QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner
            | QFileDevice::ReadGroup | QFileDevice::ExeGroup | QFileDevice::ReadOther | QFileDevice::ExeOther;
    QVERIFY(QFile::setPermissions(base.path(), readable));
    const QString work = base.filePath(QStringLiteral("work"));
    QVERIFY(QDir().mkdir(work));

    QString program = executable;
    QStringList arguments;
    if (::geteuid() == 0) {
        // root writes anywhere: run as nobody, from a copy nobody may
        // execute wherever the build tree lies.
        program = base.filePath(QStringLiteral("ondaline"));
        QVERIFY(QFile::copy(executable, program));
        QVERIFY(QFile::setPermissions(program, readable));
        arguments = { QStringLiteral("--reuid=nobody"), QStringLiteral("--regid=nogroup"),
                      QStringLiteral("--clear-groups"), program };
        program = QStringLiteral("setpriv");
    }
    QVERIFY(QFile::setPermissions(work, readable & ~QFileDevice::WriteOwner));

    QProcess *process = launch(work, m_display.environment(), program, arguments);
    QVERIFY2(process->waitForFinished(15000), describe(process));
    const QByteArray errors = process->readAllStandardError();
    QVERIFY2(errors.contains("Can not open log file: ondaline"), errors.constData());
    QVERIFY(process->exitStatus() == QProcess::CrashExit || process->exitCode() != 0);
    QVERIFY(QDir(work).isEmpty());
    QFile::setPermissions(work, readable);
}

QTEST_GUILESS_MAIN(tst_Startup)
#include "tst_startup.moc"
