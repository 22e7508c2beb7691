#include "ui/Form2.h"

#include "ui/Named.h"
#include "ui/Artwork.h"
#include "common/Catalogue.h"
#include "ui/Form1.h"

#include <QComboBox>
#include <QEvent>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace swn {
Form2::Form2(Form1& main) : QWidget(&main, Qt::Window), main_(main)
{
    setObjectName(QStringLiteral("Form2"));
    setAttribute(Qt::WA_DeleteOnClose, false);
    BTCredentailsLabel = Named<QLabel>(this, "BTCredentailsLabel");
    QFont heading = BTCredentailsLabel->font();
    heading.setBold(true);
    BTCredentailsLabel->setFont(heading);
    LoginIDLabel = Named<QLabel>(this, "LoginIDLabel");
    PasswordLabel = Named<QLabel>(this, "PasswordLabel");
    RepoLabel = Named<QLabel>(this, "RepoLabel");
    DBLabel = Named<QLabel>(this, "DBLabel");
    BTLoginID = Named<QLineEdit>(this, "BTLoginID");
    BTPassword = Named<QLineEdit>(this, "BTPassword");
    BTPassword->setEchoMode(QLineEdit::Password);
    BTDBSet = Named<QComboBox>(this, "BTDBSet");
    BTDBSet->setEditable(true);
    BTDBSet->setInsertPolicy(QComboBox::NoInsert);
    BTDatabase = Named<QComboBox>(this, "BTDatabase");
    BTDatabase->setEditable(true);
    BTDatabase->setInsertPolicy(QComboBox::NoInsert);
    OKButton = Named<QPushButton>(this, "OKButton");
    OKButton->setDefault(true);
    CancelButton = Named<QPushButton>(this, "CancelButton");
    Picture3 = Named<QLabel>(this, "Picture3");
    Picture3->setPixmap(CredentialsIcon());
    Picture3->setFixedSize(32, 32);
    Picture3->setProperty("Tag", QStringLiteral("NOFONT"));

    auto* head = new QHBoxLayout;
    head->addWidget(Picture3);
    head->addWidget(BTCredentailsLabel, 1);
    auto* grid = new QGridLayout;
    grid->addWidget(LoginIDLabel, 0, 0);
    grid->addWidget(BTLoginID, 0, 1);
    grid->addWidget(PasswordLabel, 1, 0);
    grid->addWidget(BTPassword, 1, 1);
    grid->addWidget(RepoLabel, 2, 0);
    grid->addWidget(BTDBSet, 2, 1);
    grid->addWidget(DBLabel, 3, 0);
    grid->addWidget(BTDatabase, 3, 1);
    grid->setColumnStretch(1, 1);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(OKButton);
    buttons->addWidget(CancelButton);
    auto* outer = new QVBoxLayout(this);
    outer->addLayout(head);
    outer->addLayout(grid);
    outer->addLayout(buttons);
    resize(380, 200);

    BTLoginID->installEventFilter(this);
    BTPassword->installEventFilter(this);
    BTDatabase->installEventFilter(this);
    if (BTDatabase->lineEdit())
        BTDatabase->lineEdit()->installEventFilter(this);
    connect(OKButton, &QPushButton::clicked, this, [this] { OKButton_Click(); });
    connect(CancelButton, &QPushButton::clicked, this, [this] { CancelButton_Click(); });
}

