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
#include <QTemporaryDir>
#include <functional>

#include "stationharness.h"

class HeadlessDisplay
{
public:
    struct TopLevel
    {
        unsigned long id = 0;
        QRect geometry;
    };

    ~HeadlessDisplay();
    // Returns once the display answers and, withTray, the tray is taken.
    bool start(bool withTray, QString *error);
    // The system environment with this display and the xcb platform.
    [[nodiscard]] QProcessEnvironment environment() const;
    // For the program: also no proxy (every peer is on 127.0.0.1) and a
    // British English locale alone.
    [[nodiscard]] QProcessEnvironment programEnvironment() const;
    // Visible windows whose _NET_WM_PID is pid, in root coordinates: the top
    // levels (menus, boxes, the main window) or else the icon in the tray.
    [[nodiscard]] QList<TopLevel> windowsOf(qint64 pid, bool trayIcon = false) const;
    // WM_DELETE_WINDOW, as a window manager sends for the close button.
    bool closeWindow(unsigned long id) const;
    // xdotool's exit code is not telling: a key release may find the window gone.
    void pressKeys(unsigned long id, const QStringList &keys) const
    {
        xdotool(QStringList { QStringLiteral("key"), QStringLiteral("--window"), QString::number(id) } + keys);
    }
    void click(QPoint at, int button = 1) const
    {
        xdotool(QStringLiteral("mousemove %1 %2 click %3").arg(at.x()).arg(at.y()).arg(button).split(u' '));
    }
    void typeText(unsigned long id, const QString &text) const
    {
        xdotool(QStringLiteral("type --delay 20 --window %1").arg(id).split(u' ') << text);
    }
    // A null image when none could be taken.
    [[nodiscard]] QImage shot() const;

private:
    QByteArray xdotool(const QStringList &arguments) const;

    QProcess m_xvfb;
    QProcess m_trayer;
    QString m_name;
    QTemporaryDir m_shots;
};

// The program in a working directory on a headless display; its output goes
// to stdout.txt and stderr.txt there.
class Program
{
public:
    explicit Program(const HeadlessDisplay &display) : m_display(display) { }
    ~Program() { kill(); }

    // The display's programEnvironment() when none is given.
    bool start(const QString &executable, const QString &dir, QProcessEnvironment environment = {});
    [[nodiscard]] bool isRunning() const { return m_process.state() == QProcess::Running; }
    [[nodiscard]] qint64 pid() const { return m_process.processId(); }
    [[nodiscard]] QString dir() const { return m_dir; }
    // The first window shown that is (or is not) the main one; none when the
    // program ends first. The main one is kept as window().
    HeadlessDisplay::TopLevel waitForWindow(bool main = true, int timeoutMs = 30000);
    [[nodiscard]] HeadlessDisplay::TopLevel window() const { return m_window; }
    [[nodiscard]] QList<HeadlessDisplay::TopLevel> popups() const;
    // Right click on the tray icon; the menu's place, null when none came.
    QRect openTrayMenu();
    // The tray menu's last entry, "Close"; true once its confirmation dims the window.
    bool closeThroughTray();
    [[nodiscard]] bool dimmed(QPoint at = { 5, 5 }) const;
    // Its code, or -1000 when it did not end normally.
    int waitForExit();
    void kill() { StationHarness::end(m_process, SIGTERM, 10000); }
    [[nodiscard]] QByteArray describe() const;

private:
    const HeadlessDisplay &m_display;
    QProcess m_process;
    QString m_dir;
    HeadlessDisplay::TopLevel m_window;
};

namespace Pixels {
// The pixels where `match` holds, and their centre.
int count(const QImage &image, const std::function<bool(QRgb)> &match, QPoint *centre = nullptr);
// Pixels that differ; all of them when the sizes differ.
int differing(const QImage &a, const QImage &b);
// Pixels of the program logo's blue inside `area`.
inline int logo(const QImage &image, QRect area)
{
    return count(image.copy(area), [](QRgb p) { return qBlue(p) > 120 && qRed(p) < 60 && qGreen(p) > 60 && qGreen(p) < 180; });
}
} // namespace Pixels
