// SPDX-License-Identifier: MIT
#include "portlist.h"

#include "networklink.h"

#include <QComboBox>
#include <QInputDialog>
#include <QKeyEvent>
#include <QMenu>
#include <QSerialPortInfo>

PortList::PortList(QComboBox *comboBox)
    : QObject(comboBox)
    , comboBox(comboBox)
    , menu(new QMenu(comboBox))
{
    for (int k = 0; k < comboBox->count(); ++k)
        enumerated.append(comboBox->itemText(k));
    comboBox->installEventFilter(this);
    menu->setObjectName("menu_PortList");
    QAction *networkPort = menu->addAction(QStringLiteral("Network port..."));
    networkPort->setObjectName("action_NetworkPort");
    connect(networkPort, &QAction::triggered, this, [this] { askForNetworkPort(); });
    comboBox->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(comboBox, &QWidget::customContextMenuRequested, this,
        [this](const QPoint &position) { menu->popup(this->comboBox->mapToGlobal(position)); });
}

void PortList::askForNetworkPort(const QString &note)
{
    auto *dialog = new QInputDialog(comboBox->window());
    dialog->setObjectName("inputDialog_NetworkPort");
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setWindowModality(Qt::WindowModal);
    dialog->setWindowTitle(QStringLiteral("Network port"));
    dialog->setLabelText(note
        + QStringLiteral("A board behind a serial port server such as ser2net:\n"
                         "rfc2217://HOST:PORT (telnet, the line set by the viewer) or "
                         "socket://HOST:PORT (raw TCP);\n"
                         "a board another viewer or capture publishes: zmq+tcp://HOST:PORT"));
    dialog->setTextValue(
        lastNetworkPort.isEmpty() ? QStringLiteral("rfc2217://") : lastNetworkPort);
    connect(dialog, &QInputDialog::textValueSelected, this, [this](const QString &typed) {
        const QString url = typed.trimmed();
        lastNetworkPort = url;
        if (!NetworkLink::isNetworkName(url)) {
            askForNetworkPort(QStringLiteral("'%1' is not a network port.\n").arg(url));
            return;
        }
        // Like a name given on the command line: at the top, selected, kept there by refresh().
        int index = comboBox->findText(url);
        if (index < 0) {
            comboBox->insertItem(0, url);
            index = 0;
        }
        comboBox->setCurrentIndex(index);
    });
    dialog->open();
}

QStringList PortList::presentPorts()
{
    QStringList names;
    const auto ports = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo &port : ports)
        names.append(port.portName());
    return names;
}

void PortList::refresh()
{
    const QStringList present = presentPorts();
    QStringList items;
    for (int k = 0; k < comboBox->count(); ++k) {
        const QString name = comboBox->itemText(k);
        if (!enumerated.contains(name) && !items.contains(name))
            items.append(name);
    }
    for (const QString &name : present)
        if (!items.contains(name))
            items.append(name);
    enumerated = present;

    QStringList current;
    for (int k = 0; k < comboBox->count(); ++k)
        current.append(comboBox->itemText(k));
    if (current == items)
        return;
    const QString selected = comboBox->currentText();
    comboBox->clear();
    comboBox->addItems(items);
    const int index = items.indexOf(selected);
    comboBox->setCurrentIndex(index >= 0 ? index : (items.isEmpty() ? -1 : 0));
}

bool PortList::eventFilter(QObject *watched, QEvent *event)
{
    // The keys and the click that open a combo box's list; the list is read just before it shows.
    if (watched == comboBox && comboBox->isEnabled()) {
        if (event->type() == QEvent::MouseButtonPress
            && static_cast<QMouseEvent *>(event)->button() == Qt::LeftButton)
            refresh();
        if (event->type() == QEvent::KeyPress) {
            const auto *key = static_cast<QKeyEvent *>(event);
            const bool alt = key->modifiers() & Qt::AltModifier;
            if (key->key() == Qt::Key_F4 || key->key() == Qt::Key_Space
                || (alt && (key->key() == Qt::Key_Down || key->key() == Qt::Key_Up)))
                refresh();
        }
    }
    return QObject::eventFilter(watched, event);
}
