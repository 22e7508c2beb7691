#pragma once
// Staged attachment files: a private folder inside the system's temporary folder, fresh random
// names, and the list text ("name||path" entries joined by ":##:") that names them.
#include <QByteArray>
#include <QString>
#include <QStringList>
#include <pugixml.hpp>

namespace swn {

inline constexpr const char* kAttachmentSeparator = ":##:";
inline constexpr const char* kNamePathSeparator = "||";

// The system's temporary folder: TMPDIR, or /tmp without it.
QString SystemTemporaryFolder();

// Failures of the file system (the temporary folder missing or not a folder, a full disk, too many
// open files, permissions) throw DeliveryError marked temporary: they are this host's, not the
// document's, and the mail is to be kept and tried again.

// The staging folder's name carries its owner's pid and start time. Removes, with their files,
// the staging folders in `parent` of this user whose owner no longer runs (killed before it could
// remove its own); never one of a running process, another user's, or one reached by a link.
// Making the staging folder does this by itself.
void RemoveDeadStagingFolders(const QString& parent);

// Creates a new file with a fresh random name in StagingFolder(), mode 0600, never replacing an
// existing file. Returns the open descriptor (the caller closes it) and sets `path`.
// Throws DeliveryError (message 162 naming `displayName`, temporary) when the file cannot be made.
int CreateStagedFile(QString& path, const QString& displayName = {});

// Writes the attachments of the document's AttachmentList to staged files, in document order, and
// returns their list. Throws DeliveryError for a missing element (161) or an attachment that
// is not base64 (162), both permanent, or that cannot be written (162, temporary); files written
// for the document so far are deleted first.
QString StageDocumentAttachments(pugi::xml_node root);

// Creates or replaces the file at `path` with exactly `data`. Throws DeliveryError (162, temporary).
void SaveBinaryData(const QString& path, const QByteArray& data);

// Writes all of `data` to a staged file; false with errno set when it could not.
bool WriteStagedData(int fd, const char* data, qsizetype length);
// For tests: while not 0, every write of staged data fails with this errno (ENOSPC, EIO, ...).
void SetStagingWriteError(int error);

// The list format has no escaping, so a display name must not carry its separators: a name
// holding "||", or ending in "|", would make the rest of it read as the file path.
QString StagedDisplayName(QString name);

// Entries of a staged attachment list; the empty text gives none.
QStringList SplitAttachmentList(const QString& attachmentList);

} // namespace swn