void Form2::Form_Load()
{
    Form1::ConvertCodePage(this, main_.CodePage());
    setWindowTitle(LoadResourceString(msg::CredentialsCaption));
    BTCredentailsLabel->setText(LoadResourceString(msg::CredentialsCaption));
    LoginIDLabel->setText(LoadResourceString(msg::LoginIdCaption));
    PasswordLabel->setText(LoadResourceString(msg::PasswordCaption));
    RepoLabel->setText(LoadResourceString(msg::SchemaRepositoryCaption));
    DBLabel->setText(LoadResourceString(msg::DatabaseCaption));
    OKButton->setText(LoadResourceString(msg::OkCaption));
    CancelButton->setText(LoadResourceString(msg::CancelCaption));

    const RelaySettings& settings = main_.Relay().settings;
    BTLoginID->setText(settings.Read(setting::BTLoginID));
    const QString database = settings.Read(setting::BTDB);
    const QString databaseSet = settings.Read(setting::BTDbset);
    BTPassword->setText(settings.Read(setting::BTPassword));

    // Without a working tracker session the dialog opens with empty lists.
    try {
        BTDBSet->addItems(main_.Relay().postOffice.ListDatabaseSets());
    } catch (const std::exception&) {
        BTDBSet->clear();
    }
    // Filling a list must not replace what the boxes show.
    BTDBSet->setCurrentIndex(-1);
    BTDBSet->setEditText(databaseSet);
    BTDatabase->setEditText(database);
    show();
}

void Form2::clearDatabaseList()
{
    const QString shown = BTDatabase->currentText();
    BTDatabase->clear();
    BTDatabase->setEditText(shown);
}

void Form2::BTLoginID_LostFocus() { clearDatabaseList(); }
void Form2::BTPassword_LostFocus() { clearDatabaseList(); }
void Form2::BTDatabase_GotFocus() { LoadDatabaseList(); }

bool Form2::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::FocusOut) {
        if (watched == BTLoginID)
            BTLoginID_LostFocus();
        else if (watched == BTPassword)
            BTPassword_LostFocus();
    } else if (event->type() == QEvent::FocusIn) {
        if (watched == BTDatabase || watched == BTDatabase->lineEdit())
            BTDatabase_GotFocus();
    }
    return QWidget::eventFilter(watched, event);
}

void Form2::warnInvalidCredentials()
{
    main_.ShowMessage(BuildResourceMessage(msg::UserIdOrPasswordInvalid, {BTLoginID->text()}), QMessageBox::Warning,
                      LoadResourceString(msg::InvalidCredentialsTitle));
    clearDatabaseList();
}

void Form2::LoadDatabaseList()
{
    // Each step that fails is reported by itself and the next step still runs.
    std::unique_ptr<BTAdminSession> admin;
    QString userName;
    std::optional<std::vector<BTDatabaseInfo>> databases;
    auto step = [this, &userName](auto&& body) {
        try {
            body();
        } catch (const TrackerError& e) {
            if (e.number() == tracker_errors::NotSupported)
                userName = BTLoginID->text();
            else
                warnInvalidCredentials();
        } catch (const std::exception&) {
            warnInvalidCredentials();
        }
    };
    const auto missing = [] { return TrackerError(tracker_errors::Unavailable, QStringLiteral("no admin session")); };
    PostOfficePoller& postOffice = main_.Relay().postOffice;
    step([&] { admin = postOffice.Tracker().CreateAdminSession(); if (!admin) throw missing(); });
    step([&] {
        if (!admin) throw missing();
        admin->AdminLogOn(BTLoginID->text(), BTPassword->text(), BTDBSet->currentText());
    });
    step([&] {
        if (!admin) throw missing();
        userName = admin->AdminUserName();
    });
    step([&] { databases = postOffice.ListDatabases(QStringLiteral("MASTR"), userName, BTDBSet->currentText()); });

    const QString shown = BTDatabase->currentText();
    BTDatabase->clear();
    if (databases && !databases->empty()) {
        for (const BTDatabaseInfo& db : *databases)
            BTDatabase->addItem(db.GetDatabaseName());
        BTDatabase->setCurrentIndex(0);
    } else {
        BTDatabase->setEditText(shown);
    }
}

void Form2::OKButton_Click()
{
    RelaySettings& settings = main_.Relay().settings;
    if (!settings.SaveCredentials(BTLoginID->text(), BTPassword->text(), BTDatabase->currentText(),
                                  BTDBSet->currentText()))
        main_.AddLogText(BuildResourceMessage(msg::SettingsNotSaved, {settings.filePath()}));
    if (main_.LoginBT())
        hide();
}

void Form2::CancelButton_Click()
{
    hide();
    deleteLater();
}

} // namespace swn
