#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Asks an X11 window to close, as a window manager's close button does (WM_DELETE_WINDOW).

Usage: xclose.py TITLE [TIMEOUT_S]   exit 0 once the request was sent, 1 if no such window appeared.
       xclose.py --shown N [TIMEOUT_S]  exit 0 once N top-level windows are shown (a box beside the
                                        window), closing nothing; 1 if they were not in time.
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
x11.XFree.argtypes = [ctypes.c_void_p]


class XWindowAttributes(ctypes.Structure):
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


x11.XGetWindowAttributes.argtypes = [ctypes.c_void_p, Window, ctypes.POINTER(XWindowAttributes)]
IS_VIEWABLE = 2


def shown(display):
    """The number of top-level windows shown: without a window manager, the root's viewable children."""
    root, parent = Window(), Window()
    children = ctypes.POINTER(Window)()
    count = ctypes.c_uint()
    if not x11.XQueryTree(display, x11.XDefaultRootWindow(display), ctypes.byref(root),
                          ctypes.byref(parent), ctypes.byref(children), ctypes.byref(count)):
        return 0
    viewable = 0
    attributes = XWindowAttributes()
    for index in range(count.value):
        if x11.XGetWindowAttributes(display, children[index], ctypes.byref(attributes)) \
                and attributes.map_state == IS_VIEWABLE:
            viewable += 1
    if children:
        x11.XFree(children)
    return viewable


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
    arguments = sys.argv[1:]
    wanted = int(arguments.pop(1)) if arguments[0] == "--shown" else None
    title = arguments[0].encode()
    deadline = time.monotonic() + (float(arguments[1]) if len(arguments) > 1 else 10.0)
    display = x11.XOpenDisplay(None)
    if not display:
        sys.stderr.write("xclose: cannot open the display\n")
        return 1
    while wanted is not None:
        if shown(display) >= wanted:
            return 0
        if time.monotonic() >= deadline:
            sys.stderr.write("xclose: fewer than %d windows shown\n" % wanted)
            return 1
        time.sleep(0.1)
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
