#include "desktop.h"

#include "stationharness.h"
#include "testsupport.h"

#include <QDir>
#include <QRegularExpression>

// Xlib last: its macros (None, Bool, Status...) clash with Qt's headers.
#include <X11/Xlib.h>

using StationHarness::end;

bool HeadlessDisplay::start(bool withTray, QString *error)
{
    // -displayfd 1: Xvfb takes a free display number and prints it once it
    // accepts connections.
    m_xvfb.start(QStringLiteral("Xvfb"), QStringLiteral("-displayfd 1 -screen 0 1280x800x24 -nolisten tcp -noreset").split(u' '));
    QByteArray out;
    if (!TestSupport::waitFor([&] { return (out += m_xvfb.readAllStandardOutput()).contains('\n') || m_xvfb.state() == QProcess::NotRunning; }, 15000)
        || !out.contains('\n')) {
        *error = QStringLiteral("Xvfb reported no display (%1); scripts/install-deps.sh installs it").arg(m_xvfb.errorString());
        return false;
    }
    m_name = u':' + QString::fromLatin1(out.trimmed());
    if (!withTray)
        return true;
    m_trayer.setProcessEnvironment(environment());
    m_trayer.start(QStringLiteral("trayer"), QStringLiteral("--edge top --align right --widthtype pixel --width 200 "
                                                            "--heighttype pixel --height 32 --transparent false --expand true")
                                                     .split(u' '));
    Display *d = XOpenDisplay(m_name.toLocal8Bit().constData());
    const bool taken = d && TestSupport::waitFor([&] {
        return XGetSelectionOwner(d, XInternAtom(d, "_NET_SYSTEM_TRAY_S0", False)) != 0 || m_trayer.state() == QProcess::NotRunning;
    }, 15000) && m_trayer.state() == QProcess::Running;
    if (d)
        XCloseDisplay(d);
    if (!taken)
        *error = QStringLiteral("trayer did not take the system tray (%1)").arg(m_trayer.errorString());
    return taken;
}

HeadlessDisplay::~HeadlessDisplay()
{
    end(m_trayer, SIGTERM, 5000);
    end(m_xvfb, SIGTERM, 5000);
}

QProcessEnvironment HeadlessDisplay::environment() const
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("DISPLAY"), m_name);
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    env.remove(QStringLiteral("WAYLAND_DISPLAY"));
    return env;
}

QProcessEnvironment HeadlessDisplay::programEnvironment() const
{
    QProcessEnvironment env = environment();
    for (const char *name : { "http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY", "all_proxy", "ALL_PROXY",
                              "LC_ALL", "LC_MESSAGES", "LANGUAGE" })
        env.remove(QString::fromLatin1(name));
    env.insert(QStringLiteral("LANG"), QStringLiteral("en_GB.UTF-8"));
    return env;
}

QByteArray HeadlessDisplay::xdotool(const QStringList &arguments) const
{
    QProcess process;
    process.setProcessEnvironment(environment());
    process.start(QStringLiteral("xdotool"), arguments);
    process.waitForFinished(10000);
    return process.readAllStandardOutput();
}

QList<HeadlessDisplay::TopLevel> HeadlessDisplay::windowsOf(qint64 pid, bool trayIcon) const
{
    // Positions are translated to the root.
    static const QRegularExpression geometry(QStringLiteral(R"(Position: (-?\d+),(-?\d+).*\n.*Geometry: (\d+)x(\d+))"));
    QList<TopLevel> windows;
    const QByteArray ids = xdotool(QStringLiteral("search --onlyvisible --pid %1").arg(pid).split(u' '));
    for (const QByteArray &id : ids.split('\n')) {
        const auto m = geometry.match(QString::fromLatin1(xdotool({ QStringLiteral("getwindowgeometry"), QString::fromLatin1(id) })));
        const TopLevel w { id.toULong(), QRect(m.captured(1).toInt(), m.captured(2).toInt(), m.captured(3).toInt(), m.captured(4).toInt()) };
        // The tray is a 32 px strip along the top.
        const bool icon = w.geometry.height() <= 32 && w.geometry.width() <= 32 && w.geometry.top() < 32;
        if (!id.isEmpty() && m.hasMatch() && icon == trayIcon)
            windows.append(w);
    }
    return windows;
}

