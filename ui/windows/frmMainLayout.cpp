#include "ui/windows/frmMain.h"

// The main window's actions, and the widgets it is built of: header,
// navigation, pages, banner and status bar.

#include "engine/chain/dmSocksMgr.h"
#include "ui/windows/FormParts.h"
#include "ui/windows/Pictures.h"
#include "ui/windows/ProxyListView.h"
#include "ui/windows/frmeActivityPanel.h"
#include "ui/windows/frmeAnonymize.h"
#include "ui/windows/frmeSettings.h"
#include "ui/windows/frmeSocksChain.h"

#include <QAction>
#include <QButtonGroup>
#include <QComboBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QMouseEvent>
#include <QPushButton>
#include <QSplitter>
#include <QStackedWidget>
#include <QStatusBar>
#include <QToolButton>
#include <QVBoxLayout>

namespace {

QIcon Picture(const char *name) {
    return TPictures::Icon(QLatin1String(name));
}

// `designPixels` at the design's text line, scaled to `widget`'s font.
int Em(const QWidget *widget, int designPixels) {
    return TFormParts::Scaled(widget, designPixels);
}

QFont Bold(QFont font) {
    font.setBold(true);
    return font;
}

// A flat button with its picture above its bold caption, running an action.
QToolButton *CommandButton(QAction *action, QWidget *parent, int height = 76) {
    auto *button = new QToolButton(parent);
    button->setDefaultAction(action);
    button->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
    button->setAutoRaise(true);
    button->setFont(Bold(button->font()));
    const int side = TPictures::IconSide(button);
    button->setIconSize(QSize(side, side));
    button->setFixedHeight(Em(button, height));
    button->setMinimumWidth(std::max(Em(button, 82), button->sizeHint().width() + Em(button, 10)));
    button->setObjectName(QStringLiteral("btn") + action->objectName().mid(3));
    return button;
}

// `caption`: the action's text with its mnemonic.
QPushButton *BarButton(QAction *action, const char *caption, QWidget *parent) {
    auto *button = new QPushButton(QString::fromLatin1(caption), parent);
    button->setObjectName(QStringLiteral("btn") + action->objectName().mid(3));
    button->setMinimumWidth(std::max(Em(button, 100), button->sizeHint().width() + Em(button, 10)));
    QObject::connect(button, &QPushButton::clicked, action, &QAction::trigger);
    QObject::connect(action, &QAction::enabledChanged, button, &QPushButton::setEnabled);
    button->setEnabled(action->isEnabled());
    return button;
}

// The banner picture: a hand cursor, and a click opens the maker's web site.
class TBannerLabel : public TPictureLabel {
public:
    explicit TBannerLabel(QWidget *parent) : TPictureLabel(QStringLiteral("banner"), parent) {}
    std::function<void()> FOnClick;

protected:
    void mouseReleaseEvent(QMouseEvent *e) override {
        if (e->button() == Qt::LeftButton && rect().contains(e->position().toPoint()) && FOnClick)
            FOnClick();
        QLabel::mouseReleaseEvent(e);
    }
};

} // namespace

// ---- construction -----------------------------------------------------------

