#pragma once
// Pieces the record dialogs and the list frames build alike: a fixed-size
// modal dialog, the "OK" and "Cancel" row at a dialog's foot, a small button
// that stands for an action, a list of plain rows, a command whose failure
// is shown to the user, and sizes that follow the font.
//
// Sizes of the windows are designed at a 13-pixel text line (the theme's
// DejaVu Sans 8 at 96 dots per inch); Scaled() turns such a design size into
// one that follows the widget's font, so that a larger font or a higher
// resolution setting gets room for its text.

#include <QSize>
#include <QString>
#include <functional>

class QAction;
class QDialog;
class QHBoxLayout;
class QPushButton;
class QTreeWidget;
class QWidget;
class TUiPrompts;

class TFormParts {
public:
    // The buttons at a dialog's foot and the row that holds them.
    struct TOkCancel {
        QPushButton *Ok;
        QPushButton *Cancel;
        QHBoxLayout *Row;
    };

    // `designPixels` at the design's 13-pixel text line, scaled to the
    // height of a text line in `widget`'s font (never below 1).
    static int Scaled(const QWidget *widget, int designPixels);
    static QSize Scaled(const QWidget *widget, QSize designSize);
    // Names and titles the dialog, fixes its size (a design size, scaled to
    // the dialog's font) and makes it modal.
    static void FixedDialog(QDialog *dialog, const QString &name, const QString &title, QSize size);
    // "OK" ("btnOK") then "Cancel" ("btnCancel"), made in that order as
    // children of the dialog, at the right end of a row. "Cancel" rejects the
    // dialog; what "OK" does is the caller's to connect. "OK" is the default
    // button when `okIsDefault`.
    static TOkCancel OkCancel(QDialog *dialog, bool okIsDefault);
    // A 75 x 25 (design size) button captioned like the action: a click triggers the action,
    // and the button is enabled whenever the action becomes enabled.
    static QPushButton *ActionButton(QAction *action, QWidget *parent);
    // No tree lines, rows of one height, whole rows selected (several at
    // once with Ctrl and Shift), nothing edited in place.
    static void PlainRows(QTreeWidget *list);
    // Runs the command; a failure it throws is shown as an error with the
    // failure's own message.
    static void Guard(TUiPrompts &prompts, const std::function<void()> &command);
};
