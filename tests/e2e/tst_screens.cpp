// The real program's views under Xvfb with a tray: the login view in each
// language setting, and the main view of a logged-in station with two
// unreachable streams and a sounding recording device, in English and in
// Russian, acted on through its buttons. Screenshots stay in the build
// directory; each case starts its programs in fresh working directories.
#include <QtTest>


#include <memory>

#include "desktop.h"
#include "servicefixture.h"
#include "stationharness.h"
#include "testsupport.h"

using TestSupport::waitFor;

namespace {

const QString executable = QStringLiteral(ONDALINE_E2E_EXECUTABLE);
const QString artefactDir = QStringLiteral(ONDALINE_ARTEFACT_DIR);
const QByteArray session = "sid=6c0d7e52a1f94b38\nusername=operator\n";

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
    void cleanup() { m_program.reset(); }

    void loginView_data();
    void loginView();
    void mainViewFollowsTheLanguage();
    void mainViewActsOnTheSourceList();

private:
    // Starts the program on `ini` with the locale `lang` and returns its
    // window's area once `ready` holds for it, or a null image.
    QImage shoot(const QByteArray &ini, const QString &lang, const QString &name, const std::function<bool(const QImage &)> &ready);
    QImage login(const QString &language, const QString &lang, const QString &name);
    QImage mainView(const QString &language, const QString &name);

    HeadlessDisplay m_display;
    StationHarness::PulseServer m_pulse;
    std::unique_ptr<StationHarness::SinkTone> m_microphone;
    RefService m_service;
    QTemporaryDir m_filesDir;
    std::unique_ptr<QTemporaryDir> m_work;
    std::unique_ptr<Program> m_program;
    HeadlessDisplay::TopLevel m_window;
    QHash<QString, QImage> m_references; // the login view in "en" and "ru"
};

void tst_Screens::initTestCase()
{
    QVERIFY(QDir().mkpath(artefactDir));
    QString error;
    QVERIFY2(m_display.start(true, &error), qPrintable(error));
    QVERIFY2(m_pulse.start(&error), qPrintable(error));
    // The recording source hears a tone, so it becomes the one played.
    m_microphone = std::make_unique<StationHarness::SinkTone>(&m_pulse, QStringLiteral("ondaline_mic"), 440.0);
    QVERIFY2(m_microphone->start(&error), qPrintable(error));
    // The station's own logo, an orange disc, told apart from the program's.
    QVERIFY(TestSupport::writeFile(m_filesDir.filePath(QStringLiteral("north.svg")),
                                   "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"100\" height=\"100\">"
                                   "<circle cx=\"50\" cy=\"50\" r=\"48\" fill=\"#ff8000\"/></svg>"));
    TestSupport::Station station;
    station.logoFilename = QStringLiteral("north.svg");
    const QString streams = TestSupport::closedServiceUrl();
    station.streams = QStringList { streams + QStringLiteral("/main"), streams + QStringLiteral("/backup") };
    station.user = QStringLiteral("operator");
    station.build = QJsonObject { { QStringLiteral("version"), QStringLiteral("1.1.16") },
                                  { QStringLiteral("code"), 101160 },
                                  { QStringLiteral("filename"), QStringLiteral("Ondaline-1.1.16-setup.exe") } };
    m_service.setFilesDir(m_filesDir.path());
    QVERIFY2(TestSupport::startService(m_service, station, ONDALINE_E2E_SERVICE_PORT, &error), qPrintable(error));
    m_service.addSession(QStringLiteral("6c0d7e52a1f94b38"), QStringLiteral("operator"));
}

QImage tst_Screens::shoot(const QByteArray &ini, const QString &lang, const QString &name,
                          const std::function<bool(const QImage &)> &ready)
{
    m_program.reset();
    m_work = std::make_unique<QTemporaryDir>();
    TestSupport::writeFile(m_work->filePath(QStringLiteral("ondaline.ini")), "[General]\nshowKeepRunningDialog=false\n" + ini);
    m_program = std::make_unique<Program>();
    QString error;
    if (!m_program->start(executable, m_work->path(), m_display.programEnvironment(lang), &error)
        || !m_program->waitForWindow(m_display, &m_window))
        return {};
    QImage area;
    return waitFor([&] {
               area = m_display.shot(artefactDir + u'/' + name + u".png"_qs).copy(m_window.geometry);
               return ready(area);
           }, 45000)
            ? area
            : QImage();
}

// Once the offered build's link (blue, bottom right) came with the version
// reply and the view has settled; the text cursor blinks.
QImage tst_Screens::login(const QString &language, const QString &lang, const QString &name)
{
    QImage previous;
    return shoot("language=" + language.toUtf8() + '\n', lang, name, [&](const QImage &image) {
        const bool link = Pixels::count(image.copy(360, 460, 360, 80), [](QRgb p) { return qBlue(p) > 180 && qRed(p) < 90 && qGreen(p) < 90; }) > 20;
        const bool settled = !previous.isNull() && Pixels::differing(previous, image) < 60;
        previous = image;
        return link && settled;
    });
}

