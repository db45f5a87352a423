// The files the keeper saves beside each other: each written whole to a ".new"
// file that then replaces it, so that a failed write never damages the good one,
// and read only when nobody but the keeper's user can have written it.
#pragma once

#include <sys/stat.h>

#include <string>

namespace tendwell {

// Writes text to path through path + ".new"; 0, or the error that stopped it.
// *written then describes the file made. Unless replace is set, the file is made
// only where none stands: EEXIST when one does.
int WriteThroughNew(const std::string& path, const std::string& text, struct stat* written,
                    bool replace = true);

// Opens path for reading, without following a link and without blocking on a FIFO;
// -1 with errno, which is EPERM when the file is not a regular file of this user
// that neither group nor others can write: anyone else could make the keeper run
// any check command as this user, or signal any process. *st describes the file.
int OpenTrusted(const std::string& path, struct stat* st);

// Whether the file at path is still the one described by written: the same file,
// neither replaced nor changed since, or for a null written still no file at all.
bool StillInPlace(const std::string& path, const struct stat* written);

// What tells the file at path (a link itself included) from every other, whatever
// is written to it: also from a later file that takes over its inode number, by its
// birth time where the file system keeps one. Empty when nothing stands there or it
// cannot be looked at.
std::string FileIdentity(const std::string& path);

}  // namespace tendwell
