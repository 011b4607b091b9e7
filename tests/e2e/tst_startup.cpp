// The real executable on a private display with a tray and no peers: its
// lock and banner, a second instance, the tray's "Close", a missing tray,
// an unwritable directory. Each case starts its programs in fresh directories.
#include <QtTest>

#include <QRegularExpression>

#include <memory>
#include <vector>

#include <unistd.h>

#include "desktop.h"
#include "testsupport.h"

using TestSupport::waitFor;

namespace {

const QString executable = QStringLiteral(ONDALINE_EXECUTABLE);
const QString lockName = QStringLiteral("ondaline.lock");

// Start-up banners: fifty hyphens, then the version line, both warnings.
int banners(const QString &dir)
{
    static const QRegularExpression banner(QStringLiteral(R"(\(W\): -{50} \(.*\n.*\(W\): Ondaline 1\.1\.15 startup \()"));
    return int(TestSupport::dayLogText(dir).count(banner));
}

} // namespace

class tst_Startup : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup() { m_programs.clear(); }

    void lockIsHeldAndTakenOverAfterACrash();
    void secondInstanceExitsWithOne();
    void trayCloseAsksBeforeQuitting();
    void withoutTrayExitsWithMinusOne();
    void unwritableDirectoryIsFatal();

private:
    Program *launch(const QString &dir, const HeadlessDisplay &display, const QString &program = executable);
    // The first window of the program that is (or is not) the main window.
    HeadlessDisplay::TopLevel waitForWindow(const HeadlessDisplay &display, Program *program, bool main = true);
    static bool hasMainWindow(const HeadlessDisplay &display, Program *program)
    {
        const auto windows = display.viewableWindowsOf(program->pid());
        return std::any_of(windows.begin(), windows.end(), [](const auto &w) { return w.geometry.width() >= 640; });
    }

    HeadlessDisplay m_display;
    QTemporaryDir m_runtimeDir;
    std::vector<std::unique_ptr<Program>> m_programs;
};

void tst_Startup::initTestCase()
{
    QString error;
    QVERIFY2(m_display.start(true, &error), qPrintable(error));
}

Program *tst_Startup::launch(const QString &dir, const HeadlessDisplay &display, const QString &program)
{
    QProcessEnvironment env = display.programEnvironment();
    // No sound server, and none autospawned: start-up needs none.
    env.insert(QStringLiteral("PULSE_SERVER"), u"unix:"_qs + m_runtimeDir.filePath(QStringLiteral("none")));
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), m_runtimeDir.path());
    // The version request at start ends at a closed loopback port instead of leaving the machine.
    for (const char *name : { "http_proxy", "https_proxy" })
        env.insert(QLatin1String(name), TestSupport::closedServiceUrl());
    env.remove(QStringLiteral("no_proxy"));
    m_programs.push_back(std::make_unique<Program>());
    QString error;
    if (!m_programs.back()->start(program, dir, env, &error))
        qWarning().noquote() << error;
    return m_programs.back().get();
}

HeadlessDisplay::TopLevel tst_Startup::waitForWindow(const HeadlessDisplay &display, Program *program, bool main)
{
    HeadlessDisplay::TopLevel found;
    waitFor([&] {
        for (const auto &w : display.viewableWindowsOf(program->pid())) {
            if ((w.geometry.width() >= 640) == main)
                found = w;
        }
        return found.id != 0 || !program->isRunning();
    }, 30000);
    return found;
}

void tst_Startup::lockIsHeldAndTakenOverAfterACrash()
{
    QTemporaryDir dir;
    Program *crashed = launch(dir.path(), m_display);
    HeadlessDisplay::TopLevel window = waitForWindow(m_display, crashed);
    QVERIFY2(window.id, crashed->describe());
    QCOMPARE(window.geometry.size(), QSize(720, 540));
    QVERIFY(QFile::exists(dir.filePath(lockName)));
    QCOMPARE(banners(dir.path()), 1);
    QVERIFY2(waitFor([&] { return Pixels::logo(m_display.shot(dir.filePath(QStringLiteral("shot.png"))), window.geometry) > 2000; }, 20000),
             "the login view shows no logo");
    crashed->process().kill();
    QVERIFY(crashed->process().waitForFinished(10000));
    QVERIFY2(QFile::exists(dir.filePath(lockName)), "a killed instance leaves its lock behind");

    Program *next = launch(dir.path(), m_display);
    window = waitForWindow(m_display, next);
    QVERIFY2(window.id, "the stale lock was not taken over");
    QCOMPARE(banners(dir.path()), 2);
    QVERIFY(m_display.closeWindow(window.id));
    QCOMPARE(next->waitForExit(), 0);
    QVERIFY2(!QFile::exists(dir.filePath(lockName)), "the lock outlived the process");
}

