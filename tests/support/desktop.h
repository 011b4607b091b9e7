// The desktop of the end-to-end tests: a private X display (Xvfb, optionally
// with the trayer system tray), the few X requests the tests need, and the
// program launched on it.
#pragma once

#include <QImage>
#include <QList>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRect>
#include <QString>
#include <functional>

class HeadlessDisplay
{
public:
    struct TopLevel
    {
        unsigned long id = 0;
        QRect geometry;
    };

    HeadlessDisplay() = default;
    ~HeadlessDisplay() { stop(); }
    HeadlessDisplay(const HeadlessDisplay &) = delete;
    HeadlessDisplay &operator=(const HeadlessDisplay &) = delete;

    // Returns once the display answers and, withTray, the tray is taken.
    bool start(bool withTray, QString *error);
    void stop();
    // The system environment with this display and the xcb platform.
    [[nodiscard]] QProcessEnvironment environment() const;
    // For the program: also no proxy (every peer is on 127.0.0.1) and the
    // locale `lang` alone.
    [[nodiscard]] QProcessEnvironment programEnvironment(const QString &lang = QStringLiteral("en_GB.UTF-8")) const;

    // Visible windows whose _NET_WM_PID is pid, in root coordinates: top
    // levels (menus, boxes, the main window) and the tray icon.
    [[nodiscard]] QList<TopLevel> windowsOf(qint64 pid) const;
    [[nodiscard]] QList<TopLevel> viewableWindowsOf(qint64 pid) const; // without the tray icon
    [[nodiscard]] TopLevel trayIconOf(qint64 pid) const;
    // WM_DELETE_WINDOW, as a window manager sends for the close button.
    bool closeWindow(unsigned long id) const;
    bool pressKeys(unsigned long id, const QStringList &keys) const; // id 0: wherever the keyboard goes
    bool pressReturn(unsigned long id) const { return pressKeys(id, { QStringLiteral("Return") }); }
    bool click(QPoint position, int button) const;
    bool typeText(unsigned long id, const QString &text) const;
    // A screenshot kept at `path`, or a null image when none could be taken.
    [[nodiscard]] QImage shot(const QString &path) const;

private:
    QByteArray xdotool(const QStringList &arguments) const;

    QProcess m_xvfb;
    QProcess m_trayer;
    QString m_name;
};

// The program in a working directory on a headless display; its output goes
// to stdout.txt and stderr.txt there.
class Program
{
public:
    Program() = default;
    ~Program() { kill(); }
    Program(const Program &) = delete;
    Program &operator=(const Program &) = delete;

    bool start(const QString &executable, const QString &dir, const QProcessEnvironment &environment,
               QString *error);
    [[nodiscard]] bool isRunning() const { return m_process.state() == QProcess::Running; }
    [[nodiscard]] qint64 pid() const { return m_process.processId(); }
    [[nodiscard]] QString dir() const { return m_dir; }
    QProcess &process() { return m_process; }
    // The application window, once mapped (bounded wait).
    bool waitForWindow(const HeadlessDisplay &display, HeadlessDisplay::TopLevel *window, int timeoutMs = 30000);
    // The icon in the tray, once embedded and settled (bounded wait).
    bool waitForTrayIcon(const HeadlessDisplay &display, HeadlessDisplay::TopLevel *icon, int timeoutMs = 15000);
    // Waits for the exit; its code, or -1000 when it did not end normally.
    int waitForExit(int timeoutMs = 15000);
    // Ends the process, hard if need be.
    void kill();
    [[nodiscard]] QByteArray describe();

private:
    QProcess m_process;
    QString m_dir;
};

namespace Pixels {
int count(const QImage &image, const std::function<bool(QRgb)> &match);
// Pixels that differ; all of them when the sizes differ.
int differing(const QImage &a, const QImage &b);
// Centre of the points of `image` inside `area` whose colour is `rgb`; null when none.
QPoint colourCentre(const QImage &image, const QRect &area, QRgb rgb, int *count = nullptr);
// Pixels of the program logo's blue inside `area` (all of the image when null).
int logo(const QImage &image, QRect area = {});
} // namespace Pixels