void TfrmMain::CreateActions() {
    auto make = [this](const char *name, const char *caption, const char *picture = nullptr) {
        auto *action = new QAction(QString::fromLatin1(caption), this);
        action->setObjectName(QString::fromLatin1(name));
        if (picture)
            action->setIcon(Picture(picture));
        return action;
    };
    actProxyMgr = make("actProxyMgr", "Proxy Manager", "proxymgr");
    actAnonymizeProgram = make("actAnonymizeProgram", "Anonymize Program", "anonymize");
    actProxySocksChain = make("actProxySocksChain", "Proxy/Socks5 Chain", "chain");
    actSettings = make("actSettings", "Settings", "settings");
    actAddProxy = make("actAddProxy", "Add Proxy", "addproxy");
    actEditProxy = make("actEditProxy", "Edit Proxy", "editproxy");
    actDeleteProxy = make("actDeleteProxy", "Delete Proxy", "deleteproxy");
    actTestProxy = make("actTestProxy", "Test Proxy", "testproxy");
    actCheck = make("actCheck", "Check");
    actTestAll = make("actTestAll", "Test All");
    actGetProxies = make("actGetProxies", "Get Proxies");
    actAddBulkProxy = make("actAddBulkProxy", "Add Bulk Proxy");
    actSelectAllProxies = make("actSelectAllProxies", "Select All");
    actSelectAllProxies->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_A));
    actSelectAllProxies->setShortcutContext(Qt::WidgetWithChildrenShortcut);
    actDeleteDeadProxies = make("actDeleteDeadProxies", "Delete Dead Proxies", "deleteproxy");
    actStopChecking = make("actStopChecking", "Stop Checking");
    actStopChecking->setEnabled(false);
    actStopAll = make("actStopAll", "Stop All", "stopall");
    actNewSocksChain = make("actNewSocksChain", "Add SOCKS Chain", "addchain");
    actEditSocksChain = make("actEditSocksChain", "Edit SOCKS Chain", "editchain");
    actDeleteChain = make("actDeleteChain", "Delete SOCKS Chain", "deletechain");
    actHelp = make("actHelp", "Help", "help");
    actExit = make("actExit", "&Quit");

    // Keys: F1 the user guide, F5 checks the selected proxies, Ctrl+Q ends
    // as closing the window does; Delete deletes the chains selected in their
    // list (the proxy list and the program list handle it themselves).
    actHelp->setShortcut(QKeySequence(Qt::Key_F1));
    actTestProxy->setShortcut(QKeySequence(Qt::Key_F5));
    actExit->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
    actDeleteChain->setShortcut(QKeySequence(Qt::Key_Delete));
    actDeleteChain->setShortcutContext(Qt::WidgetWithChildrenShortcut);
    addActions({actHelp, actTestProxy, actExit});
}

void TfrmMain::CreateLayout() {
    // The chain page first: its commands go on the header's panel.
    FChainFrame = new TfrmeSocksChain(FStore, FSocksMgr.ChainMgr(), FPrompts, this);
    QMenu *file = menuBar()->addMenu(QStringLiteral("&File"));
    file->addAction(actExit);
    QMenu *proxies = menuBar()->addMenu(QStringLiteral("&Proxies"));
    proxies->addActions({actAddProxy, actEditProxy, actDeleteProxy, actDeleteDeadProxies});
    proxies->addSeparator();
    proxies->addActions({actTestProxy, actTestAll, actStopChecking});

    auto *central = new QWidget(this);
    central->setObjectName(QStringLiteral("pnlClient"));
    auto *outer = new QVBoxLayout(central);
    outer->setContentsMargins(0, 0, 0, 0);
    outer->setSpacing(0);
    outer->addWidget(CreateHeader());

    auto *body = new QHBoxLayout;
    body->setContentsMargins(0, 0, 0, 0);
    body->setSpacing(0);
    body->addWidget(CreateNavigation());

    auto *centre = new QVBoxLayout;
    centre->setContentsMargins(0, 0, 0, 0);
    centre->setSpacing(0);
    FPages = new QStackedWidget(central);
    FPages->setObjectName(QStringLiteral("pgcPages"));
    FPages->addWidget(CreateProxyPage());
    FAnonymizeFrame = new TfrmeAnonymize(FStore, FPages);
    FAnonymizeFrame->lvPrograms()->setColumnHidden(TfrmeAnonymize::colNoOfProxies, true);
    FPages->addWidget(FAnonymizeFrame);
    FPages->addWidget(FChainFrame);
    auto *settingsPage = new QWidget(FPages);
    settingsPage->setObjectName(QStringLiteral("tsSettings"));
    FSettingsFrame = new TfrmeSettings(FStore, settingsPage);
    FSettingsFrame->move(0, 0);
    FPages->addWidget(settingsPage);

    FActivity = new TfrmeActivityPanel(central);
    FSplitter = new QSplitter(Qt::Vertical, central);
    FSplitter->setObjectName(QStringLiteral("splActivity"));
    FSplitter->setHandleWidth(4);
    FSplitter->setChildrenCollapsible(false);
    FSplitter->addWidget(FPages);
    FSplitter->addWidget(FActivity);
    FSplitter->setStretchFactor(0, 0);
    FSplitter->setStretchFactor(1, 1);
    FSplitter->setSizes({Em(FSplitter, 240), Em(FSplitter, 106)});
    centre->addWidget(FSplitter, 1);
    centre->addWidget(CreateBanner());
    body->addLayout(centre, 1);
    outer->addLayout(body, 1);
    setCentralWidget(central);
    CreateStatusBar();

    resize(Em(this, 987), Em(this, 538) + menuBar()->sizeHint().height());
}

