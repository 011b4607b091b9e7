// The log line, the day file, its standard-error fallback and retention.
#include <QRegularExpression>
#include <QTest>

#include <csignal>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "logging.h"
#include "testsupport.h"

namespace {
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
        const auto row = [](const char *name, int type, const char *file, const QString &message, const char *expected) {
            QTest::newRow(name) << type << QByteArray(file) << message << QByteArray(expected);
        };
        row("debug", QtDebugMsg, nullptr, "x", "(D): x (|0)\n");
        row("critical", QtCriticalMsg, nullptr, "x", "(C): x (|0)\n");
        row("unknown type", 7, nullptr, "x", "(U): x (|0)\n");
        row("qml url kept whole", QtDebugMsg, "qrc:/qt/qml/Ondaline/A.qml", "x", "(D): x (qrc:/qt/qml/Ondaline/A.qml|42)\n");
        row("placeholders kept", QtInfoMsg, "C:\\d\\a%1.cpp", "50% %2 %1", "(I): 50% %2 %1 (a%1.cpp|42)\n");
        row("multi-line, utf-8", QtInfoMsg, nullptr, QString::fromUtf8("Волна\n2"), "(I): Волна\n2 (|0)\n");
    }
    void lineFormat()
    {
        QFETCH(int, type);
        QFETCH(QByteArray, file);
        QFETCH(QString, message);
        const QMessageLogContext context(file.isNull() ? nullptr : file.constData(), file.isNull() ? 0 : 42, nullptr, "default");
        const QDateTime before = QDateTime::currentDateTime().addMSecs(-1000);
        const QByteArray formatted = formatLogMessage(QtMsgType(type), context, message);
        const QDateTime stamp = QDateTime::fromString(QString::fromUtf8(formatted.left(19)), QStringLiteral("dd.MM.yyyy hh:mm:ss"));
        QVERIFY2(stamp >= before && stamp <= QDateTime::currentDateTime(), formatted.constData());
        QTEST(formatted.mid(20), "expected");
    }

    // Appended to, one line a message (the level words the table leaves
    // out), and a fatal line written before the process ends.
    void dayFile()
    {
        QCOMPARE(logFileName(QDate(2026, 12, 4)), QStringLiteral("ondaline_04.12.2026.log"));
        QCOMPARE(logFileName(), logFileName(QDate::currentDate()));
        QVERIFY(TestSupport::writeFile(logFileName(), "earlier\n"));
        qInstallMessageHandler(fileMessageHandler);
        qWarning("first");
        qInfo() << "Language changed to" << QStringLiteral("en");
        qInstallMessageHandler(nullptr);
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
        // Without the time stamps and source locations.
        const QRegularExpression stamped(QStringLiteral("(?m)^.{20}(.*) \\(.*\\)$"));
        QCOMPARE(QString::fromUtf8(TestSupport::readFile(logFileName())).replace(stamped, "\\1"),
                 "earlier\n(W): first\n(I): Language changed to \"en\"\n(F): last words\n");
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
    // Only the files named; a directory under a day file's name stays.
    void retention()
    {
        QFETCH(int, storeDays);
        QFETCH(QStringList, removed);
        QFETCH(QStringList, kept);
        kept.append(QStringLiteral("ondaline_01.01.2001.log"));
        QVERIFY(QDir().mkdir(kept.last()));
        for (const QString &name : removed + kept.mid(0, kept.size() - 1))
            QVERIFY(TestSupport::writeFile(name, "x"));
        if (storeDays < 0)
            logFilePrefix.clear();
        TestSupport::LogSpy log;
        removeOldLogFiles(qMax(storeDays, 0), QDate(2026, 12, 4));
        QStringList left = QDir().entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
        QStringList lines = log.lines();
        for (QStringList *list : {&left, &kept, &lines, &removed})
            list->sort();
        QCOMPARE(left, kept);
        QCOMPARE(lines.replaceInStrings(QRegularExpression(QStringLiteral("^Old log file \"(.*)\" was removed$")), "\\1"), removed);
    }
};

QTEST_GUILESS_MAIN(TestLogging)
#include "tst_logging.moc"
