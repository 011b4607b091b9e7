// Screenshots of the real program under Xvfb with a tray: the login view in
// the four language settings, and the main view of a logged-in station with
// two streams and a recording device, in English and in Russian. The images
// stay in the build directory; the checks make sure they show something and
// that the language setting changed the texts. Each case starts its own
// programs in fresh working directories.
#include <QtTest>

#include <QDeadlineTimer>
#include <QImage>
#include <QJsonArray>
#include <QJsonObject>
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
const QString sessionId = QStringLiteral("6c0d7e52a1f94b38");

// An orange disc: the station's own logo, told apart from the program's.
const QByteArray stationLogoSvg =
        "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"100\" height=\"100\" viewBox=\"0 0 100 100\">"
        "<circle cx=\"50\" cy=\"50\" r=\"48\" fill=\"#ff8000\"/></svg>";

// Text pixels: dark enough to be glyphs on the light views.
int darkPixels(const QImage &image)
{
    return Pixels::count(image, [](QRgb p) { return qGray(p) < 100; });
}

bool near(QRgb p, int r, int g, int b, int tolerance = 24)
{
    return qAbs(qRed(p) - r) <= tolerance && qAbs(qGreen(p) - g) <= tolerance && qAbs(qBlue(p) - b) <= tolerance;
}

} // namespace

class tst_Screens : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();
    void cleanupTestCase();

    void loginView_data();
    void loginView();
    void mainViewFollowsTheLanguage();
    void mainViewActsOnTheSourceList();

private:
    // Starts the program in the working directory with the locale `lang`.
    bool launch(const QString &lang, QString *error);
    // The login view in `language` with an English locale, shot once.
    QImage loginReference(const QString &language);
    bool shootLogin(const QString &language, const QString &locale, const QString &name, QImage *area,
                    QString *error);
    // Waits for the 720 x 540 window and returns its area once `ready`
    // holds for it; the full screenshot is kept under `name`.
    bool shoot(const QString &name, const std::function<bool(const QImage &)> &ready,
               QImage *area, QString *error, HeadlessDisplay::TopLevel *shownWindow = nullptr);
    bool startLoggedIn(const QString &language, const QString &name, QImage *area, QString *error,
                       HeadlessDisplay::TopLevel *window = nullptr);

    HeadlessDisplay m_display;
    StationHarness::PulseServer m_pulse;
    std::unique_ptr<StationHarness::SinkTone> m_microphone;
    RefService m_service;
    QTemporaryDir m_filesDir;
    std::unique_ptr<Program> m_program;
    std::unique_ptr<QTemporaryDir> m_workDir;
    QHash<QString, QImage> m_loginReferences;
};

void tst_Screens::initTestCase()
{
    QVERIFY2(QFileInfo(executable).isExecutable(), qPrintable(executable + QStringLiteral(" is not built")));
    QVERIFY(QDir().mkpath(artefactDir));
    QVERIFY(m_filesDir.isValid());

    QString error;
    QVERIFY2(m_display.start(true, &error), qPrintable(error));
    QVERIFY2(m_pulse.start(&error), qPrintable(error));
    // The recording source hears a tone, so it becomes the one played.
    m_microphone = std::make_unique<StationHarness::SinkTone>(&m_pulse, QStringLiteral("ondaline_mic"), 440.0);
    QVERIFY2(m_microphone->start(&error), qPrintable(error));

    // The streams point at a port where nothing listens: they stay
    // disconnected, next to the connected recording source.
    const quint16 closedPort = StationHarness::freeTcpPort();
    QVERIFY(closedPort != 0);
    const QString streamBase = QStringLiteral("http://127.0.0.1:%1/").arg(closedPort);
    QVERIFY(writeFile(m_filesDir.filePath(QStringLiteral("north.svg")), stationLogoSvg));
    TestSupport::Station station;
    station.id = stationId;
    station.name = QStringLiteral("North Wave");
    station.city = QStringLiteral("Harbourton");
    station.logoFilename = QStringLiteral("north.svg");
    station.streams = QStringList { streamBase + QStringLiteral("main"), streamBase + QStringLiteral("backup") };
    station.user = QStringLiteral("operator");
    station.build = QJsonObject { { QStringLiteral("version"), QStringLiteral("1.1.16") },
                                  { QStringLiteral("code"), 101160 },
                                  { QStringLiteral("filename"), QStringLiteral("Ondaline-1.1.16-setup.exe") } };
    m_service.setFilesDir(m_filesDir.path());
    QVERIFY2(TestSupport::startService(m_service, station, servicePort, &error), qPrintable(error));
    m_service.addSession(sessionId, QStringLiteral("operator"));
}

