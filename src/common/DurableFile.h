#pragma once
// The one way files are replaced so that a crash leaves either the old content or the new, whole:
// a temporary beside the target, flushed, renamed over it, and the folder flushed after.
#include <QByteArray>
#include <QString>

#include <sys/types.h>

namespace swn {

struct ReplaceOptions {
    // The temporary's path, in the target's folder; empty: a fresh unique name beside the target.
    // A given name must not exist yet unless `reuseTemporary` says a leftover may be overwritten.
    QString temporary;
    bool reuseTemporary = false;
    // Mode of the new file; -1: that of the file replaced, 0600 when there is none.
    int mode = 0600;
    // False: no flush of the file or the folder, for content that is only information.
    bool durable = true;
};

struct ReplaceFailure {
    enum Stage { None, Create, Write, FolderFlush };
    Stage stage = None;
    int error = 0;  // errno
    QString path;   // the file or folder that failed: the temporary, the target or the folder
    // "cannot create X: why", "cannot write X: why", "cannot flush the folder X: why".
    QString describe() const;
};

// Writes `bytes` to `path` through a temporary in the same folder, never following a link at the
// temporary's name. On a Create or Write failure nothing is left behind and the target is as it
// was. On a FolderFlush failure the new file is already in place (it may not survive a crash);
// the caller decides whether to remove it.
bool ReplaceFile(const QString& path, const QByteArray& bytes, const ReplaceOptions& options = {},
                 ReplaceFailure* failure = nullptr);

// Makes the names in `folder` durable; false with `error` (errno) set when it cannot.
bool FlushFolder(const QString& folder, int* error = nullptr);

// Where a write to `path` lands: the final target of a chain of symbolic links (relative targets
// taken from the link's folder as the system resolves it), or `path` itself when it is no link.
// Empty for a chain that loops, is too long or cannot be read: writing there would turn the link
// into a file of its own.
QString ResolveLinks(const QString& path);

} // namespace swn
