// The port source of the machine and the ordering of the port list.
#include "app/PortList.h"

#include "platform/VirtualPorts.h"

#include <QSerialPortInfo>

#include <algorithm>

namespace {

std::vector<TPortEntry> SortedEntries(std::vector<TPortEntry> Entries) {
    std::stable_sort(Entries.begin(), Entries.end(), [](const TPortEntry& a, const TPortEntry& b) {
        return QString::compare(a.ValueName, b.ValueName, Qt::CaseInsensitive) < 0;
    });
    return Entries;
}

} // namespace

std::vector<TPortEntry> TSystemPortSource::Ports() const {
    std::vector<TPortEntry> entries;
    for (const QSerialPortInfo& info : QSerialPortInfo::availablePorts()) {
        entries.push_back({info.portName(), info.systemLocation()});
    }
    for (const auto& [name, path] : VirtualPorts::List()) {
        entries.push_back({QString::fromLocal8Bit(name), QString::fromLocal8Bit(path)});
    }
    return entries;
}

QStringList SortedValueNames(const std::vector<TPortEntry>& Entries) {
    QStringList names;
    for (const TPortEntry& entry : SortedEntries(Entries)) {
        names.append(entry.ValueName);
    }
    return names;
}

QStringList OrderedPortNames(const std::vector<TPortEntry>& Entries) {
    QStringList ports;
    for (const TPortEntry& entry : SortedEntries(Entries)) {
        ports.append(entry.Data);
    }
    return ports;
}
