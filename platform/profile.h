#pragma once
// An INI file read and written one key at a time: every call opens the file,
// finds or replaces one line, and closes it again. Section and key names match
// without regard to letter case. The file is Shift-JIS text with CR LF lines.

#include "platform/error.h"

#include <QString>

namespace relvane {

class EProfileError : public Error {
public:
    using Error::Error;
};

class TProfileFile {
public:
    explicit TProfileFile(QString path) : Path(std::move(path)) {}

    [[nodiscard]] const QString& FileName() const { return Path; }

    // The key's value with surrounding blanks removed; `def` when the file,
    // the section or the key is missing.
    [[nodiscard]] QString ReadString(const QString& section, const QString& key,
                                     const QString& def) const;

    // Replaces the key's line, or adds the key at the end of its section, or
    // the section at the end of the file. Keys are never deleted. Throws
    // "%s に書き込めません" when the file cannot be written.
    void WriteString(const QString& section, const QString& key, const QString& value);

private:
    QString Path;
};

} // namespace relvane
