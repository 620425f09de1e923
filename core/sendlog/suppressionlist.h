#pragma once

#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>
#include <optional>

class StoreConnection;

// Addresses that must never be mailed (unsubscribed, bounced, asked not to be contacted), with
// the time they were added and why. Compared without the case of the domain.
class SuppressionList
{
public:
    struct Row
    {
        QString address;
        QString added;
        QString reason;
    };

    explicit SuppressionList(StoreConnection& connection);

    // The form an address is compared in: the part before the last "@" as it is, the domain in
    // lower case; the address of an entry is its text before the first comma.
    static QString key(const QString& entryOrAddress);
    // Adds the addresses (those already there keep their date and reason); *added counts the new ones.
    bool add(const QStringList& addresses, const QString& reason, int* added = nullptr);
    bool remove(const QString& address, bool* found = nullptr);
    // Every row, in the order they were added; *ok false (and the store's lastError) on failure.
    QList<Row> rows(bool* ok = nullptr);
    // Why the entry's address is suppressed; nullopt when it is not (or the store cannot say).
    std::optional<QString> reasonFor(const QString& entry);
    // Which of the entries have a suppressed address; the reason for each.
    QHash<QString, QString> among(const QStringList& entries);

private:
    StoreConnection& m_connection;
};
