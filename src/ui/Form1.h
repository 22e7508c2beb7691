#pragma once
// The relay's main window: a view of the relay's core. Every handler forwards to the core or
// reacts to its signals; no behaviour reads a widget.
#include "ui/Form2.h"
#include "ui/QueueDialog.h"
#include "service/RelayService.h"

#include <QMessageBox>
#include <QPointer>
#include <QWidget>

#include <functional>
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
    // Shows a message box and returns when it is dismissed; tests record instead.
    std::function<void(const QString& text, const QString& title, QMessageBox::Icon icon)> showMessage;
    // The system code page, when a test pins it.
    std::optional<int> codePage;
    // Exit and closing the window end the application; tests keep it.
    bool quitOnExit = true;
};

class Form1 : public QWidget {
    Q_OBJECT
public:
    explicit Form1(RelayService& relay, Form1Options options = {}, QWidget* parent = nullptr);
    ~Form1() override;

    RelayService& Relay() { return relay_; }

    // Start-up: captions, settings, state, then the window is shown and the core completes it.
    void Form_Load();

    // Run control.
    void cmdStart_Click() { relay_.core.Start(); }
    void cmdStop_Click() { relay_.core.Stop(); }
    void ExitButton_Click();
    void SetRunning() { relay_.core.SetRunning(); }
    void SetStopped() { relay_.core.SetStopped(); }
    bool IsRunning() const { return relay_.core.IsRunning(); }
    void SaveSettings() { relay_.core.SaveSettings(); }
    void HeartBeatTimer_Timer();
    void Picture1_DblClick() { relay_.core.ToggleEcho(); }
    bool EchoXML() const { return relay_.core.EchoOn(); }
    bool IsUnloading() const { return unloading_; }

    // Message texts and the Japanese face.
    static void ConvertCodePage(QWidget* window, int codePage);
    int CodePage() const;
    void ShowMessage(const QString& text, QMessageBox::Icon icon = QMessageBox::NoIcon,
                     const QString& title = QString());

    void AddLogText(const QString& message) { relay_.core.AddLogText(message); }
    // Brings the log box up to date with the log now instead of a moment later.
    void FlushLogView();
    const QString& LogText() const { return relay_.core.LogText(); }

    // Network relay mode.
    void StartListener() { relay_.network.StartListener(); }
    int AllocateSocket() { return relay_.network.AllocateSocket(); }
    void sock_ConnectionRequest(int index, qintptr requestId) { relay_.network.OnConnectionRequest(index, requestId); }
    void sock_Close(int index) { relay_.network.OnPeerClosed(index); }
    void sock_Error(int index, int number, const QString& description) { relay_.network.OnSocketError(index, number, description); }
    void sock_DataArrival(int index, qint64 bytesTotal) { relay_.network.OnDataArrival(index, bytesTotal); }
    void Timer1_Timer() { relay_.core.AutoStartDue(); }
    void SaveXML(const QByteArray& text) { relay_.core.SaveEchoFile(text); }
    int MaxSocket() const { return relay_.network.MaxSocket(); }
    SocketArray& sock() { return relay_.network.Sockets(); }

    // Post office relay mode.
    bool LoginBT() { return relay_.postOffice.Login(); }
    void SetPollTimer() { relay_.postOffice.ArmPollTimer(); }
    void POPollInterval_Change() { relay_.postOffice.PollIntervalChanged(); }
    void PostOfficeRelay_Click();
    void PostOfficePollInterval_Timer() { relay_.postOffice.PollTick(); }
    QString SWN_ProcessTemplateAttachments(BTAttachmentField& field)
    {
        return PostOfficePoller::StageRecordAttachments(field);
    }
    void EditCredentials_Click();
    qint16 PollCountdown() const { return relay_.postOffice.PollCountdown(); }
    Form2* CredentialsDialog() { return form2_; }

    // The queue group: brought up to date from the queue's memory and the spool's counts.
    void ShowQueueState();
    void QueueButton_Click();
    QueueDialog* QueueView() { return queueDialog_; }
    // The spool as the window reads it: the one this relay's queue works, or, while another relay
    // works it, a view of the folder read again once it is older than `maxAgeMs` (negative: as
    // it is, unless there is none yet). Null without a spool.
    Spool* SpoolView(qint64 maxAgeMs);

protected:
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void buildControls();
    void wireCore();
    void applyCaptions();
    void showSettings();
    void showRunState(RunState state);
    void showLogLine(const QString& line, bool cut);
    void Form_Unload();
    void endProgram();

    RelayService& relay_;
    Form1Options options_;
    bool unloading_ = false;
    QTimer* heartBeatTimer_ = nullptr;
    QTimer* logViewTimer_ = nullptr;
    QTimer* queueViewTimer_ = nullptr; // the queue group catches up a moment after a change
    QString logViewPending_;     // lines the box does not show yet
    bool logViewRefill_ = false; // the log was cut: the box is filled afresh
    QPointer<Form2> form2_;
    QPointer<QueueDialog> queueDialog_;
    std::unique_ptr<Spool> foreignSpool_; // another relay's spool, as last read
    qint64 foreignSpoolReadMs_ = 0;

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
    QGroupBox* QueueFrame = nullptr;
    QLabel* QueueKeptLabel = nullptr;
    QLineEdit* QueueKept = nullptr;
    QLabel* QueueFailedLabel = nullptr;
    QLineEdit* QueueFailed = nullptr;
    QLabel* QueueReasonLabel = nullptr;
    QLineEdit* QueueReason = nullptr;
    QLabel* QueueNextLabel = nullptr;
    QLineEdit* QueueNext = nullptr;
    QLabel* QueueServerLabel = nullptr;
    QLineEdit* QueueServer = nullptr;
    QPushButton* QueueButton = nullptr;

    QTimer* HeartBeatTimer() const { return heartBeatTimer_; }
    QTimer* Timer1() const { return &relay_.core.AutoStartTimer(); }
    QTimer* PostOfficePollInterval() const { return &relay_.postOffice.PollTimer(); }
};

// Selects or clears one option of a group; clearing the selected option leaves the group empty.
void SetOption(QButtonGroup* group, QRadioButton* option, bool selected);

} // namespace swn