void tst_Screens::loginView_data()
{
    QTest::addColumn<QString>("language");
    QTest::addColumn<QString>("locale");
    QTest::addColumn<QString>("looksLike");
    QTest::addColumn<bool>("catalogueMissing");
    QTest::newRow("en-whatever-the-locale") << "en" << "de_DE.UTF-8" << "en" << false;
    QTest::newRow("ru") << "ru" << "en_GB.UTF-8" << "ru" << false;
    QTest::newRow("unknown-is-ru") << "fr" << "en_GB.UTF-8" << "ru" << false;
    QTest::newRow("system-without-catalogue") << "system" << "de_DE.UTF-8" << "en" << true;
    QTest::newRow("system-en") << "system" << "en_GB.UTF-8" << "en" << false;
}

// The texts, not the layout, tell the languages apart: the same language
// gives the same picture up to the text cursor.
void tst_Screens::loginView()
{
    QFETCH(QString, language);
    QFETCH(QString, locale);
    QFETCH(QString, looksLike);
    QFETCH(bool, catalogueMissing);
    const auto referenceOf = [&](const QString &lang) {
        if (!m_references.contains(lang))
            m_references.insert(lang, login(lang, QStringLiteral("en_GB.UTF-8"), u"login-reference-"_qs + lang));
        return m_references.value(lang);
    };
    const QImage reference = referenceOf(looksLike);
    const QImage other = referenceOf(looksLike == u"en" ? u"ru"_qs : u"en"_qs);
    QVERIFY2(!reference.isNull() && !other.isNull(), "no login view");
    QVERIFY2(Pixels::differing(reference, other) > 400, "English and Russian look alike");
    const QImage shown = login(language, locale, u"login-"_qs + QLatin1String(QTest::currentDataTag()));
    QVERIFY2(!shown.isNull(), "no login view");
    QVERIFY2(Pixels::differing(shown, reference) < 60, qPrintable(u"not the view in "_qs + looksLike));
    const QString log = TestSupport::dayLogText(m_work->path());
    QCOMPARE(log.contains(QStringLiteral("Can not load translator")), catalogueMissing);
    QCOMPARE(log.contains(u"(D): System language \""_qs + locale.left(2)), language == u"system");
}

// A stored session and a recording source; the service's two streams join it.
// Ready with the side panel's grey, the station's logo faded in and the
// three green dots of the one heard source.
QImage tst_Screens::mainView(const QString &language, const QString &name)
{
    return shoot("language=" + language.toUtf8() + '\n' + session + "[sources]\n1\\streamUrl=record:0\nsize=1\n",
                 QStringLiteral("en_GB.UTF-8"), name, [](const QImage &image) {
                     return near(image.pixel(5, 300), 0xf5, 0xf5, 0xf5, 2)
                             && Pixels::count(image.copy(0, 0, 200, 130), [](QRgb p) { return near(p, 0xff, 0x80, 0x00); }) > 5000
                             && Pixels::count(image, [](QRgb p) { return near(p, 0x00, 0x80, 0x00, 8); }) > 220;
                 });
}

// The labels and buttons change with the language.
void tst_Screens::mainViewFollowsTheLanguage()
{
    QList<QImage> panels;
    for (const QString &language : { QStringLiteral("en"), QStringLiteral("ru") }) {
        const QImage area = mainView(language, u"main-"_qs + language);
        QVERIFY2(!area.isNull(), "no main view");
        panels.append(area.copy(0, 110, 200, 430));
    }
    QVERIFY2(Pixels::differing(panels.at(0), panels.at(1)) > 400, "the main view did not change with the language");
}

// Add a recording source, move the first row down, delete the added row
// after its confirmation (a stream row has no delete); the settings file
// follows the rows. Positions are those of the 720 x 540 window.
void tst_Screens::mainViewActsOnTheSourceList()
{
    QVERIFY2(!mainView(QStringLiteral("en"), QStringLiteral("main-actions")).isNull(), "no main view");
    const QString ini = m_work->filePath(QStringLiteral("ondaline.ini"));
    const auto stored = [&] {
        QString kinds;
        for (const auto &source : TestSupport::storedSources(ini))
            kinds += source.streamUrl == u"record:0" ? u'r' : source.streamUrl.endsWith(u"/main") ? u'm' : u'b';
        return kinds;
    };
    const QPoint origin = m_window.geometry.topLeft();
    const QPoint firstRowDelete = origin + QPoint(485, 163);
    QVERIFY(waitFor([&] { return stored() == u"rmb"; }, 10000));
    m_display.click(origin + QPoint(100, 421), 1);
    QVERIFY2(waitFor([&] { return stored() == u"rmbr"; }, 10000), qPrintable(stored()));
    m_display.click(origin + QPoint(685, 163), 1);
    QVERIFY2(waitFor([&] { return stored() == u"mrbr"; }, 10000), qPrintable(stored()));
    m_display.click(firstRowDelete, 1);
    m_display.click(firstRowDelete + QPoint(0, 3 * 120), 1);
    QVERIFY2(waitFor([&] {
                 const QImage shot = m_display.shot(m_work->filePath(QStringLiteral("dialog.png")));
                 return !shot.isNull() && qRed(shot.pixel(origin + QPoint(400, 500))) < 200;
             }, 10000),
             "no confirmation dialog");
    QCOMPARE(stored(), u"mrbr"_qs);
    m_display.pressKeys(m_window.id, { QStringLiteral("Tab"), QStringLiteral("space") });
    QVERIFY2(waitFor([&] { return stored() == u"mrb"; }, 10000), qPrintable(stored()));
}

QTEST_GUILESS_MAIN(tst_Screens)
#include "tst_screens.moc"
