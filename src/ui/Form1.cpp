#include "ui/Form1.h"

#include "common/Catalogue.h"
#include "netrelay/SocketArray.h"
#include "ui/Artwork.h"
#include "ui/Form2.h"
#include "ui/QueueDialog.h"

#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QCloseEvent>
#include <QElapsedTimer>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollBar>
#include <QTimer>
#include <QVBoxLayout>

#include <iterator>
#include <limits>
#include <vector>

namespace swn {
namespace {

const char* const NoFontTag = "NOFONT";
constexpr int VersionMajor = 2, VersionMinor = 0, VersionRevision = 6;

QLineEdit* DisplayBox(QWidget* parent, const char* name)
{
    auto* box = new QLineEdit(parent);
    box->setObjectName(QString::fromLatin1(name));
    box->setReadOnly(true);
    box->setFocusPolicy(Qt::NoFocus);
    return box;
}

void SetBackground(QLineEdit* box, const QColor& background)
{
    QPalette pal = box->palette();
    pal.setColor(QPalette::Base, background);
    box->setPalette(pal);
}

} // namespace

void SetOption(QButtonGroup* group, QRadioButton* option, bool selected)
{
    if (option->isChecked() == selected)
        return;
    // An exclusive group refuses to clear its checked button, so lift exclusivity for the change.
    const bool exclusive = group->exclusive();
    group->setExclusive(false);
    option->setChecked(selected);
    group->setExclusive(exclusive);
}

Form1::Form1(RelayService& relay, Form1Options options, QWidget* parent)
    : QWidget(parent), relay_(relay), options_(std::move(options))
{
    setObjectName(QStringLiteral("Form1"));
    setWindowTitle(QStringLiteral("Swiftnote Relay"));
    buildControls();
    wireCore();
}

Form1::~Form1()
{
    relay_.core.SetMessageSink({});
    if (form2_)
        delete form2_;
    if (queueDialog_)
        delete queueDialog_;
}

void Form1::buildControls()
{
    auto label = [this](const char* name) {
        auto* l = new QLabel(this);
        l->setObjectName(QString::fromLatin1(name));
        return l;
    };
    auto edit = [this](const char* name) {
        auto* e = new QLineEdit(this);
        e->setObjectName(QString::fromLatin1(name));
        return e;
    };
    auto button = [this](const char* name) {
        auto* b = new QPushButton(this);
        b->setObjectName(QString::fromLatin1(name));
        return b;
    };

    SMTPHostLabel = label("SMTPHostLabel");
    SMTPHost = edit("SMTPHost");
    ListenerLabel = label("ListenerLabel");
    ListenPort = edit("ListenPort");

    MailTransportFrame = new QGroupBox(this);
    MailTransportFrame->setObjectName(QStringLiteral("MailTransportFrame"));
    CDOMail = new QRadioButton(MailTransportFrame);
    CDOMail->setObjectName(QStringLiteral("CDOMail"));
    BTMail = new QRadioButton(MailTransportFrame);
    BTMail->setObjectName(QStringLiteral("BTMail"));
    transportGroup = new QButtonGroup(this);
    transportGroup->addButton(CDOMail);
    transportGroup->addButton(BTMail);
    auto* transportLayout = new QVBoxLayout(MailTransportFrame);
    transportLayout->addWidget(CDOMail);
    transportLayout->addWidget(BTMail);

    OperationModeFrame = new QGroupBox(this);
    OperationModeFrame->setObjectName(QStringLiteral("OperationModeFrame"));
    PostOfficeRelay = new QRadioButton(OperationModeFrame);
    PostOfficeRelay->setObjectName(QStringLiteral("PostOfficeRelay"));
    SMTPRelayMode = new QRadioButton(OperationModeFrame);
    SMTPRelayMode->setObjectName(QStringLiteral("SMTPRelayMode"));
    SMTPRelayMode->setChecked(true);
    modeGroup = new QButtonGroup(this);
    modeGroup->addButton(PostOfficeRelay);
    modeGroup->addButton(SMTPRelayMode);
    auto* modeLayout = new QVBoxLayout(OperationModeFrame);
    modeLayout->addWidget(SMTPRelayMode);
    modeLayout->addWidget(PostOfficeRelay);

    PostofficeCredsFrame = new QGroupBox(this);
    PostofficeCredsFrame->setObjectName(QStringLiteral("PostofficeCredsFrame"));
    BTIDLabel = new QLabel(PostofficeCredsFrame);
    BTIDLabel->setObjectName(QStringLiteral("BTIDLabel"));
    DBLabel = new QLabel(PostofficeCredsFrame);
    DBLabel->setObjectName(QStringLiteral("DBLabel"));
    DBSetLabel = new QLabel(PostofficeCredsFrame);
    DBSetLabel->setObjectName(QStringLiteral("DBSetLabel"));
    BTID = DisplayBox(PostofficeCredsFrame, "BTID");
    DB = DisplayBox(PostofficeCredsFrame, "DB");
    DBSET = DisplayBox(PostofficeCredsFrame, "DBSET");
    ValidBTDB = new QCheckBox(PostofficeCredsFrame);
    ValidBTDB->setObjectName(QStringLiteral("ValidBTDB"));
    // A display: only the login sets it.
    ValidBTDB->setAttribute(Qt::WA_TransparentForMouseEvents);
    ValidBTDB->setFocusPolicy(Qt::NoFocus);
    PollIntLabel = new QLabel(PostofficeCredsFrame);
    PollIntLabel->setObjectName(QStringLiteral("PollIntLabel"));
    POPollInterval = new QLineEdit(PostofficeCredsFrame);
    POPollInterval->setObjectName(QStringLiteral("POPollInterval"));
    EditCredentials = new QPushButton(PostofficeCredsFrame);
    EditCredentials->setObjectName(QStringLiteral("EditCredentials"));
    auto* credsLayout = new QGridLayout(PostofficeCredsFrame);
    credsLayout->addWidget(BTIDLabel, 0, 0);
    credsLayout->addWidget(BTID, 0, 1);
    credsLayout->addWidget(DBLabel, 1, 0);
    credsLayout->addWidget(DB, 1, 1);
    credsLayout->addWidget(DBSetLabel, 2, 0);
    credsLayout->addWidget(DBSET, 2, 1);
    credsLayout->addWidget(PollIntLabel, 3, 0);
    credsLayout->addWidget(POPollInterval, 3, 1);
    credsLayout->addWidget(ValidBTDB, 4, 0);
    credsLayout->addWidget(EditCredentials, 4, 1);

    StatsFrame = new QGroupBox(this);
    StatsFrame->setObjectName(QStringLiteral("StatsFrame"));
    TotalRelaysLabel = new QLabel(StatsFrame);
    TotalRelaysLabel->setObjectName(QStringLiteral("TotalRelaysLabel"));
    TotalCopiesLabel = new QLabel(StatsFrame);
    TotalCopiesLabel->setObjectName(QStringLiteral("TotalCopiesLabel"));
    TotalRelays = DisplayBox(StatsFrame, "TotalRelays");
    TotalCopies = DisplayBox(StatsFrame, "TotalCopies");
    auto* statsLayout = new QGridLayout(StatsFrame);
    statsLayout->addWidget(TotalRelaysLabel, 0, 0);
    statsLayout->addWidget(TotalRelays, 0, 1);
    statsLayout->addWidget(TotalCopiesLabel, 1, 0);
    statsLayout->addWidget(TotalCopies, 1, 1);

    Statuslabel = label("Statuslabel");
    status = DisplayBox(this, "status");
    status->setAlignment(Qt::AlignCenter);
    status->setAutoFillBackground(true);
    cmdStart = button("cmdStart");
    cmdStop = button("cmdStop");
    ExitButton = button("ExitButton");
    AutoStart = new QCheckBox(this);
    AutoStart->setObjectName(QStringLiteral("AutoStart"));
    MaxLogSizeLabel = label("MaxLogSizeLabel");
    MaxLogSize = edit("MaxLogSize");

    txtReceive = new QPlainTextEdit(this);
    txtReceive->setObjectName(QStringLiteral("txtReceive"));
    txtReceive->setReadOnly(true);
    txtReceive->setLineWrapMode(QPlainTextEdit::NoWrap);
    txtReceive->setUndoRedoEnabled(false);
    QFont logFont(QStringLiteral("Courier New"));
    logFont.setStyleHint(QFont::Monospace);
    logFont.setPointSizeF(8.25);
    logFont.setWeight(QFont::Normal);
    txtReceive->setFont(logFont);
    txtReceive->installEventFilter(this);

    AppVer = label("AppVer");
    CopyrightLabel = label("CopyrightLabel");
    HeartBeat = new HeartBeatIndicator(this);
    HeartBeat->setObjectName(QStringLiteral("HeartBeat"));
    Picture1 = new PictureBox(RelayEmblem(56), this);
    Picture1->setObjectName(QStringLiteral("Picture1"));
    Picture2 = new PictureBox(RelayBanner(150, 40), this);
    Picture2->setObjectName(QStringLiteral("Picture2"));

    QueueFrame = new QGroupBox(this);
    QueueFrame->setObjectName(QStringLiteral("QueueFrame"));
    QueueKeptLabel = new QLabel(QueueFrame);
    QueueKeptLabel->setObjectName(QStringLiteral("QueueKeptLabel"));
    QueueFailedLabel = new QLabel(QueueFrame);
    QueueFailedLabel->setObjectName(QStringLiteral("QueueFailedLabel"));
    QueueReasonLabel = new QLabel(QueueFrame);
    QueueReasonLabel->setObjectName(QStringLiteral("QueueReasonLabel"));
    QueueNextLabel = new QLabel(QueueFrame);
    QueueNextLabel->setObjectName(QStringLiteral("QueueNextLabel"));
    QueueServerLabel = new QLabel(QueueFrame);
    QueueServerLabel->setObjectName(QStringLiteral("QueueServerLabel"));
    QueueKept = DisplayBox(QueueFrame, "QueueKept");
    QueueFailed = DisplayBox(QueueFrame, "QueueFailed");
    QueueReason = DisplayBox(QueueFrame, "QueueReason");
    QueueNext = DisplayBox(QueueFrame, "QueueNext");
    QueueServer = DisplayBox(QueueFrame, "QueueServer");
    QueueButton = new QPushButton(QueueFrame);
    QueueButton->setObjectName(QStringLiteral("QueueButton"));
    auto* queueLayout = new QGridLayout(QueueFrame);
    const std::pair<QLabel*, QLineEdit*> queueRows[] = {{QueueKeptLabel, QueueKept}, {QueueFailedLabel, QueueFailed},
                                                        {QueueReasonLabel, QueueReason}, {QueueNextLabel, QueueNext},
                                                        {QueueServerLabel, QueueServer}};
    int queueRow = 0;
    for (const auto& [l, box] : queueRows) {
        queueLayout->addWidget(l, queueRow, 0);
        queueLayout->addWidget(box, queueRow++, 1);
    }
    queueLayout->addWidget(QueueButton, queueRow, 1);

    heartBeatTimer_ = new QTimer(this);
    heartBeatTimer_->setObjectName(QStringLiteral("HeartBeatTimer"));
    logViewTimer_ = new QTimer(this);
    logViewTimer_->setSingleShot(true);
    logViewTimer_->setInterval(50);
    connect(logViewTimer_, &QTimer::timeout, this, [this] { FlushLogView(); });
    for (QObject* o : std::initializer_list<QObject*>{Picture1, Picture2, heartBeatTimer_, HeartBeat})
        o->setProperty("Tag", QString::fromLatin1(NoFontTag));

    // Layout: settings on the left, mode and credentials in the middle, state on the right,
    // the log across the bottom.
    auto* top = new QHBoxLayout;
    auto* left = new QVBoxLayout;
    auto* brand = new QHBoxLayout;
    brand->addWidget(Picture1);
    auto* titles = new QVBoxLayout;
    titles->addWidget(AppVer);
    titles->addWidget(Picture2);
    brand->addLayout(titles);
    brand->addStretch();
    left->addLayout(brand);
    left->addWidget(SMTPHostLabel);
    left->addWidget(SMTPHost);
    left->addWidget(ListenerLabel);
    left->addWidget(ListenPort);
    left->addWidget(MailTransportFrame);
    left->addStretch();
    top->addLayout(left, 3);

    auto* middle = new QVBoxLayout;
    middle->addWidget(OperationModeFrame);
    middle->addWidget(PostofficeCredsFrame);
    middle->addWidget(QueueFrame);
    middle->addStretch();
    top->addLayout(middle, 3);

    auto* right = new QVBoxLayout;
    auto* statusRow = new QHBoxLayout;
    statusRow->addWidget(Statuslabel);
    statusRow->addStretch();
    statusRow->addWidget(HeartBeat);
    right->addLayout(statusRow);
    right->addWidget(status);
    right->addWidget(cmdStart);
    right->addWidget(cmdStop);
    right->addWidget(AutoStart);
    right->addWidget(StatsFrame);
    right->addWidget(MaxLogSizeLabel);
    right->addWidget(MaxLogSize);
    right->addStretch();
    right->addWidget(ExitButton);
    top->addLayout(right, 2);

    auto* outer = new QVBoxLayout(this);
    outer->addLayout(top);
    outer->addWidget(txtReceive, 1);
    outer->addWidget(CopyrightLabel);
    resize(860, 680);

    connect(cmdStart, &QPushButton::clicked, this, [this] { cmdStart_Click(); });
    connect(cmdStop, &QPushButton::clicked, this, [this] { cmdStop_Click(); });
    connect(ExitButton, &QPushButton::clicked, this, [this] { ExitButton_Click(); });
    connect(EditCredentials, &QPushButton::clicked, this, [this] { EditCredentials_Click(); });
    connect(PostOfficeRelay, &QRadioButton::clicked, this, [this] { PostOfficeRelay_Click(); });
    connect(Picture1, &PictureBox::DblClick, this, [this] { Picture1_DblClick(); });
    connect(heartBeatTimer_, &QTimer::timeout, this, [this] {
        HeartBeatTimer_Timer();
        ShowQueueState();
    });
    connect(QueueButton, &QPushButton::clicked, this, [this] { QueueButton_Click(); });

    heartBeatTimer_->start(1000);
}

int Form1::CodePage() const { return options_.codePage ? *options_.codePage : SystemCodePage(); }

void Form1::ConvertCodePage(QWidget* window, int codePage)
{
    if (codePage != 932)
        return;
    // The eight characters of the Japanese name of the face.
    static const QString face = QString::fromUtf8("\xEF\xBC\xAD\xEF\xBC\xB3\x20\xEF\xBC\xB0\xE3\x82\xB4\xE3\x82\xB7\xE3\x83\x83\xE3\x82\xAF");
    for (QWidget* w : window->findChildren<QWidget*>()) {
        if (w->property("Tag").toString() == QLatin1String(NoFontTag))
            continue;
        QFont f = w->font();
        f.setFamilies({face, QStringLiteral("Noto Sans CJK JP")});
        f.setPointSize(8);
        w->setFont(f);
    }
}

void Form1::applyCaptions()
{
    const std::pair<QWidget*, int> captions[] = {
        {SMTPHostLabel, 101}, {ListenerLabel, 102}, {MailTransportFrame, 103}, {StatsFrame, 104},
        {TotalCopiesLabel, 105}, {TotalRelaysLabel, 106}, {cmdStart, 107}, {cmdStop, 108},
        {BTMail, 109}, {CDOMail, 110}, {OperationModeFrame, 111}, {PostOfficeRelay, 112},
        {SMTPRelayMode, 113}, {BTIDLabel, 114}, {DBLabel, 115}, {DBSetLabel, 116},
        {EditCredentials, 117}, {ValidBTDB, 118}, {PollIntLabel, 119}, {Statuslabel, 120},
        {AutoStart, 121}, {MaxLogSizeLabel, 122}, {ExitButton, 123}, {CopyrightLabel, 153},
        {PostofficeCredsFrame, 154}};
    const std::pair<QWidget*, int> queueCaptions[] = {
        {QueueFrame, msg::QueueFrameCaption}, {QueueFailedLabel, msg::QueueFailedCaption},
        {QueueReasonLabel, msg::QueueLastFailureCaption}, {QueueNextLabel, msg::QueueNextTryCaption},
        {QueueServerLabel, msg::QueueServerCaption}, {QueueButton, msg::QueueButtonCaption}};
    std::vector<std::pair<QWidget*, int>> all(std::begin(captions), std::end(captions));
    all.insert(all.end(), std::begin(queueCaptions), std::end(queueCaptions));
    for (const auto& [widget, id] : all) {
        const QString text = LoadResourceString(id);
        if (auto* l = qobject_cast<QLabel*>(widget))
            l->setText(text);
        else if (auto* b = qobject_cast<QAbstractButton*>(widget))
            b->setText(text);
        else if (auto* g = qobject_cast<QGroupBox*>(widget))
            g->setTitle(text);
    }
}

void Form1::wireCore()
{
    RelaySettings& settings = relay_.settings;
    // What the user edits goes to the settings at once; the core never reads a widget.
    connect(SMTPHost, &QLineEdit::textChanged, &settings, &RelaySettings::SetSMTPServer);
    connect(ListenPort, &QLineEdit::textChanged, &settings, &RelaySettings::SetListenerPort);
    connect(MaxLogSize, &QLineEdit::textChanged, &settings, &RelaySettings::SetMaxLogSize);
    connect(POPollInterval, &QLineEdit::textChanged, &settings, &RelaySettings::SetPOPollInterval);
    connect(AutoStart, &QCheckBox::stateChanged, &settings, [&settings](int state) {
        settings.SetAutoStart(state == Qt::Unchecked ? 0 : state == Qt::Checked ? 1 : 2);
    });
    // An option group of two: the option just selected gives the value (during the switch the
    // other may still read as selected), and `none` once neither is selected.
    auto bindPair = [&settings](QRadioButton* first, QRadioButton* second, auto firstValue, auto secondValue,
                                auto none, auto set) {
        auto bind = [&settings, none, set](QRadioButton* option, QRadioButton* other, auto value) {
            connect(option, &QRadioButton::toggled, &settings, [=, &settings](bool on) {
                if (on)
                    (settings.*set)(value);
                else if (!other->isChecked())
                    (settings.*set)(none);
            });
        };
        bind(first, second, firstValue);
        bind(second, first, secondValue);
    };
    bindPair(SMTPRelayMode, PostOfficeRelay, RelayMode::Network, RelayMode::PostOffice, RelayMode::None,
             &RelaySettings::SetMode);
    bindPair(CDOMail, BTMail, Transport::Smtp, Transport::Sendmail, Transport::None, &RelaySettings::SetTransport);
    connect(&settings, &RelaySettings::changed, this, [this] {
        showSettings();
        ShowQueueState();
    });

    RelayCore& core = relay_.core;
    connect(&core, &RelayCore::runStateChanged, this, [this](RunState state) { showRunState(state); });
    connect(&core, &RelayCore::countersChanged, this, [this](qint32 copies, qint32 relays) {
        TotalCopies->setText(QString::number(copies));
        TotalRelays->setText(QString::number(relays));
    });
    connect(&core, &RelayCore::logAppended, this, [this](const QString& line, bool cut) { showLogLine(line, cut); });
    connect(&relay_.postOffice, &PostOfficePoller::loginValidChanged, ValidBTDB, &QCheckBox::setChecked);
    // The queue group follows the queue as it changes; the heartbeat keeps ages and waits current.
    // Under load these come with every delivery: they share one update a moment later.
    queueViewTimer_ = new QTimer(this);
    queueViewTimer_->setSingleShot(true);
    queueViewTimer_->setInterval(100);
    connect(queueViewTimer_, &QTimer::timeout, this, [this] { ShowQueueState(); });
    const auto showQueueSoon = [this] {
        if (!queueViewTimer_->isActive())
            queueViewTimer_->start();
    };
    connect(&relay_.network.Queue(), &RetryQueue::retryEnded, this, showQueueSoon);
    connect(&core, &RelayCore::countersChanged, this, showQueueSoon);
    connect(&relay_.postOffice, &PostOfficePoller::setAsideCounted, this, [this] { ShowQueueState(); });
    connect(&relay_.postOffice, &PostOfficePoller::roundFinished, this, [this] { relay_.postOffice.CountSetAside(); });
    connect(&relay_.postOffice, &PostOfficePoller::loginValidChanged, this, [this](bool valid) {
        if (valid)
            relay_.postOffice.CountSetAside();
    });
    core.SetMessageSink([this](const QString& text, const QString& title, bool warning) {
        ShowMessage(text, warning ? QMessageBox::Warning : QMessageBox::NoIcon, title);
    });
}

void Form1::showSettings()
{
    const RelaySettings& settings = relay_.settings;
    auto setText = [](QLineEdit* box, const QString& text) {
        if (box->text() != text)
            box->setText(text);
    };
    setText(ListenPort, settings.ListenerPort());
    setText(SMTPHost, settings.SMTPServer());
    SetOption(transportGroup, CDOMail, settings.TransportChoice() == Transport::Smtp);
    SetOption(transportGroup, BTMail, settings.TransportChoice() == Transport::Sendmail);
    setText(BTID, settings.LoginId());
    setText(DB, settings.Database());
    setText(DBSET, settings.DatabaseSet());
    const Qt::CheckState autoStart = settings.AutoStart() == 0 ? Qt::Unchecked
                                   : settings.AutoStart() == 2 ? Qt::PartiallyChecked
                                                               : Qt::Checked;
    if (AutoStart->checkState() != autoStart)
        AutoStart->setCheckState(autoStart);
    SetOption(modeGroup, PostOfficeRelay, settings.Mode() == RelayMode::PostOffice);
    SetOption(modeGroup, SMTPRelayMode, settings.Mode() == RelayMode::Network);
    // Showing the stored interval is no edit: it must not re-arm the poll.
    if (POPollInterval->text() != settings.POPollInterval()) {
        const QSignalBlocker quiet(POPollInterval);
        POPollInterval->setText(settings.POPollInterval());
    }
    setText(MaxLogSize, settings.MaxLogSize());
}

void Form1::showRunState(RunState state)
{
    if (state == RunState::Running) {
        status->setText(LoadResourceString(msg::StatusRunning));
        QFont f = status->font();
        f.setBold(true);
        status->setFont(f);
        QPalette pal = status->palette();
        pal.setColor(QPalette::Text, Qt::black);
        pal.setColor(QPalette::Base, QColor(0, 255, 0));
        status->setPalette(pal);
    } else {
        SetBackground(status, QColor(255, 0, 0));
        status->setText(LoadResourceString(msg::StatusStopped));
    }
}

void Form1::Form_Load()
{
    ConvertCodePage(this, CodePage());
    applyCaptions();
    const QString version = QStringLiteral("V%1.%2").arg(VersionMajor).arg(VersionMinor);
    AppVer->setText(version);
    AppVer->setToolTip(version + QStringLiteral(" Build ") + QString::number(VersionRevision));
    QFont bold = AppVer->font();
    bold.setBold(true);
    AppVer->setFont(bold);
    QFont statusFont = status->font();
    statusFont.setBold(true);
    status->setFont(statusFont);

    relay_.core.LoadSettings();
    heartBeatTimer_->start(1000);
    ShowQueueState();

    show();
    QCoreApplication::processEvents();
    relay_.core.CompleteStartUp();
}

void Form1::ExitButton_Click()
{
    SaveSettings();
    unloading_ = true;
    endProgram();
}

void Form1::closeEvent(QCloseEvent* event)
{
    Form_Unload();
    event->accept();
}

void Form1::Form_Unload()
{
    if (!unloading_) {
        unloading_ = true;
        SaveSettings();
    }
    endProgram();
}

void Form1::endProgram()
{
    relay_.postOffice.PollTimer().stop();
    relay_.core.AutoStartTimer().stop();
    if (form2_)
        form2_->hide();
    hide();
    if (!options_.quitOnExit)
        return;
    // Every client whose mail is under way still gets its answer before the program ends.
    connect(&relay_.core, &RelayCore::shutdownComplete, qApp, [] { QCoreApplication::exit(0); });
    relay_.core.BeginShutdown();
}

void Form1::HeartBeatTimer_Timer()
{
    const QColor green(0, 255, 0), darkGreen(0, 128, 0);
    HeartBeat->SetFillColor(HeartBeat->FillColor() == green ? darkGreen : green);
}

void Form1::ShowMessage(const QString& text, QMessageBox::Icon icon, const QString& title)
{
    const QString caption = title.isEmpty() ? windowTitle() : title;
    if (options_.showMessage) {
        options_.showMessage(text, caption, icon);
        return;
    }
    QMessageBox box(icon, caption, text, QMessageBox::Ok, this);
    box.exec();
}

bool Form1::eventFilter(QObject* watched, QEvent* event)
{
    // txtReceive_KeyPress: nothing typed reaches the log.
    if (watched == txtReceive && event->type() == QEvent::KeyPress) {
        auto* key = static_cast<QKeyEvent*>(event);
        if (!key->text().isEmpty() && !(key->modifiers() & Qt::ControlModifier))
            return true;
    }
    return QWidget::eventFilter(watched, event);
}

void Form1::showLogLine(const QString& line, bool cut)
{
    // The box catches up a moment later: laying out and painting it for every line would cost
    // more than delivering the mail that the line reports.
    if (cut) {
        logViewRefill_ = true;
        logViewPending_.clear();
    } else if (!logViewRefill_) {
        logViewPending_ += line;
    }
    if (!logViewTimer_->isActive())
        logViewTimer_->start();
}

void Form1::FlushLogView()
{
    logViewTimer_->stop();
    // The box shows the log with plain line breaks; the log text itself keeps CR LF.
    if (logViewRefill_) {
        QString shown = relay_.core.LogText();
        shown.remove(QLatin1Char('\r'));
        txtReceive->setPlainText(shown);
    } else if (!logViewPending_.isEmpty()) {
        QTextCursor c = txtReceive->textCursor();
        c.movePosition(QTextCursor::End);
        logViewPending_.remove(QLatin1Char('\r'));
        c.insertText(logViewPending_);
    }
    logViewRefill_ = false;
    logViewPending_.clear();
    txtReceive->moveCursor(QTextCursor::End);
    txtReceive->ensureCursorVisible();
}

void Form1::PostOfficeRelay_Click()
{
    relay_.settings.SetMode(RelayMode::PostOffice);
    relay_.postOffice.PostOfficeModeSelected();
    relay_.postOffice.CountSetAside();
}

void Form1::EditCredentials_Click()
{
    if (!form2_) {
        form2_ = new Form2(*this);
        form2_->Form_Load();
    } else {
        form2_->show();
        form2_->raise();
    }
}

void Form1::ShowQueueState()
{
    auto setText = [](QLineEdit* box, const QString& text) {
        if (box->text() != text)
            box->setText(text);
    };
    const QString none = QStringLiteral("-");
    const bool postOffice = relay_.settings.Mode() == RelayMode::PostOffice;
    for (QWidget* w : std::initializer_list<QWidget*>{QueueFailedLabel, QueueFailed, QueueReasonLabel, QueueReason,
                                                      QueueNextLabel, QueueNext, QueueServerLabel, QueueServer})
        w->setVisible(!postOffice);
    if (postOffice) {
        QueueKeptLabel->setText(LoadResourceString(msg::QueueSetAsideCaption));
        const int count = relay_.postOffice.SetAsideCount();
        setText(QueueKept, count < 0 ? QStringLiteral("?") : QString::number(count));
        return;
    }
    QueueKeptLabel->setText(LoadResourceString(msg::QueueKeptCaption));
    const RetryQueue& queue = relay_.network.Queue();
    const Spool* spool = relay_.network.SpoolFolder();
    if (!spool) {
        setText(QueueKept, LoadResourceString(msg::QueueNoSpool));
        for (QLineEdit* box : {QueueFailed, QueueReason, QueueNext, QueueServer})
            setText(box, none);
        return;
    }
    RetryQueue::State state;
    if (queue.SpoolFolder()) {
        state = queue.Snapshot();
    } else if (const Spool* view = SpoolView(10000)) {
        // Another relay works the spool: only what the folder's counts say, read now and then.
        state.kept = view->count();
        state.failed = view->failedCount();
        const QDateTime oldest = Spool::receivedAt(view->oldestId());
        if (oldest.isValid())
            state.oldestAgeMs = oldest.msecsTo(QDateTime::currentDateTimeUtc());
    }
    setText(QueueKept, state.kept == 0 || state.oldestAgeMs < 0
                           ? QString::number(state.kept)
                           : BuildResourceMessage(msg::QueueKeptOldest,
                                                  {state.kept, RetryQueue::DurationText(state.oldestAgeMs)}));
    setText(QueueFailed, QString::number(state.failed));
    const QString reason = state.kept == 0 || state.lastReason.isEmpty() ? none : EscapeControls(state.lastReason);
    setText(QueueReason, reason);
    QueueReason->setToolTip(state.lastReason);
    QueueReason->setCursorPosition(0);
    QString next = state.kept == 0 || state.nextDueInMs < 0 ? none
                 : state.nextDueInMs == 0
                     ? LoadResourceString(msg::QueueDueNow)
                     : BuildResourceMessage(msg::QueueDueIn, {RetryQueue::DurationText(state.nextDueInMs)});
    // Mail that waits for a limit toward the server says which (the key and its value).
    if (!state.limitWait.isEmpty())
        next += QStringLiteral(" (") + state.limitWait + QLatin1Char(')');
    setText(QueueNext, next);
    QueueNext->setToolTip(state.limitWait);
    setText(QueueServer, !queue.SpoolFolder() ? none
                         : LoadResourceString(state.serverAway ? msg::QueueServerAway : msg::QueueServerReachable));
    // The servers that rest, as the SMTP client tells them, until when and why.
    QStringList resting;
    for (const QString& line : state.restingServers)
        resting << EscapeControls(line);
    QueueServer->setToolTip(resting.join(QLatin1Char('\n')));
    const QColor serverBackground = state.serverAway ? QColor(255, 200, 200) : palette().color(QPalette::Base);
    if (QueueServer->palette().color(QPalette::Base) != serverBackground)
        SetBackground(QueueServer, serverBackground);
}

Spool* Form1::SpoolView(qint64 maxAgeMs)
{
    if (Spool* own = relay_.network.Queue().SpoolFolder())
        return own;
    const Spool* shared = relay_.network.SpoolFolder();
    if (!shared)
        return nullptr;
    static QElapsedTimer clock;
    if (!clock.isValid())
        clock.start();
    // The ids are read when a spool is opened: a fresh one sees what the other relay did since.
    if (!foreignSpool_ || (maxAgeMs >= 0 && clock.elapsed() - foreignSpoolReadMs_ >= maxAgeMs)) {
        auto view = std::make_unique<Spool>(shared->dir());
        QString error;
        if (!view->open(&error))
            return foreignSpool_.get();
        foreignSpool_ = std::move(view);
        foreignSpoolReadMs_ = clock.elapsed();
    }
    return foreignSpool_.get();
}

void Form1::QueueButton_Click()
{
    if (!queueDialog_) {
        queueDialog_ = new QueueDialog(*this);
        queueDialog_->Form_Load();
    } else {
        queueDialog_->show();
        queueDialog_->raise();
        queueDialog_->Refresh();
    }
}

} // namespace swn
