#include "core/smtp/socketstream.h"

#include "core/error.h"

#include <QHash>
#include <arpa/inet.h>
#include <climits>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

int SocketErrorNumber(int e)
{
    switch (e) {
    case EINTR: return 10004;
    case EBADF: return 10009;
    case EACCES: case EPERM: return 10013;
    case EFAULT: return 10014;
    case EINVAL: return 10022;
    case EMFILE: case ENFILE: return 10024;
    case EWOULDBLOCK: return 10035;
    case EINPROGRESS: return 10036;
    case EALREADY: return 10037;
    case ENOTSOCK: return 10038;
    case EDESTADDRREQ: return 10039;
    case EMSGSIZE: return 10040;
    case EPROTOTYPE: return 10041;
    case ENOPROTOOPT: return 10042;
    case EPROTONOSUPPORT: return 10043;
    case ESOCKTNOSUPPORT: return 10044;
    case EOPNOTSUPP: return 10045;
    case EPFNOSUPPORT: return 10046;
    case EAFNOSUPPORT: return 10047;
    case EADDRINUSE: return 10048;
    case EADDRNOTAVAIL: return 10049;
    case ENETDOWN: return 10050;
    case ENETUNREACH: return 10051;
    case ENETRESET: return 10052;
    case ECONNABORTED: return 10053;
    case ECONNRESET: return 10054;
    case ENOBUFS: return 10055;
    case EISCONN: return 10056;
    case ENOTCONN: return 10057;
    case EPIPE: case ESHUTDOWN: return 10058;
    case ETOOMANYREFS: return 10059;
    case ETIMEDOUT: return 10060;
    case ECONNREFUSED: return 10061;
    case ELOOP: return 10062;
    case ENAMETOOLONG: return 10063;
    case EHOSTDOWN: return 10064;
    case EHOSTUNREACH: return 10065;
    case ENOTEMPTY: return 10066;
    default: return e;
    }
}

QString SocketErrorMessage(int number)
{
    static const QHash<int, const char*> texts = {
        {10004, "Interrupted system call."}, {10009, "Bad file number."}, {10013, "Access denied."},
        {10014, "Bad address."}, {10022, "Invalid argument."}, {10024, "Too many open files."},
        {10035, "Operation would block. "}, {10036, "Operation now in progress."},
        {10037, "Operation already in progress."}, {10038, "Socket operation on non-socket."},
        {10039, "Destination address required."}, {10040, "Message too long."},
        {10041, "Protocol wrong type for socket."}, {10042, "Bad protocol option."},
        {10043, "Protocol not supported."}, {10044, "Socket type not supported."},
        {10045, "Operation not supported on socket."}, {10046, "Protocol family not supported."},
        {10047, "Address family not supported by protocol family."}, {10048, "Address already in use."},
        {10049, "Cannot assign requested address."}, {10050, "Network is down."}, {10051, "Network is unreachable."},
        {10052, "Net dropped connection or reset."}, {10053, "Software caused connection abort."},
        {10054, "Connection reset by peer."}, {10055, "No buffer space available."},
        {10056, "Socket is already connected."}, {10057, "Socket is not connected."},
        {10058, "Cannot send or receive after socket is closed."}, {10059, "Too many references, cannot splice."},
        {10060, "Connection timed out."}, {10061, "Connection refused."}, {10062, "Too many levels of symbolic links."},
        {10063, "File name too long."}, {10064, "Host is down."}, {10065, "No route to host."},
        {10066, "Directory not empty"}, {11001, "Host not found."},
    };
    return QStringLiteral("Socket Error # %1\r\n%2").arg(number).arg(QString::fromLatin1(texts.value(number, "")));
}

QString SocketErrorFromErrno(int e)
{
    return SocketErrorMessage(SocketErrorNumber(e));
}


SocketStream::SocketStream(int fd)
    : m_fd(fd)
{
}

SocketStream::~SocketStream()
{
    close();
}

qint64 SocketStream::read(char* buffer, qint64 size)
{
    qint64 n;
    do {
        n = ::recv(m_fd, buffer, size_t(size), 0);
    } while (n < 0 && errno == EINTR);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
        errno = ETIMEDOUT;
    return n;
}

