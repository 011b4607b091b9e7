#include "desktop.h"

#include "testsupport.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QRegularExpression>

// Xlib last: its macros (None, Bool, Status...) clash with Qt's headers.
#include <X11/Xlib.h>

namespace {

void end(QProcess &process, int graceMs = 5000)
{
    if (process.state() == QProcess::NotRunning)
        return;
    process.terminate();
    if (!process.waitForFinished(graceMs)) {
        process.kill();
        process.waitForFinished(5000);
    }
}

bool isMainWindow(const HeadlessDisplay::TopLevel &window)
{
    return window.geometry.width() >= 640 && window.geometry.height() >= 480;
}

} // namespace

bool HeadlessDisplay::start(bool withTray, QString *error)
{
    // -displayfd 1: Xvfb takes a free display number and prints it once it
    // accepts connections.
    m_xvfb.start(QStringLiteral("Xvfb"), QStringLiteral("-displayfd 1 -screen 0 1280x800x24 -nolisten tcp -noreset").split(u' '));
    QByteArray out;
    QDeadlineTimer deadline(15000);
    while (!out.contains('\n') && !deadline.hasExpired() && m_xvfb.waitForStarted(5000)) {
        m_xvfb.waitForReadyRead(100);
        out += m_xvfb.readAllStandardOutput();
    }
    if (!out.contains('\n')) {
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
    const bool taken = TestSupport::waitFor(
            [&] {
                Display *d = XOpenDisplay(m_name.toLocal8Bit().constData());
                const bool owned = d && XGetSelectionOwner(d, XInternAtom(d, "_NET_SYSTEM_TRAY_S0", False)) != 0;
                if (d)
                    XCloseDisplay(d);
                return owned || m_trayer.state() == QProcess::NotRunning;
            },
            15000);
    if (!taken || m_trayer.state() == QProcess::NotRunning) {
        *error = QStringLiteral("trayer did not take the system tray (%1)").arg(m_trayer.errorString());
        return false;
    }
    return true;
}

void HeadlessDisplay::stop()
{
    end(m_trayer);
    end(m_xvfb);
}

QProcessEnvironment HeadlessDisplay::environment() const
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("DISPLAY"), m_name);
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    env.remove(QStringLiteral("WAYLAND_DISPLAY"));
    return env;
}

