#pragma once
// Documents of network relay mode whose delivery failed for a temporary reason: kept on disk
// before the client gets its reply, delivered later. One file per document, named by its id;
// failed/ holds those that can never go, each with its reason beside it (<id>.reason).
//
// Every call may run on several threads at once as long as they name different ids; open()
// runs once, before the others.
#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QStringList>

namespace swn {

class Spool {
public:
    explicit Spool(QString dir);

    const QString& dir() const { return dir_; }
    // Creates the folder (mode 0700, with its parents) and failed/ in it; refuses a folder that
    // is no folder or belongs to another user, whether named directly or through a link; removes
    // temporary files a crashed process left behind.
    bool open(QString* error);

    // Keeps the document durably and returns its id; on failure the empty id, `error` set, and
    // nothing left behind. `recipients`, when not empty, are the only ones that still need it
    // (the server took it for the others): kept beside it, so that a retry sends to them alone.
    QString store(const QByteArray& document, QString* error, const QStringList& recipients = {});
    // The recipients kept beside a document; empty: all of the document's own.
    QStringList recipients(const QString& id) const;
    bool setRecipients(const QString& id, const QStringList& recipients, QString* error);
    // Ids of the documents waiting, oldest first.
    QStringList ids() const;
    // When the document arrived, from its id (an invalid time for something that is no id).
    static QDateTime receivedAt(const QString& id);
    static bool IsValidId(const QString& id);
    QByteArray read(const QString& id, QString* error) const;
    // False when there was no such document (or it could not be removed; `error` says which).
    bool remove(const QString& id, QString* error = nullptr);

    // Moves a waiting document into failed/ with the reason beside it.
    bool moveToFailed(const QString& id, const QString& reason, QString* error = nullptr);
    // A document that can never go, written straight into failed/ for the administrator.
    QString keepFailed(const QByteArray& document, const QString& reason, QString* error);
    QString failedDir() const;
    QStringList failedIds() const;
    QByteArray readFailed(const QString& id, QString* error) const;
    QString failedReason(const QString& id) const;

    // Small durable notes beside the documents, under names of letters, digits, '_', '-' and '.'
    // (for example, what the relay knows of a queued record that it must not forget in a crash).
    bool writeNote(const QString& name, const QByteArray& bytes, QString* error);
    QByteArray readNote(const QString& name) const; // null when there is none
    void removeNote(const QString& name);
    QString notesDir() const;
    static bool IsValidNoteName(const QString& name);

private:
    QString dir_;
    bool open_ = false;
};

} // namespace swn