bool HeadlessDisplay::closeWindow(unsigned long id) const
{
    Display *d = XOpenDisplay(m_name.toLocal8Bit().constData());
    if (!d)
        return false;
    XEvent event {};
    event.xclient.type = ClientMessage;
    event.xclient.window = id;
    event.xclient.message_type = XInternAtom(d, "WM_PROTOCOLS", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = long(XInternAtom(d, "WM_DELETE_WINDOW", False));
    event.xclient.data.l[1] = CurrentTime;
    const bool sent = XSendEvent(d, id, False, NoEventMask, &event) != 0;
    XCloseDisplay(d);
    return sent;
}

QImage HeadlessDisplay::shot() const
{
    const QString path = m_shots.filePath(QStringLiteral("shot.png"));
    QProcess import;
    import.start(QStringLiteral("import"), { QStringLiteral("-display"), m_name, QStringLiteral("-window"), QStringLiteral("root"), path });
    const bool taken = import.waitForFinished(20000) && import.exitCode() == 0;
    return taken ? QImage(path).convertToFormat(QImage::Format_RGB32) : QImage();
}

bool Program::start(const QString &executable, const QString &dir, QProcessEnvironment environment)
{
    m_dir = dir;
    m_process.setWorkingDirectory(dir);
    m_process.setProcessEnvironment(environment.isEmpty() ? m_display.programEnvironment() : environment);
    m_process.setStandardOutputFile(QDir(dir).filePath(QStringLiteral("stdout.txt")));
    m_process.setStandardErrorFile(QDir(dir).filePath(QStringLiteral("stderr.txt")));
    m_process.start(executable, {});
    return m_process.waitForStarted(10000);
}

HeadlessDisplay::TopLevel Program::waitForWindow(bool main, int timeoutMs)
{
    HeadlessDisplay::TopLevel found;
    TestSupport::waitFor([&] {
        for (const auto &w : m_display.windowsOf(pid()))
            found = (w.geometry.width() >= 640 && w.geometry.height() >= 480) == main ? w : found;
        return found.id != 0 || !isRunning();
    }, timeoutMs);
    if (main)
        m_window = found;
    return isRunning() ? found : HeadlessDisplay::TopLevel {};
}

QList<HeadlessDisplay::TopLevel> Program::popups() const
{
    auto windows = m_display.windowsOf(pid());
    windows.removeIf([&](const auto &w) { return w.id == m_window.id; });
    return windows;
}

// The tray lays its icons out again when another program's icon goes, and a
// menu may move once shown: each counts once it stays in place. A click
// before the tray has settled may be lost, hence the retries.
QRect Program::openTrayMenu()
{
    for (int attempt = 0; attempt < 3; ++attempt) {
        HeadlessDisplay::TopLevel icon, previous;
        TestSupport::waitFor([&] {
            previous = std::exchange(icon, m_display.windowsOf(pid(), true).value(0));
            return icon.id != 0 && icon.geometry == previous.geometry;
        }, 15000);
        m_display.click(icon.geometry.center(), 3);
        QRect menu, before;
        if (TestSupport::waitFor([&] {
                before = std::exchange(menu, popups().value(0).geometry);
                return !menu.isNull() && menu == before;
            }, 5000))
            return menu;
    }
    return {};
}

bool Program::closeThroughTray()
{
    const QRect menu = openTrayMenu();
    if (menu.isNull())
        return false;
    m_display.click({ menu.center().x(), menu.bottom() - 11 });
    return TestSupport::waitFor([&] { return dimmed(); }, 10000);
}

// A modal dialog dims the view behind it.
bool Program::dimmed(QPoint at) const
{
    const QImage shot = m_display.shot();
    return !shot.isNull() && qRed(shot.pixel(m_window.geometry.topLeft() + at)) < 200;
}

int Program::waitForExit()
{
    if (!m_process.waitForFinished(15000) || m_process.exitStatus() != QProcess::NormalExit)
        return -1000;
    return qint8(m_process.exitCode()); // -1 arrives as 255
}

QByteArray Program::describe() const
{
    return "state " + QByteArray::number(m_process.state()) + ", exit code " + QByteArray::number(m_process.exitCode()) + ", "
            + m_process.errorString().toUtf8() + ", stderr: " + TestSupport::readFile(QDir(m_dir).filePath(QStringLiteral("stderr.txt"))).right(2000);
}

namespace Pixels {

int count(const QImage &image, const std::function<bool(QRgb)> &match, QPoint *centre)
{
    int n = 0;
    QPoint sum;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            if (match(image.pixel(x, y)))
                ++n, sum += QPoint(x, y);
        }
    }
    if (centre)
        *centre = n ? sum / n : QPoint();
    return n;
}

int differing(const QImage &a, const QImage &b)
{
    if (a.size() != b.size())
        return a.width() * a.height();
    int n = 0;
    for (int y = 0; y < a.height(); ++y) {
        for (int x = 0; x < a.width(); ++x)
            n += a.pixel(x, y) != b.pixel(x, y) ? 1 : 0;
    }
    return n;
}

} // namespace Pixels
