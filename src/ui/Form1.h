#pragma once
// The relay's main window: settings, run state, counters, activity log, and the procedures of
// both relay modes that live on the window.
#include "delivery/DeliveryContext.h"
#include "common/ActivityLog.h"
#include "common/IniServices.h"
#include "tracker/TrackerSession.h"
#include "ui/Form2.h"

#include <QByteArray>
#include <QMessageBox>
#include <QPointer>
#include <QWidget>

#include <array>
#include <functional>
#include <memory>
#include <optional>

class QButtonGroup;
class QCheckBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QRadioButton;
class QTimer;

namespace swn {

class SocketArray;
class Form2;
class HeartBeatIndicator;
class PictureBox;

struct Form1Options {
    QString settingsFile;
    QString sendmailProgram;
    // Creates the tracker's session objects; the relay cannot poll without one.
    std::shared_ptr<TrackerFactory> trackerFactory;
    // Shows a message box and returns when it is dismissed; tests record instead.
    std::function<void(const QString& text, const QString& title, QMessageBox::Icon icon)> showMessage;
    // The system code page, when a test pins it.
    std::optional<int> codePage;
    // Exit and closing the window end the application; tests keep it.
    bool quitOnExit = true;
};

class Form1 : public QWidget, public DeliveryContext {
    Q_OBJECT
public:
    static constexpr int MaxSlots = 300;

    explicit Form1(Form1Options options, QWidget* parent = nullptr);
    ~Form1() override;

    // Start-up: captions, settings, state, then the window is shown and the tracker session made.
    void Form_Load();

    // Run control.
    void cmdStart_Click();
    void cmdStop_Click();
    void ExitButton_Click();
    void SetRunning();
    void SetStopped();
    bool IsRunning() const;
    void SaveSettings();
    void HeartBeatTimer_Timer();
    void Picture1_DblClick();
    bool EchoXML() const { return echoXML_; }
    bool IsUnloading() const { return unloading_; }

    // Message texts and the Japanese face.
    static void ConvertCodePage(QWidget* window, int codePage);
    int CodePage() const;
    void ShowMessage(const QString& text, QMessageBox::Icon icon = QMessageBox::NoIcon,
                     const QString& title = QString());

    // DeliveryContext
    void AddLogText(const QString& message) override;
    // Brings the log box up to date with the log now instead of a moment later.
    void FlushLogView();
    QString SMTPHostText() const override;
    bool IsNetworkRelayMode() const override;
    void AdvanceCounters(qint32 copies, qint32 relays) override;
    void AdvanceDisplayedCounters(qint32 copies, qint32 relays) override;
    QString SendmailProgram() const override;

    qint32 TotalCopiesCount() const { return totalCopiesCount_; }
    qint32 TotalRelaysCount() const { return totalRelaysCount_; }
    const QString& LogText() const { return log_.text(); }
    const IniServices& Settings() const { return ini_; }

    // Network relay mode.
    void StartListener();
    int AllocateSocket();
    void sock_ConnectionRequest(int index, qintptr requestId);
    void sock_Close(int index);
    void sock_Error(int index, int number, const QString& description);
    void sock_DataArrival(int index, qint64 bytesTotal);
    void Timer1_Timer();
    void SaveXML(const QByteArray& text);
    int MaxSocket() const { return maxSocket_; }
    SocketArray& sock() { return *sock_; }

    // Post office relay mode.
    bool LoginBT();
    void SetPollTimer();
    void POPollInterval_Change();
    void PostOfficeRelay_Click();
    void PostOfficePollInterval_Timer();
    QString SWN_ProcessTemplateAttachments(BTAttachmentField& field);
    void EditCredentials_Click();
    BTSession* BTSessionObject() { return btSession_.get(); }
    TrackerFactory& Tracker() { return *options_.trackerFactory; }
    qint16 PollCountdown() const { return pollCountdown_; }
    Form2* CredentialsDialog() { return form2_; }

