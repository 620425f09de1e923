#pragma once

#include <QString>

// The numbered socket error texts the program reports: "Socket Error # %d" CR LF text.
int SocketErrorNumber(int posixErrno);
QString SocketErrorMessage(int number);
// The message for a POSIX errno.
QString SocketErrorFromErrno(int posixErrno);

// The machine's own host name as the system reports it.
QString LocalHostName();
