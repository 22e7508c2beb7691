#pragma once
// A scripted SMTP server on loopback (tests/support/raw_smtp.py) that records every byte each
// connection sent, for tests of what really goes on the wire.
#include <QByteArray>
#include <QList>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <memory>

namespace swn::test {

class RawSmtp {
public:
    ~RawSmtp() { stop(); }
    // `arguments` are options of raw_smtp.py: --reply, --delay, --ehlo, --host, --tls-cert/--tls-key.
    bool start(const QStringList& arguments = {});
    void stop();
    quint16 port() const { return port_; }
    QString hostText() const;
    // What each connection sent, in the order the connections came.
    QList<QByteArray> sessions() const;
    // How many messages were answered 2xx after their final ".".
    int accepted() const;

    // The command lines of a session, without the message data.
    static QList<QByteArray> Commands(const QByteArray& session);
    // The message data of each DATA in a session, exactly as sent, up to (without) the CRLF "." CRLF.
    static QList<QByteArray> MessageData(const QByteArray& session);

private:
    QTemporaryDir dir_;
    std::unique_ptr<QProcess> process_;
    quint16 port_ = 0;
    bool ipv6_ = false;
};

} // namespace swn::test