    // Display fields the credentials dialog refreshes.
    void SetCredentialDisplays(const QString& login, const QString& database, const QString& databaseSet);

protected:
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void buildControls();
    void applyCaptions();
    void applySettings();
    void Form_Unload();
    void endProgram();
    void showCounters();
    void EnsureSession();
    void releaseSlot(int index);
    bool pollOneRecord(BTResultSet& rows);

    Form1Options options_;
    IniServices ini_;
    ActivityLog log_;

    qint32 totalCopiesCount_ = 0;
    qint32 totalRelaysCount_ = 0;
    bool echoXML_ = false;
    bool unloading_ = false;
    int maxSocket_ = 0;
    qint16 pollCountdown_ = 0;
    qint16 pollInterval_ = 360;  // last interval text that was a valid number
    std::array<QByteArray, MaxSlots + 1> ReceiveBuffer;
    std::unique_ptr<BTSession> btSession_;

    SocketArray* sock_ = nullptr;
    QTimer* heartBeatTimer_ = nullptr;
    QTimer* timer1_ = nullptr;
    QTimer* postOfficePollInterval_ = nullptr;
    QTimer* logViewTimer_ = nullptr;
    QString logViewPending_;     // lines the box does not show yet
    bool logViewRefill_ = false; // the log was cut: the box is filled afresh
    QPointer<Form2> form2_;

public:
    // Controls, named as their objectName.
    QLabel* SMTPHostLabel = nullptr;
    QLineEdit* SMTPHost = nullptr;
    QLabel* ListenerLabel = nullptr;
    QLineEdit* ListenPort = nullptr;
    QGroupBox* MailTransportFrame = nullptr;
    QRadioButton* CDOMail = nullptr;
    QRadioButton* BTMail = nullptr;
    QGroupBox* OperationModeFrame = nullptr;
    QRadioButton* PostOfficeRelay = nullptr;
    QRadioButton* SMTPRelayMode = nullptr;
    QGroupBox* PostofficeCredsFrame = nullptr;
    QLabel* BTIDLabel = nullptr;
    QLabel* DBLabel = nullptr;
    QLabel* DBSetLabel = nullptr;
    QLineEdit* BTID = nullptr;
    QLineEdit* DB = nullptr;
    QLineEdit* DBSET = nullptr;
    QCheckBox* ValidBTDB = nullptr;
    QLabel* PollIntLabel = nullptr;
    QLineEdit* POPollInterval = nullptr;
    QPushButton* EditCredentials = nullptr;
    QGroupBox* StatsFrame = nullptr;
    QLabel* TotalRelaysLabel = nullptr;
    QLabel* TotalCopiesLabel = nullptr;
    QLineEdit* TotalRelays = nullptr;
    QLineEdit* TotalCopies = nullptr;
    QLabel* Statuslabel = nullptr;
    QLineEdit* status = nullptr;
    QPushButton* cmdStart = nullptr;
    QPushButton* cmdStop = nullptr;
    QPushButton* ExitButton = nullptr;
    QCheckBox* AutoStart = nullptr;
    QLabel* MaxLogSizeLabel = nullptr;
    QLineEdit* MaxLogSize = nullptr;
    QPlainTextEdit* txtReceive = nullptr;
    QLabel* AppVer = nullptr;
    QLabel* CopyrightLabel = nullptr;
    HeartBeatIndicator* HeartBeat = nullptr;
    PictureBox* Picture1 = nullptr;
    PictureBox* Picture2 = nullptr;
    QButtonGroup* transportGroup = nullptr;
    QButtonGroup* modeGroup = nullptr;

    QTimer* HeartBeatTimer() const { return heartBeatTimer_; }
    QTimer* Timer1() const { return timer1_; }
    QTimer* PostOfficePollInterval() const { return postOfficePollInterval_; }
};

// Selects or clears one option of a group; clearing the selected option leaves the group empty.
void SetOption(QButtonGroup* group, QRadioButton* option, bool selected);

} // namespace swn