void tst_Screens::cleanup()
{
    m_program.reset();
    m_workDir.reset();
}

void tst_Screens::cleanupTestCase()
{
    m_microphone.reset();
    m_pulse.stop();
    m_display.stop();
}

bool tst_Screens::launch(const QString &lang, QString *error)
{
    m_program = std::make_unique<Program>();
    return m_program->start(executable, m_workDir->path(), m_display.programEnvironment(lang), error);
}

bool tst_Screens::shoot(const QString &name, const std::function<bool(const QImage &)> &ready, QImage *area,
                        QString *error, HeadlessDisplay::TopLevel *shownWindow)
{
    HeadlessDisplay::TopLevel window;
    if (!m_program->waitForWindow(m_display, &window)) {
        *error = QStringLiteral("no main window: %1").arg(QString::fromLocal8Bit(m_program->describe()));
        return false;
    }
    const QString path = artefactDir + QLatin1Char('/') + name + QStringLiteral(".png");
    const bool shown = waitFor(
            [&] {
                QString shotError;
                if (!m_display.screenshot(path, &shotError))
                    return false;
                *area = QImage(path).copy(window.geometry);
                return ready(*area);
            },
            45000);
    if (!shown)
        *error = QStringLiteral("the window never showed what was expected, see %1").arg(path);
    if (shownWindow)
        *shownWindow = window;
    return shown;
}

void tst_Screens::loginView_data()
{
    QTest::addColumn<QString>("language");
    QTest::addColumn<QString>("locale");
    QTest::addColumn<bool>("catalogueMissing");
    QTest::addColumn<QString>("looksLike");

    QTest::newRow("en") << "en"
                        << "de_DE.UTF-8" << false << "en";
    QTest::newRow("ru") << "ru"
                        << "en_GB.UTF-8" << false << "ru";
    QTest::newRow("fr") << "fr"
                        << "en_GB.UTF-8" << false << "ru";
    QTest::newRow("system-de") << "system"
                               << "de_DE.UTF-8" << true << "en";
    QTest::newRow("system-en") << "system"
                               << "en_GB.UTF-8" << false << "en";
}

bool tst_Screens::shootLogin(const QString &language, const QString &locale, const QString &name, QImage *area,
                             QString *error)
{
    m_workDir = std::make_unique<QTemporaryDir>();
    if (!m_workDir->isValid()
        || !writeFile(m_workDir->filePath(QStringLiteral("ondaline.ini")),
                      "[General]\nlanguage=" + language.toUtf8() + "\nshowKeepRunningDialog=false\n")) {
        *error = QStringLiteral("no working directory");
        return false;
    }
    m_service.clearRequests();
    if (!launch(locale, error))
        return false;

    // The corner link of the offered build comes with the version reply;
    // the image is taken once that reply is out and the view has settled.
    QImage previous;
    return shoot(
            name,
            [&](const QImage &image) {
                // The link's blue in the bottom right corner.
                const bool answered = Pixels::count(image.copy(360, 460, 360, 80), [](QRgb p) {
                                          return qBlue(p) > 180 && qRed(p) < 90 && qGreen(p) < 90;
                                      }) > 20;
                // The text cursor blinks in the focused field.
                const bool settled = !previous.isNull() && Pixels::differing(previous, image) < 60;
                previous = image;
                return answered && settled && colourCount(image) > 16 && darkPixels(image) > 500;
            },
            area, error);
}

