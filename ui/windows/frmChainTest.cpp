#include "ui/windows/frmChainTest.h"

#include "ui/windows/FormParts.h"

#include <QFontDatabase>
#include <QHBoxLayout>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

TfrmChainTest::TfrmChainTest(QWidget *parent) : QDialog(parent), FReport(new QPlainTextEdit(this)) {
    setObjectName(QStringLiteral("frmChainTest"));
    setWindowTitle(QStringLiteral("Test Chain"));
    setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint);
    setFixedSize(TFormParts::Scaled(this, QSize(700, 260)));
    setModal(false);

    FReport->setObjectName(QStringLiteral("mmReport"));
    FReport->setReadOnly(true);
    FReport->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    FReport->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));

    auto *ok = new QPushButton(QStringLiteral("OK"), this);
    ok->setObjectName(QStringLiteral("btnOK"));
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
    auto *row = new QHBoxLayout;
    row->addStretch(1);
    row->addWidget(ok);

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(9, 9, 9, 9);
    layout->addWidget(FReport, 1);
    layout->addLayout(row);
}

void TfrmChainTest::ShowReport(const QStringList &lines) {
    FReport->setPlainText(lines.join(QLatin1Char('\n')));
    show();
    raise();
    activateWindow();
}

QStringList TfrmChainTest::Lines() const {
    return FReport->toPlainText().split(QLatin1Char('\n'));
}
