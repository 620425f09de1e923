#include "core/sendlog/deliveryjournal.h"

#include "core/sendlog/storeconnection.h"
#include "core/mail/addresskey.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QSqlError>
#include <QVariant>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#include <utility>

namespace {
// Journal space set aside at once, so that a full disk is noticed before a message goes out.
constexpr qint64 kJournalReserve = 256 * 1024;

QByteArray escapeField(const QString& text)
{
    const QByteArray utf8 = text.toUtf8();
    const auto special = [](char c) { return c == '\\' || c == '\t' || c == '\n' || c == '\r'; };
    if (std::none_of(utf8.begin(), utf8.end(), special))
        return utf8;
    QByteArray out;
    out.reserve(utf8.size() + 8);
    for (char c : utf8) {
        switch (c) {
        case '\\': out += "\\\\"; break;
        case '\t': out += "\\t"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        default: out += c;
        }
    }
    return out;
}

QString unescapeField(const QByteArray& text)
{
    QByteArray out;
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text.at(i) == '\\' && i + 1 < text.size()) {
            const char next = text.at(++i);
            out += next == 't' ? '\t' : next == 'n' ? '\n' : next == 'r' ? '\r' : next;
        } else {
            out += text.at(i);
        }
    }
    return QString::fromUtf8(out);
}

QString systemError(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}
} // namespace

int OpenLeftBehind(const QString& path, QByteArray* contents)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return -1;
    }
    QFile file;
    if (file.open(fd, QIODevice::ReadOnly, QFileDevice::DontCloseHandle))
        *contents = file.readAll();
    return fd;
}

JournalPolicy JournalPolicy::ownList()
{
    return {256, 200, 0, true};
}

JournalPolicy JournalPolicy::sharedList()
{
    return {32, 20, 4 * 1024 * 1024, false};
}

DeliveryJournal::DeliveryJournal(StoreConnection& connection, const QString& base, const JournalPolicy& policy)
    : m_connection(connection)
    , m_base(base)
    , m_policy(policy)
{
    for (size_t k = 0; k < std::size(kChunkSizes); ++k) {
        QString insertChunk = QStringLiteral("INSERT INTO sendlog (SENDDATE, MAILADDR, TYPE) VALUES (?, ?, TRUE)");
        QString deleteChunk = QStringLiteral("DELETE FROM pending WHERE id IN (?");
        QString keyChunk = QStringLiteral("INSERT INTO delivered_address (address) VALUES (?)");
        for (qsizetype i = 1; i < kChunkSizes[k]; ++i) {
            insertChunk += QStringLiteral(", (?, ?, TRUE)");
            deleteChunk += QStringLiteral(", ?");
            keyChunk += QStringLiteral(", (?)");
        }
        m_keyChunks[k] = std::make_unique<QSqlQuery>(m_connection.db());
        m_keyChunks[k]->prepare(keyChunk + QStringLiteral(" ON CONFLICT DO NOTHING"));
        m_insertChunks[k] = std::make_unique<QSqlQuery>(m_connection.db());
        m_insertChunks[k]->prepare(insertChunk);
        m_deleteChunks[k] = std::make_unique<QSqlQuery>(m_connection.db());
        m_deleteChunks[k]->prepare(deleteChunk + ')');
    }
}

DeliveryJournal::~DeliveryJournal()
{
    if (flush() && m_fd >= 0) {
        // Everything is applied: the journal and its note go.
        QSqlQuery forget(m_connection.db());
        forget.prepare(QStringLiteral("DELETE FROM journal_state WHERE name = ?"));
        forget.addBindValue(m_name);
        forget.exec();
        QFile::remove(QFileInfo(m_base).absolutePath() + '/' + m_name);
    }
    if (m_fd >= 0)
        ::close(m_fd);
}

QString DeliveryJournal::prefix() const
{
    return QFileInfo(m_base).fileName() + QStringLiteral("-deliveries-");
}

QByteArray DeliveryJournal::line(qint64 pendingId, const QString& timestamp, const QString& entry)
{
    return QByteArray::number(pendingId) + '\t' + escapeField(timestamp) + '\t' + escapeField(entry) + '\n';
}

