// SPDX-License-Identifier: MIT
#include "portlist.h"

#include <QComboBox>
#include <QKeyEvent>
#include <QSerialPortInfo>

PortList::PortList(QComboBox *comboBox)
    : QObject(comboBox)
    , comboBox(comboBox)
{
    for (int k = 0; k < comboBox->count(); ++k)
        enumerated.append(comboBox->itemText(k));
    comboBox->installEventFilter(this);
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
