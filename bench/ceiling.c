/* The ceiling of this machine for a client with nothing else to do: a fixed message, sent over
 * one session either pipelined as over DATA (one write of RSET, MAIL, RCPT and DATA, one write of
 * the message with its "."; 2 round trips a message) or with BDAT (one write of MAIL, RCPT, BDAT
 * LAST and the message, then its 3 replies; 1 round trip a message). What a real client reaches,
 * and the CPU it spends on each message, is measured against it.
 *
 *   ceiling HOST PORT COUNT TLS(0|1) USER PASSWORD [bdat]
 */
#include <arpa/inet.h>
#include <netinet/tcp.h>
#include <openssl/ssl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

static int fd;
static SSL* ssl;

static void die(const char* what)
{
    fprintf(stderr, "ceiling: %s\n", what);
    exit(1);
}

static void put(const char* bytes, size_t size)
{
    while (size > 0) {
        const int n = ssl ? SSL_write(ssl, bytes, (int)size) : (int)send(fd, bytes, size, 0);
        if (n <= 0)
            die("write failed");
        bytes += n;
        size -= (size_t)n;
    }
}

/* Reads until the given number of final reply lines ("xyz ") has arrived; the last code. */
static int replies(int count)
{
    static char buf[65536];
    static size_t have;
    int code = 0;
    while (count > 0) {
        char* lf;
        while ((lf = memchr(buf, '\n', have)) != NULL) {
            const size_t line = (size_t)(lf - buf) + 1;
            if (line >= 4 && buf[3] != '-') {
                code = atoi(buf);
                --count;
            }
            memmove(buf, buf + line, have - line);
            have -= line;
            if (count == 0)
                return code;
        }
        const int n = ssl ? SSL_read(ssl, buf + have, (int)(sizeof buf - have)) : (int)recv(fd, buf + have, sizeof buf - have, 0);
        if (n <= 0)
            die("read failed or timed out");
        have += (size_t)n;
    }
    return code;
}

static void base64(const char* in, char* out)
{
    static const char table[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    const size_t n = strlen(in);
    size_t i = 0;
    for (; i + 2 < n; i += 3, out += 4) {
        const unsigned v = (unsigned char)in[i] << 16 | (unsigned char)in[i + 1] << 8 | (unsigned char)in[i + 2];
        out[0] = table[v >> 18], out[1] = table[(v >> 12) & 63], out[2] = table[(v >> 6) & 63], out[3] = table[v & 63];
    }
    if (i < n) {
        const unsigned v = (unsigned char)in[i] << 16 | (i + 1 < n ? (unsigned char)in[i + 1] << 8 : 0);
        out[0] = table[v >> 18], out[1] = table[(v >> 12) & 63];
        out[2] = i + 1 < n ? table[(v >> 6) & 63] : '=', out[3] = '=';
        out += 4;
    }
    *out = 0;
}

int main(int argc, char** argv)
{
    if (argc != 7 && !(argc == 8 && strcmp(argv[7], "bdat") == 0))
        die("usage: ceiling HOST PORT COUNT TLS USER PASSWORD [bdat]");
    const int bdat = argc == 8;
    int count = atoi(argv[3]);
    struct sockaddr_in a = {0};
    a.sin_family = AF_INET;
    a.sin_port = htons((unsigned short)atoi(argv[2]));
    if (inet_pton(AF_INET, argv[1], &a.sin_addr) != 1)
        die("bad address");
    fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0 || connect(fd, (struct sockaddr*)&a, sizeof a) != 0)
        die("cannot connect");
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    const struct timeval limit = {10, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    if (atoi(argv[4])) {
        SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
        ssl = SSL_new(ctx);
        SSL_set_fd(ssl, fd);
        if (SSL_connect(ssl) != 1)
            die("TLS handshake failed");
    }
    char user[256], password[256], line[600];
    base64(argv[5], user);
    base64(argv[6], password);
    replies(1);
    put("EHLO ceiling\r\n", 14);
    replies(1);
    snprintf(line, sizeof line, "AUTH LOGIN\r\n");
    put(line, strlen(line));
    replies(1);
    snprintf(line, sizeof line, "%s\r\n", user);
    put(line, strlen(line));
    replies(1);
    snprintf(line, sizeof line, "%s\r\n", password);
    put(line, strlen(line));
    if (replies(1) != 235)
        die("login refused");

    char message[1400];
    int at = snprintf(message, sizeof message, "From: sender@example.com\r\nTo: r@example.org\r\nSubject: Monthly letter\r\n\r\n");
    while (at < 1180)
        at += snprintf(message + at, sizeof message - (size_t)at, "Dear Name, this is the monthly letter.\r\n");
    if (bdat) {
        char chunk[1600];
        const int size = snprintf(chunk, sizeof chunk, "MAIL FROM:<sender@example.com>\r\nRCPT TO:<r@example.org>\r\nBDAT %d LAST\r\n", at);
        memcpy(chunk + size, message, (size_t)at);
        for (int i = 0; i < count; ++i) {
            put(chunk, (size_t)(size + at));
            if (replies(3) != 250)
                die("message refused");
        }
        count = 0;
    }
    at += snprintf(message + at, sizeof message - (size_t)at, ".\r\n");
    const char* envelope = "RSET\r\nMAIL FROM:<sender@example.com>\r\nRCPT TO:<r@example.org>\r\nDATA\r\n";
    for (int i = 0; i < count; ++i) {
        put(envelope, strlen(envelope));
        if (replies(4) != 354)
            die("envelope refused");
        put(message, (size_t)at);
        if (replies(1) != 250)
            die("message refused");
    }
    put("QUIT\r\n", 6);
    replies(1);
    return 0;
}