bool DeliveryJournal::parseLine(const QByteArray& line, qint64* pendingId, QString* timestamp, QString* entry)
{
    const qsizetype first = line.indexOf('\t');
    const qsizetype second = first < 0 ? -1 : line.indexOf('\t', first + 1);
    if (second < 0)
        return false;
    bool ok = false;
    *pendingId = line.left(first).toLongLong(&ok);
    *timestamp = unescapeField(line.mid(first + 1, second - first - 1));
    *entry = unescapeField(line.mid(second + 1));
    return ok;
}

bool DeliveryJournal::holds(const QString& entry) const
{
    const QString key = AddressKey(entry);
    return m_unapplied.contains(key) || m_blockedEntries.contains(key);
}

QSet<QString> DeliveryJournal::heldAmong(const QSet<QString>& wanted) const
{
    QSet<QString> held;
    if (m_unapplied.isEmpty() && m_blockedEntries.isEmpty())
        return held;
    for (const QString& e : wanted)
        if (holds(e))
            held.insert(e);
    return held;
}

QSet<qint64> DeliveryJournal::heldIds() const
{
    QSet<qint64> ids = m_blockedIds;
    for (const QList<Delivery>* rows : {&m_unappliedRows, &m_heldRows})
        for (const Delivery& d : *rows)
            ids.insert(d.pendingId);
    return ids;
}

bool DeliveryJournal::open()
{
    const QString folder = QFileInfo(m_base).absolutePath();
    const QString unique = QStringLiteral("%1-%2-%3")
                               .arg(::getpid())
                               .arg(QDateTime::currentMSecsSinceEpoch())
                               .arg(QRandomGenerator::global()->generate(), 8, 16, QLatin1Char('0'));
    m_name = prefix() + unique;
    // Made under another name and locked before it gets its real one, so that no other process
    // ever finds it unlocked and takes it for the journal of a process that ended.
    const QByteArray temporary = QFile::encodeName(folder + QStringLiteral("/.journal-") + unique);
    const QByteArray path = QFile::encodeName(folder + '/' + m_name);
    m_fd = ::open(temporary.constData(), O_WRONLY | O_CREAT | O_EXCL | O_APPEND | O_CLOEXEC, 0600);
    if (m_fd < 0 || ::flock(m_fd, LOCK_EX | LOCK_NB) != 0 || ::rename(temporary.constData(), path.constData()) != 0) {
        const int error = errno;
        if (m_fd >= 0) {
            ::close(m_fd);
            ::unlink(temporary.constData());
        }
        m_fd = -1;
        return m_connection.fail(QStringLiteral("Cannot open the delivery journal: %1").arg(systemError(error)));
    }
    m_bytes = 0;
    m_reserved = 0;
    return true;
}

void DeliveryJournal::abandon()
{
    // Its lines are applied, and the note says how far; the file is left for the next opening
    // of the store to remove. New deliveries go to a fresh journal.
    ::close(m_fd);
    m_fd = -1;
    m_bytes = 0;
    m_reserved = 0;
}

bool DeliveryJournal::reserve(const QString& entry)
{
    if (m_fd < 0 && !open())
        return false;
    // The longest line this entry can give: the id, a timestamp and the entry, each UTF-16 unit
    // at most three UTF-8 bytes, each of them escaped in two.
    const qint64 need = m_bytes + 64 + 6 * entry.size();
    if (need <= m_reserved)
        return true;
    // Room for many deliveries at once, or failing that for this one.
    for (const qint64 size : {need + kJournalReserve, need}) {
        if (::fallocate(m_fd, FALLOC_FL_KEEP_SIZE, 0, size) == 0) {
            m_reserved = size;
            return true;
        }
        if (errno == EOPNOTSUPP || errno == ENOSYS) {
            m_reserved = 0; // a file system that cannot set space aside: writes will tell
            return true;
        }
        if (errno != ENOSPC)
            break;
    }
    return m_connection.fail(QStringLiteral("Cannot make room for the delivery journal in %1: %2")
                                 .arg(QDir::toNativeSeparators(QFileInfo(m_base).absolutePath()), systemError(errno)));
}

bool DeliveryJournal::record(qint64 pendingId, const QString& entry)
{
    if (m_fd < 0 && !open())
        return false;
    const QString timestamp = SendLogTimestamp();
    if (m_holding) {
        m_heldRows.append({pendingId, timestamp, entry});
        m_unapplied.insert(AddressKey(entry));
        return true;
    }
    if (!appendLines(line(pendingId, timestamp, entry)))
        return false;
    m_unapplied.insert(AddressKey(entry));
    if (m_unappliedRows.isEmpty())
        m_oldestUnapplied.start();
    m_unappliedRows.append({pendingId, timestamp, entry});
    if (m_unappliedRows.size() >= 4 * m_policy.batchDeliveries || m_oldestUnapplied.elapsed() >= 4 * m_policy.batchAgeMs)
        return flush();
    return true;
}

