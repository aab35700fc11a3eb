// SPDX-License-Identifier: MIT
// The window's box for a port that would not open ("error initialising comport") takes its width
// from that short first line, about 150 px: its informative line (the port, then why) wraps word by
// word and a long path breaks inside. When the window says a port was refused, the box that then
// appears is widened to hold that line on one line, up to a share of the screen.
#pragma once

#include <QObject>

class MainWindow;

class FailureBox : public QObject {
    Q_OBJECT

public:
    explicit FailureBox(MainWindow *window);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void watchForBox();
};
