#pragma once

#include <QString>
#include <QStringList>
#include <optional>

// How a session logs in: not at all, automatically (AUTH LOGIN where the server offers it, as
// always, else AUTH PLAIN), AUTH LOGIN, AUTH PLAIN (RFC 4616), or XOAUTH2 with an OAuth 2.0
// access token that a command prints.
enum class LoginMechanism { None, Automatic, Login, Plain, XOAuth2 };

// "auto", "login", "plain" or "xoauth2": the names a user picks a mechanism by.
QString LoginMechanismName(LoginMechanism mechanism);
// The mechanism of one of those names (any case); nullopt for any other name.
std::optional<LoginMechanism> LoginMechanismNamed(const QString& name);
// The mechanism a choice comes to against what the server offers: Automatic becomes LOGIN or
// PLAIN (or None where it offers neither); a server that offers nothing is not logged in to.
LoginMechanism ResolveLogin(LoginMechanism chosen, const QStringList& offered);

// What a session opened to a server does about logging in.
struct LoginPlan
{
    enum class Step {
        Skip,             // the server asks for no login
        LogIn,            // log in with `mechanism`
        MechanismMissing, // the chosen mechanism is not offered: `refusal` says so
        NeedsTls,         // the password would cross the network in the clear: `refusal` says so
    };
    Step step = Step::Skip;
    LoginMechanism mechanism = LoginMechanism::None;
    QString refusal;
};

// Decides from the choice and the server's offer. Without TLS anyone on the way reads the account
// and password: a login then goes only to this machine, or where the user allowed it for the host.
LoginPlan PlanLogin(LoginMechanism chosen, const QStringList& offered, bool secure, bool peerIsLoopback,
                    bool plainLoginAllowed, const QString& host);
