// SPDX-License-Identifier: MIT
#include "radarreadout.h"

#include <QStringList>

#include <cmath>

namespace {

QByteArray number(double value, int decimals)
{
    return std::isnan(value) ? QByteArray() : QByteArray::number(value, 'f', decimals);
}

} // namespace

QString targetPosition(const RadarTarget &target)
{
    if (!std::isnan(target.speedMps)) {
        const double speed = std::abs(target.speedMps);
        return QStringLiteral("%1 m/s %2, %3 km/h")
            .arg(speed, 0, 'f', 2)
            .arg(QLatin1String(target.direction()))
            .arg(speed * 3.6, 0, 'f', 1);
    }
    if (!std::isnan(target.rangeM))
        return QStringLiteral("%1 m").arg(target.rangeM, 0, 'f', 2);
    return QStringLiteral("%1 bins").arg(target.bins, 0, 'f', 1);
}

QString targetLine(const RadarTarget &target)
{
    return QStringLiteral("%1   %2 dB, SNR %3 dB")
        .arg(targetPosition(target))
        .arg(target.levelDb, 0, 'f', 1)
        .arg(target.snrDb, 0, 'f', 1);
}

QString readoutText(const std::vector<RadarTarget> &targets)
{
    if (targets.empty())
        return QStringLiteral("no target");
    QStringList lines;
    for (const RadarTarget &target : targets)
        lines << targetLine(target);
    return lines.join('\n');
}

QString readoutNote(const RadarAnalysis &analysis)
{
    QStringList notes;
    if (analysis.belowFloor) {
        switch (analysis.spectrum.axis) {
        case RadarSpectrum::Axis::Speed:
            notes << QStringLiteral("slow motion below %1 m/s").arg(analysis.floor, 0, 'f', 2);
            break;
        case RadarSpectrum::Axis::Range:
            notes << QStringLiteral("something nearer than %1 m").arg(analysis.floor, 0, 'f', 2);
            break;
        case RadarSpectrum::Axis::Bins:
            notes << QStringLiteral("something within %1 bins of zero")
                         .arg(analysis.floor, 0, 'f', 2);
            break;
        }
    }
    if (analysis.clipped)
        notes << QStringLiteral("clipped");
    return notes.join(QStringLiteral(", "));
}

QString readoutText(const RadarAnalysis &analysis)
{
    const QString note = readoutNote(analysis);
    if (analysis.targets.empty() && !note.isEmpty())
        return note;
    const QString text = readoutText(analysis.targets);
    return note.isEmpty() ? text : text + '\n' + note;
}

QByteArray targetsCsv(const std::vector<RadarTargetRow> &rows)
{
    return targetsCsvHeader() + targetsCsvRows(rows);
}

QByteArray targetsCsvHeader()
{
    return QByteArrayLiteral("frame,time_s,mode,rank,range_m,speed_mps,level_db,snr_db\n");
}

QByteArray targetsCsvRows(const std::vector<RadarTargetRow> &rows)
{
    QByteArray text;
    for (const RadarTargetRow &row : rows) {
        const RadarTarget &target = row.target;
        text += QByteArray::number(qlonglong(row.frame)) + ','
            + QByteArray::number(row.seconds, 'f', 6) + ',' + (row.mode ? "FMCW" : "CW") + ','
            + QByteArray::number(target.rank) + ',' + number(target.rangeM, 3) + ','
            + number(target.speedMps, 3) + ',' + number(target.levelDb, 2) + ','
            + number(target.snrDb, 2) + '\n';
    }
    return text;
}
