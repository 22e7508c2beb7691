#pragma once
// The relay's side of the tracker stand-in: sessions over the files of a TrackerStore.
#include "tracker/TrackerSession.h"

#include <QString>

namespace swn {

class SqliteTrackerFactory : public TrackerFactory {
public:
    explicit SqliteTrackerFactory(QString root);
    std::unique_ptr<BTSession> CreateSession() override;
    std::unique_ptr<BTAdminSession> CreateAdminSession() override;

private:
    QString root_;
};

} // namespace swn