bool DeliveryJournal::appendLines(const QByteArray& text)
{
    const ssize_t written = ::write(m_fd, text.constData(), size_t(text.size()));
    if (written == text.size()) {
        m_bytes += written;
        return true;
    }
    const int error = written < 0 ? errno : ENOSPC;
    m_reserved = 0;
    if (written > 0 && ::ftruncate(m_fd, m_bytes) != 0) {
        // A torn line stays incomplete and is never applied; nothing more may follow it. The
        // journal's lines wait for the next opening of the store.
        ::close(m_fd);
        m_fd = -1;
        m_unappliedRows.clear();
    }
    return m_connection.fail(QStringLiteral("Cannot write the delivery journal: %1").arg(systemError(error)));
}

void DeliveryJournal::forgetUnwritten(const QList<Delivery>& rows)
{
    QSet<QString> written;
    for (const Delivery& d : std::as_const(m_unappliedRows))
        written.insert(AddressKey(d.entry));
    for (const Delivery& d : rows)
        if (const QString key = AddressKey(d.entry); !written.contains(key))
            m_unapplied.remove(key);
}

bool DeliveryJournal::writeHeld()
{
    if (m_heldRows.isEmpty())
        return true;
    const QList<Delivery> rows = std::exchange(m_heldRows, {});
    QByteArray text;
    for (const Delivery& d : rows)
        text += line(d.pendingId, d.timestamp, d.entry);
    const bool written = m_fd >= 0 ? appendLines(text)
                                   : m_connection.fail(QStringLiteral("Cannot write the delivery journal: it was closed after an "
                                                                      "earlier failure."));
    if (!written) {
        for (const Delivery& d : rows)
            m_lost.append(d.pendingId);
        forgetUnwritten(rows);
        return false;
    }
    if (m_unappliedRows.isEmpty())
        m_oldestUnapplied.start();
    m_unappliedRows += rows;
    return true;
}

bool DeliveryJournal::flushDue()
{
    if (m_unappliedRows.size() >= m_policy.batchDeliveries
        || (!m_unappliedRows.isEmpty() && m_oldestUnapplied.elapsed() >= m_policy.batchAgeMs))
        return flush();
    return true;
}

bool DeliveryJournal::flush()
{
    if (!writeHeld())
        return false;
    if (m_unappliedRows.isEmpty() || m_fd < 0)
        return true;
    // What this process's journal holds beyond the applied part of its note is unapplied. It is
    // emptied once it has grown past the policy's size (at once, for a list of one run); the
    // note in the batch's transaction says how far it was applied.
    m_vanished = 0;
    if (!apply(m_unappliedRows, m_name, m_bytes))
        return false;
    const int vanished = std::exchange(m_vanished, 0);
    m_unapplied.clear();
    m_unappliedRows.clear();
    if (m_bytes >= m_policy.keepUpToBytes) {
        if (::ftruncate(m_fd, 0) != 0) {
            abandon();
        } else {
            m_bytes = 0;
            m_reserved = 0; // truncating gives the space set aside back
            QSqlQuery reset(m_connection.db());
            reset.prepare(QStringLiteral("UPDATE journal_state SET applied = 0 WHERE name = ?"));
            reset.addBindValue(m_name);
            if (!reset.exec())
                abandon(); // the note would skip the next lines of this file after a crash
        }
    }
    if (vanished > 0)
        return m_connection.fail(QStringLiteral("%1 delivered entries were no longer in the pending list of %2: another "
                                                "program changed the list during the run.")
                                     .arg(vanished)
                                     .arg(m_connection.shownName()));
    return true;
}

