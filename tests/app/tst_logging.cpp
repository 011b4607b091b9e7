// The log line, the day file, its standard-error fallback and retention.
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QTest>

#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "logging.h"
#include "testsupport.h"

namespace {
// What `write` prints to standard error.
template <typename F>
QByteArray captureStderr(F write)
{
    std::fflush(stderr);
    const int saved = dup(STDERR_FILENO);
    const int fd = open("stderr.txt", O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(fd, STDERR_FILENO);
    close(fd);
    write();
    std::fflush(stderr);
    dup2(saved, STDERR_FILENO);
    close(saved);
    return TestSupport::readFile(QStringLiteral("stderr.txt"));
}
} // namespace

class TestLogging : public QObject
{
    Q_OBJECT

    std::unique_ptr<TestSupport::WorkDir> m_dir;
    const QMessageLogContext m_noLocation;

private slots:
    void init()
    {
        m_dir = std::make_unique<TestSupport::WorkDir>();
        logFilePrefix = QStringLiteral("ondaline");
    }
    void cleanup()
    {
        qInstallMessageHandler(nullptr);
        logFilePrefix.clear();
        m_dir.reset();
    }

    void lineFormat_data()
    {
        QTest::addColumn<int>("type");
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QByteArray>("expected");
        QTest::newRow("debug") << int(QtDebugMsg) << QByteArray() << "x" << QByteArray("(D): x (|0)\n");
        QTest::newRow("info") << int(QtInfoMsg) << QByteArray() << "x" << QByteArray("(I): x (|0)\n");
        QTest::newRow("warning") << int(QtWarningMsg) << QByteArray() << "x" << QByteArray("(W): x (|0)\n");
        QTest::newRow("critical") << int(QtCriticalMsg) << QByteArray() << "x" << QByteArray("(C): x (|0)\n");
        QTest::newRow("fatal") << int(QtFatalMsg) << QByteArray() << "x" << QByteArray("(F): x (|0)\n");
        QTest::newRow("unknown type") << 7 << QByteArray() << "x" << QByteArray("(U): x (|0)\n");
        QTest::newRow("backslash path") << int(QtWarningMsg) << QByteArray("C:\\src\\olhub.cpp") << "x" << QByteArray("(W): x (olhub.cpp|42)\n");
        QTest::newRow("qml url kept whole") << int(QtDebugMsg) << QByteArray("qrc:/qt/qml/Ondaline/A.qml") << "x"
                                            << QByteArray("(D): x (qrc:/qt/qml/Ondaline/A.qml|42)\n");
        QTest::newRow("placeholders taken literally") << int(QtInfoMsg) << QByteArray("dir\\a%1.cpp") << "50% %2 %1 done"
                                                      << QByteArray("(I): 50% %2 %1 done (a%1.cpp|42)\n");
        QTest::newRow("multi-line, utf-8") << int(QtInfoMsg) << QByteArray() << QString::fromUtf8("Волна\n2")
                                           << QString::fromUtf8("(I): Волна\n2 (|0)\n").toUtf8();
    }
    void lineFormat()
    {
        QFETCH(int, type);
        QFETCH(QByteArray, file);
        QFETCH(QString, message);
        QFETCH(QByteArray, expected);
        const QMessageLogContext context(file.isNull() ? nullptr : file.constData(), file.isNull() ? 0 : 42, nullptr, "default");
        const QDateTime before = QDateTime::currentDateTime().addMSecs(-1000);
        const QByteArray formatted = formatLogMessage(QtMsgType(type), context, message);
        const QDateTime stamp = QDateTime::fromString(QString::fromUtf8(formatted.left(19)), QStringLiteral("dd.MM.yyyy hh:mm:ss"));
        QVERIFY2(stamp >= before && stamp <= QDateTime::currentDateTime(), formatted.constData());
        QCOMPARE(formatted.mid(19), ' ' + expected);
    }

