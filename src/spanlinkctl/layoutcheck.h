#pragma once

#include "layoutfile.h"

#include <QString>
#include <QVector>

// Every problem of a layout at once, each tied to the entry and field it concerns, for a picture
// that marks them where they are. A layout without problems is one the switch can take.
namespace SwitchLayout
{
struct Problem {
    int entry = -1; // position in Layout::monitors; -1: the layout as a whole
    QString field; // "port", "index", "cell", "size", "touch", "monitors" or "mouse"
    QString text;
    bool operator==(const Problem &o) const { return entry == o.entry && field == o.field && text == o.text; }
};

QVector<Problem> check(const Layout &layout);
} // namespace SwitchLayout
