#pragma once
// Reads and writes single keys of the settings file with the rules of the classic private-profile
// functions, so that files written by hand or by older installations read the same.
#include <QString>

namespace swn {

class IniServices {
public:
    // Characters of the read buffer; a value reads back as at most BufferSize - 1 characters.
    static constexpr int BufferSize = 2048;
    static constexpr const char* Section = "SwiftnoteRelay";

    explicit IniServices(QString filePath);
    const QString& filePath() const { return path_; }

    // The stored value of `key` in `section`, or `defaultValue` when the file, the section or the
    // key is missing. Section and key names match without regard to case; blanks around the
    // value and one pair of enclosing quotes are dropped; a present empty key reads as empty.
    // `mayBeCut`, when given, tells whether the stored value was longer than a read returns it:
    // a list read from the shortened text may have lost entries or had one shortened.
    QString ReadIniValue(const QString& section, const QString& key, const QString& defaultValue,
                         bool* mayBeCut = nullptr) const;

    // Sets `key` in `section`, creating the file, section and key as needed, and keeps every other
    // line as it was. The file is replaced atomically and created readable by its owner only; a
    // settings file that is a symbolic link stays one, and the file it points to is replaced.
    // Returns false when the file could not be written.
    bool WriteIniValue(const QString& section, const QString& key, const QString& value) const;

private:
    QString path_;
};

} // namespace swn
