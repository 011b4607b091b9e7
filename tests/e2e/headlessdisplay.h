// A private X display for end-to-end runs of the real executable: Xvfb on
// a display number it picks itself, optionally the trayer system tray, and
// the few X requests the tests need (find a process's windows, close one the
// way a window manager would, press Return in it, take a screenshot).
#pragma once

#include <QList>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRect>
#include <QString>

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
    bool screenshot(const QString &path, QString *error) const;

private:
    [[nodiscard]] bool trayOwned() const;
    bool xdotool(const QStringList &arguments) const;

    QProcess m_xvfb;
    QProcess m_trayer;
    QString m_name;
};
