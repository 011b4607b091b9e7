// Process entry: logging, identity, single instance, tray check, language,
// then the QML interface. The hub comes to life inside the QML engine.
#include <QApplication>
#include <QLocale>
#include <QLockFile>
#include <QMessageBox>
#include <QQmlApplicationEngine>
#include <QQuickWindow>
#include <QSettings>
#include <QSystemTrayIcon>
#include <QTranslator>
#include <QtQml/qqmlextensionplugin.h>

#include "buildidentity.h"
#include "settingsschema.h"
#include "logging.h"

Q_IMPORT_QML_PLUGIN(OndalinePlugin)

namespace {
const QString logPrefix = QStringLiteral("ondaline");
const QString lockFileName = QStringLiteral("ondaline.lock");
const QString organizationName = QStringLiteral("Veltam");
// Also the referer of every network access manager of the program.
const QString organizationDomain = QStringLiteral("com.tarnwell.ondaline");

// The language of the settings file, for the whole run.
void installTranslator(QApplication *app)
{
    QSettings settings(BuildIdentity::settingsFileName, QSettings::IniFormat);
    const QString stored = SettingsSchema::read(settings, SettingsSchema::language);
    // value(0): a system that reports no interface language gets the default.
    const QString systemLanguage = QLocale::system().uiLanguages().value(0);
    if (stored == QLatin1String("system"))
        qDebug() << "System language" << systemLanguage;
    const QString code = SettingsSchema::languageCode(stored, systemLanguage);
    auto *translator = new QTranslator(app);
    if (translator->load(QStringLiteral("ondaline_") + code, QStringLiteral(":/translations"))) {
        QCoreApplication::installTranslator(translator);
    } else {
        qWarning() << "Can not load translator";
        translator->deleteLater();
    }
}
} // namespace

int main(int argc, char *argv[])
{
    initLogging(logPrefix);
    qWarning("--------------------------------------------------");
    qWarning() << "Ondaline"
               << ONDALINE_VERSION
               << "startup";

    QApplication app(argc, argv);
    QCoreApplication::setOrganizationName(organizationName);
    QCoreApplication::setOrganizationDomain(organizationDomain);
    QCoreApplication::setApplicationName(QObject::tr("Ondaline"));
    QCoreApplication::setApplicationVersion(BuildIdentity::version);

    // Age alone never breaks the lock; QLockFile still takes over a lock
    // whose owner process is gone.
    QLockFile lockFile(lockFileName);
    lockFile.setStaleLockTime(0);
    if (!lockFile.tryLock(100)) {
        QMessageBox box(QMessageBox::Warning, QString(),
                        QObject::tr("The application is already running.\n"
                                    "Allowed to run only one instance of the application."));
        box.exec();
        return 1;
    }

    QSettings::setDefaultFormat(QSettings::IniFormat);
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, QStringLiteral("."));

    if (!QSystemTrayIcon::isSystemTrayAvailable()) {
        QMessageBox::critical(nullptr, QObject::tr("Ondaline"),
                              QObject::tr("I couldn't detect any system tray on this system."));
        return -1;
    }

    QApplication::setQuitOnLastWindowClosed(false);

    installTranslator(&app);

    // A flat 2D interface: Qt Quick's software renderer draws it for less
    // CPU and memory than OpenGL, which on machines without a GPU is itself
    // a software rasteriser. Qt's own QT_QUICK_BACKEND still decides.
    if (!qEnvironmentVariableIsSet("QT_QUICK_BACKEND"))
        QQuickWindow::setGraphicsApi(QSGRendererInterface::Software);

    QQmlApplicationEngine engine;
    QObject::connect(
            &engine, &QQmlApplicationEngine::objectCreationFailed, &app, [] { QCoreApplication::exit(-1); },
            Qt::QueuedConnection);
    engine.addImportPath(QStringLiteral("qrc:/qt/qml"));
#if QT_VERSION >= QT_VERSION_CHECK(6, 5, 0)
    engine.loadFromModule(QStringLiteral("Ondaline"), QStringLiteral("OLApplicationWindow"));
#else
    engine.load(QUrl(QStringLiteral("qrc:/qt/qml/Ondaline/qml/OLApplicationWindow.qml")));
#endif

    return QApplication::exec();
}
