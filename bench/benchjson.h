// SPDX-License-Identifier: MIT
// Figures of a benchmark run: printed as a table, and with --json as one line of JSON.
#pragma once

#include <QByteArray>
#include <QString>

#include <cstdio>
#include <utility>
#include <vector>

class Figures
{
public:
    void add(const QString &name, double value, const QString &unit)
    {
        rows.push_back({name, value, unit});
    }

    void print(const char *title, bool json) const
    {
        if (json) {
            QByteArray line = "{\"benchmark\":\"" + QByteArray(title) + "\"";
            for (const Row &row : rows)
                line += ",\"" + row.name.toUtf8() + "\":" + QByteArray::number(row.value, 'g', 8);
            std::printf("%s}\n", line.constData());
            return;
        }
        std::printf("%s\n", title);
        for (const Row &row : rows)
            std::printf("  %-52s %14.3f %s\n", qPrintable(row.name), row.value, qPrintable(row.unit));
    }

private:
    struct Row
    {
        QString name;
        double value;
        QString unit;
    };
    std::vector<Row> rows;
};
