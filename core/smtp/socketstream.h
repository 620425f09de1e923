#pragma once

#include <QString>
#include <memory>

#include "core/smtp/bytestream.h"

// The numbered socket error texts the program reports: "Socket Error # %d" CR LF text.
int SocketErrorNumber(int posixErrno);
QString SocketErrorMessage(int number);
// The message for a POSIX errno.
QString SocketErrorFromErrno(int posixErrno);

// A connected TCP socket as a byte stream; it owns the socket.
class SocketStream : public ByteStream
{
public:
    explicit SocketStream(int fd);
    ~SocketStream() override;
    SocketStream(const SocketStream&) = delete;
    SocketStream& operator=(const SocketStream&) = delete;

    qint64 read(char* buffer, qint64 size) override;
    qint64 write(const char* buffer, qint64 size) override;
    void close() override;
    int socketDescriptor() const override { return m_fd; }
    void setReadTimeout(int ms) override;

private:
    int m_fd;
};

// Connects to the host ("localhost" in any case means 127.0.0.1) within the time limit (0: none),
// which then also bounds every read and write. Throws the socket error texts.
std::unique_ptr<ByteStream> ConnectSocket(const QString& host, int port, int timeoutMs);
