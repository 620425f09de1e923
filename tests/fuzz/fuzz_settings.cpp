// The settings file as anything may leave it: every look-up and a write over it end in a value
// or a clean error.
#include "core/error.h"
#include "core/settings/settingsfile.h"
#include "core/text/codepage.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static QTemporaryDir dir;
    CodePage::setName("CP1252");
    SetAppDir(dir.path());
    {
        QFile file(IniPath());
        file.open(QIODevice::WriteOnly | QIODevice::Truncate);
        file.write(reinterpret_cast<const char*>(data), qint64(size));
    }
    try {
        for (const QString& host : ListServers()) {
            QString account, ssl, port, password;
            LookupServer(host, account, ssl, port, password);
            ReadTrustedFingerprint(host);
            ReadPlainLoginAllowed(host);
        }
        for (const QString& sender : ListSenders())
            LookupSender(sender);
        for (const QString& title : ListContents())
            LookupContent(title);
        ReadReturnReceipt();
        ReadBasicInteger(SettingsKeys::ServerPosition, 0);
        StoreSender(std::nullopt, {"fuzz@example.com", "Fuzz"});
        WriteBasicInteger(SettingsKeys::SenderPosition, 1);
        if (!ListSenders().contains("fuzz@example.com"))
            __builtin_trap(); // a write must be read back
    } catch (const BrevoraError&) {
    }
    return 0;
}
