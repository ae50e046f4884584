#!/usr/bin/env python3
"""Black-box X11 timings for the tray benchmark, from outside the program measured.

  tray_probe.py icon LOG CMD...   starts CMD (output to LOG) and waits until a window of its
                                  process (_NET_WM_PID) is embedded in the tray (viewable, parent
                                  not the root, at least 8x8); prints "PID MS WINDOW"
  tray_probe.py map LOG CMD...    starts CMD and waits until a new top-level window is viewable;
                                  prints "PID MS WINDOW"
  tray_probe.py click WINDOW      clicks the centre of WINDOW (XTest) and waits until a new
                                  top-level window of at least 50x50 is viewable; prints "MS";
                                  then clicks again and waits until that window is gone
MS counts from just before the fork (icon, map) or the button release (click). Polls every
millisecond on one X connection, so the figures resolve to about 1 ms. Times out after 20 s."""
import ctypes
import subprocess
import sys
import time

x11 = ctypes.cdll.LoadLibrary("libX11.so.6")
xtst = ctypes.cdll.LoadLibrary("libXtst.so.6")
Window = ctypes.c_ulong
x11.XOpenDisplay.restype = ctypes.c_void_p
x11.XOpenDisplay.argtypes = [ctypes.c_char_p]
x11.XDefaultRootWindow.restype = Window
x11.XDefaultRootWindow.argtypes = [ctypes.c_void_p]
x11.XQueryTree.argtypes = [ctypes.c_void_p, Window, ctypes.POINTER(Window), ctypes.POINTER(Window),
                           ctypes.POINTER(ctypes.POINTER(Window)), ctypes.POINTER(ctypes.c_uint)]
x11.XFree.argtypes = [ctypes.c_void_p]
x11.XTranslateCoordinates.argtypes = [ctypes.c_void_p, Window, Window, ctypes.c_int, ctypes.c_int,
                                      ctypes.POINTER(ctypes.c_int), ctypes.POINTER(ctypes.c_int),
                                      ctypes.POINTER(Window)]
x11.XSync.argtypes = [ctypes.c_void_p, ctypes.c_int]
x11.XSetErrorHandler.argtypes = [ctypes.c_void_p]
xtst.XTestFakeMotionEvent.argtypes = [ctypes.c_void_p, ctypes.c_int, ctypes.c_int, ctypes.c_int,
                                      ctypes.c_ulong]
xtst.XTestFakeButtonEvent.argtypes = [ctypes.c_void_p, ctypes.c_uint, ctypes.c_int, ctypes.c_ulong]


class Attributes(ctypes.Structure):
    _fields_ = [("x", ctypes.c_int), ("y", ctypes.c_int), ("width", ctypes.c_int),
                ("height", ctypes.c_int), ("border_width", ctypes.c_int), ("depth", ctypes.c_int),
                ("visual", ctypes.c_void_p), ("root", Window), ("class_", ctypes.c_int),
                ("bit_gravity", ctypes.c_int), ("win_gravity", ctypes.c_int),
                ("backing_store", ctypes.c_int), ("backing_planes", ctypes.c_ulong),
                ("backing_pixel", ctypes.c_ulong), ("save_under", ctypes.c_int),
                ("colormap", ctypes.c_ulong), ("map_installed", ctypes.c_int),
                ("map_state", ctypes.c_int), ("all_event_masks", ctypes.c_long),
                ("your_event_mask", ctypes.c_long), ("do_not_propagate_mask", ctypes.c_long),
                ("override_redirect", ctypes.c_int), ("screen", ctypes.c_void_p)]


x11.XGetWindowAttributes.argtypes = [ctypes.c_void_p, Window, ctypes.POINTER(Attributes)]
x11.XInternAtom.restype = ctypes.c_ulong
x11.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
x11.XGetWindowProperty.argtypes = [
    ctypes.c_void_p, Window, ctypes.c_ulong, ctypes.c_long, ctypes.c_long, ctypes.c_int,
    ctypes.c_ulong, ctypes.POINTER(ctypes.c_ulong), ctypes.POINTER(ctypes.c_int),
    ctypes.POINTER(ctypes.c_ulong), ctypes.POINTER(ctypes.c_ulong),
    ctypes.POINTER(ctypes.POINTER(ctypes.c_ulong))]
IS_VIEWABLE = 2
TIMEOUT_S = 20

# Windows vanish between a query and the next one; their errors are expected, not fatal.
ERROR_HANDLER = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.c_void_p)(lambda d, e: 0)
x11.XSetErrorHandler(ERROR_HANDLER)
display = x11.XOpenDisplay(None)
if not display:
    sys.exit("tray_probe.py: no X display")
