// The real program's views and tray under Xvfb, logged in with a recording
// source that hears a 440 Hz tone and the service's two unreachable streams:
// the login view in each language setting; the main view in English and in
// Russian, acted on through its buttons; the tray's "Output device" submenu
// on PulseAudio null sinks, where a sink that appears joins it, choosing one
// moves the sound there, and the chosen one keeps its place while others come
// and go, until it goes itself. Screenshots stay in the build directory; each
// case starts its programs in fresh working directories.
#include <QtTest>

#include <QRegularExpression>

#include <memory>

#include "desktop.h"
#include "servicefixture.h"
#include "stationharness.h"
#include "testsupport.h"

using TestSupport::waitFor;

namespace {

const QString executable = QStringLiteral(ONDALINE_E2E_EXECUTABLE);
const QString artefactDir = QStringLiteral(ONDALINE_ARTEFACT_DIR);
const QString sessionId = QStringLiteral("6c0d7e52a1f94b38");
const QByteArray loggedIn = "sid=" + sessionId.toUtf8() + "\nusername=operator\n[sources]\n1\\streamUrl=record:0\nsize=1\n";
const QString extra = QStringLiteral("Ondaline_Extra_Output");
// "Default device", "No sound", the microphone's feed, the output, then added sinks.
constexpr int extraIndex = 4;

bool near(QRgb p, int r, int g, int b, int tolerance = 24)
{
    return qAbs(qRed(p) - r) <= tolerance && qAbs(qGreen(p) - g) <= tolerance && qAbs(qBlue(p) - b) <= tolerance;
}

QString changedTo(const QString &device, int index)
{
    return QStringLiteral("Output device changed to \"%1\" index %2").arg(device).arg(index);
}

} // namespace

class tst_Screens : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();

    void loginView_data();
    void loginView();
    void mainViewFollowsTheLanguageAndActsOnTheSourceList();
    void aNewSinkJoinsTheTraySubmenuAndCanBeChosen();
    void theChosenSinkOutlivesOthersUntilItGoes();

private:
    QString ini() const { return m_work->filePath(QStringLiteral("ondaline.ini")); }
    // The program on a fresh working directory with `ini` as [General], once its window shows.
    bool launch(const QByteArray &ini, const QString &lang = QStringLiteral("en_GB.UTF-8"));
    // The window's area once `ready` holds for it, or a null image.
    QImage shoot(const QByteArray &ini, const QString &lang, const QString &name, const std::function<bool(const QImage &)> &ready);
    QImage login(const QString &language, const QString &lang, const QString &name);
    // Logged in once the three sources play, with the output device `index`.
    void startWithDevice(int index);
    QStringList log() const { return TestSupport::dayLogText(m_work->path()).split(u'\n', Qt::SkipEmptyParts); }
    // The first line at or after `from` with `text`, once there is one; -1 when none came.
    qsizetype waitForLine(const QString &text, qsizetype from, int timeoutMs = 15000);
    int restartedSources(qsizetype from) const;
    int storedIndex() const { return TestSupport::storedValue(ini(), QStringLiteral("outputDeviceIndex")).toInt(); }
    // Opens the submenu through the tray menu; where it is.
    QRect openSubmenu();
    void closeMenus()
    {
        // A click on the bare screen closes every open popup.
        m_display.click({ 1000, 700 });
        QVERIFY(waitFor([&] { return m_program->popups().isEmpty(); }, 10000));
    }
    bool loadSink(const QString &name, const QString &description);
    bool unloadSink(const QString &name) { return m_modules.contains(name) && m_pulse.unloadModule(m_modules.take(name)); }

    HeadlessDisplay m_display;
    StationHarness::PulseServer m_pulse;
    StationHarness::SinkTone m_microphone { &m_pulse, QStringLiteral("ondaline_mic"), 440.0 };
    RefService m_service;
    QTemporaryDir m_filesDir;
    std::unique_ptr<QTemporaryDir> m_work;
    std::unique_ptr<Program> m_program;
    QHash<QString, QImage> m_references; // the login view in "en" and "ru"
    QHash<QString, int> m_modules;
};

void tst_Screens::initTestCase()
{
    QVERIFY(QDir().mkpath(artefactDir));
    QString error;
    QVERIFY2(m_display.start(true, &error) && m_pulse.start(&error) && m_microphone.start(&error), qPrintable(error));
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
    m_service.addSession(sessionId, QStringLiteral("operator"));
}

void tst_Screens::cleanup()
{
    m_program.reset();
    for (int module : std::as_const(m_modules))
        m_pulse.unloadModule(module);
    m_modules.clear();
}

bool tst_Screens::launch(const QByteArray &ini, const QString &lang)
{
    m_program.reset();
    m_work = std::make_unique<QTemporaryDir>();
    m_program = std::make_unique<Program>(m_display);
    return TestSupport::writeFile(this->ini(), "[General]\nshowKeepRunningDialog=false\n" + ini)
            && m_program->start(executable, m_work->path(), m_display.programEnvironment(lang)) && m_program->waitForWindow().id;
}

