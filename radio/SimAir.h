#pragma once

// The simulated air: a D-Bus mock of BlueZ (tests/radio) that plays the
// printers' radios. vendrill-sim tells it each printer's name and PIN key as
// the simulated module takes them, so that a radio check on a simulated
// line hears what the line set.

#include "radio/Bus.h"

#include <string>

namespace vendrill::radio {

class CSimAir {
public:
    // busAddress: a D-Bus address (unix:path=...); object: the mock's main
    // object, whose org.freedesktop.DBus.Mock interface takes the news.
    CSimAir(std::string busAddress, std::string object);

    // Tells the mock that the device with this address (12 hex digits or
    // with colons) now has this name and PIN key. Waits at most a second;
    // false with the reason in *error. One thread at a time.
    bool Tell(const std::string& address, const std::string& name, const std::string& pin, std::string* error);

private:
    std::string m_busAddress;
    std::string m_object;
    CBus m_bus;  // opened on first use, again after a failure
};

}  // namespace vendrill::radio
