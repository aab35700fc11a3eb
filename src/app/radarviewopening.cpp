// SPDX-License-Identifier: MIT
#include "radarviewopening.h"

#include "labinstrument.h"
#ifdef VAZOREZ_RADAR_VIEW
#include "radarviewwindow.h"
#endif

void openRadarView(
    LabInstrument &lab, const QString &profile, const std::function<void(const QString &)> &report)
{
#ifdef VAZOREZ_RADAR_VIEW
    RadarViewWindow *view = lab.showRadarView();
    QString error;
    if (!profile.isEmpty() && !view->loadProfile(profile, &error))
        report(error + QStringLiteral("; the radar view keeps its last profile"));
#else
    Q_UNUSED(lab)
    Q_UNUSED(profile)
    report(QStringLiteral("this viewer is built without the radar view (kissfft was not found)"));
#endif
}
