#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Asks an X11 window to close, as a window manager's close button does (WM_DELETE_WINDOW).

Usage: xclose.py TITLE [TIMEOUT_S]   exit 0 once the request was sent, 1 if no such window appeared.
Uses only libX11 through ctypes, so it needs no development package.
"""
import ctypes
import ctypes.util
import sys
import time

x11 = ctypes.cdll.LoadLibrary(ctypes.util.find_library("X11") or "libX11.so.6")
Window = ctypes.c_ulong
Atom = ctypes.c_ulong


class XClientMessageEvent(ctypes.Structure):
    _fields_ = [("type", ctypes.c_int), ("serial", ctypes.c_ulong), ("send_event", ctypes.c_int),
                ("display", ctypes.c_void_p), ("window", Window), ("message_type", Atom),
                ("format", ctypes.c_int), ("data", ctypes.c_long * 5)]


class XEvent(ctypes.Union):
    _fields_ = [("xclient", XClientMessageEvent), ("pad", ctypes.c_long * 24)]


x11.XOpenDisplay.restype = ctypes.c_void_p
x11.XOpenDisplay.argtypes = [ctypes.c_char_p]
x11.XDefaultRootWindow.restype = Window
x11.XDefaultRootWindow.argtypes = [ctypes.c_void_p]
x11.XInternAtom.restype = Atom
x11.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
x11.XQueryTree.argtypes = [ctypes.c_void_p, Window, ctypes.POINTER(Window), ctypes.POINTER(Window),
                           ctypes.POINTER(ctypes.POINTER(Window)), ctypes.POINTER(ctypes.c_uint)]
x11.XFetchName.argtypes = [ctypes.c_void_p, Window, ctypes.POINTER(ctypes.c_char_p)]
x11.XSendEvent.argtypes = [ctypes.c_void_p, Window, ctypes.c_int, ctypes.c_long,
                           ctypes.POINTER(XEvent)]
x11.XFlush.argtypes = [ctypes.c_void_p]


def find(display, window, title):
    name = ctypes.c_char_p()
    if x11.XFetchName(display, window, ctypes.byref(name)) and name.value == title:
        return window
    root, parent = Window(), Window()
    children = ctypes.POINTER(Window)()
    count = ctypes.c_uint()
    if not x11.XQueryTree(display, window, ctypes.byref(root), ctypes.byref(parent),
                          ctypes.byref(children), ctypes.byref(count)):
        return None
    for index in range(count.value):
        found = find(display, children[index], title)
        if found:
            return found
    return None


def main():
    title = sys.argv[1].encode()
    deadline = time.monotonic() + (float(sys.argv[2]) if len(sys.argv) > 2 else 10.0)
    display = x11.XOpenDisplay(None)
    if not display:
        sys.stderr.write("xclose: cannot open the display\n")
        return 1
    while time.monotonic() < deadline:
        window = find(display, x11.XDefaultRootWindow(display), title)
        if window:
            event = XEvent()
            event.xclient.type = 33  # ClientMessage
            event.xclient.window = window
            event.xclient.message_type = x11.XInternAtom(display, b"WM_PROTOCOLS", 0)
            event.xclient.format = 32
            event.xclient.data[0] = x11.XInternAtom(display, b"WM_DELETE_WINDOW", 0)
            event.xclient.data[1] = 0  # CurrentTime
            x11.XSendEvent(display, window, 0, 0, ctypes.byref(event))
            x11.XFlush(display)
            return 0
        time.sleep(0.1)
    sys.stderr.write("xclose: no window titled %r appeared\n" % title.decode())
    return 1


if __name__ == "__main__":
    sys.exit(main())
