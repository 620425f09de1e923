#include "core/smtp/loginpolicy.h"

namespace {
bool offers(const QStringList& offered, const char* name)
{
    return offered.contains(QLatin1String(name), Qt::CaseInsensitive);
}

// The AUTH name of a mechanism the user picked.
const char* authName(LoginMechanism mechanism)
{
    switch (mechanism) {
    case LoginMechanism::Login: return "LOGIN";
    case LoginMechanism::Plain: return "PLAIN";
    case LoginMechanism::XOAuth2: return "XOAUTH2";
    default: return nullptr;
    }
}
} // namespace

QString LoginMechanismName(LoginMechanism mechanism)
{
    switch (mechanism) {
    case LoginMechanism::Login: return QStringLiteral("login");
    case LoginMechanism::Plain: return QStringLiteral("plain");
    case LoginMechanism::XOAuth2: return QStringLiteral("xoauth2");
    default: return QStringLiteral("auto");
    }
}

std::optional<LoginMechanism> LoginMechanismNamed(const QString& name)
{
    for (LoginMechanism m : {LoginMechanism::Automatic, LoginMechanism::Login, LoginMechanism::Plain, LoginMechanism::XOAuth2})
        if (name.trimmed().compare(LoginMechanismName(m), Qt::CaseInsensitive) == 0)
            return m;
    return std::nullopt;
}

LoginMechanism ResolveLogin(LoginMechanism chosen, const QStringList& offered)
{
    if (offered.isEmpty())
        return LoginMechanism::None;
    if (chosen == LoginMechanism::Automatic)
        return offers(offered, "LOGIN") ? LoginMechanism::Login
            : offers(offered, "PLAIN")  ? LoginMechanism::Plain
                                        : LoginMechanism::None;
    return chosen;
}

LoginPlan PlanLogin(LoginMechanism chosen, const QStringList& offered, bool secure, bool peerIsLoopback,
                    bool plainLoginAllowed, const QString& host)
{
    LoginPlan plan;
    if (const char* name = authName(chosen); name && !offered.isEmpty() && !offers(offered, name)) {
        plan.step = LoginPlan::Step::MechanismMissing;
        plan.refusal = QStringLiteral("Login refused: %1 does not offer AUTH %2 (it offers %3). Pick another login for this server.")
                           .arg(host, QLatin1String(name), offered.join(QLatin1Char(' ')));
        return plan;
    }
    plan.mechanism = ResolveLogin(chosen, offered);
    if (plan.mechanism == LoginMechanism::None)
        return plan;
    if (!secure && !peerIsLoopback && !plainLoginAllowed) {
        plan.step = LoginPlan::Step::NeedsTls;
        plan.refusal = QStringLiteral("Login refused: %1 offers no TLS here, so the password would cross the network "
                                      "readable by anyone on the way. Turn SSL on for this server, or allow login "
                                      "without TLS for it in its settings (--allow-plain-login on the command line).")
                           .arg(host);
        return plan;
    }
    plan.step = LoginPlan::Step::LogIn;
    return plan;
}
