// The real executable on a private display with a tray and no peers: its
// lock and banner, a second instance, a missing tray, an unwritable
// directory. Each case starts its programs in fresh directories.
#include <QtTest>

#include <QRegularExpression>

#include <memory>
#include <vector>

#include <csignal>
#include <unistd.h>

#include "desktop.h"
#include "testsupport.h"


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
    void initTestCase()
    {
        QString error;
        QVERIFY2(m_display.start(true, &error), qPrintable(error));
    }
    void cleanup() { m_programs.clear(); }

    void oneInstancePerDirectoryAndTheLockOutlivesACrash();
    void withoutTrayExitsWithMinusOne();
    void unwritableDirectoryIsFatal();

private:
    Program *launch(const QString &dir, const HeadlessDisplay &display)
    {
        QProcessEnvironment env = display.programEnvironment();
        // No sound server, and none autospawned: start-up needs none.
        env.insert(QStringLiteral("PULSE_SERVER"), u"unix:"_qs + m_runtimeDir.filePath(QStringLiteral("none")));
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), m_runtimeDir.path());
        // The version request at start ends at a closed loopback port instead of leaving the machine.
        for (const char *name : { "http_proxy", "https_proxy" })
            env.insert(QLatin1String(name), TestSupport::closedServiceUrl());
        env.remove(QStringLiteral("no_proxy"));
        m_programs.push_back(std::make_unique<Program>(display));
        m_programs.back()->start(executable, dir, env);
        return m_programs.back().get();
    }

    HeadlessDisplay m_display;
    QTemporaryDir m_runtimeDir;
    std::vector<std::unique_ptr<Program>> m_programs;
};

void tst_Startup::oneInstancePerDirectoryAndTheLockOutlivesACrash()
{
    QTemporaryDir dir, otherDir;
    Program *first = launch(dir.path(), m_display);
    QVERIFY2(first->waitForWindow().id, first->describe());
    QVERIFY(QFile::exists(dir.filePath(lockName)));
    QCOMPARE(banners(dir.path()), 1);

    Program *second = launch(dir.path(), m_display);
    const auto box = second->waitForWindow(false);
    QVERIFY2(box.id, "the second instance showed no message box");
    QVERIFY2(!second->waitForWindow(true, 0).id, "the second instance opened a main window");
    m_display.pressKeys(box.id, { QStringLiteral("Return") });
    QCOMPARE(second->waitForExit(), 1);
    QVERIFY(first->isRunning());
    QVERIFY(QFile::exists(dir.filePath(lockName)));

    // Another working directory is another instance.
    Program *other = launch(otherDir.path(), m_display);
    QVERIFY2(other->waitForWindow().id, other->describe());
    QVERIFY(m_display.closeWindow(other->window().id));
    QCOMPARE(other->waitForExit(), 0);

    ::kill(pid_t(first->pid()), SIGKILL);
    QCOMPARE(first->waitForExit(), -1000);
    QVERIFY2(QFile::exists(dir.filePath(lockName)), "a killed instance leaves its lock behind");
    const int before = banners(dir.path());
    Program *next = launch(dir.path(), m_display);
    QVERIFY2(next->waitForWindow().id, "the stale lock was not taken over");
    QCOMPARE(banners(dir.path()), before + 1);
    QVERIFY(m_display.closeWindow(next->window().id));
    QCOMPARE(next->waitForExit(), 0);
    QVERIFY2(!QFile::exists(dir.filePath(lockName)), "the lock outlived the process");
}

void tst_Startup::withoutTrayExitsWithMinusOne()
{
    HeadlessDisplay bare;
    QString error;
    QVERIFY2(bare.start(false, &error), qPrintable(error));
    QTemporaryDir dir;
    Program *program = launch(dir.path(), bare);
    const auto box = program->waitForWindow(false);
    QVERIFY2(box.id, program->describe());
    QVERIFY2(!program->waitForWindow(true, 0).id, "the interface was loaded without a tray");
    bare.pressKeys(box.id, { QStringLiteral("Return") });
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