QProcessEnvironment HeadlessDisplay::programEnvironment(const QString &lang) const
{
    QProcessEnvironment env = environment();
    for (const char *name : { "http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY", "all_proxy", "ALL_PROXY",
                              "LC_ALL", "LC_MESSAGES", "LANGUAGE" })
        env.remove(QString::fromLatin1(name));
    env.insert(QStringLiteral("LANG"), lang);
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

QList<HeadlessDisplay::TopLevel> HeadlessDisplay::windowsOf(qint64 pid) const
{
    static const QRegularExpression geometry(QStringLiteral(R"(Position: (-?\d+),(-?\d+).*\n.*Geometry: (\d+)x(\d+))"));
    QList<TopLevel> windows;
    const QByteArray ids = xdotool({ QStringLiteral("search"), QStringLiteral("--onlyvisible"), QStringLiteral("--pid"), QString::number(pid) });
    for (const QByteArray &id : ids.split('\n')) {
        // The position is translated to the root.
        const auto m = geometry.match(QString::fromLatin1(xdotool({ QStringLiteral("getwindowgeometry"), QString::fromLatin1(id) })));
        if (!id.isEmpty() && m.hasMatch())
            windows.append(TopLevel { id.toULong(), QRect(m.captured(1).toInt(), m.captured(2).toInt(), m.captured(3).toInt(), m.captured(4).toInt()) });
    }
    return windows;
}

// The tray is a 32 px strip along the top.
QList<HeadlessDisplay::TopLevel> HeadlessDisplay::viewableWindowsOf(qint64 pid) const
{
    QList<TopLevel> windows = windowsOf(pid);
    windows.removeIf([](const TopLevel &w) { return w.geometry.height() <= 32 && w.geometry.width() <= 32 && w.geometry.top() < 32; });
    return windows;
}

HeadlessDisplay::TopLevel HeadlessDisplay::trayIconOf(qint64 pid) const
{
    for (const TopLevel &w : windowsOf(pid)) {
        if (w.geometry.height() <= 32 && w.geometry.width() <= 32 && w.geometry.top() < 32)
            return w;
    }
    return {};
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

// xdotool's exit code is not telling: a key release may find the window gone.
bool HeadlessDisplay::pressKeys(unsigned long id, const QStringList &keys) const
{
    // Without a window the keys go where the keyboard is grabbed or focused: to an open menu.
    xdotool((id ? QStringList { QStringLiteral("key"), QStringLiteral("--window"), QString::number(id) } : QStringList { QStringLiteral("key") }) + keys);
    return true;
}

bool HeadlessDisplay::click(QPoint position, int button) const
{
    xdotool({ QStringLiteral("mousemove"), QString::number(position.x()), QString::number(position.y()),
              QStringLiteral("click"), QString::number(button) });
    return true;
}

bool HeadlessDisplay::typeText(unsigned long id, const QString &text) const
{
    xdotool({ QStringLiteral("type"), QStringLiteral("--window"), QString::number(id), QStringLiteral("--delay"),
              QStringLiteral("20"), text });
    return true;
}

QImage HeadlessDisplay::shot(const QString &path) const
{
    QProcess import;
    import.start(QStringLiteral("import"), { QStringLiteral("-display"), m_name, QStringLiteral("-window"), QStringLiteral("root"), path });
    const bool taken = import.waitForFinished(20000) && import.exitCode() == 0;
    return taken ? QImage(path).convertToFormat(QImage::Format_RGB32) : QImage();
}

// ------------------------------------------------------------------- Program

bool Program::start(const QString &executable, const QString &dir, const QProcessEnvironment &environment,
                    QString *error)
{
    m_dir = dir;
    m_process.setWorkingDirectory(dir);
    m_process.setProcessEnvironment(environment);
    m_process.setStandardOutputFile(QDir(dir).filePath(QStringLiteral("stdout.txt")));
    m_process.setStandardErrorFile(QDir(dir).filePath(QStringLiteral("stderr.txt")));
    m_process.start(executable, {});
    if (m_process.waitForStarted(10000))
        return true;
    *error = QStringLiteral("%1 did not start: %2").arg(executable, m_process.errorString());
    return false;
}

bool Program::waitForWindow(const HeadlessDisplay &display, HeadlessDisplay::TopLevel *window, int timeoutMs)
{
    return TestSupport::waitFor(
                   [&] {
                       for (const auto &candidate : display.viewableWindowsOf(pid())) {
                           if (isMainWindow(candidate))
                               return (*window = candidate, true);
                       }
                       return !isRunning();
                   },
                   timeoutMs)
            && isRunning();
}

// The tray lays its icons out again when another program's icon goes: the
// icon counts once it stays in place.
bool Program::waitForTrayIcon(const HeadlessDisplay &display, HeadlessDisplay::TopLevel *icon, int timeoutMs)
{
    HeadlessDisplay::TopLevel previous;
    return TestSupport::waitFor(
            [&] {
                previous = *icon;
                *icon = display.trayIconOf(pid());
                return icon->id != 0 && icon->geometry == previous.geometry;
            },
            timeoutMs);
}

int Program::waitForExit(int timeoutMs)
{
    if (!m_process.waitForFinished(timeoutMs) || m_process.exitStatus() != QProcess::NormalExit)
        return -1000;
    return qint8(m_process.exitCode()); // -1 arrives as 255
}

void Program::kill()
{
    end(m_process, 10000);
}

QByteArray Program::describe()
{
    return "state " + QByteArray::number(m_process.state()) + ", exit code " + QByteArray::number(m_process.exitCode())
            + ", stderr: " + TestSupport::readFile(QDir(m_dir).filePath(QStringLiteral("stderr.txt"))).right(2000);
}

// -------------------------------------------------------------------- Pixels

namespace Pixels {

int count(const QImage &image, const std::function<bool(QRgb)> &match)
{
    int n = 0;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x)
            n += match(image.pixel(x, y)) ? 1 : 0;
    }
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

QPoint colourCentre(const QImage &image, const QRect &area, QRgb rgb, int *count)
{
    qint64 sx = 0, sy = 0;
    int n = 0;
    const QRect bounded = area.intersected(image.rect());
    for (int y = bounded.top(); y <= bounded.bottom(); ++y) {
        for (int x = bounded.left(); x <= bounded.right(); ++x) {
            if ((image.pixel(x, y) & 0xffffff) == (rgb & 0xffffff))
                sx += x, sy += y, ++n;
        }
    }
    if (count)
        *count = n;
    return n == 0 ? QPoint() : QPoint(int(sx / n), int(sy / n));
}

int logo(const QImage &image, QRect area)
{
    const QImage part = area.isNull() ? image : image.copy(area.intersected(image.rect()));
    return count(part, [](QRgb p) { return qBlue(p) > 120 && qRed(p) < 60 && qGreen(p) > 60 && qGreen(p) < 180; });
}

} // namespace Pixels
