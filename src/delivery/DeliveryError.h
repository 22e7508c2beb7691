#pragma once
#include <QString>
#include <stdexcept>

namespace swn {

// A failure that ends a delivery before anything was sent and passes to the delivery's caller,
// which logs it. The text is for the activity log.
//
// `temporary`: the fault lies with this host or its configuration (temporary folder, full disk,
// too many open files, permissions, memory, an unreadable server text), not with the document:
// the caller keeps the mail and tries again later. Only the document's own faults are permanent.
class DeliveryError : public std::runtime_error {
public:
    explicit DeliveryError(const QString& text, bool temporary = false)
        : std::runtime_error(text.toStdString()), text_(text), temporary_(temporary) {}
    const QString& text() const { return text_; }
    bool temporary() const { return temporary_; }
private:
    QString text_;
    bool temporary_;
};

} // namespace swn
