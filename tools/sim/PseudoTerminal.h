// The simulator's end of the line: a pseudo-terminal master, and the link that publishes its slave
// as a virtual port.
#pragma once

#include <string>

// Owns a pty master set to the instrument's line settings (raw, 115200, 8 data bits, 2 stop bits).
// The slave side is left to the program; the simulator never keeps it open.
class PseudoTerminal {
public:
    PseudoTerminal() = default;
    ~PseudoTerminal() { Close(); }
    PseudoTerminal(const PseudoTerminal&) = delete;
    PseudoTerminal& operator=(const PseudoTerminal&) = delete;

    // Creates the pair; false with `error` set when the system refuses.
    bool Open(std::string& error);
    void Close();

    int Master() const { return master_; }
    const std::string& SlavePath() const { return slavePath_; }

    // Openings and closings of the slave by programs, in the order they happened. A master alone cannot
    // tell them apart reliably (it reports no hang-up before the first opening, and a closing followed
    // at once by an opening leaves no trace), so the slave's device node is watched.
    enum class SlaveEvent { None, Opened, Closed };
    // Readable while an event waits.
    int WatchFd() const { return watch_; }
    // Takes the next event without waiting; None when none waits.
    SlaveEvent NextSlaveEvent();
    // How many openings of the slave are not yet closed, after the events taken so far.
    int Holders() const { return holders_; }
    // For when the master shows that nobody holds the slave.
    void ForgetHolders() { holders_ = 0; }
    // Drops whatever waits in either direction (bytes left over from an earlier opening).
    void Discard() const;

private:
    int master_ = -1;
    int watch_ = -1;
    int holders_ = 0;
    std::string slavePath_;
    std::string events_; // read from the watch, not yet taken
};

// A symbolic link NAME in the virtual port folder pointing at a pty slave; removed by Remove() or the
// destructor, but only while it still points where this object put it. A lock on a hidden file beside
// it marks the name as served for as long as this object lives.
class PublishedPort {
public:
    PublishedPort() = default;
    ~PublishedPort() { Remove(); }
    PublishedPort(const PublishedPort&) = delete;
    PublishedPort& operator=(const PublishedPort&) = delete;

    // Creates or atomically re-points the link. A link left by a simulator that has gone is replaced; a
    // name another simulator serves, or anything that is not a link, is refused.
    bool Publish(const std::string& name, const std::string& target, std::string& error);
    void Remove();

    const std::string& LinkPath() const { return linkPath_; }

private:
    bool Lock(const std::string& folder, const std::string& name, std::string& error);

    std::string linkPath_;
    std::string target_;
    int lockFd_ = -1;
    std::string lockPath_;
};
