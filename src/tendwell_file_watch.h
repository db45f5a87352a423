// Tells the daemon at once when one of its files (socket, lock file, state file)
// is removed or something is moved over it, or when a directory holding them goes:
// an inotify descriptor on those directories. Only removals and moves are watched,
// never creations or writes, so an idle daemon is never woken and its own saves
// wake it only for a look that finds nothing to do.
#pragma once

#include <string>
#include <vector>

namespace tendwell {

class FileWatch {
public:
    FileWatch();
    ~FileWatch();
    FileWatch(const FileWatch&) = delete;
    FileWatch& operator=(const FileWatch&) = delete;

    // Watches path: its removal, and, when replaceable, a file moved over it.
    void Add(const std::string& path, bool replaceable);
    // Readable when events are waiting; -1 when the kernel gave no watch (the
    // daemon's look once a second then finds every removal).
    int fd() const { return fd_; }
    // Reads every waiting event; true when one concerns a watched file or one of
    // their directories.
    bool Drain();
    // Watches again each directory that has gone and is back. False while one has
    // no watch, and when one has just got its new one: whatever went from it
    // before is then to be looked for again.
    bool Rearm();

private:
    struct Watched {
        std::string dir;
        std::string name;
        bool replaceable;
        // The directory's watch; -1 while it has none.
        int wd = -1;
    };

    std::vector<Watched> watched_;
    int fd_;
};

}  // namespace tendwell
