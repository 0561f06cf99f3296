#pragma once
// Credentials for the servers the program and the fax service talk to (the fax server, the
// mail server): one file in netrc format, $XDG_CONFIG_HOME/sendmere/netrc, with lines such as
// "machine HOST login USER password PASS account ADMINPASS". The account token is a server's
// extra password; for the fax server it is the administrator's password, which the server
// asks for before it answers a ringing call. Passwords are only read from a file that is private
// to the user: owned by them and neither readable nor writable by anybody else (mode 0600).
#include <QString>
#include <optional>

namespace sendmere::registry {

struct Credentials {
    QString login;
    QString password;
    QString account;  // the entry's "account" token: the fax server's admin password
};

struct NetrcLookup {
    std::optional<Credentials> credentials;  // none: no entry for the host (or no file)
    QString error;                            // set when the file exists but may not be read
};

QString netrcPath();  // $XDG_CONFIG_HOME/sendmere/netrc

// The entry of host, for login where one is given (an entry without a login matches any);
// the "default" entry when no machine matches.
NetrcLookup lookupNetrc(const QString &host, const QString &login = {}, const QString &path = netrcPath());

// The same lookup on the file's text, with no check of the file.
std::optional<Credentials> parseNetrc(const QString &text, const QString &host, const QString &login = {});

}  // namespace sendmere::registry
