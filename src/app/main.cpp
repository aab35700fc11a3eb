// SPDX-License-Identifier: MIT
#include "mainwindow.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication application(argc, argv);
    // The window, and with it the serial worker and its thread, goes before the application.
    MainWindow window;
    window.show();
    return application.exec();
}
