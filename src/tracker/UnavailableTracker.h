#pragma once
// A tracker that cannot be reached: every operation raises, as the real component does when it
// is missing. Start-up falls back to it so that the relay still comes up.
#include "tracker/TrackerSession.h"

namespace swn {

class UnavailableTrackerFactory : public TrackerFactory {
public:
    explicit UnavailableTrackerFactory(QString reason = QStringLiteral("the tracker is not available"));
    std::unique_ptr<BTSession> CreateSession() override;
    std::unique_ptr<BTAdminSession> CreateAdminSession() override;
private:
    QString reason_;
};

} // namespace swn
