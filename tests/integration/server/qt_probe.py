#!/usr/bin/python3
"""A Qt 5 window titled "qt-probe", 200x150 in two colours, which Qt draws through a descriptor-passed
MIT-SHM segment when the server offers MIT-SHM 1.2: that is what the test is about. Runs until killed."""
import sys

from PyQt5.QtGui import QColor, QPainter
from PyQt5.QtWidgets import QApplication, QWidget


class Probe(QWidget):
    def paintEvent(self, _event):
        p = QPainter(self)
        p.fillRect(self.rect(), QColor(0x20, 0x90, 0xd0))
        p.fillRect(80, 55, 60, 40, QColor(0xf0, 0xe0, 0x10))


app = QApplication(sys.argv)
w = Probe()
w.setWindowTitle("qt-probe")
w.setGeometry(0, 0, 200, 150)
w.show()
sys.exit(app.exec_())
