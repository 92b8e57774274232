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

    // True while some process holds the slave open: the master stops reporting a hang-up then.
    bool SlaveIsOpen() const;
    // Drops whatever waits in either direction (bytes left over from an earlier opening).
    void Discard() const;

private:
    int master_ = -1;
    std::string slavePath_;
};

// A symbolic link NAME in the virtual port folder pointing at a pty slave; removed by Remove() or the
// destructor, but only while it still points where this object put it.
class PublishedPort {
public:
    PublishedPort() = default;
    ~PublishedPort() { Remove(); }
    PublishedPort(const PublishedPort&) = delete;
    PublishedPort& operator=(const PublishedPort&) = delete;

    // Creates or atomically re-points the link. A link left by a simulator that has gone (its target is
    // no longer there) is replaced; a live one, or anything that is not a link, is refused.
    bool Publish(const std::string& name, const std::string& target, std::string& error);
    void Remove();

    const std::string& LinkPath() const { return linkPath_; }

private:
    std::string linkPath_;
    std::string target_;
};