QImage tst_Screens::shoot(const QByteArray &ini, const QString &lang, const QString &name,
                          const std::function<bool(const QImage &)> &ready)
{
    QImage area;
    return launch(ini, lang) && waitFor([&] {
               area = m_display.shot(artefactDir + u'/' + name + u".png"_qs).copy(m_program->window().geometry);
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

// A stored session and a recording source; the service's two streams join
// it. The labels and buttons change with the language. Then, in English: add
// a recording source, move the first row down, delete the added row after
// its confirmation (a stream row has no delete); the settings file follows
// the rows. Positions are those of the 720 x 540 window.
void tst_Screens::mainViewFollowsTheLanguageAndActsOnTheSourceList()
{
    // Ready with the side panel's grey, the station's logo faded in and the
    // three green dots of the one heard source.
    const auto ready = [](const QImage &image) {
        return near(image.pixel(5, 300), 0xf5, 0xf5, 0xf5, 2)
                && Pixels::count(image.copy(0, 0, 200, 130), [](QRgb p) { return near(p, 0xff, 0x80, 0x00); }) > 5000
                && Pixels::count(image, [](QRgb p) { return near(p, 0x00, 0x80, 0x00, 8); }) > 220;
    };
    QList<QImage> panels;
    for (const QString &language : { QStringLiteral("ru"), QStringLiteral("en") }) {
        const QImage area = shoot("language=" + language.toUtf8() + '\n' + loggedIn, QStringLiteral("en_GB.UTF-8"), u"main-"_qs + language, ready);
        QVERIFY2(!area.isNull(), "no main view");
        panels.append(area.copy(0, 110, 200, 430));
    }
    QVERIFY2(Pixels::differing(panels.at(0), panels.at(1)) > 400, "the main view did not change with the language");

    const auto stored = [&] {
        QString kinds;
        for (const auto &source : TestSupport::storedSources(ini()))
            kinds += source.streamUrl == u"record:0" ? u'r' : source.streamUrl.endsWith(u"/main") ? u'm' : u'b';
        return kinds;
    };
    const QPoint origin = m_program->window().geometry.topLeft();
    const QPoint firstRowDelete = origin + QPoint(485, 163);
    QVERIFY(waitFor([&] { return stored() == u"rmb"; }, 10000));
    m_display.click(origin + QPoint(100, 421));
    QVERIFY2(waitFor([&] { return stored() == u"rmbr"; }, 10000), qPrintable(stored()));
    m_display.click(origin + QPoint(685, 163));
    QVERIFY2(waitFor([&] { return stored() == u"mrbr"; }, 10000), qPrintable(stored()));
    m_display.click(firstRowDelete);
    m_display.click(firstRowDelete + QPoint(0, 3 * 120));
    QVERIFY2(waitFor([&] { return m_program->dimmed({ 400, 500 }); }, 10000), "no confirmation dialog");
    QCOMPARE(stored(), u"mrbr"_qs);
    m_display.pressKeys(m_program->window().id, { QStringLiteral("Tab"), QStringLiteral("space") });
    QVERIFY2(waitFor([&] { return stored() == u"mrb"; }, 10000), qPrintable(stored()));
}

void tst_Screens::startWithDevice(int index)
{
    QVERIFY2(launch("language=en\noutputDeviceIndex=" + QByteArray::number(index) + '\n' + loggedIn), m_program->describe());
    QVERIFY2(waitFor([&] { return restartedSources(0) == 3; }, 30000), qPrintable(log().join(u'\n')));
}

qsizetype tst_Screens::waitForLine(const QString &text, qsizetype from, int timeoutMs)
{
    const QRegularExpression line(u".*"_qs + QRegularExpression::escape(text) + u".*"_qs);
    qsizetype at = -1;
    waitFor([&] { return (at = log().indexOf(line, from)) >= 0; }, timeoutMs);
    return at;
}

int tst_Screens::restartedSources(qsizetype from) const
{
    static const QRegularExpression started(QStringLiteral("Source (.*) start playing"));
    QSet<QString> names;
    for (const QString &line : log().mid(from))
        names.insert(started.match(line).captured(1));
    names.remove(QString());
    return int(names.size());
}

QRect tst_Screens::openSubmenu()
{
    const QRect menu = m_program->openTrayMenu();
    // Entries are 22 px apart; the first names the station, the second holds the submenu.
    m_display.click({ menu.center().x(), menu.top() + 11 + 22 });
    QRect submenu;
    waitFor([&] {
        for (const auto &w : m_program->popups())
            submenu = w.geometry != menu ? w.geometry : submenu;
        return !submenu.isNull();
    }, 10000);
    return submenu;
}

bool tst_Screens::loadSink(const QString &name, const QString &description)
{
    const int module = m_pulse.loadModule(QStringLiteral("module-null-sink"),
                                          { u"sink_name="_qs + name, QStringLiteral("rate=48000"), QStringLiteral("channels=2"),
                                            u"sink_properties=device.description="_qs + description });
    m_modules.insert(name, module);
    return module >= 0;
}

void tst_Screens::aNewSinkJoinsTheTraySubmenuAndCanBeChosen()
{
    startWithDevice(0);
    if (QTest::currentTestFailed())
        return;
    const QRect fourEntries = openSubmenu();
    QVERIFY2(!fourEntries.isNull(), "no output device submenu");
    closeMenus();

    const qsizetype before = log().size();
    QVERIFY(loadSink(QStringLiteral("ondaline_extra"), extra));
    const qsizetype updated = waitForLine(QStringLiteral("(I): Output devices list was updated"), before);
    QVERIFY2(updated >= 0, "the program did not list the new sink");
    // Appended at the end, it leaves the default device chosen and the sources alone.
    QVERIFY(waitForLine(changedTo(QStringLiteral("Default device"), 0), updated, 5000) >= 0);
    QCOMPARE(storedIndex(), 0);
    QCOMPARE(restartedSources(before), 0);
    const QRect fiveEntries = openSubmenu();
    const int pitch = fiveEntries.height() - fourEntries.height();
    QVERIFY2(pitch > 10, "the submenu did not grow by the new sink");

    const qsizetype chosenFrom = log().size();
    const int margin = (fiveEntries.height() - 5 * pitch) / 2;
    m_display.click({ fiveEntries.center().x(), fiveEntries.top() + margin + pitch * extraIndex + pitch / 2 });
    const qsizetype changed = waitForLine(u"(I): "_qs + changedTo(extra, extraIndex), chosenFrom, 5000);
    QVERIFY2(changed >= 0, qPrintable(log().mid(chosenFrom).join(u'\n')));
    QTRY_COMPARE_WITH_TIMEOUT(storedIndex(), extraIndex, 5000);
    QVERIFY(waitFor([&] { return restartedSources(changed) == 3; }, 10000));
    // The check mark moved to the chosen entry: dark pixels at the left of its row only.
    const QRect shown = openSubmenu();
    const QImage shot = m_display.shot(artefactDir + u"/tray-submenu.png"_qs);
    QList<int> marks;
    for (int row = 0; row < 5; ++row)
        marks << Pixels::count(shot.copy(shown.left() + 2, shown.top() + margin + row * pitch + 4, 22, pitch - 8), [](QRgb p) { return qGray(p) < 100; });
    QVERIFY2(marks.at(extraIndex) > 10 && marks.count(0) == 4, qPrintable(QDebug::toString(marks)));
    closeMenus();

    // The recording source is heard on the chosen sink, and no longer on the default one.
    StationHarness::Capture chosen(&m_pulse, QStringLiteral("ondaline_extra.monitor")), previous(&m_pulse);
    QString error;
    QVERIFY2(chosen.start(&error) && previous.start(&error), qPrintable(error));
    QVERIFY2(chosen.onsetMs(440, 0, 10000, 1000) >= 0, qPrintable(chosen.describe(0, chosen.positionMs())));
    QVERIFY2(previous.steady(0, 0, previous.positionMs()), qPrintable(u"still heard on the default device: "_qs + previous.describe(0, 1e9)));
}

// Positions name the devices: one added or removed after the chosen one
// changes nothing but the list.
void tst_Screens::theChosenSinkOutlivesOthersUntilItGoes()
{
    QVERIFY(loadSink(QStringLiteral("ondaline_extra"), extra));
    startWithDevice(extraIndex);
    if (QTest::currentTestFailed())
        return;
    const qsizetype before = log().size();
    for (const bool load : { true, false }) {
        const qsizetype from = log().size();
        QVERIFY(load ? loadSink(QStringLiteral("ondaline_late"), QStringLiteral("Late")) : unloadSink(QStringLiteral("ondaline_late")));
        const qsizetype updated = waitForLine(QStringLiteral("Output devices list was updated"), from);
        QVERIFY2(updated >= 0 && waitForLine(changedTo(extra, extraIndex), updated, 5000) >= 0,
                 qPrintable(u"a sink after the chosen one changed the choice:\n"_qs + log().mid(from).join(u'\n')));
    }
    QCOMPARE(log().mid(before).filter(QStringLiteral("Output device changed to")).size(), 2);
    QVERIFY(log().mid(before).filter(QStringLiteral("is not valid")).isEmpty());
    QCOMPARE(storedIndex(), extraIndex);
    QCOMPARE(restartedSources(before), 0);

    const qsizetype lost = log().size();
    QVERIFY(unloadSink(QStringLiteral("ondaline_extra")));
    const qsizetype warned = waitForLine(QStringLiteral("(W): New output device index 4 is not valid"), lost, 5000);
    QVERIFY2(warned >= 0, qPrintable(log().mid(lost).join(u'\n')));
    const qsizetype changed = waitForLine(u"(I): "_qs + changedTo(QStringLiteral("Default device"), 0), warned, 5000);
    QVERIFY2(changed >= 0, qPrintable(log().mid(lost).join(u'\n')));
    QTRY_COMPARE_WITH_TIMEOUT(storedIndex(), 0, 5000);
    QVERIFY(waitFor([&] { return restartedSources(changed) == 3; }, 10000));
    QVERIFY(m_program->isRunning());
}

QTEST_GUILESS_MAIN(tst_Screens)
#include "tst_screens.moc"
