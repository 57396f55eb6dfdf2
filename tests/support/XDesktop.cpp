#include "tests/support/XDesktop.h"

#include "tests/support/ChildProcess.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

bool Installed(const char* tool)
{
    return RunCommand({"sh", "-c", std::string("command -v ") + tool}, 10000).ExitStatus == 0;
}

// Every window below root, depth first.
void Collect(Display* dpy, Window root, std::vector<Window>& out)
{
    Window rootReturn = 0, parent = 0;
    Window* children = nullptr;
    unsigned int count = 0;
    if (!XQueryTree(dpy, root, &rootReturn, &parent, &children, &count))
        return;
    for (unsigned int i = 0; i < count; ++i) {
        out.push_back(children[i]);
        Collect(dpy, children[i], out);
    }
    if (children)
        XFree(children);
}

// The selection whose owner is the notification area of the display's screen.
Atom TraySelection(Display* dpy)
{
    return XInternAtom(dpy, ("_NET_SYSTEM_TRAY_S" + std::to_string(DefaultScreen(dpy))).c_str(), False);
}

// X errors about windows that went away meanwhile are no test failures.
int IgnoreErrors(Display*, XErrorEvent*) { return 0; }

} // namespace

bool WaitUntil(const std::function<bool()>& condition, int timeoutMs)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return true;
}

bool Stays(const std::function<bool()>& condition, int ms)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < end) {
        if (!condition())
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
}

std::string TXDesktop::Missing(bool withTray)
{
    std::vector<const char*> tools{"Xvfb", "openbox", "xdotool"};
    if (withTray)
        tools.push_back("trayer");
    for (const char* tool : tools)
        if (!Installed(tool))
            return tool;
    return {};
}

TXDesktop::TXDesktop(bool withTray)
{
    // The server picks a free display itself and says which: tests that run
    // side by side never meet on one display.
    int fds[2];
    if (pipe(fds) != 0)
        return;
    xvfb_ = Spawn({"Xvfb", "-displayfd", std::to_string(fds[1]), "-screen", "0", "1024x768x24", "-nolisten", "tcp"});
    close(fds[1]);
    std::string number;
    pollfd p{fds[0], POLLIN, 0};
    char c = 0;
    while (poll(&p, 1, 15000) > 0 && read(fds[0], &c, 1) == 1 && c != '\n')
        number += c;
    close(fds[0]);
    if (number.empty())
        return;
    display_ = ":" + number;
    dpy_ = XOpenDisplay(display_.c_str());
    if (!dpy_)
        return;
    XSetErrorHandler(IgnoreErrors);

    wm_ = Spawn({"openbox", "--sm-disable"});
    // A window manager that runs names itself on the root window.
    const Atom check = XInternAtom(dpy_, "_NET_SUPPORTING_WM_CHECK", False);
    const bool managed = WaitUntil([&] {
        Atom type = 0;
        int format = 0;
        unsigned long items = 0, after = 0;
        unsigned char* data = nullptr;
        const bool has = XGetWindowProperty(dpy_, DefaultRootWindow(dpy_), check, 0, 1, False, XA_WINDOW, &type,
                                            &format, &items, &after, &data) == Success
                         && items == 1;
        if (data)
            XFree(data);
        return has;
    });
    if (!managed)
        return;
    if (withTray && !StartTray())
        return;
    ready_ = true;
}

bool TXDesktop::StartTray()
{
    tray_ = Spawn({"trayer", "--edge", "bottom", "--align", "left", "--widthtype", "pixel", "--width", "120",
                   "--heighttype", "pixel", "--height", "32"});
    // The notification area is there once someone owns its selection.
    return WaitUntil([&] { return XGetSelectionOwner(dpy_, TraySelection(dpy_)) != None; });
}

bool TXDesktop::StopTray()
{
    End(tray_);
    // The process has ended, but the server may not have seen it go yet: a
    // tray host started before then finds the selection taken, says "another
    // systray already running" and never becomes the notification area.
    return WaitUntil([&] { return XGetSelectionOwner(dpy_, TraySelection(dpy_)) == None; });
}

TXDesktop::~TXDesktop()
{
    End(tray_);
    End(wm_);
    if (dpy_)
        XCloseDisplay(dpy_);
    End(xvfb_);
}

int TXDesktop::Spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env)
{
    const pid_t pid = fork();
    if (pid == 0) {
        if (!display_.empty())
            setenv("DISPLAY", display_.c_str(), 1);
        for (const auto& e : env)
            putenv(const_cast<char*>(e.c_str()));
        // The display's and the window manager's chatter would only clutter
        // the test log.
        const int null = ::open("/dev/null", O_WRONLY);
        dup2(null, STDOUT_FILENO);
        dup2(null, STDERR_FILENO);
        ExecOrExit(argv, true);
    }
    return pid;
}

