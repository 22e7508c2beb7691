#pragma once
// The relay's string table in English, Japanese and Simplified Chinese, and message formatting.
#include <QString>
#include <QVariant>
#include <QVariantList>
#include <optional>
#include <stdexcept>

namespace swn {

enum class Language { English, Japanese, SimplifiedChinese };

// Identifiers of the catalogue's texts.
namespace msg {
// Texts of the classic table that the code uses by themselves (the main window's captions go by
// their controls instead).
constexpr int StatusStopped = 124;
constexpr int StatusRunning = 125;
constexpr int DatabaseNotEnabled = 128;
constexpr int DatabaseLoginInvalid = 129;
constexpr int DatabaseNotFound = 130;
constexpr int DatabaseNotAccessible = 132;
constexpr int UnknownError = 133;
constexpr int DocumentNotLoaded = 134;
constexpr int InstigatorAndRecipients = 135;
constexpr int PostOfficeChecked = 137;
constexpr int SocketError = 138;
constexpr int DocumentReceived = 139;
constexpr int UserIdOrPasswordInvalid = 140;
constexpr int InvalidCredentialsTitle = 141;
constexpr int SmtpSendFailed = 142;
constexpr int ListeningOnPort = 144; // the classic line; ListeningOn also names the address
constexpr int CredentialsCaption = 145;
constexpr int LoginIdCaption = 146;
constexpr int PasswordCaption = 147;
constexpr int SchemaRepositoryCaption = 148;
constexpr int DatabaseCaption = 149;
constexpr int OkCaption = 150;
constexpr int CancelCaption = 151;
constexpr int SendmailFailed = 152;

// Texts added beside the classic table, for situations it has no text for.
constexpr int InvalidListenPort = 155;
constexpr int ListenFailed = 156;
constexpr int SlotsExhausted = 157;
constexpr int RequestTooLarge = 158;
constexpr int RequestFailed = 159;
constexpr int HeaderRefused = 160;
constexpr int MissingElement = 161;
constexpr int AttachmentNotStaged = 162;
constexpr int InvalidSmtpPort = 163;
constexpr int RecordStaysQueued = 164;
constexpr int RecordKeptForRetry = 165;
constexpr int InvalidPollInterval = 166;
constexpr int PollFailed = 167;
constexpr int SessionNotCreated = 168;
constexpr int SettingsNotSaved = 169;
constexpr int StoppingOnSignal = 170;
constexpr int EchoFileFailed = 171;
constexpr int CounterOverflow = 172;
constexpr int ConnectionClosed = 173;
constexpr int ClientNotAllowed = 174;
constexpr int OpenToAnyClient = 175;
constexpr int RequestRefused = 176;
constexpr int DocumentKept = 177;
constexpr int KeptDelivered = 178;
constexpr int KeptExpired = 179;
constexpr int SpoolUnusable = 180;
constexpr int RecordNotRemoved = 181;
constexpr int RecordSetAside = 182;
constexpr int QueueLockedElsewhere = 183;
constexpr int LoginRetrying = 184;
constexpr int LoginRecovered = 185;
constexpr int InvalidDocumentEncoding = 186;
constexpr int AllowedClientsEntryIgnored = 187;
constexpr int SmtpSettingsUnusable = 188;
constexpr int CharacterReferenceReplaced = 189;
constexpr int HeaderRefusedBecause = 190;
constexpr int UnknownTransport = 191;
constexpr int KeptNotRemoved = 192;
constexpr int SpoolInUse = 193;
constexpr int ShutdownWaiting = 194;
constexpr int ShutdownCutShort = 195;
constexpr int FailedEvicted = 196;
constexpr int ListeningOn = 197;
constexpr int SlotRefused = 198;
constexpr int ListenAddressUnusable = 199;
constexpr int AllowedClientsUnusable = 200;
constexpr int SettingsReloaded = 201;
constexpr int RunningAsService = 202;
constexpr int ServiceSummary = 203;
constexpr int MetricsServed = 204;
constexpr int MetricsUnusable = 205;
constexpr int ServerBack = 206;
constexpr int ServerStillAway = 207;
constexpr int ControlUnusable = 208;
constexpr int KeptDocumentSteered = 209;
constexpr int FirstId = 101;
constexpr int ListenAddressEntryIgnored = 210;
constexpr int MetricsOpenToOtherHosts = 211;
constexpr int LastId = 211;
// Notices to the administrator about mail that failed or waits: log lines, then the notices' own
// subjects and texts.
constexpr int NoticeSent = 230;
constexpr int NoticeNobody = 231;
constexpr int NoticeNotSent = 232;
constexpr int NoticesHeldBack = 233;
constexpr int NoticeAboutNotice = 234;
constexpr int NoticeFailedSubject = 235;
constexpr int NoticeDelayedSubject = 236;
constexpr int NoticeFailedText = 237;
constexpr int NoticeDelayedText = 238;
constexpr int NoticeSummarySubject = 239;
constexpr int NoticeSummaryText = 240;
constexpr int FirstNoticeId = 230;
constexpr int LastNoticeId = 240;

// The window's queue group and the Queue dialog: a block of their own, checked on its own.
constexpr int QueueFrameCaption = 260;
constexpr int QueueKeptCaption = 261;
constexpr int QueueFailedCaption = 262;
constexpr int QueueLastFailureCaption = 263;
constexpr int QueueNextTryCaption = 264;
constexpr int QueueServerCaption = 265;
constexpr int QueueButtonCaption = 266;
constexpr int QueueKeptOldest = 267;
constexpr int QueueDueNow = 268;
constexpr int QueueDueIn = 269;
constexpr int QueueServerReachable = 270;
constexpr int QueueServerAway = 271;
constexpr int QueueSetAsideCaption = 272;
constexpr int QueueNoSpool = 273;
constexpr int QueueIdColumn = 274;
constexpr int QueueStateColumn = 275;
constexpr int QueueAgeColumn = 276;
constexpr int QueueSubjectColumn = 277;
constexpr int QueueRecipientsColumn = 278;
constexpr int QueueReasonColumn = 279;
constexpr int QueueRetryNowCaption = 280;
constexpr int QueueDeleteCaption = 281;
constexpr int QueueRequeueCaption = 282;
constexpr int QueueRefreshCaption = 283;
constexpr int QueueCloseCaption = 284;
constexpr int QueueStateKept = 285;
constexpr int QueueStateFailed = 286;
constexpr int QueueStateSetAside = 287;
constexpr int QueueAllRecipients = 288;
constexpr int QueueDeleteQuestion = 289;
constexpr int QueueUnreadable = 290;
constexpr int QueueFirstId = 260;
constexpr int QueueLastId = 290;
} // namespace msg

class CatalogueError : public std::runtime_error {
public:
    explicit CatalogueError(int id);
    int id() const { return id_; }
private:
    int id_;
};

// The language of the user's locale: Japanese, Simplified Chinese, English for any other.
Language SystemLanguage();
// Language used by LoadResourceString; tests pin it, std::nullopt follows the system again.
void SetCatalogueLanguage(std::optional<Language> language);
Language CatalogueLanguage();

// Text of an identifier in the catalogue language; throws CatalogueError for one without text.
QString LoadResourceString(int id);
QString LoadResourceString(int id, Language language);
bool HasResourceString(int id);

// Fills "%s" placeholders in order from `params` ("<<UNDEFINED>>" once they run out) and turns
// every "%n" into CR LF. Control characters inside a value (line breaks, other C0 and C1
// controls, U+2028, U+2029) are written escaped ("\n", "\u001b"), so no value can forge lines.
QString FormatResourceText(QString text, const QVariantList& params);
QString BuildResourceMessage(int id, const QVariantList& params = {});
// The text with its control characters escaped as above.
QString EscapeControls(const QString& value);

// The system's text code page as the classic numbers: 932 for Shift-JIS, 936 for GBK/GB2312,
// 65001 for UTF-8, 1252 for anything else.
int SystemCodePage();

} // namespace swn
