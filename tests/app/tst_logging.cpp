// The log line format, the day file, the standard-error fallback and the
// retention of old day files.
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
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

private:
    QTemporaryDir m_dir;
    QString m_previousDir = QDir::currentPath();
    const QMessageLogContext m_noLocation;

private slots:
    void init()
    {
        // Every case in an empty working directory of its own.
        const QString dir = m_dir.filePath(QString::fromLatin1(QTest::currentTestFunction())
                                           + QString::fromLatin1(QTest::currentDataTag()));
        QVERIFY(QDir().mkpath(dir));
        QVERIFY(QDir::setCurrent(dir));
        logFilePrefix = QStringLiteral("ondaline");
    }

    void cleanup()
    {
        qInstallMessageHandler(nullptr);
        logFilePrefix.clear();
        QDir::setCurrent(m_previousDir);
    }

    void lineFormat_data()
    {
        QTest::addColumn<int>("type");
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<int>("line");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QByteArray>("expected");
        const QByteArray none;
        QTest::newRow("debug") << int(QtDebugMsg) << none << 0 << "x" << QByteArray("(D): x (|0)\n");
        QTest::newRow("info") << int(QtInfoMsg) << none << 0 << "x" << QByteArray("(I): x (|0)\n");
        QTest::newRow("warning") << int(QtWarningMsg) << none << 0 << "x" << QByteArray("(W): x (|0)\n");
        QTest::newRow("critical") << int(QtCriticalMsg) << none << 0 << "x" << QByteArray("(C): x (|0)\n");
        QTest::newRow("fatal") << int(QtFatalMsg) << none << 0 << "x" << QByteArray("(F): x (|0)\n");
        QTest::newRow("unknown type") << 7 << none << 0 << "x" << QByteArray("(U): x (|0)\n");
        QTest::newRow("backslash path") << int(QtWarningMsg) << QByteArray("C:\\src\\olhub.cpp") << 42 << "x"
                                        << QByteArray("(W): x (olhub.cpp|42)\n");
        QTest::newRow("qml url kept whole") << int(QtDebugMsg) << QByteArray("qrc:/qt/qml/Ondaline/A.qml") << 17
                                            << "x" << QByteArray("(D): x (qrc:/qt/qml/Ondaline/A.qml|17)\n");
        QTest::newRow("placeholders taken literally")
            << int(QtInfoMsg) << QByteArray("dir\\a%1.cpp") << 3 << "50% %2 %1 %5 done"
            << QByteArray("(I): 50% %2 %1 %5 done (a%1.cpp|3)\n");
        QTest::newRow("multi-line, utf-8") << int(QtInfoMsg) << none << 0 << QString::fromUtf8("Волна\n2")
                                           << QByteArray("(I): ") + QString::fromUtf8("Волна\n2 (|0)\n").toUtf8();
    }

    void lineFormat()
    {
        QFETCH(int, type);
        QFETCH(QByteArray, file);
        QFETCH(int, line);
        QFETCH(QString, message);
        QFETCH(QByteArray, expected);
        const QMessageLogContext context(file.isNull() ? nullptr : file.constData(), line, nullptr, "default");
        const QDateTime before = QDateTime::currentDateTime().addMSecs(-1000);
        const QByteArray formatted = formatLogMessage(QtMsgType(type), context, message);

        const QDateTime stamp = QDateTime::fromString(QString::fromUtf8(formatted.left(19)),
                                                      QStringLiteral("dd.MM.yyyy hh:mm:ss"));
        QVERIFY2(stamp >= before && stamp <= QDateTime::currentDateTime(), formatted.constData());
        QCOMPARE(formatted.mid(19), ' ' + expected);
    }

    void fileHandlerAppendsToTheDayFile()
    {
        QCOMPARE(logFileName(QDate(2026, 12, 4)), QStringLiteral("ondaline_04.12.2026.log"));
        QCOMPARE(logFileName(), logFileName(QDate::currentDate()));
        {
            QFile existing(logFileName());
            QVERIFY(existing.open(QIODevice::WriteOnly));
            existing.write("earlier\n");
        }
        fileMessageHandler(QtWarningMsg, m_noLocation, QStringLiteral("first"));
        qInstallMessageHandler(fileMessageHandler);
        qInfo() << "Language changed to" << QStringLiteral("en");
        qInstallMessageHandler(nullptr);

        const QList<QByteArray> lines = TestSupport::readFile(logFileName()).split('\n');
        QCOMPARE(lines.size(), 4);
        QCOMPARE(lines.at(0), QByteArray("earlier"));
        QVERIFY(lines.at(1).endsWith("(W): first (|0)"));
        QVERIFY2(lines.at(2).contains("(I): Language changed to \"en\" ("), lines.at(2).constData());
        QCOMPARE(lines.at(3), QByteArray());
    }

    void linesGoToStderrWithoutADayFile()
    {
        // A directory under the day file's name: the file cannot be opened.
        QVERIFY(QDir().mkdir(logFileName()));
        QByteArray printed = captureStderr([&] {
            fileMessageHandler(QtWarningMsg, m_noLocation, QStringLiteral("kept %1 anyway"));
        });
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
        QTest::newRow("30 days")
            << 30 << QStringList{"ondaline_04.11.2026.log", "ondaline_31.12.2019.log"}
            << QStringList{"ondaline_05.11.2026.log", "ondaline_04.12.2026.log"} + unrelated;
        QTest::newRow("0 days takes today too")
            << 0 << QStringList{"ondaline_04.12.2026.log"} << QStringList{"ondaline_05.12.2026.log"} + unrelated;
    }

    void retention()
    {
        QFETCH(int, storeDays);
        QFETCH(QStringList, removed);
        QFETCH(QStringList, kept);
        for (const QString &name : removed + kept)
            QVERIFY(QFile(name).open(QIODevice::WriteOnly));
        QVERIFY(QDir().mkdir(QStringLiteral("ondaline_01.01.2001.log")));

        QStringList captured;
        {
            TestSupport::LogSpy log;
            removeOldLogFiles(storeDays, QDate(2026, 12, 4));
            captured = log.lines();
        }

        QStringList expectedLines;
        for (const QString &name : removed) {
            QVERIFY2(!QFile::exists(name), qPrintable(name));
            expectedLines.append(QStringLiteral("Old log file \"%1\" was removed").arg(name));
        }
        for (const QString &name : kept)
            QVERIFY2(QFile::exists(name), qPrintable(name));
        QVERIFY(QFileInfo(QStringLiteral("ondaline_01.01.2001.log")).isDir());
        captured.sort();
        expectedLines.sort();
        QCOMPARE(captured, expectedLines);

        logFilePrefix.clear();
        QVERIFY(QFile(QStringLiteral("_01.01.2020.log")).open(QIODevice::WriteOnly));
        removeOldLogFiles(0, QDate(2026, 12, 4));
        QVERIFY2(QFile::exists(kept.first()) && QFile::exists(QStringLiteral("_01.01.2020.log")),
                 "an empty prefix keeps every file");
    }
};

QTEST_GUILESS_MAIN(TestLogging)
#include "tst_logging.moc"
