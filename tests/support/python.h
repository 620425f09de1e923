#pragma once

#include <QByteArray>
#include <QFile>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

// Runs a Python script with Debian's python3 (and its e-mail package) over one message, saved as
// the file sys.argv[1]; further arguments follow it. What the script printed, errors included.
inline QString pythonOnMessage(const QByteArray& message, const char* script, const QStringList& args = {})
{
    QTemporaryDir dir;
    QFile f(dir.filePath("m.eml"));
    if (!f.open(QIODevice::WriteOnly))
        return QStringLiteral("cannot write the message");
    f.write(message);
    f.close();
    QProcess python;
    python.start("/usr/bin/python3", QStringList{"-c", QString::fromUtf8(script), f.fileName()} + args);
    if (!python.waitForFinished(20000))
        return QStringLiteral("python3 did not finish");
    return QString::fromUtf8(python.readAllStandardOutput() + python.readAllStandardError());
}
