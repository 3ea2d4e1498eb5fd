#include "ui/windows/frmeActivityPanel.h"

#include <QAction>
#include <QDateTime>
#include <QFile>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QVBoxLayout>
#include <algorithm>
#include <exception>

// The text area's lines as TActivityLines: one text block per line. An empty
// document still has one (empty) block, so the count is kept here.
class TfrmeActivityPanel::TMemoLines : public TActivityLines {
public:
    explicit TMemoLines(QPlainTextEdit *memo) : FMemo(memo) {}

    int Count() const override { return FCount; }

    void Append(const QString &text) override {
        QTextCursor cursor(FMemo->document());
        cursor.movePosition(QTextCursor::End);
        if (FCount > 0)
            cursor.insertBlock();
        cursor.insertText(text);
        ++FCount;
    }

    void Insert(int index, const QString &text) override {
        if (index >= FCount) {
            Append(text);
            return;
        }
        QTextCursor cursor(FMemo->document()->findBlockByNumber(index));
        cursor.insertText(text);
        cursor.insertBlock();
        ++FCount;
    }

    void Delete(int index) override {
        if (index < 0 || index >= FCount)
            return;
        QTextDocument *doc = FMemo->document();
        const QTextBlock block = doc->findBlockByNumber(index);
        QTextCursor cursor(doc);
        if (FCount == 1) {
            cursor.select(QTextCursor::Document);
        } else if (index == FCount - 1) {
            // The last line goes with the separator before it.
            cursor.setPosition(block.position() - 1);
            cursor.setPosition(block.position() + block.length() - 1, QTextCursor::KeepAnchor);
        } else {
            cursor.setPosition(block.position());
            cursor.setPosition(block.next().position(), QTextCursor::KeepAnchor);
        }
        cursor.removeSelectedText();
        --FCount;
    }

private:
    QPlainTextEdit *FMemo;
    int FCount = 0;
};

TfrmeActivityPanel::TfrmeActivityPanel(QWidget *parent)
    : QFrame(parent), FMemo(new QPlainTextEdit(this)), FLines(std::make_unique<TMemoLines>(FMemo)),
      FLog(std::make_unique<TActivityLog>(*FLines, [] { return QDateTime::currentDateTime(); })),
      FQueue(TActivityQueue::Create()) {
    setObjectName(QStringLiteral("frmeActivityPanel"));
    FMemo->setObjectName(QStringLiteral("mmActivities"));
    FMemo->setReadOnly(true);
    FMemo->setUndoRedoEnabled(false);
    FMemo->setLineWrapMode(QPlainTextEdit::NoWrap);
    FMemo->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    FMemo->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(3, 3, 3, 3);
    layout->addWidget(FMemo);
    FQueue->SetSink([this](const std::vector<TActivityCall> &batch) { Run(batch); });
    FLog->FOnLine = [this](const QString &line) { WriteToLogFile(line); };

    FClear = new QAction(QStringLiteral("C&lear"), this);
    FClear->setObjectName(QStringLiteral("actClearActivity"));
    FSaveAs = new QAction(QStringLiteral("&Save As..."), this);
    FSaveAs->setObjectName(QStringLiteral("actSaveActivity"));
    FMemo->setContextMenuPolicy(Qt::ActionsContextMenu);
    FMemo->addActions({FClear, FSaveAs});
    connect(FClear, &QAction::triggered, this, [this] { FLog->Clear(); });
    connect(FSaveAs, &QAction::triggered, this, [this] {
        const QString path = FOnAskFileName ? FOnAskFileName() : QString();
        if (!path.isEmpty())
            SaveTo(path);
    });
}

TfrmeActivityPanel::~TfrmeActivityPanel() {
    FQueue->SetSink(nullptr); // calls still queued are dropped
}

void TfrmeActivityPanel::Run(const std::vector<TActivityCall> &batch) {
    // Following the new lines only while the last line is in view.
    QScrollBar *bar = FMemo->verticalScrollBar();
    const bool follow = bar->value() >= bar->maximum();
    const int top = bar->value();
    const qint64 dropped = FLog->Dropped();
    for (const TActivityCall &call : batch) {
        try {
            switch (call.Kind) {
            case TActivityCall::TKind::AddMessage:
                FLog->AddMessage(call.Text);
                break;
            case TActivityCall::TKind::CreateChainLog:
                FLog->CreateChainLog(call.ChainUID, call.ContextID, call.Text);
                break;
            case TActivityCall::TKind::WriteChainLog:
                FLog->WriteChainLog(call.ChainUID, call.ContextID, call.Text);
                break;
            case TActivityCall::TKind::DeleteChainLog:
                FLog->DeleteChainLog(call.ContextID, call.Text);
                break;
            case TActivityCall::TKind::RecordBytes:
                FLog->RecordBytes(call.ContextID, call.Bytes);
                break;
            }
        } catch (const std::exception &e) {
            if (FOnError)
                FOnError(QString::fromUtf8(e.what()));
        }
    }
    if (follow)
        bar->setValue(bar->maximum());
    else // the same lines stay in view while older ones go from the top
        bar->setValue(std::max(0, top - static_cast<int>(FLog->Dropped() - dropped)));
}

bool TfrmeActivityPanel::SetLogFile(const QString &path) {
    FLogFile.reset();
    if (path.isEmpty())
        return true;
    auto file = std::make_unique<QFile>(path);
    if (!file->open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Text)) {
        if (FOnError)
            FOnError(QStringLiteral("Cannot open the log file \"%1\". %2")
                         .arg(path, file->errorString()));
        return false;
    }
    FLogFile = std::move(file);
    return true;
}

QString TfrmeActivityPanel::LogFile() const {
    return FLogFile ? FLogFile->fileName() : QString();
}

void TfrmeActivityPanel::WriteToLogFile(const QString &line) {
    if (!FLogFile)
        return;
    FLogFile->write(line.toUtf8() + '\n');
    FLogFile->flush();
}

bool TfrmeActivityPanel::SaveTo(const QString &path) {
    QFile file(path);
    QByteArray text;
    for (const QString &line : Lines())
        text += line.toUtf8() + '\n';
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(text) != text.size() ||
        !file.flush()) {
        if (FOnError)
            FOnError(
                QStringLiteral("Cannot write the file \"%1\". %2").arg(path, file.errorString()));
        return false;
    }
    return true;
}

QStringList TfrmeActivityPanel::Lines() const {
    QStringList lines;
    if (FLines->Count() == 0)
        return lines;
    for (QTextBlock b = FMemo->document()->begin(); b.isValid(); b = b.next())
        lines << b.text();
    return lines;
}