QImage tst_Screens::loginReference(const QString &language)
{
    if (!m_loginReferences.contains(language)) {
        QImage area;
        QString error;
        if (!shootLogin(language, QStringLiteral("en_GB.UTF-8"), QStringLiteral("login-reference-") + language, &area,
                        &error))
            qWarning().noquote() << error;
        cleanup();
        m_loginReferences.insert(language, area);
    }
    return m_loginReferences.value(language);
}

// The texts, not the layout, tell the languages apart: the same language
// gives the same picture up to the text cursor.
void tst_Screens::loginView()
{
    QFETCH(QString, language);
    QFETCH(QString, locale);
    QFETCH(bool, catalogueMissing);
    QFETCH(QString, looksLike);

    const QImage english = loginReference(QStringLiteral("en"));
    const QImage russian = loginReference(QStringLiteral("ru"));
    QVERIFY2(!english.isNull() && !russian.isNull(), "no reference login view");
    QVERIFY2(Pixels::differing(english, russian) > 400,
             qPrintable(QStringLiteral("English and Russian differ in %1 pixels only")
                                .arg(Pixels::differing(english, russian))));

    QImage area;
    QString error;
    QVERIFY2(shootLogin(language, locale, QStringLiteral("login-") + QString::fromLatin1(QTest::currentDataTag()),
                        &area, &error),
             qPrintable(error));
    const int differing = Pixels::differing(area, looksLike == QLatin1String("en") ? english : russian);
    QVERIFY2(differing < 60, qPrintable(QStringLiteral("%1 pixels differ from the %2 view").arg(differing).arg(looksLike)));

    const QString log = TestSupport::dayLogText(m_workDir->path());
    QCOMPARE(log.contains(QStringLiteral("Can not load translator")), catalogueMissing);
    QCOMPARE(log.contains(QStringLiteral("(D): System language \"") + locale.left(2)),
             language == QLatin1String("system"));
}

// A stored session that the service knows, and a recording source; the
// service's two streams join it after the login.
bool tst_Screens::startLoggedIn(const QString &language, const QString &name, QImage *area, QString *error,
                                HeadlessDisplay::TopLevel *window)
{
    m_workDir = std::make_unique<QTemporaryDir>();
    if (!m_workDir->isValid()
        || !writeFile(m_workDir->filePath(QStringLiteral("ondaline.ini")),
                      "[General]\nlanguage=" + language.toUtf8() + "\nsid=" + sessionId.toUtf8()
                              + "\nusername=operator\nshowKeepRunningDialog=false\n"
                                "[sources]\n1\\streamUrl=record:0\n1\\volumeLevel=1\nsize=1\n")) {
        *error = QStringLiteral("no working directory");
        return false;
    }
    m_service.clearRequests();
    if (!launch(QStringLiteral("en_GB.UTF-8"), error))
        return false;
    return shoot(
            name,
            [&](const QImage &image) {
                // The side panel's grey, the station's logo faded in, and
                // the three green dots (playing, connected, sound) of the
                // one source that is heard; the streams' dots are not green.
                const bool sidePanel = near(image.pixel(5, 300), 0xf5, 0xf5, 0xf5, 2);
                const int logo = Pixels::count(image.copy(0, 0, 200, 130),
                                               [](QRgb p) { return near(p, 0xff, 0x80, 0x00); });
                const int greenDots = Pixels::count(image, [](QRgb p) { return near(p, 0x00, 0x80, 0x00, 8); });
                return sidePanel && logo > 5000 && greenDots > 220 && colourCount(image) > 32;
            },
            area, error, window);
}

