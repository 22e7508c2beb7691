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

// Creates a new file with a fresh random name in StagingFolder(), mode 0600, never replacing an
// existing file. Returns the open descriptor (the caller closes it) and sets `path`.
// Throws DeliveryError (message 162 naming `displayName`) when the file cannot be made.
int CreateStagedFile(QString& path, const QString& displayName = {});

// Writes the attachments of the document's AttachmentList to staged files, in document order, and
// returns their list. Throws DeliveryError for a missing element (161) or an attachment that
// cannot be decoded or written (162); files written for the document so far are deleted first.
QString StageDocumentAttachments(pugi::xml_node root);

// Creates or replaces the file at `path` with exactly `data`. Throws DeliveryError (162).
void SaveBinaryData(const QString& path, const QByteArray& data);

// The list format has no escaping, so a display name must not carry its separators: a name
// holding "||", or ending in "|", would make the rest of it read as the file path.
QString StagedDisplayName(QString name);

// Entries of a staged attachment list; the empty text gives none.
QStringList SplitAttachmentList(const QString& attachmentList);

} // namespace swn
