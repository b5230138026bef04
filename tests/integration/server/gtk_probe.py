#!/usr/bin/python3
"""A GTK 3 window titled "gtk-probe": 200x150 of flat colours, an antialiased circle and text, which
must look the same directly and through telvane-server. Runs until killed."""
import gi

gi.require_version("Gtk", "3.0")
from gi.repository import Gtk  # noqa: E402


def draw(_area, cr):
    cr.set_source_rgb(0.9, 0.3, 0.2)
    cr.paint()
    cr.set_source_rgb(0.1, 0.5, 0.9)
    cr.arc(100, 75, 50, 0, 6.2832)
    cr.fill()
    cr.set_source_rgb(1, 1, 1)
    cr.move_to(40, 80)
    cr.set_font_size(20)
    cr.show_text("Telvane")
    return True


win = Gtk.Window(title="gtk-probe")
win.set_default_size(200, 150)
win.set_decorated(False)
area = Gtk.DrawingArea()
area.connect("draw", draw)
win.add(area)
win.show_all()
Gtk.main()
