#include "ui/windows/NumberField.h"

#include "ui/logic/SettingsLogic.h"
#include "ui/windows/FormParts.h"

#include <QApplication>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLineEdit>
#include <QToolButton>
#include <QVBoxLayout>
#include <QValidator>

namespace {

// Pasted text passes only when every character could have been typed.
class TKeysValidator : public QValidator {
public:
    using QValidator::QValidator;
    State validate(QString &input, int &) const override {
        return TSettingsLogic::TextAccepted(input) ? Acceptable : Invalid;
    }
};

QToolButton *ArrowButton(Qt::ArrowType arrow, QWidget *parent) {
    auto *button = new QToolButton(parent);
    button->setArrowType(arrow);
    button->setAutoRepeat(true);
    button->setFocusPolicy(Qt::NoFocus);
    button->setFixedSize(TFormParts::Scaled(button, QSize(17, 11)));
    return button;
}

} // namespace

TNumberField::TNumberField(QWidget *parent)
    : QWidget(parent), FEdit(new QLineEdit(this)), FUp(ArrowButton(Qt::UpArrow, this)),
      FDown(ArrowButton(Qt::DownArrow, this)) {
    FEdit->setFixedWidth(TFormParts::Scaled(FEdit, 65));
    FEdit->setFixedHeight(TFormParts::Scaled(FEdit, 22));
    FEdit->setValidator(new TKeysValidator(FEdit));
    FEdit->installEventFilter(this);
    auto *arrows = new QVBoxLayout;
    arrows->setContentsMargins(0, 0, 0, 0);
    arrows->setSpacing(0);
    arrows->addWidget(FUp);
    arrows->addWidget(FDown);
    auto *layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(1);
    layout->addWidget(FEdit);
    layout->addLayout(arrows);
    setFocusProxy(FEdit);

    connect(FEdit, &QLineEdit::textChanged, this, [this](const QString &text) {
        if (FOnChange)
            FOnChange(text);
    });
    connect(FUp, &QToolButton::clicked, this, [this] { Step(+1); });
    connect(FDown, &QToolButton::clicked, this, [this] { Step(-1); });
}

QString TNumberField::Text() const {
    return FEdit->text();
}

void TNumberField::SetText(const QString &text) {
    FEdit->setText(text);
}

void TNumberField::Step(int delta) {
    SetText(QString::number(TSettingsLogic::Step(Text(), delta)));
}

bool TNumberField::eventFilter(QObject *watched, QEvent *event) {
    if (watched == FEdit) {
        if (event->type() == QEvent::KeyPress) {
            auto *key = static_cast<QKeyEvent *>(event);
            if (key->key() == Qt::Key_Up || key->key() == Qt::Key_Down) {
                Step(key->key() == Qt::Key_Up ? +1 : -1);
                return true;
            }
            const QString text = key->text();
            const bool printable = !text.isEmpty() && text.at(0).isPrint() &&
                                   !(key->modifiers() & (Qt::ControlModifier | Qt::AltModifier));
            if (printable && !TSettingsLogic::TextAccepted(text)) {
                QApplication::beep();
                return true;
            }
        } else if (event->type() == QEvent::FocusOut) {
            if (FOnExit)
                FOnExit();
        }
    }
    return QWidget::eventFilter(watched, event);
}
