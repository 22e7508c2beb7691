#pragma once
// The relay's core parts put together: what the window shows and what the headless service runs.
#include "netrelay/NetworkRelay.h"
#include "postoffice/PostOfficePoller.h"
#include "relay/MetricsServer.h"
#include "relay/QueueControl.h"
#include "relay/RelayCore.h"
#include "relay/RelaySettings.h"
#include "common/Catalogue.h"
#include "delivery/Staging.h"

#include <QDateTime>

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
          postOffice(core, options.trackerFactory),
          control(network.Queue()),
          metricsServer(core.Stats())
    {
        // At the start, not at the first staged attachment: a relay that never stages anything
        // still clears what killed ones left.
        RemoveDeadStagingFolders(SystemTemporaryFolder());
        if (!options.spoolDir.isEmpty()) {
            QStringList errors;
            std::shared_ptr<Spool> spool = OpenSpoolFolder(options.spoolDir, &errors);
            network.SetSpool(spool);
            postOffice.SetNotes(spool);
            // Without its control socket nobody can steer the relay: said as an error, and the
            // verbs then say they cannot reach it.
            const auto listenForControl = [this, path = spool ? spool->controlSocketPath() : QString()] {
                QString error;
                if (!control.Listen(path, &error))
                    return BuildResourceMessage(msg::ControlUnusable, {path, error});
                return QString();
            };
            if (spool && spool->locked()) {
                const QString e = listenForControl();
                if (!e.isEmpty())
                    errors << e;
            }
            // The log starts (on stderr, in the window) only once the service runs: said then, so
            // that nothing of it is lost.
            if (!errors.isEmpty())
                QMetaObject::invokeMethod(&core, [this, errors] {
                    for (const QString& e : errors)
                        core.AddLogText(e, LogPriority::Error);
                }, Qt::QueuedConnection);
            QObject::connect(&network, &NetworkRelay::spoolTaken, &core, [this, listenForControl] {
                const QString e = listenForControl();
                if (!e.isEmpty())
                    core.AddLogText(e, LogPriority::Error);
            });
            if (spool) {
                Spool* s = spool.get();
                core.Stats().SetSpoolProbe([s] {
                    Metrics::SpoolStats stats;
                    stats.entries = s->count();
                    stats.failedEntries = s->failedCount();
                    const QDateTime oldest = Spool::receivedAt(s->oldestId());
                    if (oldest.isValid())
                        stats.oldestAgeSeconds = qMax<qint64>(0, oldest.msecsTo(QDateTime::currentDateTimeUtc())) / 1000.0;
                    return stats;
                });
            }
        }
        QObject::connect(&postOffice, &PostOfficePoller::loginValidChanged, &core,
                         [this](bool valid) { core.Stats().SetTrackerLoginValid(valid); });
        metricsServer.SetReadinessProbe([this, spoolWanted = !options.spoolDir.isEmpty()] { return NotReady(spoolWanted); });
    }

    // Why the relay cannot take mail now, for /readyz; empty when it can.
    QString NotReady(bool spoolWanted) const
    {
        if (core.IsShuttingDown())
            return QStringLiteral("the relay is shutting down");
        if (!core.IsRunning())
            return QStringLiteral("the relay is stopped");
        const Spool* spool = network.SpoolFolder();
        if (settings.Mode() == RelayMode::Network) {
            if (network.ListeningPort() == 0)
                return QStringLiteral("the relay is not listening");
            if (spool && !spool->locked())
                return QStringLiteral("another relay holds the spool %1").arg(spool->dir());
        } else if (!postOffice.LoginValid()) {
            return QStringLiteral("the tracker login is not valid");
        }
        // A document that cannot be delivered at once, or a record's note, needs the folder.
        if (!spool)
            return spoolWanted ? QStringLiteral("no spool folder can be used") : QString();
        return spool->unwritable();
    }

    // Serves the metrics where MetricsListen says (nowhere without it).
    void ApplyMetricsListen()
    {
        const QString where = settings.Read(setting::MetricsListen).trimmed();
        if (where.isEmpty()) {
            metricsServer.Close();
            return;
        }
        QString error;
        if (metricsServer.Listen(where, &error)) {
            core.AddLogText(BuildResourceMessage(msg::MetricsServed, {metricsServer.Describe()}));
            if (metricsServer.ReachableFromOtherHosts())
                core.AddLogText(BuildResourceMessage(msg::MetricsOpenToOtherHosts, {metricsServer.Describe()}),
                                LogPriority::Warning);
        } else
            core.AddLogText(BuildResourceMessage(msg::MetricsUnusable, {where, error}), LogPriority::Error);
    }

    // SIGHUP: the settings file again, applied to everything that runs.
    void Reload()
    {
        const QStringList changed = core.Reload();
        if (changed.contains(QLatin1String(setting::MetricsListen.name)))
            ApplyMetricsListen();
    }

    // What a service says it does, once it has started.
    QString Summary() const
    {
        QString what;
        if (settings.Mode() == RelayMode::Network) {
            what = core.IsRunning() ? QStringLiteral("listening on port %1").arg(network.ListeningPort())
                                    : QStringLiteral("not listening");
        } else {
            what = QStringLiteral("polling the post office of %1/%2 every %3 seconds")
                       .arg(settings.Read(setting::BTDbset), settings.Read(setting::BTDB), settings.POPollInterval());
        }
        const SmtpSecurity security = settings.SmtpSecurityOptions();
        QString how = security.mode == SmtpSecurity::Mode::Tls        ? QStringLiteral("TLS")
                    : security.mode == SmtpSecurity::Mode::StartTls ? QStringLiteral("STARTTLS")
                                                                     : QStringLiteral("no TLS");
        if (!security.user.isEmpty())
            how += QStringLiteral(", login ") + security.user;
        if (settings.TransportChoice() == Transport::Sendmail)
            how += QStringLiteral("; mail goes through the mail component");
        const Spool* spool = network.SpoolFolder();
        return BuildResourceMessage(msg::ServiceSummary,
                                    {settings.Mode() == RelayMode::Network ? QStringLiteral("network relay")
                                                                           : QStringLiteral("post office relay"),
                                     what, settings.SMTPServer(), how,
                                     spool ? spool->dir() : QStringLiteral("none"), settings.filePath()});
    }

    // Declared in the order they are made; they go in reverse, each waiting for its own work.
    RelaySettings settings;
    RelayCore core;
    NetworkRelay network;
    PostOfficePoller postOffice;
    QueueControlServer control;
    MetricsServer metricsServer;
};

} // namespace swn
