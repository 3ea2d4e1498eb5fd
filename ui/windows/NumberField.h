#pragma once
// A number field with up and down arrows: a one-line edit that takes only
// digits, the signs and the decimal separator (other keys beep), and arrows
// that change the value by 1 within 0..200. The text itself may be anything
// those keys can type; the settings frame decides what a text means.

#include <QWidget>
#include <functional>

class QLineEdit;
class QToolButton;

class TNumberField : public QWidget {
public:
    explicit TNumberField(QWidget *parent = nullptr);

    QString Text() const;
    void SetText(const QString &text);
    QLineEdit *Edit() const { return FEdit; }

    // The text changed (typed, pasted, stepped or set).
    std::function<void(const QString &)> FOnChange;
    // The field lost the input focus.
    std::function<void()> FOnExit;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void Step(int delta);

    QLineEdit *FEdit;
    QToolButton *FUp;
    QToolButton *FDown;
};