qint64 SocketStream::write(const char* buffer, qint64 size)
{
    qint64 n;
    do {
        n = ::send(m_fd, buffer, size_t(size), MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
        errno = ETIMEDOUT;
    return n;
}

void SocketStream::setReadTimeout(int ms)
{
    const timeval tv{ms / 1000, (ms % 1000) * 1000};
    setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
}

void SocketStream::close()
{
    if (m_fd < 0)
        return;
    ::shutdown(m_fd, SHUT_WR);
    ::close(m_fd);
    m_fd = -1;
}

bool SocketInterrupter::watch(int fd)
{
    std::lock_guard<std::mutex> hold(m_lock);
    m_fd = fd;
    m_readShut = false;
    return !interrupted();
}

void SocketInterrupter::interrupt(bool hard)
{
    std::lock_guard<std::mutex> hold(m_lock);
    m_interrupted = true;
    if (m_fd >= 0 && (hard || !m_finalReply)) {
        ::shutdown(m_fd, hard ? SHUT_RDWR : SHUT_RD);
        m_readShut = true;
    }
}

bool SocketInterrupter::stopsWrites()
{
    if (!interrupted())
        return false;
    std::lock_guard<std::mutex> hold(m_lock);
    return !m_finalReply || m_readShut;
}

void SocketInterrupter::reset()
{
    std::lock_guard<std::mutex> hold(m_lock);
    m_interrupted = false;
    m_finalReply = false;
    m_readShut = false;
}

void SocketInterrupter::setAwaitingFinalReply(bool awaiting)
{
    std::lock_guard<std::mutex> hold(m_lock);
    m_finalReply = awaiting;
    if (!awaiting && interrupted() && m_fd >= 0) {
        ::shutdown(m_fd, SHUT_RD); // the interrupt that came while the reply was awaited
        m_readShut = true;
    }
}

bool SocketInterrupter::awaitingFinalReply()
{
    std::lock_guard<std::mutex> hold(m_lock);
    return m_finalReply;
}

namespace {

[[noreturn]] void failNetwork(const QString& text)
{
    throw BrevoraError(ErrorKind::Network, text);
}

// Connects one address without blocking past the time limit; the socket, or -1 with errno set.
int connectAddress(const addrinfo* a, int timeoutMs, SocketInterrupter* interrupter)
{
    const int fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
    if (fd < 0)
        return -1;
    if (interrupter && !interrupter->watch(fd)) {
        interrupter->watch(-1);
        ::close(fd);
        errno = ECANCELED;
        return -1;
    }
    const int flags = fcntl(fd, F_GETFL);
    fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    int result = ::connect(fd, a->ai_addr, a->ai_addrlen);
    if (result != 0 && errno == EINPROGRESS) {
        pollfd p{fd, POLLOUT, 0};
        const int ready = ::poll(&p, 1, timeoutMs > 0 ? timeoutMs : -1);
        if (ready == 0) {
            errno = ETIMEDOUT;
        } else if (ready > 0) {
            int soError = 0;
            socklen_t len = sizeof soError;
            getsockopt(fd, SOL_SOCKET, SO_ERROR, &soError, &len);
            errno = soError;
            result = soError == 0 ? 0 : -1;
        }
    }
    if (result != 0) {
        const int error = errno;
        if (interrupter)
            interrupter->watch(-1);
        ::close(fd);
        errno = error;
        return -1;
    }
    fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (timeoutMs > 0) {
        timeval tv{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    }
    return fd;
}

} // namespace

std::unique_ptr<ByteStream> ConnectSocket(const QString& hostName, int port, int timeoutMs, SocketInterrupter* interrupter)
{
    // A write to a peer that has gone must fail with EPIPE, not end the process.
    std::signal(SIGPIPE, SIG_IGN);
    QString host = hostName;
    if (host.compare(QLatin1String("LOCALHOST"), Qt::CaseInsensitive) == 0)
        host = QStringLiteral("127.0.0.1");
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const QByteArray hostBytes = host.toUtf8();
    const QByteArray portBytes = QByteArray::number(port);
    if (host.isEmpty() || port <= 0 || port > 65535
        || getaddrinfo(hostBytes.constData(), portBytes.constData(), &hints, &found) != 0 || !found)
        failNetwork(SocketErrorMessage(11001));

    int lastError = ECONNREFUSED;
    for (addrinfo* a = found; a; a = a->ai_next) {
        const int fd = connectAddress(a, timeoutMs, interrupter);
        if (fd >= 0) {
            freeaddrinfo(found);
            return std::make_unique<SocketStream>(fd);
        }
        lastError = errno;
        if (interrupter && interrupter->interrupted())
            break;
        if (!a->ai_next && (lastError == EMFILE || lastError == ENFILE || lastError == ENOBUFS)) {
            freeaddrinfo(found);
            failNetwork(QStringLiteral("Cannot allocate socket."));
        }
    }
    freeaddrinfo(found);
    failNetwork(SocketErrorFromErrno(lastError));
}

QString DefaultGreetingName(int fd)
{
    char host[HOST_NAME_MAX + 1] = {};
    if (gethostname(host, sizeof host - 1) == 0) {
        addrinfo hints{};
        hints.ai_flags = AI_CANONNAME;
        hints.ai_socktype = SOCK_STREAM;
        addrinfo* found = nullptr;
        if (getaddrinfo(host, nullptr, &hints, &found) == 0 && found) {
            const QString name = QString::fromLatin1(found->ai_canonname ? found->ai_canonname : "").toLower();
            freeaddrinfo(found);
            // "localhost.localdomain" and the like name no machine a server could look up.
            if (name.contains('.') && !name.startsWith(QLatin1String("localhost")) && !name.endsWith('.'))
                return name;
        }
    }
    sockaddr_storage local{};
    socklen_t length = sizeof local;
    char text[INET6_ADDRSTRLEN] = {};
    if (fd >= 0 && getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) == 0) {
        if (local.ss_family == AF_INET
            && inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in&>(local).sin_addr, text, sizeof text))
            return '[' + QString::fromLatin1(text) + ']';
        if (local.ss_family == AF_INET6) {
            const in6_addr& a = reinterpret_cast<const sockaddr_in6&>(local).sin6_addr;
            if (IN6_IS_ADDR_V4MAPPED(&a) && inet_ntop(AF_INET, &a.s6_addr[12], text, sizeof text))
                return '[' + QString::fromLatin1(text) + ']';
            if (inet_ntop(AF_INET6, &a, text, sizeof text))
                return QStringLiteral("[IPv6:") + QString::fromLatin1(text) + ']';
        }
    }
    return QStringLiteral("[127.0.0.1]");
}
