#pragma once

#include <QtGlobal>

// The only thing the SMTP session reads and writes: a connected byte stream. Reads and writes
// report like recv and send: more than 0 bytes done, 0 the peer closed, below 0 an error (errno set).
class ByteStream
{
public:
    virtual ~ByteStream() = default;
    virtual qint64 read(char* buffer, qint64 size) = 0;
    virtual qint64 write(const char* buffer, qint64 size) = 0;
    // Ends the stream in an orderly way; further reads and writes fail.
    virtual void close() = 0;
    // The socket under the stream, for a TLS layer to run over; -1 when there is none.
    virtual int socketDescriptor() const = 0;
    // The longest a read may wait from now on for data to arrive (milliseconds, 0: no limit).
    virtual void setReadTimeout(int ms) = 0;
};