bool DeliveryJournal::applyChunk(const Delivery* rows, size_t sizeIndex)
{
    const qsizetype count = kChunkSizes[sizeIndex];
    QSqlQuery& insert = *m_insertChunks[sizeIndex];
    QSqlQuery& remove = *m_deleteChunks[sizeIndex];
    QSqlQuery& keys = *m_keyChunks[sizeIndex];
    for (qsizetype i = 0; i < count; ++i) {
        keys.bindValue(int(i), AddressKey(rows[i].entry));
        remove.bindValue(int(i), rows[i].pendingId);
        insert.bindValue(int(2 * i), rows[i].timestamp);
        insert.bindValue(int(2 * i + 1), rows[i].entry);
    }
    if (!remove.exec())
        return m_connection.fail(remove);
    // A delivered entry whose pending row another program removed meanwhile: it is logged all
    // the same, and the run hears of it.
    if (m_policy.vanishedIsError)
        m_vanished += int(count) - qMax(0, remove.numRowsAffected());
    return (insert.exec() || m_connection.fail(insert)) && (keys.exec() || m_connection.fail(keys));
}

bool DeliveryJournal::apply(const QList<Delivery>& rows, const QString& journalName, qint64 appliedTo)
{
    return m_connection.transaction([&] {
        for (qsizetype at = 0; at < rows.size();) {
            size_t k = 0;
            while (kChunkSizes[k] > rows.size() - at)
                ++k;
            if (!applyChunk(rows.constData() + at, k))
                return false;
            at += kChunkSizes[k];
        }
        QSqlQuery note(m_connection.db());
        note.prepare(QStringLiteral("INSERT INTO journal_state (name, applied) VALUES (?, ?) "
                                    "ON CONFLICT (name) DO UPDATE SET applied = excluded.applied"));
        note.addBindValue(journalName);
        note.addBindValue(appliedTo);
        return note.exec() || m_connection.fail(note);
    });
}

void DeliveryJournal::recover()
{
    m_blockedIds.clear();
    m_blockedEntries.clear();
    m_unappliedReason.clear();
    int waiting = 0;
    QStringList waitingFiles;
    QString cause;
    const QDir folder = QFileInfo(m_base).absoluteDir();
    const QStringList names = folder.entryList({prefix() + '*'}, QDir::Files);
    for (const QString& name : names) {
        // A journal whose owner still holds its lock is that process's business.
        QByteArray data;
        const int fd = OpenLeftBehind(folder.filePath(name), &data);
        if (fd < 0)
            continue;
        QSqlQuery state(m_connection.db());
        state.prepare(QStringLiteral("SELECT applied FROM journal_state WHERE name = ?"));
        state.addBindValue(name);
        qint64 from = state.exec() && state.next() ? state.value(0).toLongLong() : 0;
        state.finish();
        // A journal shorter than its note was emptied after its lines were applied.
        if (from > data.size())
            from = 0;
        QList<Delivery> rows;
        qint64 end = from;
        for (qsizetype lf = data.indexOf('\n', end); lf >= 0; lf = data.indexOf('\n', end)) {
            Delivery row;
            if (parseLine(data.mid(end, lf - end), &row.pendingId, &row.timestamp, &row.entry))
                rows.append(row);
            end = lf + 1;
        }
        const bool applied = apply(rows, name, end);
        ::close(fd);
        if (!applied) {
            // Their entries were delivered: until they reach the send log they count as sent
            // and are not pending, and no run starts.
            for (const Delivery& row : rows) {
                m_blockedIds.insert(row.pendingId);
                m_blockedEntries.insert(AddressKey(row.entry));
            }
            waiting += int(rows.size());
            waitingFiles.append(QDir::toNativeSeparators(folder.filePath(name)));
            cause = m_connection.lastError();
            continue;
        }
        QFile::remove(folder.filePath(name));
    }
    if (waiting > 0)
        m_unappliedReason = QStringLiteral("%1 deliveries recorded in %2 could not be applied to the send log: %3")
                                .arg(waiting)
                                .arg(waitingFiles.join(QStringLiteral(", ")), cause);
    // Notes of journals that are gone.
    QSqlQuery stale(m_connection.db());
    QStringList gone;
    if (stale.exec(QStringLiteral("SELECT name FROM journal_state")))
        while (stale.next())
            if (const QString name = stale.value(0).toString(); name.startsWith(prefix()) && !folder.exists(name))
                gone.append(name);
    stale.finish();
    for (const QString& name : gone) {
        QSqlQuery forget(m_connection.db());
        forget.prepare(QStringLiteral("DELETE FROM journal_state WHERE name = ?"));
        forget.addBindValue(name);
        forget.exec();
    }
}