// The station name, city and user name labels and the buttons change with
// the language; the program's reports tell that it had the three sources
// the view lists (the rows themselves are beyond a pixel check).
void tst_Screens::mainViewFollowsTheLanguage()
{
    QHash<QString, QImage> sidePanels;
    for (const QString &language : { QStringLiteral("en"), QStringLiteral("ru") }) {
        QImage area;
        QString error;
        QVERIFY2(startLoggedIn(language, QStringLiteral("main-") + language, &area, &error), qPrintable(error));
        const auto reportedSources = [&] {
            qsizetype most = 0;
            for (const auto &request : m_service.requests(QStringLiteral("/api/player/state")))
                most = qMax(most, request.json().value(QStringLiteral("sourcesInfo")).toArray().size());
            return most;
        };
        QVERIFY2(waitFor([&] { return reportedSources() == 3; }, 15000),
                 qPrintable(QStringLiteral("reported %1 sources").arg(reportedSources())));
        sidePanels.insert(language, area.copy(0, 110, 200, 430));
        cleanup();
    }
    const int differing = Pixels::differing(sidePanels.value(QStringLiteral("en")), sidePanels.value(QStringLiteral("ru")));
    QVERIFY2(differing > 400, qPrintable(QString::number(differing)));
}

// The buttons reach the hub: add a recording source, move the first row
// down, delete the added row after its confirmation. The settings file
// holds the list in the order of the rows. The positions are those of the
// 720 x 540 window in the screenshots.
void tst_Screens::mainViewActsOnTheSourceList()
{
    QImage area;
    QString error;
    HeadlessDisplay::TopLevel window;
    QVERIFY2(startLoggedIn(QStringLiteral("en"), QStringLiteral("main-actions"), &area, &error, &window),
             qPrintable(error));
    const QString ini = m_workDir->filePath(QStringLiteral("ondaline.ini"));
    const auto storedUrls = [&] {
        QStringList urls;
        for (const auto &source : TestSupport::storedSources(ini))
            urls.append(source.streamUrl);
        return urls;
    };
    const auto isRecord = [](const QString &url) { return url == QLatin1String("record:0"); };
    const auto isStream = [](const QString &url, const char *mount) {
        return url.startsWith(QLatin1String("http://")) && url.endsWith(QLatin1String(mount));
    };
    const QPoint origin = window.geometry.topLeft();
    const QPoint addRecordingSource(100, 421);
    const int rowPitch = 120; // row height 100 and spacing 20
    const QPoint firstRowDown(685, 163);
    const QPoint firstRowDelete(485, 163);

    QVERIFY(waitFor([&] { return storedUrls().size() == 3; }, 10000));
    QVERIFY(m_display.click(origin + addRecordingSource, 1));
    QVERIFY2(waitFor([&] { return storedUrls().size() == 4; }, 10000), qPrintable(storedUrls().join(u' ')));
    QVERIFY(isRecord(storedUrls().at(3)));

    QVERIFY(m_display.click(origin + firstRowDown, 1));
    QVERIFY2(waitFor([&] { return isStream(storedUrls().value(0), "/main"); }, 10000),
             qPrintable(storedUrls().join(u' ')));
    QStringList urls = storedUrls();
    QVERIFY(isRecord(urls.at(1)) && isStream(urls.at(2), "/backup") && isRecord(urls.at(3)));

    // Stream rows cannot be deleted: the click on the first row does nothing.
    QVERIFY(m_display.click(origin + firstRowDelete, 1));
    QVERIFY(m_display.click(origin + firstRowDelete + QPoint(0, 3 * rowPitch), 1));
    const auto dimmed = [&] {
        const QImage shot = m_display.shot(m_workDir->filePath(QStringLiteral("dialog.png")));
        return !shot.isNull() && qRed(shot.pixel(origin + QPoint(400, 500))) < 200;
    };
    QVERIFY2(waitFor(dimmed, 10000), "no confirmation dialog");
    QCOMPARE(storedUrls().size(), 4);
    QVERIFY(m_display.pressKeys(window.id, { QStringLiteral("Tab"), QStringLiteral("space") }));
    QVERIFY2(waitFor([&] { return storedUrls().size() == 3; }, 10000), qPrintable(storedUrls().join(u' ')));
    urls = storedUrls();
    QVERIFY(isStream(urls.at(0), "/main") && isRecord(urls.at(1)) && isStream(urls.at(2), "/backup"));
}

QTEST_GUILESS_MAIN(tst_Screens)
#include "tst_screens.moc"
