#pragma once
// Whole lines to standard output, each flushed as it is written, from any
// thread: other programs read the headless output live.

#include <QString>

class TConsoleOut {
public:
    static void Line(const QString &line);
    static void ErrorLine(const QString &line);
};
