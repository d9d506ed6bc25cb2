#pragma once
// Colours in failure messages as rgba(r, g, b, a) rather than as bytes.

#include <QColor>

#include <ostream>

inline void PrintTo(const QColor& colour, std::ostream* out) {
    *out << "rgba(" << colour.red() << ", " << colour.green() << ", " << colour.blue() << ", " << colour.alpha() << ")";
}
