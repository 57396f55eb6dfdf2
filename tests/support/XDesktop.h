#pragma once

// A desktop for tests of the real program on X11: a virtual display (Xvfb)
// that picks its own number, a window manager (openbox) and, when asked, a
// notification area (trayer), all started here and stopped with the object.
// It looks at windows as the user would see them, through Xlib: whether a
// window is on screen, its caption, its ICCCM state and whether it is painted.

#include <functional>
#include <string>
#include <vector>

struct _XDisplay;

class TXDesktop {
public:
    // The programs the desktop needs; empty when all are installed, else the
    // first one missing (a test skips then).
    static std::string Missing(bool withTray);

    explicit TXDesktop(bool withTray);
    ~TXDesktop();
    TXDesktop(const TXDesktop&) = delete;
    TXDesktop& operator=(const TXDesktop&) = delete;

    // Everything came up: the display, the window manager and the tray.
    bool Ready() const { return ready_; }
    const std::string& Display() const { return display_; }

    // Starts a program on the display; its output is dropped.
    int Spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env = {});
    static void End(int& pid);

    // The client windows whose WM_CLASS instance is the program's file name.
    std::vector<unsigned long> WindowsOf(const std::string& instance) const;
    // The program's top-level window of this client size, or 0.
    unsigned long WindowOfSize(const std::string& instance, int width, int height) const;
    // Its small icon window docked inside the notification area, or 0.
    unsigned long TrayIconOf(const std::string& instance) const;

    // Ends the notification area, as a panel that crashes or restarts does
    // (true once the server has let its tray selection go), and starts it
    // again (true once the new one owns the selection).
    bool StopTray();
    bool StartTray();

    bool Viewable(unsigned long window) const;
    // The window's size; 0 by 0 for a window that is gone.
    void Size(unsigned long window, int& width, int& height) const;
    // The ICCCM state: 0 withdrawn (or none), 1 normal, 3 iconic.
    long WmState(unsigned long window) const;
    // Whether _NET_WM_WINDOW_TYPE names this type ("_NET_WM_WINDOW_TYPE_TOOLTIP").
    bool HasWindowType(unsigned long window, const std::string& type) const;
    // _NET_WM_NAME as UTF-8, or WM_NAME when there is none.
    std::string Caption(unsigned long window) const;
    // The share of the window's pixels that are not black (0 to 1).
    double PaintedShare(unsigned long window) const;
    // The window's centre on the screen.
    void Centre(unsigned long window, int& x, int& y) const;
    // Asks the window manager to minimise the window, as its button does.
    void Iconify(unsigned long window) const;

    // Runs xdotool on the display.
    void Xdotool(const std::vector<std::string>& args) const;

private:
    _XDisplay* dpy_ = nullptr;
    std::string display_;
    int xvfb_ = -1;
    int wm_ = -1;
    int tray_ = -1;
    bool ready_ = false;
};

// Polls until the condition holds or the time is up.
bool WaitUntil(const std::function<bool()>& condition, int timeoutMs = 15000);
// The condition holds now and keeps holding for the while.
bool Stays(const std::function<bool()>& condition, int ms = 1500);
