#pragma once

#include <QString>
#include <stdexcept>

// Every failure of the program travels as this exception; its message is the text the user sees.
class BrevoraError : public std::runtime_error
{
public:
    explicit BrevoraError(const QString& message)
        : std::runtime_error(message.toStdString())
        , m_message(message)
    {
    }
    const QString& message() const { return m_message; }

private:
    QString m_message;
};
