// SPDX-License-Identifier: MIT
#include "portlist.h"

#include "networklink.h"

#include <QComboBox>
#include <QInputDialog>
#include <QKeyEvent>
#include <QMenu>
#include <QProxyStyle>
#include <QSerialPortInfo>
#include <QStyleOptionComboBox>

namespace {

// The box's own style, drawing the selected name as PortList::shownText() has it.
class ElidingStyle : public QProxyStyle {
public:
    ElidingStyle(const QString &key, const PortList *list)
        : QProxyStyle(key)
        , list(list)
    {
    }

    void drawControl(ControlElement element, const QStyleOption *option, QPainter *painter,
        const QWidget *widget) const override
    {
        const auto *combo = qstyleoption_cast<const QStyleOptionComboBox *>(option);
        if (element != CE_ComboBoxLabel || !combo || combo->editable) {
            QProxyStyle::drawControl(element, option, painter, widget);
            return;
        }
        QStyleOptionComboBox shown(*combo);
        shown.currentText = list->shownText();
        QProxyStyle::drawControl(element, &shown, painter, widget);
    }

private:
    const PortList *list;
};

} // namespace

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
    // Over the style the box has now, which the proxy takes by its name (it owns what it wraps).
    auto *style = new ElidingStyle(comboBox->style()->objectName(), this);
    style->setParent(comboBox);
    comboBox->setStyle(style);
    comboBox->setToolTip(comboBox->currentText());
    connect(comboBox, &QComboBox::currentTextChanged, comboBox, &QWidget::setToolTip);
}

QString PortList::shownText() const
{
    QStyleOptionComboBox option;
    option.initFrom(comboBox);
    option.currentText = comboBox->currentText();
    option.iconSize = comboBox->iconSize();
    // The label's room as the common style lays it out: the edit field, less a pixel each side
    // and the icon, if any.
    QRect room = comboBox->style()->subControlRect(
        QStyle::CC_ComboBox, &option, QStyle::SC_ComboBoxEditField, comboBox);
    if (!comboBox->itemIcon(comboBox->currentIndex()).isNull())
        room.setWidth(room.width() - comboBox->iconSize().width() - 4);
    const int width = room.width() - 2;
    const QFontMetrics metrics = comboBox->fontMetrics();
    const QString name = comboBox->currentText();
    if (metrics.horizontalAdvance(name) <= width)
        return name;
    // A path loses its folders first, from their end: "/home/me/recor…/rec1.h5".
    const int slash = name.lastIndexOf(QLatin1Char('/'));
    const QString file = name.mid(slash + 1);
    const int folderRoom = width - metrics.horizontalAdvance(QLatin1Char('/') + file);
    if (slash > 0 && folderRoom >= metrics.horizontalAdvance(name.left(1) + QChar(0x2026)))
        return metrics.elidedText(name.left(slash), Qt::ElideRight, folderRoom) + '/' + file;
    return metrics.elidedText(name, Qt::ElideMiddle, width);
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
