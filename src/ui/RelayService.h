#pragma once
// The relay's core parts put together: what the window shows and what the headless service runs.
#include "netrelay/NetworkRelay.h"
#include "postoffice/PostOfficePoller.h"
#include "relay/RelayCore.h"
#include "relay/RelaySettings.h"

namespace swn {

struct RelayServiceOptions {
    QString settingsFile;
    QString sendmailProgram;
    std::shared_ptr<TrackerFactory> trackerFactory;
    int deliveryThreads = 8;
};

class RelayService {
public:
    explicit RelayService(const RelayServiceOptions& options)
        : settings(options.settingsFile),
          core(settings, RelayCoreOptions{options.sendmailProgram, options.deliveryThreads}),
          network(core),
          postOffice(core, options.trackerFactory)
    {
    }

    // Declared in the order they are made; they go in reverse, each waiting for its own work.
    RelaySettings settings;
    RelayCore core;
    NetworkRelay network;
    PostOfficePoller postOffice;
};

} // namespace swn
