#pragma once
// The visible lines of the activity panel as the panel's logic sees them: a
// list of one-line texts that can grow at the end, take a line at a given
// index and lose one. The panel's text area implements it; tests use a plain
// string list.

#include <QString>

class TActivityLines {
public:
    virtual ~TActivityLines() = default;
    virtual int Count() const = 0;
    virtual void Append(const QString &text) = 0;
    // 0 <= index < Count(): the line now at `index` and those after it move down.
    virtual void Insert(int index, const QString &text) = 0;
    virtual void Delete(int index) = 0;
};
