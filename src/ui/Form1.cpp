#include "ui/Form1.h"

#include "delivery/Delivery.h"
#include "ui/Artwork.h"
#include "common/Catalogue.h"
#include "netrelay/SocketArray.h"
#include "ui/Form2.h"
#include "tracker/UnavailableTracker.h"

#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QCloseEvent>
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

#include <limits>

namespace swn {
namespace {

const char* const NoFontTag = "NOFONT";
constexpr int VersionMajor = 2, VersionMinor = 0, VersionRevision = 6;

QString IniText(const IniServices& ini, const char* key, const char* def)
{
    return ini.ReadIniValue(QString::fromLatin1(IniServices::Section), QString::fromLatin1(key), QString::fromLatin1(def));
}

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

Form1::Form1(Form1Options options, QWidget* parent)
    : QWidget(parent), options_(std::move(options)), ini_(options_.settingsFile)
{
    if (!options_.trackerFactory)
        options_.trackerFactory = std::make_shared<UnavailableTrackerFactory>();
    setObjectName(QStringLiteral("Form1"));
    setWindowTitle(QStringLiteral("Swiftnote Relay"));
    buildControls();
}

Form1::~Form1()
{
    if (form2_)
        delete form2_;
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

    heartBeatTimer_ = new QTimer(this);
    logViewTimer_ = new QTimer(this);
    logViewTimer_->setSingleShot(true);
    logViewTimer_->setInterval(50);
    connect(logViewTimer_, &QTimer::timeout, this, [this] { FlushLogView(); });
    heartBeatTimer_->setObjectName(QStringLiteral("HeartBeatTimer"));
    timer1_ = new QTimer(this);
    timer1_->setObjectName(QStringLiteral("Timer1"));
    postOfficePollInterval_ = new QTimer(this);
    postOfficePollInterval_->setObjectName(QStringLiteral("PostOfficePollInterval"));
    sock_ = new SocketArray(this);
    sock_->setObjectName(QStringLiteral("sock"));
    for (QObject* o : std::initializer_list<QObject*>{Picture1, Picture2, heartBeatTimer_, postOfficePollInterval_,
                                                      timer1_, HeartBeat, sock_})
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
    resize(860, 600);

    connect(cmdStart, &QPushButton::clicked, this, [this] { cmdStart_Click(); });
    connect(cmdStop, &QPushButton::clicked, this, [this] { cmdStop_Click(); });
    connect(ExitButton, &QPushButton::clicked, this, [this] { ExitButton_Click(); });
    connect(EditCredentials, &QPushButton::clicked, this, [this] { EditCredentials_Click(); });
    connect(PostOfficeRelay, &QRadioButton::clicked, this, [this] { PostOfficeRelay_Click(); });
    connect(POPollInterval, &QLineEdit::textChanged, this, [this] {
        if (!unloading_ && isVisible())
            POPollInterval_Change();
    });
    connect(Picture1, &PictureBox::DblClick, this, [this] { Picture1_DblClick(); });
    connect(heartBeatTimer_, &QTimer::timeout, this, [this] { HeartBeatTimer_Timer(); });
    connect(timer1_, &QTimer::timeout, this, [this] { Timer1_Timer(); });
    connect(postOfficePollInterval_, &QTimer::timeout, this, [this] { PostOfficePollInterval_Timer(); });
    connect(sock_, &SocketArray::ConnectionRequest, this, [this](int i, qintptr id) { sock_ConnectionRequest(i, id); });
    connect(sock_, &SocketArray::DataArrival, this, [this](int i, qint64 n) { sock_DataArrival(i, n); });
    connect(sock_, &SocketArray::CloseEvent, this, [this](int i) { sock_Close(i); });
    connect(sock_, &SocketArray::ErrorEvent, this,
            [this](int i, int n, const QString& d) { sock_Error(i, n, d); });

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
    for (const auto& [widget, id] : captions) {
        const QString text = LoadResourceString(id);
        if (auto* l = qobject_cast<QLabel*>(widget))
            l->setText(text);
        else if (auto* b = qobject_cast<QAbstractButton*>(widget))
            b->setText(text);
        else if (auto* g = qobject_cast<QGroupBox*>(widget))
            g->setTitle(text);
    }
}

void Form1::applySettings()
{
    ListenPort->setText(IniText(ini_, "STMPRelayListenerPort", "36001"));
    SMTPHost->setText(IniText(ini_, "SMTPServer", "localhost:25"));
    SetOption(transportGroup, CDOMail, IniText(ini_, "TransportMode", "CDO") == QLatin1String("CDO"));
    SetOption(transportGroup, BTMail, IniText(ini_, "TransportMode", "CDO") == QLatin1String("BTMAIL"));
    BTID->setText(IniText(ini_, "BTLoginID", ""));
    DB->setText(IniText(ini_, "BTDB", ""));
    DBSET->setText(IniText(ini_, "BTDbset", ""));
    // The program only writes 0 or 1; anything else that is not a number counts as unchecked.
    bool ok = false;
    const int autoStart = IniText(ini_, "AutoStart", "0").trimmed().toInt(&ok);
    AutoStart->setCheckState(!ok || autoStart == 0 ? Qt::Unchecked : autoStart == 2 ? Qt::PartiallyChecked : Qt::Checked);
    SetOption(modeGroup, PostOfficeRelay, IniText(ini_, "RelayMode", "NETWORK") == QLatin1String("POSTOFFICE"));
    SetOption(modeGroup, SMTPRelayMode, IniText(ini_, "RelayMode", "NETWORK") == QLatin1String("NETWORK"));
    POPollInterval->setText(IniText(ini_, "POPollInterval", "360"));
    MaxLogSize->setText(IniText(ini_, "MaxLogSize", "16"));
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

    applySettings();

    QFont statusFont = status->font();
    statusFont.setBold(true);
    status->setFont(statusFont);
    status->setText(LoadResourceString(124));
    SetBackground(status, QColor(255, 0, 0));

    totalCopiesCount_ = 0;
    totalRelaysCount_ = 0;
    showCounters();

    timer1_->setSingleShot(true);
    timer1_->start(5);
    maxSocket_ = 0;
    echoXML_ = false;

    show();
    QCoreApplication::processEvents();

    EnsureSession();
    if (PostOfficeRelay->isChecked()) {
        LoginBT();
        if (AutoStart->checkState() != Qt::Unchecked)
            cmdStart_Click();
    }
}

void Form1::EnsureSession()
{
    if (btSession_)
        return;
    try {
        btSession_ = options_.trackerFactory->CreateSession();
    } catch (const std::exception& e) {
        AddLogText(BuildResourceMessage(msg::SessionNotCreated, {QString::fromUtf8(e.what())}));
    }
    if (!btSession_)
        btSession_ = UnavailableTrackerFactory().CreateSession();
}

void Form1::cmdStart_Click()
{
    SetRunning();
    if (SMTPRelayMode->isChecked()) {
        StartListener();
    } else {
        POPollInterval_Change();
        pollCountdown_ = 1;
        PostOfficePollInterval_Timer();
    }
}

void Form1::cmdStop_Click() { SetStopped(); }

void Form1::SetRunning()
{
    status->setText(LoadResourceString(125));
    QFont f = status->font();
    f.setBold(true);
    status->setFont(f);
    QPalette pal = status->palette();
    pal.setColor(QPalette::Text, Qt::black);
    pal.setColor(QPalette::Base, QColor(0, 255, 0));
    status->setPalette(pal);
}

void Form1::SetStopped()
{
    SetBackground(status, QColor(255, 0, 0));
    status->setText(LoadResourceString(124));
    postOfficePollInterval_->stop();
}

bool Form1::IsRunning() const { return status->text() == LoadResourceString(125); }

void Form1::SaveSettings()
{
    const QString section = QString::fromLatin1(IniServices::Section);
    bool ok = true;
    auto put = [&](const char* key, const QString& value) {
        ok = ini_.WriteIniValue(section, QString::fromLatin1(key), value) && ok;
    };
    if (SMTPRelayMode->isChecked())
        put("RelayMode", QStringLiteral("NETWORK"));
    if (PostOfficeRelay->isChecked())
        put("RelayMode", QStringLiteral("POSTOFFICE"));
    put("SMTPServer", SMTPHost->text());
    put("STMPRelayListenerPort", ListenPort->text());
    if (BTMail->isChecked())
        put("TransportMode", QStringLiteral("BTMAIL"));
    if (CDOMail->isChecked())
        put("TransportMode", QStringLiteral("CDO"));
    put("AutoStart", QString::number(int(AutoStart->checkState()) == 0 ? 0 : AutoStart->checkState() == Qt::Checked ? 1 : 2));
    put("POPollInterval", POPollInterval->text());
    put("MaxLogSize", MaxLogSize->text());
    if (!ok)
        AddLogText(BuildResourceMessage(msg::SettingsNotSaved, {ini_.filePath()}));
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
    postOfficePollInterval_->stop();
    timer1_->stop();
    if (form2_)
        form2_->hide();
    hide();
    if (options_.quitOnExit)
        QCoreApplication::exit(0);
}

void Form1::HeartBeatTimer_Timer()
{
    const QColor green(0, 255, 0), darkGreen(0, 128, 0);
    HeartBeat->SetFillColor(HeartBeat->FillColor() == green ? darkGreen : green);
}

void Form1::Picture1_DblClick() { echoXML_ = !echoXML_; }

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

void Form1::AddLogText(const QString& message)
{
    try {
        QString limit = MaxLogSize->text();
        const ActivityLog::Append a = log_.add(message, limit);
        if (a.limitCorrected)
            MaxLogSize->setText(limit);
        // The box catches up a moment later: laying out and painting it for every line would
        // cost more than delivering the mail that the line reports.
        if (a.cut) {
            logViewRefill_ = true;
            logViewPending_.clear();
        } else if (!logViewRefill_) {
            logViewPending_ += a.line;
        }
        if (!logViewTimer_->isActive())
            logViewTimer_->start();
    } catch (...) {
        // The log never fails its caller.
    }
}

void Form1::FlushLogView()
{
    logViewTimer_->stop();
    // The box shows the log with plain line breaks; the log text itself keeps CR LF.
    if (logViewRefill_) {
        QString shown = log_.text();
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

QString Form1::SMTPHostText() const { return SMTPHost->text(); }
bool Form1::IsNetworkRelayMode() const { return SMTPRelayMode->isChecked(); }
QString Form1::SendmailProgram() const { return options_.sendmailProgram; }

void Form1::AdvanceCounters(qint32 copies, qint32 relays)
{
    qint32 c = 0, r = 0;
    if (__builtin_add_overflow(totalCopiesCount_, copies, &c) || __builtin_add_overflow(totalRelaysCount_, relays, &r))
        throw DeliveryError(LoadResourceString(msg::CounterOverflow));
    totalCopiesCount_ = c;
    totalRelaysCount_ = r;
}

void Form1::AdvanceDisplayedCounters(qint32 copies, qint32 relays)
{
    TotalCopies->setText(QString::number(TotalCopies->text().toLongLong() + copies));
    TotalRelays->setText(QString::number(TotalRelays->text().toLongLong() + relays));
}

void Form1::showCounters()
{
    TotalCopies->setText(QString::number(totalCopiesCount_));
    TotalRelays->setText(QString::number(totalRelaysCount_));
}

void Form1::SetCredentialDisplays(const QString& login, const QString& database, const QString& databaseSet)
{
    BTID->setText(login);
    DB->setText(database);
    DBSET->setText(databaseSet);
}

} // namespace swn
