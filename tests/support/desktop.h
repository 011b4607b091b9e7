// The desktop of the end-to-end tests: a private X display (Xvfb on a
// display number it picks itself, optionally the trayer system tray) with
// the few X requests the tests need, the program launched on it, and the
// pixel counts the screenshot checks use.
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
    ~HeadlessDisplay();
    HeadlessDisplay(const HeadlessDisplay &) = delete;
    HeadlessDisplay &operator=(const HeadlessDisplay &) = delete;

    // Starts Xvfb and, with withTray, trayer; returns once the display
    // answers and the tray selection is owned. Every wait is bounded.
    bool start(bool withTray, QString *error);
    void stop();

    [[nodiscard]] QString name() const { return m_name; } // ":N"
    // The system environment with this display and the xcb platform.
    [[nodiscard]] QProcessEnvironment environment() const;
    // For the program: also no proxy (every peer is on 127.0.0.1) and the
    // locale `lang` alone.
    [[nodiscard]] QProcessEnvironment programEnvironment(const QString &lang = QStringLiteral("en_GB.UTF-8")) const;

    // Mapped top-level windows whose _NET_WM_PID is pid.
    [[nodiscard]] QList<TopLevel> viewableWindowsOf(qint64 pid) const;
    // The process's window embedded in the tray, in root coordinates.
    [[nodiscard]] TopLevel trayIconOf(qint64 pid) const;
    // WM_DELETE_WINDOW, as a window manager sends for the close button.
    bool closeWindow(unsigned long id) const;
    // xdotool key --window id KEY...
    bool pressKeys(unsigned long id, const QStringList &keys) const;
    bool pressReturn(unsigned long id) const { return pressKeys(id, { QStringLiteral("Return") }); }
    // xdotool mousemove x y click button
    bool click(QPoint position, int button) const;
    bool typeText(unsigned long id, const QString &text) const;
    bool screenshot(const QString &path, QString *error) const;
    // A screenshot, or a null image (with a warning) when none could be taken.
    [[nodiscard]] QImage shot(const QString &path) const;

private:
    [[nodiscard]] bool trayOwned() const;
    bool xdotool(const QStringList &arguments) const;

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
    ~Program();
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
    // The icon in the tray, once embedded (bounded wait).
    bool waitForTrayIcon(const HeadlessDisplay &display, HeadlessDisplay::TopLevel *icon, int timeoutMs = 15000);
    // Ends the process, hard if need be; returns its exit code or -1.
    int kill();
    [[nodiscard]] QByteArray describe();

private:
    QProcess m_process;
    QString m_dir;
};

namespace Pixels {
int count(const QImage &image, const std::function<bool(QRgb)> &match);
int colourCount(const QImage &image);
// Pixels that differ; all of them when the sizes differ.
int differing(const QImage &a, const QImage &b);
// Points of `image` (inside `area`) whose colour is `rgb`, as their centre; null when none.
QPoint colourCentre(const QImage &image, const QRect &area, QRgb rgb, int *count = nullptr);
// Pixels of the logo's blue inside `area` (all of the image when null).
int logo(const QImage &image, QRect area = {});
} // namespace Pixels
