// The two catalogues against the texts the code really asks for: lupdate
// extracts them afresh from qml/ and src/, and every one must be translated
// in both catalogues, with nothing left over from texts that are gone.
#include <QtTest>

#include <QFile>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QRawFont>
#include <QMap>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTranslator>
#include <QXmlStreamReader>

namespace {

const QString sourceDir = QStringLiteral(ONDALINE_SOURCE_DIR);

struct Message
{
    QString translation;
    QString type; // "" when finished; "unfinished", "obsolete", "vanished"...
};

using Key = QPair<QString, QString>; // context, source text

struct Catalogue
{
    QString language;
    QMap<Key, Message> messages;
};

bool readCatalogue(const QString &fileName, Catalogue *catalogue, QString *error)
{
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = fileName + QStringLiteral(": ") + file.errorString();
        return false;
    }
    QXmlStreamReader xml(&file);
    QString context;
    QString source;
    while (!xml.atEnd()) {
        if (xml.readNext() != QXmlStreamReader::StartElement)
            continue;
        const auto name = xml.name();
        if (name == QLatin1String("TS")) {
            catalogue->language = xml.attributes().value(QStringLiteral("language")).toString();
        } else if (name == QLatin1String("name")) {
            context = xml.readElementText();
        } else if (name == QLatin1String("source")) {
            source = xml.readElementText();
        } else if (name == QLatin1String("translation")) {
            Message message;
            message.type = xml.attributes().value(QStringLiteral("type")).toString();
            message.translation = xml.readElementText();
            if (catalogue->messages.contains({ context, source })) {
                *error = QStringLiteral("%1: duplicate message %2 / %3").arg(fileName, context, source);
                return false;
            }
            catalogue->messages.insert({ context, source }, message);
        }
    }
    if (xml.hasError()) {
        *error = fileName + QStringLiteral(": ") + xml.errorString();
        return false;
    }
    return true;
}

QString describe(const QList<Key> &keys)
{
    QStringList lines;
    for (const Key &key : keys)
        lines.append(key.first + QStringLiteral(" / \"") + key.second + QLatin1Char('"'));
    return lines.join(QLatin1Char('\n'));
}

QStringList linkTargets(const QString &text)
{
    static const QRegularExpression href(QStringLiteral(R"(href\s*=\s*"([^"]*)\")"));
    QStringList targets;
    for (auto it = href.globalMatch(text); it.hasNext();)
        targets.append(it.next().captured(1));
    return targets;
}

} // namespace

class tst_Translations : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void catalogueMatchesTheCode_data();
    void catalogueMatchesTheCode();
    void whatTheOperatorReads();

private:
    void addLanguageRows();

    QTemporaryDir m_dir;
    Catalogue m_extracted;
    QMap<QString, Catalogue> m_catalogues;
};

void tst_Translations::initTestCase()
{
    QVERIFY(m_dir.isValid());
    const QString extracted = m_dir.filePath(QStringLiteral("extracted.ts"));
    QProcess lupdate;
    lupdate.setProcessChannelMode(QProcess::MergedChannels);
    lupdate.start(QStringLiteral(ONDALINE_LUPDATE),
                  { QStringLiteral("-no-obsolete"), QStringLiteral("-locations"), QStringLiteral("none"),
                    sourceDir + QStringLiteral("/qml"), sourceDir + QStringLiteral("/src"), QStringLiteral("-ts"),
                    extracted });
    QVERIFY2(lupdate.waitForFinished(60000), qPrintable(QStringLiteral("lupdate: ") + lupdate.errorString()));
    QVERIFY2(lupdate.exitStatus() == QProcess::NormalExit && lupdate.exitCode() == 0,
             lupdate.readAll().constData());

    QString error;
    QVERIFY2(readCatalogue(extracted, &m_extracted, &error), qPrintable(error));
    QVERIFY2(!m_extracted.messages.isEmpty(), "lupdate found no text at all");
    for (const QString &code : { QStringLiteral("en"), QStringLiteral("ru") }) {
        Catalogue catalogue;
        QVERIFY2(readCatalogue(sourceDir + QStringLiteral("/translations/ondaline_%1.ts").arg(code), &catalogue,
                               &error),
                 qPrintable(error));
        m_catalogues.insert(code, catalogue);
    }
}

void tst_Translations::addLanguageRows()
{
    QTest::addColumn<QString>("code");
    QTest::addColumn<QString>("languageTag");
    QTest::newRow("english") << "en"
                             << "en_US";
    QTest::newRow("russian") << "ru"
                             << "ru_RU";
}

void tst_Translations::catalogueMatchesTheCode_data()
{
    addLanguageRows();
}

void tst_Translations::catalogueMatchesTheCode()
{
    QFETCH(QString, code);
    QFETCH(QString, languageTag);
    const Catalogue &catalogue = m_catalogues.value(code);
    QCOMPARE(catalogue.language, languageTag);

    QList<Key> missing;
    QList<Key> stale;
    QList<Key> untranslated;
    for (auto it = m_extracted.messages.cbegin(); it != m_extracted.messages.cend(); ++it) {
        if (!catalogue.messages.contains(it.key()))
            missing.append(it.key());
    }
    for (auto it = catalogue.messages.cbegin(); it != catalogue.messages.cend(); ++it) {
        if (!m_extracted.messages.contains(it.key()))
            stale.append(it.key());
        else if (!it->type.isEmpty() || it->translation.isEmpty())
            untranslated.append(it.key());
    }
    QVERIFY2(missing.isEmpty(), qPrintable(QStringLiteral("texts without a message:\n") + describe(missing)));
    QVERIFY2(stale.isEmpty(), qPrintable(QStringLiteral("messages no code asks for:\n") + describe(stale)));
    QVERIFY2(untranslated.isEmpty(), qPrintable(QStringLiteral("untranslated:\n") + describe(untranslated)));

    for (auto it = catalogue.messages.cbegin(); it != catalogue.messages.cend(); ++it) {
        const QString &source = it.key().second;
        // English reads as written, but for a misspelt key the code keeps.
        if (code == QLatin1String("en") && source != QLatin1String("Conected"))
            QCOMPARE(it->translation, source);
        // A link must lead to the same place in every language.
        QCOMPARE(linkTargets(it->translation), linkTargets(source));
    }
}

// The catalogue key keeps its spelling; the operator reads English. The
// restart button's triangle (U+23F5) shows as a box without a font that has it.
void tst_Translations::whatTheOperatorReads()
{
    QTranslator english;
    QVERIFY(english.load(QStringLiteral("ondaline_en"), QStringLiteral(":/translations")));
    QCOMPARE(english.translate("OLSourceDelegateItem", "Conected"), QStringLiteral("Connected"));

    const QStringList families = QFontDatabase::families();
    const bool drawn = std::any_of(families.cbegin(), families.cend(), [](const QString &family) {
        return QRawFont::fromFont(QFont(family)).supportsCharacter(char32_t(0x23F5));
    });
    QVERIFY2(drawn, "no installed font has U+23F5");
}

int main(int argc, char *argv[])
{
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    tst_Translations test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}
#include "tst_translations.moc"
