// SPDX-License-Identifier: MIT
// Keeps the port list current: the ports present are read again whenever the user opens the list,
// so that a board plugged in after start-up can be picked without a restart. Its right-click menu
// takes a board behind the network ("Network port..."): the URL typed goes to the list's top. A
// name too long for the box (a replay's path) is shown cut in the middle, its file name in view,
// and whole in the tooltip.
#pragma once

#include <QObject>
#include <QStringList>

class QComboBox;
class QMenu;

class PortList : public QObject {
    Q_OBJECT

public:
    // Watches `comboBox`, whose items are the ports found so far; it must outlive this object.
    explicit PortList(QComboBox *comboBox);

    // Reads the ports present again. Ports that vanished go, new ones are added, the selection
    // stays where its port is still there, and names put into the list by hand (a pseudo-terminal,
    // a port given on the command line) stay at its top.
    void refresh();
    // The names Qt lists for the ports present, in its order.
    static QStringList presentPorts();
    // Asks for a socket:// or rfc2217:// URL in a window-modal dialog that does not block; `note`
    // goes above the question (why the last answer was refused).
    void askForNetworkPort(const QString &note = QString());
    // What the box shows of the selected name: all of it, or as much as fits with "…" in the
    // middle (the style cuts a long path at the box's edge, which leaves only its folders).
    QString shownText() const;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    QComboBox *comboBox;
    QMenu *menu;
    QStringList enumerated; // what the last reading found
    QString lastNetworkPort;
};
