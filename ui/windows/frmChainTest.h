#pragma once
// The "Test Chain" dialog: a test's report, one line of the report a line of
// text, with "OK" to close it. It is not modal: the window goes on working
// while it is open, and the next report replaces the one shown.

#include <QDialog>
#include <QStringList>

class QPlainTextEdit;

class TfrmChainTest : public QDialog {
public:
    explicit TfrmChainTest(QWidget *parent = nullptr);

    // Shows the report and brings the dialog forward.
    void ShowReport(const QStringList &lines);
    QStringList Lines() const;

    QPlainTextEdit *mmReport() const { return FReport; }

private:
    QPlainTextEdit *FReport;
};
