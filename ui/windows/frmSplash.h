#pragma once
// The splash window shown while the program starts: no border, 549 by 168,
// white, centred on the screen, a silver one-pixel frame and the 500 by 100
// picture at (16, 36), drawn at the screen's own resolution.

#include <QWidget>

class TfrmSplash : public QWidget {
public:
    TfrmSplash();
    // Shows the window and paints it at once, before the event loop runs.
    void ShowNow();

protected:
    void paintEvent(QPaintEvent *e) override;
};
