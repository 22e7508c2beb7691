#pragma once
// The OAuth2 access tokens the SMTP login uses: fetched with the client-credentials grant over
// HTTPS, or printed by a command, and shared by every session until they are nearly spent.
#include "delivery/DeliveryContext.h"

#include <QByteArray>
#include <QString>

namespace swn {

struct OAuthToken {
    QByteArray token;  // empty when none could be had
    QString failure;   // why not, for the mail's reason (never a secret)
    // The endpoint refused the client itself (invalid_client, unauthorized_client): the settings,
    // not the endpoint's health, must change. Either way the mail waits.
    bool clientRefused = false;
};

class OAuthTokens {
public:
    // The one store every session of the process shares.
    static OAuthTokens& Shared();

    // A token for `login`: the one held while more than a tenth of its lifetime (at most five
    // minutes) is left, else a new one. One request at a time: callers that ask meanwhile wait
    // for its answer. `caFile`: the authorities the endpoint is checked against (empty: the
    // system's). Failures are logged through `context` once until they change.
    OAuthToken Token(const OAuthLogin& login, const QString& caFile, DeliveryContext* context);
    // A server refused a login with `token`: the next Token() asks for a new one, unless one
    // newer than it is held already.
    void Refused(const OAuthLogin& login, const QByteArray& token);
    // Requests made to the endpoint or the command so far, for tests and metrics.
    quint64 Requests() const;
    // Forgets every token held (the settings changed).
    void Forget();

    // How long a token command may run before it is killed (30 s). Tests shorten it; it applies
    // to commands started afterwards.
    static void SetCommandTimeLimit(int milliseconds);

private:
    OAuthTokens();
    struct Store;
    Store* store_;
};

} // namespace swn
