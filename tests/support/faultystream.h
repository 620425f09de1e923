#pragma once

#include "core/smtp/bytestream.h"
#include "core/smtp/smtpclient.h"
#include "core/smtp/socketstream.h"

#include <QByteArray>
#include <cerrno>
#include <memory>

// A real socket stream whose n-th read or write (counting from 1, over all streams sharing the
// counter) fails as a reset connection would. With failAt 0 nothing fails and the counter
// tells how many operations a dialogue takes (reads vary with how the replies arrive).
class FaultyStream : public ByteStream
{
public:
    struct Counter
    {
        int operations = 0;
        int failAt = 0;
        bool failed = false;
        int writes = 0;
        int failWriteAt = 0; // fail this write (counting writes only, which do not vary), once
        QByteArray failedWrite; // what the failed write would have sent
    };

    FaultyStream(std::unique_ptr<ByteStream> inner, std::shared_ptr<Counter> counter)
        : m_inner(std::move(inner))
        , m_counter(std::move(counter))
    {
    }

    template <typename Opener = StreamOpener>
    static Opener opener(std::shared_ptr<Counter> counter)
    {
        return [counter](const QString& host, int port, int timeoutMs) -> std::unique_ptr<ByteStream> {
            return std::make_unique<FaultyStream>(ConnectSocket(host, port, timeoutMs), counter);
        };
    }

    qint64 read(char* buffer, qint64 size) override { return fails() ? -1 : m_inner->read(buffer, size); }
    qint64 write(const char* buffer, qint64 size) override
    {
        if (++m_counter->writes == m_counter->failWriteAt) {
            m_counter->failed = true;
            errno = ECONNRESET;
            return -1;
        }
        if (!fails())
            return m_inner->write(buffer, size);
        m_counter->failedWrite = QByteArray(buffer, size);
        return -1;
    }
    void close() override { m_inner->close(); }
    int socketDescriptor() const override { return m_inner->socketDescriptor(); }
    void setReadTimeout(int ms) override { m_inner->setReadTimeout(ms); }

private:
    bool fails()
    {
        if (++m_counter->operations != m_counter->failAt)
            return false;
        m_counter->failed = true;
        errno = ECONNRESET;
        return true;
    }

    std::unique_ptr<ByteStream> m_inner;
    std::shared_ptr<Counter> m_counter;
};
