#pragma once

#include <QString>
#include <atomic>
#include <memory>
#include <mutex>

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

// Lets another thread end a session's waits at once: it shuts down the socket the session uses
// (while connecting too), which wakes every blocked connect, handshake and read. Only the reading
// side is shut, so the session can still say QUIT; a hard interrupt shuts both sides. The reply
// that ends a transaction is waited for unless the interrupt is hard: reading it is what tells
// whether the message was delivered.
class SocketInterrupter
{
public:
    // The socket the session waits on from now (-1: none, called before it is closed); false when
    // the session was interrupted already.
    bool watch(int fd);
    void interrupt(bool hard);
    bool interrupted() const { return m_interrupted.load(std::memory_order_relaxed); }
    // Interrupted, and nothing is on its way whose reply must still be read, or the reading side
    // is shut already (a reply could no longer be read): write nothing more.
    bool stopsWrites();
    void reset();
    void setAwaitingFinalReply(bool awaiting);
    bool awaitingFinalReply();

private:
    std::mutex m_lock;
    int m_fd = -1;
    bool m_finalReply = false;
    bool m_readShut = false; // the reading side of the watched socket is shut
    std::atomic<bool> m_interrupted{false};
};

// The name a session greets the server with when none is set: this machine's fully qualified
// name when it has one, else the address literal of the connection's local end ("[192.0.2.1]",
// "[IPv6:2001:db8::1]"), which a server that wants a qualified name accepts too.
QString DefaultGreetingName(int fd);

// Connects to the host ("localhost" in any case means 127.0.0.1) within the time limit (0: none),
// which then also bounds every read and write. Throws the socket error texts.
std::unique_ptr<ByteStream> ConnectSocket(const QString& host, int port, int timeoutMs,
                                          SocketInterrupter* interrupter = nullptr);
