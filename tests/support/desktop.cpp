#include "desktop.h"

#include "testsupport.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QSet>
#include <QThread>

// Xlib last: its macros (None, Bool, Status...) clash with Qt's headers.
#include <X11/Xatom.h>
#include <X11/Xlib.h>

namespace {

// Opens the display for one operation and closes it again.
class XConnection
{
public:
    explicit XConnection(const QString &name)
    {
        // Windows of the program come and go while we look at them; Xlib's
        // default handler would end the test on the first BadWindow.
        XSetErrorHandler([](Display *, XErrorEvent *) { return 0; });
        m_display = XOpenDisplay(name.toLocal8Bit().constData());
    }
    ~XConnection()
    {
        if (m_display)
            XCloseDisplay(m_display);
    }
    XConnection(const XConnection &) = delete;
    XConnection &operator=(const XConnection &) = delete;
    [[nodiscard]] Display *get() const { return m_display; }

private:
    Display *m_display = nullptr;
};

qint64 windowPid(Display *d, Window window, Atom pidAtom)
{
    Atom type = 0;
    int format = 0;
    unsigned long items = 0;
    unsigned long after = 0;
    unsigned char *data = nullptr;
    qint64 pid = -1;
    if (XGetWindowProperty(d, window, pidAtom, 0, 1, False, XA_CARDINAL, &type, &format, &items, &after,
                           &data)
                == Success
        && data && items == 1 && format == 32)
        pid = qint64(*reinterpret_cast<unsigned long *>(data));
    if (data)
        XFree(data);
    return pid;
}

void stopProcess(QProcess &process)
{
    if (process.state() == QProcess::NotRunning)
        return;
    process.terminate();
    if (!process.waitForFinished(5000)) {
        process.kill();
        process.waitForFinished(5000);
    }
}

} // namespace

HeadlessDisplay::~HeadlessDisplay()
{
    stop();
}

bool HeadlessDisplay::start(bool withTray, QString *error)
{
    // -displayfd 1: Xvfb takes a free display number and prints it once
    // it accepts connections.
    m_xvfb.setProgram(QStringLiteral("Xvfb"));
    m_xvfb.setArguments({ QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-screen"),
                          QStringLiteral("0"), QStringLiteral("1280x800x24"), QStringLiteral("-nolisten"),
                          QStringLiteral("tcp"), QStringLiteral("-noreset") });
    m_xvfb.start();
    if (!m_xvfb.waitForStarted(5000)) {
        *error = QStringLiteral("Xvfb could not be started (%1); install it with scripts/install-deps.sh")
                         .arg(m_xvfb.errorString());
        return false;
    }
    QByteArray out;
    QDeadlineTimer deadline(15000);
    while (!out.contains('\n') && !deadline.hasExpired() && m_xvfb.state() == QProcess::Running) {
        m_xvfb.waitForReadyRead(100);
        out += m_xvfb.readAllStandardOutput();
    }
    bool ok = false;
    const int number = out.trimmed().toInt(&ok);
    if (!ok) {
        *error = QStringLiteral("Xvfb did not report a display: %1")
                         .arg(QString::fromLocal8Bit(m_xvfb.readAllStandardError()));
        stop();
        return false;
    }
    m_name = QStringLiteral(":%1").arg(number);

    if (!withTray)
        return true;

    m_trayer.setProgram(QStringLiteral("trayer"));
    m_trayer.setArguments({ QStringLiteral("--edge"), QStringLiteral("top"), QStringLiteral("--align"),
                            QStringLiteral("right"), QStringLiteral("--widthtype"), QStringLiteral("pixel"),
                            QStringLiteral("--width"), QStringLiteral("200"), QStringLiteral("--heighttype"),
                            QStringLiteral("pixel"), QStringLiteral("--height"), QStringLiteral("32"),
                            QStringLiteral("--transparent"), QStringLiteral("false"),
                            QStringLiteral("--expand"), QStringLiteral("true") });
    m_trayer.setProcessEnvironment(environment());
    m_trayer.start();
    if (!m_trayer.waitForStarted(5000)) {
        *error = QStringLiteral("trayer could not be started (%1); install it with scripts/install-deps.sh")
                         .arg(m_trayer.errorString());
        stop();
        return false;
    }
    deadline.setRemainingTime(15000);
    while (!trayOwned()) {
        if (deadline.hasExpired() || m_trayer.state() != QProcess::Running) {
            *error = QStringLiteral("trayer did not take the system tray: %1")
                             .arg(QString::fromLocal8Bit(m_trayer.readAllStandardError()));
            stop();
            return false;
        }
        QThread::msleep(50);
    }
    return true;
}

