#pragma once
// The byte-level rules of one network request: when it is complete, what the reply repeats,
// where the document starts.
#include <QByteArray>
#include <QString>

namespace swn {

// A request is complete when the received bytes end with exactly these.
inline constexpr char RequestTerminator[] = "</BT_mail_Msg>\r\n";
inline constexpr qsizetype RequestTerminatorLength = 16;
// A request that grows beyond this is dropped: one client must not exhaust the machine's memory.
inline constexpr qsizetype MaxRequestBytes = qsizetype(256) * 1024 * 1024;

bool IsCompleteRequest(const QByteArray& received);
// Third blank-separated field of the request line; "HTTP/1.0" when the line has fewer fields.
QByteArray VersionField(const QByteArray& request);
// Removes everything up to and including the first CR LF CR LF (without one: the first three bytes).
void TakeOffHeader(QByteArray& request);
QByteArray BuildReply(const QByteArray& versionField);
// Characters of UTF-8 text (lead bytes only), as the logged stream length counts them.
qsizetype CharacterCount(const QByteArray& utf8);
// The document size for the arrival line: characters / 1024 with two decimals in the user's locale.
QString StreamLengthText(qsizetype characters);

} // namespace swn