void TXDesktop::End(int& pid)
{
    if (pid <= 0)
        return;
    kill(pid, SIGTERM);
    for (int i = 0; i < 100; ++i) {
        if (waitpid(pid, nullptr, WNOHANG) == pid) {
            pid = -1;
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    pid = -1;
}

std::vector<unsigned long> TXDesktop::WindowsOf(const std::string& instance) const
{
    std::vector<unsigned long> found;
    if (!dpy_)
        return found;
    std::vector<Window> all;
    Collect(dpy_, DefaultRootWindow(dpy_), all);
    for (Window w : all) {
        XClassHint hint{};
        if (!XGetClassHint(dpy_, w, &hint))
            continue;
        if (hint.res_name && instance == hint.res_name)
            found.push_back(w);
        if (hint.res_name)
            XFree(hint.res_name);
        if (hint.res_class)
            XFree(hint.res_class);
    }
    return found;
}

unsigned long TXDesktop::WindowOfSize(const std::string& instance, int width, int height) const
{
    for (unsigned long w : WindowsOf(instance)) {
        XWindowAttributes a{};
        if (XGetWindowAttributes(dpy_, w, &a) && a.width == width && a.height == height)
            return w;
    }
    return 0;
}

unsigned long TXDesktop::TrayIconOf(const std::string& instance) const
{
    for (unsigned long w : WindowsOf(instance)) {
        XWindowAttributes a{};
        if (!XGetWindowAttributes(dpy_, w, &a) || a.width > 48 || a.height > 48 || a.map_state != IsViewable)
            continue;
        // Docked means inside trayer's panel: an icon whose tray went away
        // is put back on the root window, where it may still be mapped.
        Window at = w;
        for (;;) {
            Window root = 0, parent = 0;
            Window* children = nullptr;
            unsigned int count = 0;
            if (!XQueryTree(dpy_, at, &root, &parent, &children, &count))
                break;
            if (children)
                XFree(children);
            if (parent == 0 || parent == root)
                break;
            at = parent;
            XClassHint hint{};
            if (!XGetClassHint(dpy_, at, &hint))
                continue;
            const bool panel = hint.res_class && std::string(hint.res_class) == "trayer";
            if (hint.res_name)
                XFree(hint.res_name);
            if (hint.res_class)
                XFree(hint.res_class);
            if (panel)
                return w;
        }
    }
    return 0;
}

bool TXDesktop::Viewable(unsigned long window) const
{
    XWindowAttributes a{};
    return window && XGetWindowAttributes(dpy_, window, &a) && a.map_state == IsViewable;
}

void TXDesktop::Size(unsigned long window, int& width, int& height) const
{
    XWindowAttributes a{};
    const bool known = window && XGetWindowAttributes(dpy_, window, &a);
    width = known ? a.width : 0;
    height = known ? a.height : 0;
}

long TXDesktop::WmState(unsigned long window) const
{
    const Atom wmState = XInternAtom(dpy_, "WM_STATE", False);
    Atom type = 0;
    int format = 0;
    unsigned long items = 0, after = 0;
    unsigned char* data = nullptr;
    long state = 0;
    if (XGetWindowProperty(dpy_, window, wmState, 0, 2, False, wmState, &type, &format, &items, &after, &data)
            == Success
        && data && items >= 1 && format == 32)
        state = reinterpret_cast<long*>(data)[0];
    if (data)
        XFree(data);
    return state;
}

bool TXDesktop::HasWindowType(unsigned long window, const std::string& type) const
{
    const Atom windowType = XInternAtom(dpy_, "_NET_WM_WINDOW_TYPE", False);
    const Atom wanted = XInternAtom(dpy_, type.c_str(), False);
    Atom actual = 0;
    int format = 0;
    unsigned long items = 0, after = 0;
    unsigned char* data = nullptr;
    bool found = false;
    if (XGetWindowProperty(dpy_, window, windowType, 0, 32, False, XA_ATOM, &actual, &format, &items, &after, &data)
            == Success
        && data && format == 32) {
        const auto* atoms = reinterpret_cast<const Atom*>(data);
        for (unsigned long i = 0; i < items && !found; ++i)
            found = atoms[i] == wanted;
    }
    if (data)
        XFree(data);
    return found;
}

std::string TXDesktop::Caption(unsigned long window) const
{
    const Atom netName = XInternAtom(dpy_, "_NET_WM_NAME", False);
    const Atom utf8 = XInternAtom(dpy_, "UTF8_STRING", False);
    Atom type = 0;
    int format = 0;
    unsigned long items = 0, after = 0;
    unsigned char* data = nullptr;
    std::string caption;
    if (XGetWindowProperty(dpy_, window, netName, 0, 1024, False, utf8, &type, &format, &items, &after, &data)
            == Success
        && data && format == 8)
        caption.assign(reinterpret_cast<const char*>(data), items);
    if (data)
        XFree(data);
    if (caption.empty()) {
        char* name = nullptr;
        if (XFetchName(dpy_, window, &name) && name) {
            caption = name;
            XFree(name);
        }
    }
    return caption;
}

double TXDesktop::PaintedShare(unsigned long window) const
{
    XWindowAttributes a{};
    if (!XGetWindowAttributes(dpy_, window, &a) || a.map_state != IsViewable)
        return 0;
    XImage* image = XGetImage(dpy_, window, 0, 0, a.width, a.height, AllPlanes, ZPixmap);
    if (!image)
        return 0;
    long lit = 0;
    for (int y = 0; y < a.height; ++y)
        for (int x = 0; x < a.width; ++x)
            lit += XGetPixel(image, x, y) != 0;
    XDestroyImage(image);
    return static_cast<double>(lit) / (static_cast<double>(a.width) * a.height);
}

void TXDesktop::Centre(unsigned long window, int& x, int& y) const
{
    XWindowAttributes a{};
    XGetWindowAttributes(dpy_, window, &a);
    Window child = 0;
    XTranslateCoordinates(dpy_, window, DefaultRootWindow(dpy_), a.width / 2, a.height / 2, &x, &y, &child);
}

void TXDesktop::Iconify(unsigned long window) const
{
    XIconifyWindow(dpy_, window, DefaultScreen(dpy_));
    XFlush(dpy_);
}

void TXDesktop::Xdotool(const std::vector<std::string>& args) const
{
    std::vector<std::string> argv{"env", "DISPLAY=" + display_, "xdotool"};
    argv.insert(argv.end(), args.begin(), args.end());
    RunCommand(argv, 10000);
}