void HeadlessDisplay::stop()
{
    stopProcess(m_trayer);
    stopProcess(m_xvfb);
    m_name.clear();
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

bool HeadlessDisplay::trayOwned() const
{
    XConnection x(m_name);
    if (!x.get())
        return false;
    const Atom selection = XInternAtom(x.get(), "_NET_SYSTEM_TRAY_S0", False);
    return XGetSelectionOwner(x.get(), selection) != 0;
}

QList<HeadlessDisplay::TopLevel> HeadlessDisplay::viewableWindowsOf(qint64 pid) const
{
    QList<TopLevel> result;
    XConnection x(m_name);
    Display *d = x.get();
    if (!d)
        return result;
    const Atom pidAtom = XInternAtom(d, "_NET_WM_PID", False);
    Window root = 0;
    Window parent = 0;
    Window *children = nullptr;
    unsigned int count = 0;
    if (!XQueryTree(d, DefaultRootWindow(d), &root, &parent, &children, &count))
        return result;
    for (unsigned int i = 0; i < count; ++i) {
        XWindowAttributes attributes;
        if (windowPid(d, children[i], pidAtom) == pid && XGetWindowAttributes(d, children[i], &attributes)
            && attributes.map_state == IsViewable)
            result.append(
                    { children[i], QRect(attributes.x, attributes.y, attributes.width, attributes.height) });
    }
    if (children)
        XFree(children);
    return result;
}

namespace {

// Depth-first search below `window`, skipping the root's own children.
Window findEmbedded(Display *d, Window window, Atom pidAtom, qint64 pid, int depth)
{
    Window root = 0;
    Window parent = 0;
    Window *children = nullptr;
    unsigned int count = 0;
    if (!XQueryTree(d, window, &root, &parent, &children, &count))
        return 0;
    Window found = 0;
    for (unsigned int i = 0; i < count && !found; ++i) {
        if (depth > 0 && windowPid(d, children[i], pidAtom) == pid)
            found = children[i];
        else
            found = findEmbedded(d, children[i], pidAtom, pid, depth + 1);
    }
    if (children)
        XFree(children);
    return found;
}

} // namespace

HeadlessDisplay::TopLevel HeadlessDisplay::trayIconOf(qint64 pid) const
{
    XConnection x(m_name);
    Display *d = x.get();
    if (!d)
        return {};
    const Window root = DefaultRootWindow(d);
    const Window icon = findEmbedded(d, root, XInternAtom(d, "_NET_WM_PID", False), pid, 0);
    XWindowAttributes attributes;
    if (!icon || !XGetWindowAttributes(d, icon, &attributes) || attributes.map_state != IsViewable)
        return {};
    int x0 = 0;
    int y0 = 0;
    Window child = 0;
    XTranslateCoordinates(d, icon, root, 0, 0, &x0, &y0, &child);
    return { icon, QRect(x0, y0, attributes.width, attributes.height) };
}

bool HeadlessDisplay::closeWindow(unsigned long id) const
{
    XConnection x(m_name);
    Display *d = x.get();
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
    XSync(d, False);
    return sent;
}

bool HeadlessDisplay::xdotool(const QStringList &arguments) const
{
    QProcess process;
    process.setProcessEnvironment(environment());
    process.start(QStringLiteral("xdotool"), arguments);
    return process.waitForStarted(5000) && process.waitForFinished(10000);
}

bool HeadlessDisplay::pressKeys(unsigned long id, const QStringList &keys) const
{
    // xdotool's own exit code is not telling: a key release may find the
    // window already gone.
    return xdotool(QStringList { QStringLiteral("key"), QStringLiteral("--window"), QString::number(id) }
                   + keys);
}

bool HeadlessDisplay::click(QPoint position, int button) const
{
    return xdotool({ QStringLiteral("mousemove"), QString::number(position.x()),
                     QString::number(position.y()), QStringLiteral("click"), QString::number(button) });
}

bool HeadlessDisplay::typeText(unsigned long id, const QString &text) const
{
    return xdotool({ QStringLiteral("type"), QStringLiteral("--window"), QString::number(id),
                     QStringLiteral("--delay"), QStringLiteral("20"), text });
}

QImage HeadlessDisplay::shot(const QString &path) const
{
    QString error;
    if (!screenshot(path, &error)) {
        qWarning().noquote() << error;
        return {};
    }
    return QImage(path).convertToFormat(QImage::Format_RGB32);
}

bool HeadlessDisplay::screenshot(const QString &path, QString *error) const
{
    QProcess import;
    import.start(
            QStringLiteral("import"),
            { QStringLiteral("-display"), m_name, QStringLiteral("-window"), QStringLiteral("root"), path });
    if (!import.waitForStarted(5000) || !import.waitForFinished(20000) || import.exitCode() != 0) {
        *error = QStringLiteral("import failed: %1 %2")
                         .arg(import.errorString(), QString::fromLocal8Bit(import.readAllStandardError()));
        return false;
    }
    return true;
}

// ------------------------------------------------------------------- Program

Program::~Program()
{
    kill();
}

bool Program::start(const QString &executable, const QString &dir, const QProcessEnvironment &environment,
                    QString *error)
{
    m_dir = dir;
    m_process.setWorkingDirectory(dir);
    m_process.setProcessEnvironment(environment);
    m_process.setStandardOutputFile(QDir(dir).filePath(QStringLiteral("stdout.txt")));
    m_process.setStandardErrorFile(QDir(dir).filePath(QStringLiteral("stderr.txt")));
    m_process.start(executable, {});
    if (!m_process.waitForStarted(10000)) {
        *error = QStringLiteral("%1 did not start: %2").arg(executable, m_process.errorString());
        return false;
    }
    return true;
}

bool Program::waitForWindow(const HeadlessDisplay &display, HeadlessDisplay::TopLevel *window, int timeoutMs)
{
    return TestSupport::waitFor(
                   [&] {
                       for (const auto &candidate : display.viewableWindowsOf(pid())) {
                           if (candidate.geometry.width() >= 640 && candidate.geometry.height() >= 480) {
                               *window = candidate;
                               return true;
                           }
                       }
                       return !isRunning();
                   },
                   timeoutMs)
            && isRunning();
}

bool Program::waitForTrayIcon(const HeadlessDisplay &display, HeadlessDisplay::TopLevel *icon, int timeoutMs)
{
    return TestSupport::waitFor(
            [&] {
                *icon = display.trayIconOf(pid());
                return icon->id != 0 || !isRunning();
            },
            timeoutMs)
            && icon->id != 0;
}

int Program::kill()
{
    if (m_process.state() == QProcess::NotRunning)
        return m_process.exitStatus() == QProcess::NormalExit ? m_process.exitCode() : -1;
    m_process.terminate();
    if (!m_process.waitForFinished(10000)) {
        m_process.kill();
        m_process.waitForFinished(5000);
    }
    return -1;
}

QByteArray Program::describe()
{
    return "state " + QByteArray::number(m_process.state()) + ", exit code "
            + QByteArray::number(m_process.exitCode()) + ", stderr: "
            + TestSupport::readFile(QDir(m_dir).filePath(QStringLiteral("stderr.txt"))).right(2000);
}

// -------------------------------------------------------------------- Pixels

namespace Pixels {

int count(const QImage &image, const std::function<bool(QRgb)> &match)
{
    int n = 0;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            if (match(image.pixel(x, y)))
                ++n;
        }
    }
    return n;
}

int colourCount(const QImage &image)
{
    QSet<QRgb> colours;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x)
            colours.insert(image.pixel(x, y));
    }
    return int(colours.size());
}

int differing(const QImage &a, const QImage &b)
{
    if (a.size() != b.size())
        return a.width() * a.height();
    int n = 0;
    for (int y = 0; y < a.height(); ++y) {
        for (int x = 0; x < a.width(); ++x) {
            if (a.pixel(x, y) != b.pixel(x, y))
                ++n;
        }
    }
    return n;
}

QPoint colourCentre(const QImage &image, const QRect &area, QRgb rgb, int *count)
{
    qint64 sx = 0;
    qint64 sy = 0;
    int n = 0;
    const QRect bounded = area.intersected(image.rect());
    for (int y = bounded.top(); y <= bounded.bottom(); ++y) {
        for (int x = bounded.left(); x <= bounded.right(); ++x) {
            if ((image.pixel(x, y) & 0xffffff) == (rgb & 0xffffff)) {
                sx += x;
                sy += y;
                ++n;
            }
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
