// The serial ports the program offers: where they come from and the order in which they are listed.
#pragma once

#include <QString>
#include <QStringList>

#include <memory>
#include <utility>
#include <vector>

// One registered port: the name it is registered under and the port name the list shows.
struct TPortEntry {
    QString ValueName;
    QString Data;
};

class TPortSource {
public:
    virtual ~TPortSource() = default;
    virtual std::vector<TPortEntry> Ports() const = 0;
};

// The machine's serial ports (kernel name, device path) followed by the user's virtual ports
// (link name, link path).
class TSystemPortSource : public TPortSource {
public:
    std::vector<TPortEntry> Ports() const override;
};

// The registered names sorted alphabetically without regard to case (equal names keep their order).
QStringList SortedValueNames(const std::vector<TPortEntry>& Entries);
// The port names in the order of their sorted registered names.
QStringList OrderedPortNames(const std::vector<TPortEntry>& Entries);