QWidget *TfrmMain::CreateHeader() {
    auto *header = new QWidget(this);
    header->setObjectName(QStringLiteral("pnlHeader"));
    header->setFixedHeight(Em(header, 93));
    auto *layout = new QHBoxLayout(header);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);

    auto *left = new QWidget(header);
    left->setObjectName(QStringLiteral("pnlLogo"));
    left->setFixedWidth(Em(left, 272));
    auto *leftLayout = new QHBoxLayout(left);
    leftLayout->setContentsMargins(4, 9, 4, 9);
    leftLayout->setSpacing(0);
    auto *logo = new TPictureLabel(QStringLiteral("logo"), left);
    logo->setObjectName(QStringLiteral("imgLogo"));
    logo->setFixedSize(Em(logo, 150), Em(logo, 75));
    leftLayout->addWidget(logo);
    QToolButton *help = CommandButton(actHelp, left, 75);
    help->setFixedSize(Em(help, 114), Em(help, 75));
    leftLayout->addWidget(help);
    layout->addWidget(left);

    FCommandPanels = new QStackedWidget(header);
    FCommandPanels->setObjectName(QStringLiteral("pnlCommands"));
    auto panel = [this](const char *name, std::initializer_list<QAction *> actions) {
        auto *widget = new QWidget(FCommandPanels);
        widget->setObjectName(QString::fromLatin1(name));
        auto *row = new QHBoxLayout(widget);
        row->setContentsMargins(4, 8, 4, 9);
        row->setSpacing(2);
        for (QAction *action : actions)
            row->addWidget(CommandButton(action, widget));
        row->addStretch(1);
        FCommandPanels->addWidget(widget);
    };
    // One panel per page, in page order.
    panel("pnlProxyCommands", {actAddProxy, actEditProxy, actDeleteProxy, actDeleteDeadProxies,
                               actTestProxy, actStopAll});
    panel("pnlAnonymizeCommands", {});
    panel("pnlChainCommands", {actNewSocksChain, actEditSocksChain, actDeleteChain,
                               FChainFrame->actStartChain(), FChainFrame->actStopChain(),
                               FChainFrame->actRestartChain(), FChainFrame->actTestChain()});
    panel("pnlSettingsCommands", {});
    layout->addWidget(FCommandPanels, 1);
    return header;
}

QWidget *TfrmMain::CreateNavigation() {
    auto *bar = new QWidget(this);
    bar->setObjectName(QStringLiteral("pnlNavigation"));
    bar->setFixedWidth(Em(bar, 137));
    auto *layout = new QVBoxLayout(bar);
    layout->setContentsMargins(7, 6, 7, 6);
    layout->setSpacing(4);
    FNavigation = new QButtonGroup(bar);
    FNavigation->setExclusive(true);
    const std::pair<TMainPage, QAction *> buttons[] = {
        {TMainPage::mpProxyManager, actProxyMgr},
        {TMainPage::mpAnonymizeProgram, actAnonymizeProgram},
        {TMainPage::mpProxySocksChain, actProxySocksChain},
        {TMainPage::mpSettings, actSettings},
    };
    for (const auto &[page, action] : buttons) {
        auto *button = new QToolButton(bar);
        button->setObjectName(QStringLiteral("btnNav") + action->objectName().mid(3));
        button->setText(action->text());
        button->setIcon(action->icon());
        button->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
        button->setAutoRaise(true);
        button->setCheckable(true);
        button->setFont(Bold(button->font()));
        const int side = TPictures::IconSide(button);
        button->setIconSize(QSize(side, side));
        button->setFixedSize(Em(button, 123), Em(button, 70));
        FNavigation->addButton(button, static_cast<int>(page));
        connect(button, &QToolButton::clicked, action, &QAction::trigger);
        layout->addWidget(button);
    }
    layout->addStretch(1);
    return bar;
}

