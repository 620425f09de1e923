#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <utility>

// An INI file read and written as raw bytes: names match without regard to ASCII case, a new key
// goes to the end of its section, a new section to the end of the file, and every write replaces
// the whole file atomically (temporary file, then rename). Nothing is cached between calls.
class IniFile
{
public:
    explicit IniFile(QString path);

    static constexpr int kMaxValueLength = 2047;
    static constexpr int kKeyListBytes = 16384;

    QByteArray readValue(const QByteArray& section, const QByteArray& key, const QByteArray& fallback = {}) const;
    // Key names of the section in file order, as many as fit the key list capacity.
    QList<QByteArray> listKeys(const QByteArray& section) const;
    // Every key of the section with its value (as readValue gives it), in file order, read at once.
    QList<std::pair<QByteArray, QByteArray>> readSection(const QByteArray& section) const;
    // Throws "Unable to write to <path>" when the file cannot be replaced.
    void writeValue(const QByteArray& section, const QByteArray& key, const QByteArray& value) const;
    // Removes the key's line; a failure is not reported.
    void deleteKey(const QByteArray& section, const QByteArray& key) const;

    // Throws a clear error for a name or value that the file syntax cannot hold.
    static void checkKey(const QByteArray& key, const QString& shownKey);
    static void checkValue(const QByteArray& value, const QString& shownValue);

    const QString& path() const { return m_path; }

private:
    struct Line
    {
        QByteArray text; // without its line end
        QByteArray end;  // "\r\n", "\n" or empty for a last line without end
    };
    QList<Line> load() const;
    void save(const QList<Line>& lines) const;

    QString m_path;
};
