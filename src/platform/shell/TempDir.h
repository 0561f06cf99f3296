#pragma once
// The user's temporary directory. It must be the user's own: in a folder others may write
// to (such as /tmp), another user could create the program's fixed names (the picture
// folder "Plov.tmp", its files) first, or put links there, and have the program write
// through them into the user's files.
#include <QString>

namespace sendmere::shell {

// $TMPDIR when it names a folder of the user's own that is neither world-writable nor
// sticky; otherwise the private folder "sendmere" under $XDG_RUNTIME_DIR (when that is the
// user's private folder), else /tmp/sendmere-<uid>. A private folder is made with mode 0700
// and checked for its owner and mode on every call. Ends with '/'; empty, with the reason
// logged, when no safe folder can be had.
QString userTempDir();

// Whether path is a folder (not a link) owned by this user that nobody else may write to.
bool isPrivateFolder(const QString &path);

// base/name made as this user's private folder, or found to be one; empty otherwise.
QString privateFolderIn(const QString &base, const QString &name);

}  // namespace sendmere::shell
