#pragma once
#include <QString>
#include <stdexcept>

namespace swn {

// A failure that ends a delivery before anything was sent and passes to the delivery's caller,
// which logs it. The text is for the activity log.
class DeliveryError : public std::runtime_error {
public:
    explicit DeliveryError(const QString& text) : std::runtime_error(text.toStdString()), text_(text) {}
    const QString& text() const { return text_; }
private:
    QString text_;
};

} // namespace swn
