#include "ui/windows/FormParts.h"

#include "ui/logic/UiPrompts.h"

#include <QAction>
#include <QDialog>
#include <QFontMetrics>
#include <QHBoxLayout>
#include <QPushButton>
#include <QTreeWidget>
#include <cmath>
#include <exception>

namespace {

constexpr double DesignLineHeight = 13.0;

} // namespace

int TFormParts::Scaled(const QWidget *widget, int designPixels) {
    const int line = QFontMetrics(widget->font()).height();
    return std::max(1, static_cast<int>(std::lround(designPixels * line / DesignLineHeight)));
}

QSize TFormParts::Scaled(const QWidget *widget, QSize designSize) {
    return {Scaled(widget, designSize.width()), Scaled(widget, designSize.height())};
}

void TFormParts::FixedDialog(QDialog *dialog, const QString &name, const QString &title,
                             QSize size) {
    dialog->setObjectName(name);
    dialog->setWindowTitle(title);
    dialog->setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint);
    dialog->setFixedSize(Scaled(dialog, size));
    dialog->setModal(true);
}

TFormParts::TOkCancel TFormParts::OkCancel(QDialog *dialog, bool okIsDefault) {
    auto *ok = new QPushButton(QStringLiteral("OK"), dialog);
    ok->setObjectName(QStringLiteral("btnOK"));
    if (okIsDefault)
        ok->setDefault(true);
    auto *cancel = new QPushButton(QStringLiteral("Cancel"), dialog);
    cancel->setObjectName(QStringLiteral("btnCancel"));
    QObject::connect(cancel, &QPushButton::clicked, dialog, &QDialog::reject);
    auto *row = new QHBoxLayout;
    row->addStretch(1);
    row->addWidget(ok);
    row->addWidget(cancel);
    return {ok, cancel, row};
}

QPushButton *TFormParts::ActionButton(QAction *action, QWidget *parent) {
    auto *button = new QPushButton(action->text(), parent);
    button->setFixedSize(Scaled(button, QSize(75, 25)));
    QObject::connect(button, &QPushButton::clicked, action, &QAction::trigger);
    QObject::connect(action, &QAction::enabledChanged, button, &QPushButton::setEnabled);
    return button;
}

void TFormParts::PlainRows(QTreeWidget *list) {
    list->setRootIsDecorated(false);
    list->setUniformRowHeights(true);
    list->setAllColumnsShowFocus(true);
    list->setSelectionMode(QAbstractItemView::ExtendedSelection);
    list->setSelectionBehavior(QAbstractItemView::SelectRows);
    list->setEditTriggers(QAbstractItemView::NoEditTriggers);
}

void TFormParts::Guard(TUiPrompts &prompts, const std::function<void()> &command) {
    try {
        command();
    } catch (const std::exception &e) {
        prompts.ShowError(QString::fromUtf8(e.what()));
    }
}
