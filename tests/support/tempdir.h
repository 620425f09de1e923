#pragma once

#include "support/printers.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QString>
#include <QTemporaryDir>

inline QByteArray readAll(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

inline void writeAll(const QString& path, const QByteArray& bytes)
{
    QFile f(path);
    if (f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        f.write(bytes);
}

// Runs a test inside a fresh working directory, restoring the old one afterwards.
class ScopedWorkDir
{
public:
    ScopedWorkDir()
        : m_old(QDir::currentPath())
    {
        QDir::setCurrent(m_dir.path());
    }
    ~ScopedWorkDir() { QDir::setCurrent(m_old); }
    QString path() const { return m_dir.path(); }
    QString file(const QString& name) const { return m_dir.path() + '/' + name; }

private:
    QTemporaryDir m_dir;
    QString m_old;
};
