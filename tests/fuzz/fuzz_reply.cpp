// Whole SMTP sessions against a hostile server: the input is everything the server says, fed
// over a real socket pair. The session must end in a clean error or a delivery, never worse.
#include "support/deliver.h"
#include "core/error.h"
#include "core/smtp/smtpclient.h"
#include "core/smtp/socketstream.h"
#include "core/text/codepage.h"

#include <sys/socket.h>
#include <unistd.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > 60000)
        return 0; // more than a socket buffer holds without a reader
    CodePage::setName("CP1252");
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0)
        return 0;
    int big = 1 << 20;
    setsockopt(fds[1], SOL_SOCKET, SO_SNDBUF, &big, sizeof big);
    setsockopt(fds[0], SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
    if (::write(fds[1], data, size) != ssize_t(size)) {
        ::close(fds[0]);
        ::close(fds[1]);
        return 0;
    }
    ::shutdown(fds[1], SHUT_WR);
    SmtpClient client;
    client.HeloName = "fuzzer";
    client.ReadTimeout = 200;
    const int fd = fds[0];
    client.setStreamOpener([fd](const QString&, int, int) { return std::make_unique<SocketStream>(fd); });
    try {
        client.OpenSession();
        client.setLoginMechanism(LoginMechanism::Login);
        client.Username = "user";
        client.Password = "secret";
        if (client.OfferedAuthSchemes().contains("LOGIN"))
            client.LogIn();
        EmailMessage m;
        m.From = {"me@example.com", "Me"};
        m.Subject = "Hello";
        SetRecipientsText(m.Recipients, "ann@example.org; bob@example.org");
        m.ContentType = "text/plain";
        m.Body = {"Hello", ".dot"};
        DeliverMessage(client, m);
        DeliverMessage(client, m);
    } catch (const BrevoraError&) {
    }
    client.CloseSession();
    ::close(fds[1]);
    return 0;
}
