#pragma once
// How the stream view words times and spans in its texts and forms.

#include <QObject>
#include <QString>

#include "core/DateTime.h"
#include "player/TimeRuler.h"

namespace wk::ui {

inline QString TimeOf(StreamTime t) {
    return QString::fromStdString(DateTime::FromStreamTime(t).TimeText());
}

inline QString DayAndTime(StreamTime t) {
    return QString::fromStdString(RulerDate(t)) + QLatin1Char(' ') + TimeOf(t);
}

inline QString Span(StreamTime width) {
    const StreamTime s = width / kMsPerSecond;
    if (s >= 2 * 86400) return QObject::tr("%1 days").arg(s / 86400);
    if (s >= 7200) return QObject::tr("%1 h").arg(s / 3600);
    if (s >= 120) return QObject::tr("%1 min").arg(s / 60);
    return QObject::tr("%1 s").arg(s);
}

}  // namespace wk::ui