void tst_Startup::secondInstanceExitsWithOne()
{
    QTemporaryDir dir, otherDir;
    Program *first = launch(dir.path(), m_display);
    const auto firstWindow = waitForWindow(m_display, first);
    QVERIFY2(firstWindow.id, first->describe());

    Program *second = launch(dir.path(), m_display);
    const auto box = waitForWindow(m_display, second, false);
    QVERIFY2(box.id, "the second instance showed no message box");
    QVERIFY2(!hasMainWindow(m_display, second), "the second instance opened a main window");
    m_display.pressReturn(box.id);
    QCOMPARE(second->waitForExit(), 1);
    QVERIFY(first->isRunning());
    QVERIFY(QFile::exists(dir.filePath(lockName)));

    // Another working directory is another instance.
    Program *other = launch(otherDir.path(), m_display);
    const auto otherWindow = waitForWindow(m_display, other);
    QVERIFY2(otherWindow.id, other->describe());
    QVERIFY(m_display.closeWindow(otherWindow.id) && m_display.closeWindow(firstWindow.id));
    QCOMPARE(other->waitForExit(), 0);
    QCOMPARE(first->waitForExit(), 0);
}

void tst_Startup::trayCloseAsksBeforeQuitting()
{
    QTemporaryDir dir;
    Program *program = launch(dir.path(), m_display);
    const auto window = waitForWindow(m_display, program);
    QVERIFY2(window.id, program->describe());
    // A modal dialog dims the white login view behind it.
    const auto dimmed = [&] {
        const QImage shot = m_display.shot(dir.filePath(QStringLiteral("shot.png")));
        return !shot.isNull() && qRed(shot.pixel(window.geometry.topLeft() + QPoint(5, 5))) < 200;
    };
    // "Close" is the last entry of the tray menu; a click may come before
    // the tray has settled, so try again when no menu came.
    const auto chooseClose = [&] {
        for (int attempt = 0; attempt < 4; ++attempt) {
            HeadlessDisplay::TopLevel icon, menu;
            if (!program->waitForTrayIcon(m_display, &icon))
                continue;
            m_display.click(icon.geometry.center(), 3);
            if (!waitFor([&] { return (menu = waitForWindow(m_display, program, false)).id != 0; }, 5000))
                continue;
            QTest::qWait(300); // the menu's final size
            menu = waitForWindow(m_display, program, false);
            return m_display.click({ menu.geometry.center().x(), menu.geometry.bottom() - 11 }, 1) && waitFor(dimmed, 10000);
        }
        return false;
    };
    QVERIFY2(chooseClose(), "no confirmation from the tray's Close");
    m_display.pressKeys(window.id, { QStringLiteral("Tab"), QStringLiteral("Tab"), QStringLiteral("space") });
    QVERIFY2(waitFor([&] { return !dimmed(); }, 10000), "\"No\" did not close the dialog");
    QVERIFY(program->isRunning());
    QVERIFY2(chooseClose(), "no confirmation from the tray's Close the second time");
    m_display.pressKeys(window.id, { QStringLiteral("Tab"), QStringLiteral("space") });
    QCOMPARE(program->waitForExit(), 0);
}

void tst_Startup::withoutTrayExitsWithMinusOne()
{
    HeadlessDisplay bare;
    QString error;
    QVERIFY2(bare.start(false, &error), qPrintable(error));
    QTemporaryDir dir;
    Program *program = launch(dir.path(), bare);
    const auto box = waitForWindow(bare, program, false);
    QVERIFY2(box.id, program->describe());
    QVERIFY2(!hasMainWindow(bare, program), "the interface was loaded without a tray");
    bare.pressReturn(box.id);
    QCOMPARE(program->waitForExit(), -1);
    QVERIFY2(!QFile::exists(dir.filePath(lockName)), "the lock outlived the process");
}

void tst_Startup::unwritableDirectoryIsFatal()
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

QTEST_GUILESS_MAIN(tst_Startup)
#include "tst_startup.moc"
