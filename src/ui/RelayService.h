#pragma once
// The relay's core parts put together: what the window shows and what the headless service runs.
#include "netrelay/NetworkRelay.h"
#include "postoffice/PostOfficePoller.h"
#include "relay/RelayCore.h"
#include "relay/RelaySettings.h"
#include "common/Catalogue.h"

#include <QStandardPaths>

namespace swn {

struct RelayServiceOptions {
    QString settingsFile;
    QString sendmailProgram;
    std::shared_ptr<TrackerFactory> trackerFactory;
    int deliveryThreads = 8;
    // Where network relay mode keeps documents it could not deliver yet; empty: none.
    QString spoolDir;
};

class RelayService {
public:
    explicit RelayService(const RelayServiceOptions& options)
        : settings(options.settingsFile),
          core(settings, RelayCoreOptions{options.sendmailProgram, options.deliveryThreads}),
          network(core),
          postOffice(core, options.trackerFactory)
    {
        if (!options.spoolDir.isEmpty()) {
            std::shared_ptr<Spool> spool = OpenSpool(options.spoolDir);
            network.SetSpool(spool);
            postOffice.SetNotes(spool);
        }
    }

    // The configured spool, or the user's own when it cannot be used (a desktop session without
    // rights to the system's folder); none when neither works.
    std::shared_ptr<Spool> OpenSpool(const QString& dir)
    {
        QString error;
        auto spool = std::make_shared<Spool>(dir);
        if (spool->open(&error))
            return spool;
        core.AddLogText(BuildResourceMessage(msg::SpoolUnusable, {dir, error}));
        const QString own = QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation);
        if (own.isEmpty() || own == dir)
            return nullptr;
        spool = std::make_shared<Spool>(own + QStringLiteral("/spool"));
        if (spool->open(&error))
            return spool;
        core.AddLogText(BuildResourceMessage(msg::SpoolUnusable, {spool->dir(), error}));
        return nullptr;
    }

    // Declared in the order they are made; they go in reverse, each waiting for its own work.
    RelaySettings settings;
    RelayCore core;
    NetworkRelay network;
    PostOfficePoller postOffice;
};

} // namespace swn
