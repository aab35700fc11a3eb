// SPDX-License-Identifier: MIT
#include "viewsbeside.h"

#include "mainwindow.h"
#include "spectrumhistorywindow.h"
#ifdef VAZOREZ_RADAR_VIEW
#include "profilefile.h"
#include "radarviewwindow.h"
#endif

ViewsBeside::ViewsBeside(MainWindow *window)
    : QObject(window)
    , window(window)
{
}

void ViewsBeside::showSpectrumHistory()
{
    if (!history) {
        history = new SpectrumHistoryWindow(window);
        history->attach(window->link());
        history->setPaused(paused);
    }
    history->show();
    history->raise();
    history->activateWindow();
}

RadarViewWindow *ViewsBeside::showRadarView()
{
#ifdef VAZOREZ_RADAR_VIEW
    if (!radarView) {
        radarView = new RadarViewWindow(window);
        radarView->restoreLastProfile();
        radarView->attach(window->link());
        radarView->setPaused(paused);
    }
    radarView->show();
    radarView->raise();
    radarView->activateWindow();
    return radarView;
#else
    return nullptr;
#endif
}

void ViewsBeside::setPaused(bool pause)
{
    paused = pause;
    if (history)
        history->setPaused(paused);
#ifdef VAZOREZ_RADAR_VIEW
    if (radarView)
        radarView->setPaused(paused);
#endif
}

QByteArray ViewsBeside::radarProfileJson() const
{
#ifdef VAZOREZ_RADAR_VIEW
    if (radarView && radarView->hasProfile())
        return ::radarProfileJson(radarView->profile());
#endif
    return QByteArray();
}

void ViewsBeside::closeAll()
{
    delete history.data();
#ifdef VAZOREZ_RADAR_VIEW
    delete radarView.data();
#endif
}