root = x11.XDefaultRootWindow(display)
NET_WM_PID = x11.XInternAtom(display, b"_NET_WM_PID", 0)


def children(window):
    root_return, parent, kids, count = Window(), Window(), ctypes.POINTER(Window)(), ctypes.c_uint()
    if not x11.XQueryTree(display, window, ctypes.byref(root_return), ctypes.byref(parent),
                          ctypes.byref(kids), ctypes.byref(count)):
        return []
    found = [kids[i] for i in range(count.value)]
    if kids:
        x11.XFree(kids)
    return found


def viewable(window, least):
    """(x, y, width, height) on the screen when the window is viewable and large enough."""
    attributes = Attributes()
    if not x11.XGetWindowAttributes(display, window, ctypes.byref(attributes)):
        return None
    if attributes.map_state != IS_VIEWABLE or min(attributes.width, attributes.height) < least:
        return None
    x, y, child = ctypes.c_int(), ctypes.c_int(), Window()
    x11.XTranslateCoordinates(display, window, root, 0, 0, ctypes.byref(x), ctypes.byref(y),
                              ctypes.byref(child))
    return x.value, y.value, attributes.width, attributes.height


def window_pid(window):
    kind, size, count, after = Window(), ctypes.c_int(), ctypes.c_ulong(), ctypes.c_ulong()
    data = ctypes.POINTER(ctypes.c_ulong)()
    if x11.XGetWindowProperty(display, window, NET_WM_PID, 0, 1, 0, 0, ctypes.byref(kind),
                              ctypes.byref(size), ctypes.byref(count), ctypes.byref(after),
                              ctypes.byref(data)) != 0 or not data:
        return None
    pid = data[0] if count.value == 1 and size.value == 32 else None
    x11.XFree(data)
    return pid


def embedded_icons(pid):
    """Viewable windows of the process, at least 8x8, below another client's window: what a
    tray host (XEmbed) shows as its icon."""
    found, pending = set(), [(w, 1) for w in children(root)]
    while pending:
        window, depth = pending.pop()
        if depth > 1 and viewable(window, 8) and window_pid(window) == pid:
            found.add(window)
        pending.extend((w, depth + 1) for w in children(window))
    return found


def top_levels(least):
    return {w for w in children(root) if viewable(w, least)}


def wait_for_new(snapshot, before, start):
    deadline = start + TIMEOUT_S
    while time.monotonic() < deadline:
        new = snapshot() - before
        if new:
            return min(new), time.monotonic()
        time.sleep(0.001)
    sys.exit("tray_probe.py: nothing appeared within %d s" % TIMEOUT_S)


def launch(kind, log, command):
    before = top_levels(2)
    with open(log, "ab") as out:
        start = time.monotonic()
        process = subprocess.Popen(command, stdout=out, stderr=subprocess.STDOUT,
                                   stdin=subprocess.DEVNULL)
    if kind == "icon":
        window, seen = wait_for_new(lambda: embedded_icons(process.pid), set(), start)
    else:
        window, seen = wait_for_new(lambda: top_levels(2), before, start)
    print(process.pid, round((seen - start) * 1000), window)


def click(window):
    geometry = viewable(window, 1)
    if not geometry:
        sys.exit("tray_probe.py: window %d is not shown" % window)
    x, y, width, height = geometry

    def press():
        xtst.XTestFakeMotionEvent(display, -1, x + width // 2, y + height // 2, 0)
        xtst.XTestFakeButtonEvent(display, 1, 1, 0)
        xtst.XTestFakeButtonEvent(display, 1, 0, 0)
        x11.XSync(display, 0)

    def shown():
        return top_levels(50)

    before = shown()
    press()
    start = time.monotonic()
    popover, seen = wait_for_new(shown, before, start)
    print("%.1f" % ((seen - start) * 1000))
    # A second click closes it again, past the double-click interval (Qt's 400 ms) so that it
    # counts as a click of its own; the next run starts from a closed popover.
    time.sleep(0.6)
    press()
    deadline = time.monotonic() + TIMEOUT_S
    while viewable(popover, 1):
        if time.monotonic() > deadline:
            sys.exit("tray_probe.py: the window did not close on a second click")
        time.sleep(0.005)


if __name__ == "__main__":
    if len(sys.argv) >= 4 and sys.argv[1] in ("icon", "map"):
        launch(sys.argv[1], sys.argv[2], sys.argv[3:])
    elif len(sys.argv) == 3 and sys.argv[1] == "click":
        click(int(sys.argv[2], 0))
    else:
        sys.exit(__doc__)