    void dayFileIsAppendedTo()
    {
        QCOMPARE(logFileName(QDate(2026, 12, 4)), QStringLiteral("ondaline_04.12.2026.log"));
        QCOMPARE(logFileName(), logFileName(QDate::currentDate()));
        QVERIFY(TestSupport::writeFile(logFileName(), "earlier\n"));
        qInstallMessageHandler(fileMessageHandler);
        qWarning("first");
        qInfo() << "Language changed to" << QStringLiteral("en");
        qInstallMessageHandler(nullptr);
        const QList<QByteArray> lines = TestSupport::readFile(logFileName()).split('\n');
        QCOMPARE(lines.size(), 4);
        QCOMPARE(lines.at(0), "earlier");
        QVERIFY2(lines.at(1).contains("(W): first ("), lines.at(1).constData());
        QVERIFY2(lines.at(2).contains("(I): Language changed to \"en\" ("), lines.at(2).constData());
    }

    void linesGoToStderrWithoutADayFile()
    {
        // A directory under the day file's name: the file cannot be opened.
        QVERIFY(QDir().mkdir(logFileName()));
        QByteArray printed = captureStderr([&] { fileMessageHandler(QtWarningMsg, m_noLocation, QStringLiteral("kept %1 anyway")); });
        QVERIFY2(printed.endsWith("(W): kept %1 anyway (|0)\n") && printed.count('\n') == 1, printed.constData());
        logFilePrefix.clear();
        printed = captureStderr([&] { stderrMessageHandler(QtCriticalMsg, m_noLocation, QStringLiteral("%s")); });
        QVERIFY2(printed.endsWith("(C): %s (|0)\n"), printed.constData());
    }

    void fatalIsWrittenBeforeTheProcessEnds()
    {
        const pid_t child = fork();
        QVERIFY(child >= 0);
        if (child == 0) {
            std::signal(SIGABRT, SIG_DFL); // no test-runner crash report from the child
            fileMessageHandler(QtFatalMsg, m_noLocation, QStringLiteral("last words"));
            _exit(0);
        }
        int status = 0;
        QCOMPARE(waitpid(child, &status, 0), child);
        QVERIFY(WIFSIGNALED(status));
        QVERIFY(TestSupport::readFile(logFileName()).endsWith("(F): last words (|0)\n"));
    }

    void retention_data()
    {
        QTest::addColumn<int>("storeDays");
        QTest::addColumn<QStringList>("removed");
        QTest::addColumn<QStringList>("kept");
        const QStringList unrelated{"other_01.01.2020.log", "ondaline_01.01.2020.txt", "ondaline_notes.log",
                                    "ondaline.log", "Ondaline_01.01.2020.log", "ondaline_31.02.2020.log"};
        QTest::newRow("30 days") << 30 << QStringList{"ondaline_04.11.2026.log", "ondaline_31.12.2019.log"}
                                 << QStringList{"ondaline_05.11.2026.log", "ondaline_04.12.2026.log"} + unrelated;
        QTest::newRow("0 days takes today too") << 0 << QStringList{"ondaline_04.12.2026.log"}
                                                << QStringList{"ondaline_05.12.2026.log"} + unrelated;
        QTest::newRow("no prefix, no retention") << -1 << QStringList() << QStringList{"_01.01.2020.log"} + unrelated;
    }
    void retention()
    {
        QFETCH(int, storeDays);
        QFETCH(QStringList, removed);
        QFETCH(QStringList, kept);
        for (const QString &name : removed + kept)
            QVERIFY(TestSupport::writeFile(name, "x"));
        QVERIFY(QDir().mkdir(QStringLiteral("ondaline_01.01.2001.log")));
        if (storeDays < 0)
            logFilePrefix.clear();
        TestSupport::LogSpy log;
        removeOldLogFiles(qMax(storeDays, 0), QDate(2026, 12, 4));
        QStringList expectedLines;
        for (const QString &name : removed) {
            QVERIFY2(!QFile::exists(name), qPrintable(name));
            expectedLines.append(QStringLiteral("Old log file \"%1\" was removed").arg(name));
        }
        for (const QString &name : kept)
            QVERIFY2(QFile::exists(name), qPrintable(name));
        QVERIFY(QFileInfo(QStringLiteral("ondaline_01.01.2001.log")).isDir());
        QStringList lines = log.lines();
        lines.sort();
        expectedLines.sort();
        QCOMPARE(lines, expectedLines);
    }
};

QTEST_GUILESS_MAIN(TestLogging)
#include "tst_logging.moc"
