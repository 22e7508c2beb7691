// Placeholder until the token store lands.
#include "delivery/smtp/OAuthTokens.h"
namespace swn {
struct OAuthTokens::Store {};
OAuthTokens::OAuthTokens() : store_(new Store) {}
OAuthTokens& OAuthTokens::Shared() { static OAuthTokens tokens; return tokens; }
OAuthToken OAuthTokens::Token(const OAuthLogin&, const QString&, DeliveryContext*) { return {{}, QStringLiteral("no token store"), false}; }
void OAuthTokens::Refused(const OAuthLogin&, const QByteArray&) {}
quint64 OAuthTokens::Requests() const { return 0; }
void OAuthTokens::Forget() {}
} // namespace swn