QWidget *TfrmMain::CreateProxyPage() {
    auto *page = new QWidget(this);
    page->setObjectName(QStringLiteral("tsProxyManager"));
    FProxyList = new TProxyListView(TProxyListKind::plkMain, page);
    FProxyList->setObjectName(QStringLiteral("lvProxyList"));
    FProxyList->setToolTip(QStringLiteral("Right-Click for menu"));
    FProxyList->setContextMenuPolicy(Qt::ActionsContextMenu);
    FProxyList->addActions({actCheck, actSelectAllProxies});
    page->addAction(actSelectAllProxies);
    FProxyList->FOnDeleteKey = [this] { Guard([this] { DeleteProxyExecute(); }); };
    FProxyList->FOnOpen = [this] { Guard([this] { EditProxyExecute(); }); };

    // The filters above the list: a part of the address, and a status.
    auto *filters = new QWidget(page);
    filters->setObjectName(QStringLiteral("pnlProxyFilter"));
    auto *filterRow = new QHBoxLayout(filters);
    filterRow->setContentsMargins(4, 3, 4, 3);
    filterRow->setSpacing(6);
    FAddressFilter = new QLineEdit(filters);
    FAddressFilter->setObjectName(QStringLiteral("edtProxyFilter"));
    FAddressFilter->setPlaceholderText(QStringLiteral("Filter by address"));
    FAddressFilter->setClearButtonEnabled(true);
    FStatusFilter = new QComboBox(filters);
    FStatusFilter->setObjectName(QStringLiteral("cbStatusFilter"));
    FStatusFilter->addItems(TProxyFilterModel::StatusChoices());
    auto *statusLabel = new QLabel(QStringLiteral("Status:"), filters);
    filterRow->addWidget(FAddressFilter, 1);
    filterRow->addWidget(statusLabel);
    filterRow->addWidget(FStatusFilter);
    connect(FAddressFilter, &QLineEdit::textChanged, this,
            [this](const QString &text) { FProxyList->Filter()->SetAddressFilter(text); });
    connect(FStatusFilter, &QComboBox::currentTextChanged, this,
            [this](const QString &text) { FProxyList->Filter()->SetStatusFilter(text); });

    auto *bar = new QWidget(page);
    bar->setObjectName(QStringLiteral("pnlProxyButtons"));
    bar->setFixedHeight(Em(bar, 37));
    auto *row = new QHBoxLayout(bar);
    row->setContentsMargins(4, 5, 4, 5);
    row->setSpacing(6);
    row->addWidget(BarButton(actTestAll, "Test &All", bar));
    row->addWidget(BarButton(actGetProxies, "&Get Proxies", bar));
    row->addWidget(BarButton(actAddBulkProxy, "Add &Bulk Proxy", bar));
    row->addWidget(BarButton(actStopChecking, "&Stop Checking", bar));
    row->addStretch(1);

    auto *layout = new QVBoxLayout(page);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(filters);
    layout->addWidget(FProxyList, 1);
    layout->addWidget(bar);
    return page;
}

QWidget *TfrmMain::CreateBanner() {
    auto *banner = new QWidget(this);
    banner->setObjectName(QStringLiteral("pnlBanner"));
    banner->setFixedHeight(Em(banner, 76));
    banner->setAutoFillBackground(true);
    QPalette palette = banner->palette();
    palette.setColor(QPalette::Window, Qt::white);
    banner->setPalette(palette);
    auto *picture = new TBannerLabel(banner);
    picture->setObjectName(QStringLiteral("imgBanner"));
    picture->setFixedSize(Em(picture, 398), Em(picture, 76));
    picture->setCursor(Qt::PointingHandCursor);
    picture->FOnClick = [this] { Guard([this] { OpenMakerWebSite(); }); };
    auto *layout = new QHBoxLayout(banner);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(picture);
    layout->addStretch(1);
    return banner;
}

void TfrmMain::CreateStatusBar() {
    QStatusBar *bar = statusBar();
    bar->setObjectName(QStringLiteral("sbStatus"));
    bar->setFixedHeight(Em(bar, 19));
    bar->setSizeGripEnabled(false);
    for (int i = 0; i < 3; ++i) {
        auto *panel = new QLabel(bar);
        panel->setObjectName(QStringLiteral("sbPanel%1").arg(i + 1));
        panel->setFrameShape(QFrame::StyledPanel);
        panel->setFrameShadow(QFrame::Sunken);
        if (i < 2)
            panel->setFixedWidth(Em(panel, 50));
        bar->addWidget(panel, i < 2 ? 0 : 1);
        FStatusPanels[i] = panel;
    }
}
