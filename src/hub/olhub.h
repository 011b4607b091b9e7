// The one object the QML interface and the rest of the program share:
// settings, device lists, the source list and its operations.
#pragma once

#include <QJsonArray>
#include <QObject>
#include <QSettings>
#include <QStringList>
#include <QVariantMap>
#include <QtQml/qqmlregistration.h>

#include "qqmlobjectlistmodel.h"
#include "reconciliationplan.h"

class OLClientUser;
class OLSource;
class QTimer;

class OLHub : public QObject
{
    Q_OBJECT
    Q_MOC_INCLUDE("olclientuser.h")
    QML_ELEMENT
    QML_SINGLETON
    Q_PROPERTY(OLClientUser *clientUser READ clientUser NOTIFY clientUserChanged)
    Q_PROPERTY(int logsStoreDays READ logsStoreDays WRITE setLogsStoreDays NOTIFY logsStoreDaysChanged)
    Q_PROPERTY(QString language READ language WRITE setLanguage NOTIFY languageChanged)
    Q_PROPERTY(bool showKeepRunningDialog READ showKeepRunningDialog WRITE setShowKeepRunningDialog NOTIFY showKeepRunningDialogChanged)
    Q_PROPERTY(QStringList outputDevices READ outputDevices NOTIFY outputDevicesChanged)
    Q_PROPERTY(QJsonArray recordDevices READ recordDevices NOTIFY recordDevicesChanged)
    Q_PROPERTY(int outputDeviceIndex READ outputDeviceIndex WRITE setOutputDeviceIndex NOTIFY outputDeviceIndexChanged)
    Q_PROPERTY(QQmlObjectListModelBase *sources READ sourcesModel CONSTANT)
    Q_PROPERTY(double silenceDetectionLevelDb READ silenceDetectionLevelDb WRITE setSilenceDetectionLevelDb NOTIFY silenceDetectionLevelDbChanged)
    Q_PROPERTY(int silenceDetectionStartMs READ silenceDetectionStartMs WRITE setSilenceDetectionStartMs NOTIFY silenceDetectionStartMsChanged)
    Q_PROPERTY(int silenceDetectionEndMs READ silenceDetectionEndMs WRITE setSilenceDetectionEndMs NOTIFY silenceDetectionEndMsChanged)
    // The valid range of each setting a dialog edits, by key: {"from", "to"}.
    Q_PROPERTY(QVariantMap settingRanges READ settingRanges CONSTANT)

public:
    explicit OLHub(QObject *parent = nullptr);
    ~OLHub() override;

    [[nodiscard]] OLClientUser *clientUser() const { return m_clientUser; }
    [[nodiscard]] int logsStoreDays() const { return m_logsStoreDays; }
    [[nodiscard]] QString language() const { return m_language; }
    [[nodiscard]] bool showKeepRunningDialog() const { return m_showKeepRunningDialog; }
    [[nodiscard]] QStringList outputDevices() const { return m_outputDevices; }
    [[nodiscard]] QJsonArray recordDevices() const { return m_recordDevices; }
    [[nodiscard]] int outputDeviceIndex() const { return m_outputDeviceIndex; }
    [[nodiscard]] QQmlObjectListModel<OLSource> *sources() const { return m_sources; }
    [[nodiscard]] QQmlObjectListModelBase *sourcesModel() const;
    [[nodiscard]] double silenceDetectionLevelDb() const { return m_silenceDetectionLevelDb; }
    [[nodiscard]] int silenceDetectionStartMs() const { return m_silenceDetectionStartMs; }
    [[nodiscard]] int silenceDetectionEndMs() const { return m_silenceDetectionEndMs; }

    [[nodiscard]] static QVariantMap settingRanges();

    [[nodiscard]] QSettings *settings() { return &m_settings; }

    // Test seam: the delay between the last device failure and the restart
    // of every source (5000 ms in the program).
    void setSourceRestartIntervalMs(int intervalMs);

signals:
    void clientUserChanged(OLClientUser *clientUser);
    void logsStoreDaysChanged(int logsStoreDays);
    void languageChanged(QString language);
    void showKeepRunningDialogChanged(bool showKeepRunningDialog);
    void outputDevicesChanged(QStringList outputDevices);
    void recordDevicesChanged(QJsonArray recordDevices);
    void outputDeviceIndexChanged(int outputDeviceIndex);
    void silenceDetectionLevelDbChanged(double silenceDetectionLevelDb);
    void silenceDetectionStartMsChanged(int silenceDetectionStartMs);
    void silenceDetectionEndMsChanged(int silenceDetectionEndMs);

protected slots:
    bool updateClientUser(OLClientUser *clientUser);

public slots:
    bool setLogsStoreDays(int logsStoreDays);
    bool setLanguage(QString language);
    bool setShowKeepRunningDialog(bool showKeepRunningDialog);

protected slots:
    bool updateOutputDevices(QStringList outputDevices);
    bool updateRecordDevices(QJsonArray recordDevices);

public slots:
    bool setOutputDeviceIndex(int outputDeviceIndex);
    bool setSilenceDetectionLevelDb(double silenceDetectionLevelDb);
    bool setSilenceDetectionStartMs(int silenceDetectionStartMs);
    bool setSilenceDetectionEndMs(int silenceDetectionEndMs);
    void cleanOldLogFiles();
    void updateOutputDevicesFromBass();
    void updateRecordDevicesFromBass();
    void handleOutputDeviceIndexChanged(int outputDeviceIndex);
    void play(int sourceIndex, QString streamUrl);
    void play(int sourceIndex) { play(sourceIndex, QString()); }
    void restart(int sourceIndex);
    void addNewRecordSource();
    void moveSource(int indexFrom, int indexTo);
    void deleteSource(int sourceIndex);
    void saveSourcesStreamsToSettings();
    void updateSourcesActivity();
    void updateSourcesFromClient();
    void deleteAllSources();

private slots:
    void initSources();
    void restartAllSources();
    void stopAllSources();
    // Logout stops every source, login restarts them all.
    void handleLoggedInChanged(bool isLoggedIn);

private:
    // The constructor's steps, in their order.
    void readGeneralSettings();
    void watchDevices();
    void readSilenceSettings();
    void followClientUser();

    [[nodiscard]] bool isValidIndex(int index, const char *what) const;
    [[nodiscard]] bool isValidOutputDeviceIndex(int outputDeviceIndex) const;
    // A login of another operator than the list's owner empties the list.
    void adoptSourcesOwner();
    OLSource *createSource(const QUrl &streamUrl, double volumeLevel);
    void carryOut(const ReconciliationPlan::Step &step);

    OLClientUser *m_clientUser = nullptr;
    int m_logsStoreDays = 0;
    QString m_logsStoreDaysRead; // the stored text behind m_logsStoreDays
    QString m_sourcesOwner;
    QString m_language;
    bool m_showKeepRunningDialog = false;
    QStringList m_outputDevices;
    QJsonArray m_recordDevices;
    int m_outputDeviceIndex = 0;
    QQmlObjectListModel<OLSource> *m_sources = nullptr;
    double m_silenceDetectionLevelDb = 0.0;
    int m_silenceDetectionStartMs = 0;
    int m_silenceDetectionEndMs = 0;
    QTimer *m_logRetentionTimer = nullptr;
    QTimer *m_devicePollTimer = nullptr;
    QTimer *m_sourceRestartTimer = nullptr;
    QSettings m_settings;
};
